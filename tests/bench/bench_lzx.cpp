// LZX decoding against zlib inflate on the same data (deflated at level 9),
// and the LZX compressor's speed. Data: the files named in CABSFX_CORPUS
// (colon-separated), else a few files of this machine, else generated text.
// Compare the bytes_per_second of BM_LzxDecode and BM_ZlibInflate.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/lzx.h"
#include "writer/encoders.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

const Bytes& corpus() {
  static const Bytes data = [] {
    std::vector<std::string> paths;
    if (const char* env = std::getenv("CABSFX_CORPUS")) {
      std::stringstream list(env);
      for (std::string p; std::getline(list, p, ':');)
        if (!p.empty()) paths.push_back(p);
    } else {
      paths = {"/usr/share/unicode/UnicodeData.txt", "/usr/share/dict/web2",
               "/usr/lib/i386-linux-gnu/wine/i386-windows/wordpad.exe"};
    }
    Bytes all;
    for (const auto& p : paths) {
      Bytes b = read_file(p);
      all.insert(all.end(), b.begin(), b.end());
    }
    if (all.empty()) {
      const char* words[] = {"cabinet ", "folder ", "frame\n", "window ", "the ", "of "};
      uint32_t r = 1;
      while (all.size() < (4u << 20)) {
        r = r * 1103515245u + 12345u;
        const char* w = words[(r >> 8) % 6];
        all.insert(all.end(), w, w + std::strlen(w));
      }
    }
    return all;
  }();
  return data;
}

struct LzxFrames {
  std::vector<Bytes> frames;
  std::vector<uint32_t> sizes;
  size_t compressed = 0;
};

const LzxFrames& lzx_frames() {
  static const LzxFrames f = [] {
    LzxFrames out;
    const Bytes& d = corpus();
    auto encoder = make_lzx_encoder(LzxEncoderOptions{});
    std::vector<Bytes> blocks;
    std::string error;
    encode_stream(*encoder, d, blocks, error);
    for (size_t i = 0; i < blocks.size(); ++i) {
      out.compressed += blocks[i].size();
      out.frames.push_back(std::move(blocks[i]));
      out.sizes.push_back(stream_frame_size(d.size(), i));
    }
    return out;
  }();
  return f;
}

const Bytes& deflated() {
  static const Bytes z = [] {
    const Bytes& d = corpus();
    uLongf size = compressBound(static_cast<uLong>(d.size()));
    Bytes out(size);
    compress2(out.data(), &size, d.data(), static_cast<uLong>(d.size()), 9);
    out.resize(size);
    return out;
  }();
  return z;
}

void* bench_alloc(uint32_t n) {
  return std::malloc(n);
}
void bench_free(void* p) {
  std::free(p);
}

void BM_LzxDecode(benchmark::State& state) {
  const LzxFrames& f = lzx_frames();
  uint32_t max = 32768, capacity = 0;
  LzxParameters p{1u << 21};
  LzxDecoder* h = nullptr;
  LzxCreate(&max, &p, bench_alloc, bench_free, &capacity, &h, nullptr, nullptr, nullptr, nullptr,
            nullptr);
  Bytes out(32768);
  for (auto _ : state) {
    LzxReset(h);
    for (size_t i = 0; i < f.frames.size(); ++i) {
      uint32_t n = f.sizes[i];
      if (LzxDecompress(h, f.frames[i].data(), static_cast<uint32_t>(f.frames[i].size()),
                        out.data(), &n) != CODEC_OK) {
        state.SkipWithError("LZX decoding failed");
        break;
      }
      benchmark::DoNotOptimize(out.data());
    }
  }
  LzxDestroy(h);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
  state.counters["ratio"] = static_cast<double>(f.compressed) / corpus().size();
}

void BM_ZlibInflate(benchmark::State& state) {
  const Bytes& z = deflated();
  Bytes out(corpus().size());
  for (auto _ : state) {
    uLongf n = static_cast<uLongf>(out.size());
    if (uncompress(out.data(), &n, z.data(), static_cast<uLong>(z.size())) != Z_OK) {
      state.SkipWithError("inflate failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
  state.counters["ratio"] = static_cast<double>(z.size()) / corpus().size();
}

void BM_LzxEncode(benchmark::State& state) {
  const Bytes& d = corpus();
  LzxEncoderOptions o;
  o.window_bits = static_cast<int>(state.range(0));
  for (auto _ : state) {
    auto encoder = make_lzx_encoder(o);
    std::vector<Bytes> blocks;
    std::string error;
    encode_stream(*encoder, d, blocks, error);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

}  // namespace

BENCHMARK(BM_LzxDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibInflate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzxEncode)->Arg(21)->Arg(16)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();

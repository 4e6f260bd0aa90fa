// Quantum decoding speed against zlib's inflate on the same data: the window
// in memory, and in a spill file with three and with all page buffers.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "codecs/quantum.h"
#include "writer/encoders.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The files of $CABSFX_BENCH_CORPUS (a folder, e.g. from make_corpus.sh) one
// after another; without it, text with a skewed vocabulary, then machine code
// (this program), 8 MiB in all.
const Bytes& corpus() {
  static const Bytes data = [] {
    if (const char* dir = getenv("CABSFX_BENCH_CORPUS")) {
      Bytes b;
      for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        b.insert(b.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      }
      if (!b.empty()) return b;
    }
    static const char* words[] = {"the ", "cabinet ", "of ",      "folder ", "a ",     "block ",
                                  "and ", "to ",      "window\n", "data ",   "setup ", "file, "};
    std::mt19937 rng(1);
    Bytes b;
    while (b.size() < (4u << 20)) {
      const unsigned r = rng() % 100;
      const char* w = words[r < 40 ? r % 4 : r % 12];
      b.insert(b.end(), w, w + strlen(w));
    }
    std::ifstream in("/proc/self/exe", std::ios::binary);
    Bytes exe((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (b.size() < (8u << 20) && !exe.empty()) {
      b.insert(b.end(), exe.begin(), exe.begin() + std::min(exe.size(), (8u << 20) - b.size()));
    }
    return b;
  }();
  return data;
}

struct Frames {
  std::vector<Bytes> blocks;
  std::vector<uint32_t> sizes;
};

const Frames& quantum_frames(int bits) {
  static Frames cache[22];
  Frames& f = cache[bits];
  if (f.blocks.empty()) {
    auto enc = make_quantum_encoder(QuantumEncoderOptions{bits});
    const Bytes& data = corpus();
    for (size_t pos = 0; pos < data.size(); pos += 32768) {
      const size_t n = std::min<size_t>(32768, data.size() - pos);
      Bytes out;
      std::string error;
      if (!enc->encode_frame({data.data() + pos, n}, pos + n == data.size(), out, error)) abort();
      f.blocks.push_back(std::move(out));
      f.sizes.push_back(static_cast<uint32_t>(n));
    }
  }
  return f;
}

int page_limit = -1;
int pages = 0;
bool refuse_window = false;
uint32_t window_size = 0;

void* b_alloc(uint32_t size) {
  if (refuse_window && size == window_size) return nullptr;
  if (size > 4096 && size <= 4200 && page_limit >= 0 && pages++ >= page_limit) return nullptr;
  return malloc(size);
}
void b_free(void* p) {
  free(p);
}
int32_t b_open(const char*, int32_t, int32_t) {
  char path[] = "/tmp/quantum-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd >= 0) unlink(path);
  return fd;
}
int32_t b_read(int32_t h, void* b, uint32_t n) {
  return static_cast<int32_t>(::read(h, b, n));
}
int32_t b_write(int32_t h, const void* b, uint32_t n) {
  return static_cast<int32_t>(::write(h, b, n));
}
int32_t b_close(int32_t h) {
  return ::close(h);
}
int32_t b_seek(int32_t h, int32_t o, int32_t w) {
  return static_cast<int32_t>(::lseek(h, o, w));
}

// Arguments: window bits, spill mode (0 memory, 1 three page buffers, 2 all buffers).
void BM_QuantumDecode(benchmark::State& state) {
  const int bits = static_cast<int>(state.range(0));
  const int spill = static_cast<int>(state.range(1));
  const Frames& f = quantum_frames(bits);
  Bytes out(32768);
  size_t compressed = 0;
  for (const Bytes& b : f.blocks) compressed += b.size();
  for (auto _ : state) {
    refuse_window = spill != 0;
    window_size = 1u << bits;
    page_limit = spill == 1 ? 3 : -1;
    pages = 0;
    QuantumDecoder* h = nullptr;
    uint32_t un = 0, c = 0;
    QuantumParameters p{static_cast<uint32_t>(bits), 0};
    if (QuantumCreate(&un, &p, b_alloc, b_free, &c, &h, b_open, b_read, b_write, b_close, b_seek) !=
        CODEC_OK) {
      state.SkipWithError("create failed");
      return;
    }
    for (size_t i = 0; i < f.blocks.size(); ++i) {
      uint32_t s = f.sizes[i];
      if (QuantumDecompress(h, f.blocks[i].data(), static_cast<uint32_t>(f.blocks[i].size()),
                            out.data(), &s) != CODEC_OK) {
        state.SkipWithError("decode failed");
        break;
      }
      benchmark::DoNotOptimize(out.data());
    }
    QuantumDestroy(h);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
  state.counters["ratio"] = static_cast<double>(compressed) / static_cast<double>(corpus().size());
}
BENCHMARK(BM_QuantumDecode)
    ->Args({21, 0})
    ->Args({16, 0})
    ->Args({21, 1})
    ->Args({21, 2})
    ->Args({16, 1})
    ->Unit(benchmark::kMillisecond);

// zlib inflate of raw deflate blocks at level 9, 32 KiB at a time as MSZIP has them.
void BM_ZlibInflate(benchmark::State& state) {
  const Bytes& data = corpus();
  std::vector<Bytes> blocks;
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  for (size_t pos = 0; pos < data.size(); pos += 32768) {
    const size_t n = std::min<size_t>(32768, data.size() - pos);
    Bytes out(deflateBound(&z, n) + 16);
    z.next_in = const_cast<Bytef*>(data.data() + pos);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_SYNC_FLUSH);
    out.resize(out.size() - z.avail_out);
    blocks.push_back(std::move(out));
  }
  deflateEnd(&z);
  Bytes out(32768);
  for (auto _ : state) {
    z_stream in{};
    inflateInit2(&in, -15);
    for (const Bytes& b : blocks) {
      in.next_in = const_cast<Bytef*>(b.data());
      in.avail_in = static_cast<uInt>(b.size());
      in.next_out = out.data();
      in.avail_out = static_cast<uInt>(out.size());
      if (inflate(&in, Z_SYNC_FLUSH) < 0) {
        state.SkipWithError("inflate failed");
        break;
      }
      benchmark::DoNotOptimize(out.data());
    }
    inflateEnd(&in);
  }
  size_t compressed = 0;
  for (const Bytes& b : blocks) compressed += b.size();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
  state.counters["ratio"] = static_cast<double>(compressed) / static_cast<double>(data.size());
}
BENCHMARK(BM_ZlibInflate)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

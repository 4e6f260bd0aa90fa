// MSZIP decoding against zlib's inflate on the same data: several MiB of
// mixed text and programs, cut into 32 KiB blocks as a cabinet folder holds
// them (argument: 0 mixed, 1 text, 2 programs). Reported as bytes of output
// per second.
//
//   BM_MszipDecode       our decoder, block by block, one 32 KiB buffer
//   BM_ZlibBlocks        zlib on the same blocks: reset, the previous block as
//                        dictionary, inflate (what an MSZIP reader built on
//                        zlib does)
//   BM_ZlibStream        zlib on one raw deflate stream of the whole data
//                        (its best case: no per-block work)
//   BM_LibraryExtract    the whole cabinet library on an MSZIP cabinet of the
//                        same data, as 12 files in one folder (checksums,
//                        block reads, file writes included)
//   BM_BackwardListing   a 380 KB cabinet whose folder of 6,001 MSZIP blocks
//                        holds 2,000 one-byte files listed last first: the
//                        time until the library has decided (it refuses such
//                        a listing once re-decoding outgrows the data)
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/mszip.h"
#if __has_include("writer/cab_writer.h")
#include "writer/cab_writer.h"
#include "writer/encoders.h"
#define BENCH_HAVE_WRITER 1
#endif

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t BLOCK_SIZE = 32768;

Bytes ReadFile(const char* path, size_t limit) {
  Bytes data;
  if (FILE* f = std::fopen(path, "rb")) {
    data.resize(limit);
    data.resize(std::fread(data.data(), 1, limit, f));
    std::fclose(f);
  }
  return data;
}

// Kind 0: about 6 MiB, generated prose interleaved with slices of programs;
// kind 1: the prose alone (3 MiB); kind 2: the programs alone (3 MiB).
Bytes MakeData(int kind) {
  static const char* const WORDS[] = {
      "the",   "cabinet", "folder", "of",   "data",    "block",   "and",   "a",     "window",
      "setup", "history", "match",  "file", "program", "install", "to",    "from",  "system",
      "code",  "table",   "in",     "is",   "bits",    "\r\n",    "Value", "Error", "32768"};
  uint64_t seed = 1;
  auto next = [&seed] {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(seed >> 33);
  };
  std::string text;
  while (text.size() < (3u << 20)) {
    text += WORDS[next() % (sizeof WORDS / sizeof *WORDS)];
    text += next() % 11 == 0 ? ". " : " ";
  }
  Bytes binary;
  for (const char* path :
       {"/usr/bin/cmake", "/usr/bin/perl", "/usr/bin/python3", "/bin/bash", "/proc/self/exe"}) {
    Bytes part = ReadFile(path, (3u << 20) - binary.size());
    binary.insert(binary.end(), part.begin(), part.end());
  }
  if (kind == 1) return Bytes(text.begin(), text.end());
  if (kind == 2) return binary;
  Bytes mixed;
  const size_t slices = 24;
  for (size_t i = 0; i < slices; ++i) {
    mixed.insert(mixed.end(), text.begin() + i * text.size() / slices,
                 text.begin() + (i + 1) * text.size() / slices);
    mixed.insert(mixed.end(), binary.begin() + i * binary.size() / slices,
                 binary.begin() + (i + 1) * binary.size() / slices);
  }
  return mixed;
}

struct Corpus {
  Bytes data;
  std::vector<Bytes> blocks;  // "CK" + raw deflate, previous block as dictionary
  Bytes stream;               // the whole data as one raw deflate stream
};

const Corpus& GetCorpus(int kind) {
  static Corpus corpora[3];
  Corpus& corpus = corpora[kind];
  if (corpus.data.empty()) {
    Corpus& c = corpus;
    c.data = MakeData(kind);
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    for (size_t offset = 0; offset < c.data.size(); offset += BLOCK_SIZE) {
      const size_t n = std::min<size_t>(BLOCK_SIZE, c.data.size() - offset);
      deflateReset(&z);
      if (offset > 0) deflateSetDictionary(&z, c.data.data() + offset - BLOCK_SIZE, BLOCK_SIZE);
      Bytes out(2 + deflateBound(&z, n));
      out[0] = 'C';
      out[1] = 'K';
      z.next_in = c.data.data() + offset;
      z.avail_in = static_cast<uInt>(n);
      z.next_out = out.data() + 2;
      z.avail_out = static_cast<uInt>(out.size() - 2);
      deflate(&z, Z_FINISH);
      out.erase(out.end() - z.avail_out, out.end());
      c.blocks.push_back(std::move(out));
    }
    deflateEnd(&z);
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    c.stream.resize(deflateBound(&z, c.data.size()));
    z.next_in = c.data.data();
    z.avail_in = static_cast<uInt>(c.data.size());
    z.next_out = c.stream.data();
    z.avail_out = static_cast<uInt>(c.stream.size());
    deflate(&z, Z_FINISH);
    c.stream.erase(c.stream.end() - z.avail_out, c.stream.end());
    deflateEnd(&z);
  }
  return corpus;
}

void* Alloc(uint32_t size) {
  return std::malloc(size);
}
void Free(void* p) {
  std::free(p);
}

void BM_MszipDecode(benchmark::State& state) {
  const Corpus& c = GetCorpus(static_cast<int>(state.range(0)));
  uint32_t maximum = BLOCK_SIZE, maxCompressed = 0;
  MszipDecoder* handle = nullptr;
  if (MszipCreate(&maximum, Alloc, Free, &maxCompressed, &handle) != CODEC_OK) {
    state.SkipWithError("create failed");
    return;
  }
  Bytes window(BLOCK_SIZE);
  for (auto _ : state) {
    size_t total = 0;
    for (const Bytes& block : c.blocks) {
      uint32_t size = BLOCK_SIZE;
      if (MszipDecompress(handle, block.data(), static_cast<uint32_t>(block.size()), window.data(),
                          &size) != CODEC_OK) {
        state.SkipWithError("decode failed");
        break;
      }
      total += size;
    }
    benchmark::DoNotOptimize(window.data());
    if (total != c.data.size()) state.SkipWithError("wrong size");
  }
  // The last block must match: the whole chain of history was right.
  const size_t tail = c.data.size() % BLOCK_SIZE ? c.data.size() % BLOCK_SIZE : BLOCK_SIZE;
  if (std::memcmp(window.data(), c.data.data() + c.data.size() - tail, tail) != 0) {
    state.SkipWithError("wrong output");
  }
  MszipDestroy(handle);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.data.size()));
}
BENCHMARK(BM_MszipDecode)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_ZlibBlocks(benchmark::State& state) {
  const Corpus& c = GetCorpus(static_cast<int>(state.range(0)));
  z_stream z{};
  inflateInit2(&z, -15);
  Bytes window(BLOCK_SIZE), dictionary(BLOCK_SIZE);
  for (auto _ : state) {
    size_t total = 0;
    for (size_t i = 0; i < c.blocks.size(); ++i) {
      const Bytes& block = c.blocks[i];
      inflateReset(&z);
      if (i > 0) inflateSetDictionary(&z, window.data(), BLOCK_SIZE);
      z.next_in = const_cast<uint8_t*>(block.data() + 2);
      z.avail_in = static_cast<uInt>(block.size() - 2);
      z.next_out = window.data();
      z.avail_out = BLOCK_SIZE;
      if (inflate(&z, Z_FINISH) != Z_STREAM_END) {
        state.SkipWithError("inflate failed");
        break;
      }
      total += BLOCK_SIZE - z.avail_out;
    }
    benchmark::DoNotOptimize(window.data());
    if (total != c.data.size()) state.SkipWithError("wrong size");
  }
  inflateEnd(&z);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.data.size()));
}
BENCHMARK(BM_ZlibBlocks)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_ZlibStream(benchmark::State& state) {
  const Corpus& c = GetCorpus(static_cast<int>(state.range(0)));
  z_stream z{};
  inflateInit2(&z, -15);
  Bytes out(c.data.size());
  for (auto _ : state) {
    inflateReset(&z);
    z.next_in = const_cast<uint8_t*>(c.stream.data());
    z.avail_in = static_cast<uInt>(c.stream.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (inflate(&z, Z_FINISH) != Z_STREAM_END) {
      state.SkipWithError("inflate failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  inflateEnd(&z);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.data.size()));
}
BENCHMARK(BM_ZlibStream)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

#ifdef BENCH_HAVE_WRITER
// Minimal in-memory callbacks: one cabinet, any number of read handles on
// it, output files as offsets into one buffer laid out like the input.
struct MemoryRun {
  const Bytes* cabinet = nullptr;
  int64_t positions[8] = {};
  int32_t opened = 0;
  Bytes output;
  size_t fileOffset[64] = {};
  size_t filePosition[64] = {};
  int32_t files = 0;
  size_t outputFileSize = 0;
};
MemoryRun* g_run = nullptr;

constexpr int32_t OUTPUT_BASE = 1000;

int32_t MemOpen(const char*, int32_t, int32_t) {
  if (g_run->opened >= 8) return -1;
  g_run->positions[g_run->opened] = 0;
  return g_run->opened++ + 1;
}
int32_t MemRead(int32_t handle, void* buffer, uint32_t count) {
  int64_t& pos = g_run->positions[handle - 1];
  const int64_t size = static_cast<int64_t>(g_run->cabinet->size());
  const int64_t n = std::min<int64_t>(count, size - pos);
  if (n <= 0) return 0;
  std::memcpy(buffer, g_run->cabinet->data() + pos, static_cast<size_t>(n));
  pos += n;
  return static_cast<int32_t>(n);
}
int32_t MemWrite(int32_t handle, const void* buffer, uint32_t count) {
  const int32_t file = handle - OUTPUT_BASE;
  size_t& at = g_run->filePosition[file];
  if (at + count > g_run->output.size()) return -1;
  std::memcpy(g_run->output.data() + at, buffer, count);
  at += count;
  return static_cast<int32_t>(count);
}
int32_t MemClose(int32_t) {
  return 0;
}
int32_t MemSeek(int32_t handle, int32_t offset, int32_t origin) {
  int64_t& pos = g_run->positions[handle - 1];
  const int64_t base = origin == 0 ? 0 : origin == 1 ? pos : g_run->cabinet->size();
  pos = base + offset;
  return static_cast<int32_t>(pos);
}
int32_t MemNotify(int32_t kind, CabNotification*) {
  if (kind == CAB_NOTIFY_FILE_BEGIN) {
    const int32_t file = g_run->files++;
    g_run->filePosition[file] = g_run->fileOffset[file];
    return OUTPUT_BASE + file;
  }
  return kind == CAB_NOTIFY_FILE_END ? 1 : 0;
}

void BM_LibraryExtract(benchmark::State& state) {
  const Corpus& c = GetCorpus(0);
  constexpr int FILES = 12;
  static const Bytes cabinet = [&c] {
    std::vector<CabFolderInput> folders(1);
    folders[0].encoder = make_mszip_encoder(6, Z_DEFAULT_STRATEGY);
    for (int i = 0; i < FILES; ++i) {
      const size_t from = i * c.data.size() / FILES, to = (i + 1) * c.data.size() / FILES;
      folders[0].entries.push_back(make_memory_entry(
          "file" + std::to_string(i) + ".bin", Bytes(c.data.begin() + static_cast<ptrdiff_t>(from),
                                                     c.data.begin() + static_cast<ptrdiff_t>(to))));
    }
    return write_cabinets_to_memory(folders).at(0);
  }();
  MemoryRun run;
  run.cabinet = &cabinet;
  run.output.resize(c.data.size());
  for (int i = 0; i < FILES; ++i) run.fileOffset[i] = i * c.data.size() / FILES;
  g_run = &run;
  for (auto _ : state) {
    run.opened = 0;
    run.files = 0;
    CabErrorRecord error{};
    CabDecoder* context =
        CabDecoderCreate(Alloc, Free, MemOpen, MemRead, MemWrite, MemClose, MemSeek, -1, &error);
    if (context == nullptr ||
        CabDecoderExtract(context, "bench.cab", "", 0, MemNotify, nullptr, 0) != 1 ||
        run.files != FILES) {
      state.SkipWithError("extraction failed");
      if (context) CabDecoderDestroy(context);
      break;
    }
    CabDecoderDestroy(context);
    benchmark::DoNotOptimize(run.output.data());
  }
  if (run.output != c.data) state.SkipWithError("wrong output");
  g_run = nullptr;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.data.size()));
}
BENCHMARK(BM_LibraryExtract)->Unit(benchmark::kMillisecond);

// Blocks of 32 KiB of zeros and files three blocks apart, listed from the
// end of the folder to its start.
Bytes BackwardCabinet() {
  constexpr uint32_t BLOCKS = 6001, FILES = 2000;
  Bytes block = {'C', 'K'};
  {
    const Bytes zeros(32768, 0);
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes out(1024);
    z.next_in = const_cast<Bytef*>(zeros.data());
    z.avail_in = 32768;
    z.next_out = out.data();
    z.avail_out = 1024;
    deflate(&z, Z_FINISH);
    block.insert(block.end(), out.begin(), out.begin() + static_cast<ptrdiff_t>(z.total_out));
    deflateEnd(&z);
  }
  auto put = [](Bytes& b, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  Bytes files;
  for (uint32_t i = 0; i < FILES; ++i) {
    put(files, 1, 4);
    put(files, (BLOCKS - 1 - 3 * i) * 32768u + 7, 4);
    put(files, 0, 2);
    put(files, 0x5821, 2);
    put(files, 0, 2);
    put(files, 0x20, 2);
    char name[16];
    const int length = std::snprintf(name, sizeof name, "f%u", i);
    files.insert(files.end(), name, name + length + 1);
  }
  const uint32_t data_start = 36 + 8 + static_cast<uint32_t>(files.size());
  Bytes cab;
  put(cab, 0x4643534D, 4);
  put(cab, 0, 4);
  put(cab, data_start + BLOCKS * (8 + static_cast<uint32_t>(block.size())), 4);
  put(cab, 0, 4);
  put(cab, 36 + 8, 4);
  put(cab, 0, 4);
  put(cab, 0x0103, 2);
  put(cab, 1, 2);
  put(cab, FILES, 2);
  put(cab, 0, 6);
  put(cab, data_start, 4);
  put(cab, BLOCKS, 2);
  put(cab, COMPRESSION_MSZIP, 2);
  cab.insert(cab.end(), files.begin(), files.end());
  for (uint32_t i = 0; i < BLOCKS; ++i) {
    put(cab, 0, 4);
    put(cab, static_cast<uint32_t>(block.size()), 2);
    put(cab, 32768, 2);
    cab.insert(cab.end(), block.begin(), block.end());
  }
  return cab;
}

const Bytes* g_backward = nullptr;
int64_t g_backward_pos[2];
int32_t BackOpen(const char*, int32_t, int32_t) {
  static int32_t next = 0;
  g_backward_pos[next & 1] = 0;
  return 1 + (next++ & 1);
}
int32_t BackRead(int32_t h, void* buffer, uint32_t count) {
  int64_t& pos = g_backward_pos[h - 1];
  const int64_t n = std::min<int64_t>(count, static_cast<int64_t>(g_backward->size()) - pos);
  if (n <= 0) return 0;
  std::memcpy(buffer, g_backward->data() + pos, static_cast<size_t>(n));
  pos += n;
  return static_cast<int32_t>(n);
}
int32_t BackWrite(int32_t, const void*, uint32_t count) {
  return static_cast<int32_t>(count);
}
int32_t BackSeek(int32_t h, int32_t offset, int32_t origin) {
  int64_t& pos = g_backward_pos[h - 1];
  pos = (origin == 0 ? 0 : origin == 1 ? pos : static_cast<int64_t>(g_backward->size())) + offset;
  return static_cast<int32_t>(pos);
}
int32_t BackNotify(int32_t kind, CabNotification*) {
  return kind == CAB_NOTIFY_FILE_BEGIN ? 77 : kind == CAB_NOTIFY_FILE_END ? 1 : 0;
}

void BM_BackwardListing(benchmark::State& state) {
  static const Bytes cabinet = BackwardCabinet();
  g_backward = &cabinet;
  int32_t result = -1;
  for (auto _ : state) {
    CabErrorRecord error{};
    CabDecoder* context = CabDecoderCreate(Alloc, Free, BackOpen, BackRead, BackWrite, MemClose,
                                           BackSeek, -1, &error);
    result = CabDecoderExtract(context, "back.cab", "", 0, BackNotify, nullptr, 0) ? 0 : error.code;
    CabDecoderDestroy(context);
  }
  state.counters["cabinet_bytes"] = static_cast<double>(cabinet.size());
  state.counters["error_code"] = result;
}
BENCHMARK(BM_BackwardListing)->Unit(benchmark::kMillisecond)->Iterations(1);
#endif

}  // namespace

BENCHMARK_MAIN();

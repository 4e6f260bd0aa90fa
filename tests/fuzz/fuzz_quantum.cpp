// Quantum fuzz target. Odd first byte: the rest is a series of frames (2-byte
// output size, 2-byte input size, input) decoded once with the window in
// memory and once through a spill file of three page buffers; both runs must
// agree. Even first byte: the rest is data that must survive compressor and
// decoder unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/quantum.h"
// The compressor is compiled into this target so that coverage sees its
// branches too (the writer library is not instrumented).
#include "../../tools/writer/quantum_encoder.cpp"
#include "../../tools/writer/quantum_stream.cpp"

namespace {

struct SpillEnv {
  bool refuse_window = false;
  uint32_t window_size = 0;
  int page_buffers = 0;
  std::vector<uint8_t> file;
  int64_t pos = 0;
};
SpillEnv env;

void* f_alloc(uint32_t size) {
  if (env.refuse_window && size == env.window_size) return nullptr;
  if (env.refuse_window && size > 4096 && size <= 4200 && ++env.page_buffers > 3) return nullptr;
  return malloc(size);
}
void f_free(void* p) {
  free(p);
}
int32_t f_open(const char* name, int32_t, int32_t) {
  if (strcmp(name, "*") != 0) return -1;
  env.file.clear();
  env.pos = 0;
  return 7;
}
int32_t f_read(int32_t, void* b, uint32_t n) {
  if (env.pos + n > static_cast<int64_t>(env.file.size())) return -1;
  memcpy(b, env.file.data() + env.pos, n);
  env.pos += n;
  return static_cast<int32_t>(n);
}
int32_t f_write(int32_t, const void* b, uint32_t n) {
  if (static_cast<int64_t>(env.file.size()) < env.pos + n) env.file.resize(env.pos + n);
  memcpy(env.file.data() + env.pos, b, n);
  env.pos += n;
  return static_cast<int32_t>(n);
}
int32_t f_close(int32_t) {
  return 0;
}
int32_t f_seek(int32_t, int32_t off, int32_t origin) {
  if (origin != 0 || off < 0) return -1;
  env.pos = off;
  return off;
}

struct Run {
  std::vector<int32_t> results;
  std::vector<uint8_t> output;
  // A reset drops the page cache, so bytes before it are gone in a spill file
  // while the memory window keeps them: runs are compared up to the first reset.
  size_t results_before_reset = SIZE_MAX;
  size_t output_before_reset = SIZE_MAX;
};

Run decode(uint32_t bits, bool spill, const uint8_t* data, size_t size) {
  env = SpillEnv{};
  env.refuse_window = spill;
  env.window_size = 1u << bits;
  Run run;
  QuantumDecoder* h = nullptr;
  uint32_t max_un = 0, max_c = 0;
  QuantumParameters p{bits, 0};
  if (QuantumCreate(&max_un, &p, f_alloc, f_free, &max_c, &h, f_open, f_read, f_write, f_close,
                    f_seek) != CODEC_OK) {
    if (!spill || bits >= 14) abort();  // memory and paged windows must be available
    return run;
  }
  std::vector<uint8_t> out(32768);
  while (size >= 4) {
    uint32_t want = data[0] | data[1] << 8;
    uint32_t len = data[2] | data[3] << 8;
    data += 4;
    size -= 4;
    if (len > size) len = static_cast<uint32_t>(size);
    if (want == 0xFFFF) {
      if (run.results_before_reset == SIZE_MAX) {
        run.results_before_reset = run.results.size();
        run.output_before_reset = run.output.size();
      }
      run.results.push_back(100 + QuantumReset(h));
      continue;
    }
    want %= 32769;
    uint32_t s = want;
    const int32_t r = QuantumDecompress(h, data, len, out.data(), &s);
    if (s != want) abort();
    run.results.push_back(r);
    if (r == CODEC_OK) run.output.insert(run.output.end(), out.begin(), out.begin() + want);
    data += len;
    size -= len;
  }
  QuantumDestroy(h);
  return run;
}

void round_trip(uint32_t bits, const uint8_t* data, size_t size) {
  auto enc = make_quantum_encoder(QuantumEncoderOptions{static_cast<int>(bits)});
  std::vector<uint8_t> out(32768);
  QuantumDecoder* h = nullptr;
  uint32_t max_un = 0, max_c = 0;
  QuantumParameters p{bits, 0};
  env = SpillEnv{};
  if (QuantumCreate(&max_un, &p, f_alloc, f_free, &max_c, &h, f_open, f_read, f_write, f_close,
                    f_seek) != CODEC_OK) {
    abort();
  }
  // Small frames, so that short inputs still cross frame boundaries.
  const size_t frame = 1 + (size % 4096);
  for (size_t pos = 0; pos < size || pos == 0; pos += frame) {
    const size_t n = pos + frame <= size ? frame : size - pos;
    std::vector<uint8_t> block;
    std::string error;
    if (!enc->encode_frame({data + pos, n}, pos + n == size, block, error)) abort();
    uint32_t s = static_cast<uint32_t>(n);
    if (QuantumDecompress(h, block.data(), static_cast<uint32_t>(block.size()), out.data(), &s) !=
        CODEC_OK) {
      abort();
    }
    if (n && memcmp(out.data(), data + pos, n) != 0) abort();
    if (size == 0) break;
  }
  QuantumDestroy(h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t bits = 10 + data[1] % 12;
  if (data[0] & 1) {
    const Run memory = decode(bits, false, data + 2, size - 2);
    const Run spill = decode(bits, true, data + 2, size - 2);
    if (bits >= 14) {
      const size_t r = std::min(memory.results_before_reset, memory.results.size());
      const size_t o = std::min(memory.output_before_reset, memory.output.size());
      if (spill.results.size() < r || spill.output.size() < o) abort();
      if (!std::equal(memory.results.begin(), memory.results.begin() + r, spill.results.begin()))
        abort();
      if (!std::equal(memory.output.begin(), memory.output.begin() + o, spill.output.begin()))
        abort();
    }
  } else {
    round_trip(bits, data + 2, size - 2);
  }
  return 0;
}

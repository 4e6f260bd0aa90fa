// Quantum, window in memory against window in a spill file: the input is a
// window exponent byte (14 to 21, the spill file's range) and a series of
// frames (2-byte output size, 2-byte input size, input; output size 0xFFFF
// resets the decoder). It is decoded once with the window in memory and once
// through a spill file of three page buffers: every result and every byte
// must agree, resets included.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/quantum.h"
#include "spill_env.h"

namespace {

struct Run {
  std::vector<int32_t> results;
  std::vector<uint8_t> output;
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
    abort();  // memory and paged windows must be available
  }
  std::vector<uint8_t> out(32768);
  while (size >= 4) {
    uint32_t want = data[0] | data[1] << 8;
    uint32_t len = data[2] | data[3] << 8;
    data += 4;
    size -= 4;
    if (len > size) len = static_cast<uint32_t>(size);
    if (want == 0xFFFF) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t bits = 14 + data[0] % 8;
  const Run memory = decode(bits, false, data + 1, size - 1);
  const Run spill = decode(bits, true, data + 1, size - 1);
  if (memory.results != spill.results || memory.output != spill.output) abort();
  return 0;
}

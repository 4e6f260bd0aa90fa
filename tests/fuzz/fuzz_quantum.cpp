// Quantum fuzz target. Odd first byte: the rest is a series of frames (2-byte
// output size, 2-byte input size, input; output size 0xFFFF resets) for the
// decoder. Even first byte: the rest is data that must survive compressor and
// decoder unchanged. One decoder is kept from input to input (reset, so its
// window keeps earlier bytes) while the window size stays the same; spill
// mode is compared with memory mode by fuzz_quantum_spill.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/quantum.h"
#include "spill_env.h"
// The compressor is compiled into this target so that coverage sees its
// branches too (the writer library is not instrumented).
#include "../../tools/writer/quantum_encoder.cpp"
#include "../../tools/writer/quantum_stream.cpp"

namespace {

// The one decoder of the process, reset for every input.
QuantumDecoder* decoder_for(uint32_t bits) {
  static QuantumDecoder* h = nullptr;
  static uint32_t h_bits = 0;
  if (h && h_bits != bits) {
    QuantumDestroy(h);
    h = nullptr;
  }
  if (!h) {
    uint32_t max_un = 0, max_c = 0;
    QuantumParameters p{bits, 0};
    env = SpillEnv{};
    if (QuantumCreate(&max_un, &p, f_alloc, f_free, &max_c, &h, f_open, f_read, f_write, f_close,
                      f_seek) != CODEC_OK) {
      abort();
    }
    h_bits = bits;
  }
  if (QuantumReset(h) != CODEC_OK) abort();
  return h;
}

void decode(uint32_t bits, const uint8_t* data, size_t size) {
  QuantumDecoder* h = decoder_for(bits);
  static uint8_t out[32768];
  while (size >= 4) {
    uint32_t want = data[0] | data[1] << 8;
    uint32_t len = data[2] | data[3] << 8;
    data += 4;
    size -= 4;
    if (len > size) len = static_cast<uint32_t>(size);
    if (want == 0xFFFF) {
      if (QuantumReset(h) != CODEC_OK) abort();
      continue;
    }
    want %= 32769;
    uint32_t s = want;
    const int32_t r = QuantumDecompress(h, data, len, out, &s);
    if (s != want || (r != CODEC_OK && r != CODEC_DATA_ERROR)) abort();
    data += len;
    size -= len;
  }
}

void round_trip(uint32_t bits, const uint8_t* data, size_t size) {
  auto enc = make_quantum_encoder(QuantumEncoderOptions{static_cast<int>(bits)});
  enc->expect_stream_size(size);
  static uint8_t out[32768];
  QuantumDecoder* h = decoder_for(bits);
  // Small frames, so that short inputs still cross frame boundaries.
  const size_t frame = 1 + (size % 4096);
  for (size_t pos = 0; pos < size || pos == 0; pos += frame) {
    const size_t n = pos + frame <= size ? frame : size - pos;
    std::vector<uint8_t> block;
    std::string error;
    if (!enc->encode_frame({data + pos, n}, pos + n == size, block, error)) abort();
    uint32_t s = static_cast<uint32_t>(n);
    if (QuantumDecompress(h, block.data(), static_cast<uint32_t>(block.size()), out, &s) !=
        CODEC_OK) {
      abort();
    }
    if (n && memcmp(out, data + pos, n) != 0) abort();
    if (size == 0) break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t bits = 10 + data[1] % 12;
  if (data[0] & 1) {
    decode(bits, data + 2, size - 2);
  } else {
    round_trip(bits, data + 2, size - 2);
  }
  return 0;
}

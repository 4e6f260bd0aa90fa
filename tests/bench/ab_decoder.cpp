// Two builds of the LZX or the Quantum decoder in one process
// (ab_decoder.sh compiles each with its names prefixed A or B, and this file
// with AB_QUANTUM for Quantum), decoding the same frames in turn: a round is
// A, B, A, best of 3 each; it prints B's speed over A's, the median of the
// rounds. One process and one input take the machine's clock and the memory
// layout out of the comparison, which separate processes do not.
// Usage: ab_decoder ROUNDS FILE...
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "writer/encoders.h"

#ifdef AB_QUANTUM
#include "codecs/quantum.h"
#define CODEC(P, NAME) P##Quantum##NAME
using Parameters = QuantumParameters;
constexpr Parameters PARAMETERS{21, 0};
std::unique_ptr<BlockEncoder> make_encoder() {
  return make_quantum_encoder(QuantumEncoderOptions{});
}
#else
#include "codecs/lzx.h"
#define CODEC(P, NAME) P##Lzx##NAME
using Parameters = LzxParameters;
constexpr Parameters PARAMETERS{1u << 21};
std::unique_ptr<BlockEncoder> make_encoder() {
  return make_lzx_encoder(LzxEncoderOptions{});
}
#endif

using Bytes = std::vector<uint8_t>;

#define DECLARE_DECODER(P)                                                                         \
  struct CODEC(P, Decoder);                                                                        \
  int32_t CODEC(P, Create)(uint32_t*, const Parameters*, CabAllocFn, CabFreeFn, uint32_t*,         \
                           CODEC(P, Decoder)**, CabOpenFn, CabReadFn, CabWriteFn, CabCloseFn,      \
                           CabSeekFn);                                                             \
  int32_t CODEC(P, Decompress)(CODEC(P, Decoder)*, const uint8_t*, uint32_t, uint8_t*, uint32_t*); \
  int32_t CODEC(P, Reset)(CODEC(P, Decoder)*);
DECLARE_DECODER(A)
DECLARE_DECODER(B)

namespace {

void* allocate(uint32_t n) {
  return std::malloc(n);
}
void release(void* p) {
  std::free(p);
}

struct Frames {
  std::vector<Bytes> data;
  std::vector<uint32_t> sizes;
};

// Seconds for the best of three passes over all frames; exits on a failure
// or on output that differs from the input.
template <class Decoder, class Reset, class Decompress>
double best_pass(Decoder* h, Reset reset, Decompress decompress, const Frames& f, uLong want) {
  double best = 1e9;
  Bytes out(32768);
  for (int k = 0; k < 3; ++k) {
    reset(h);
    uLong crc = crc32(0, nullptr, 0);
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < f.data.size(); ++i) {
      uint32_t n = f.sizes[i];
      if (decompress(h, f.data[i].data(), static_cast<uint32_t>(f.data[i].size()), out.data(),
                     &n) != 0) {
        std::fprintf(stderr, "ab_decoder: decoding failed\n");
        std::exit(1);
      }
      if (k == 0) crc = crc32(crc, out.data(), n);
    }
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (k == 0 && crc != want) {
      std::fprintf(stderr, "ab_decoder: decoded bytes differ from the input\n");
      std::exit(1);
    }
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: ab_decoder ROUNDS FILE...\n");
    return 2;
  }
  const int rounds = std::atoi(argv[1]);
  Bytes all;
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    all.insert(all.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  Frames f;
  std::string error;
  auto encoder = make_encoder();
  if (all.empty() || !encode_stream(*encoder, all, f.data, error)) {
    std::fprintf(stderr, "ab_decoder: nothing to encode %s\n", error.c_str());
    return 1;
  }
  for (size_t i = 0; i < f.data.size(); ++i) f.sizes.push_back(stream_frame_size(all.size(), i));
  const uLong want = crc32(0, all.data(), static_cast<uInt>(all.size()));

  uint32_t max = 32768, capacity = 0;
  CODEC(A, Decoder)* a = nullptr;
  CODEC(B, Decoder)* b = nullptr;
  if (CODEC(A, Create)(&max, &PARAMETERS, allocate, release, &capacity, &a, nullptr, nullptr,
                       nullptr, nullptr, nullptr) != 0 ||
      CODEC(B, Create)(&max, &PARAMETERS, allocate, release, &capacity, &b, nullptr, nullptr,
                       nullptr, nullptr, nullptr) != 0)
    return 1;
  std::vector<double> ratios;
  double best_b = 1e9;
  for (int i = 0; i < rounds; ++i) {
    const double a1 = best_pass(a, CODEC(A, Reset), CODEC(A, Decompress), f, want);
    const double t = best_pass(b, CODEC(B, Reset), CODEC(B, Decompress), f, want);
    const double a2 = best_pass(a, CODEC(A, Reset), CODEC(A, Decompress), f, want);
    ratios.push_back((a1 + a2) / 2 / t);
    best_b = std::min(best_b, t);
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("%.3f (rounds %.3f to %.3f; B at best %.0f MB/s)\n", ratios[ratios.size() / 2],
              ratios.front(), ratios.back(), static_cast<double>(all.size()) / best_b / 1e6);
  return 0;
}

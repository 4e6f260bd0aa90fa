// Test inputs made from a seed, the same on every run and machine.
#pragma once
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace sample {

// Incompressible bytes: the low byte of each mt19937 draw.
inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// Noise with 2- and 3-byte strings copied from up to `max_offset` back, each
// followed by a fresh byte: only short matches, at offsets up to the limit.
inline std::vector<uint8_t> short_copies(size_t n, uint32_t seed, uint32_t max_offset) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> b;
  b.reserve(n + 4);
  while (b.size() < n) {
    const size_t offset = 1 + rng() % max_offset;
    if (rng() % 2 && offset <= b.size()) {
      for (size_t k = 0, len = 2 + rng() % 2; k < len; ++k) b.push_back(b[b.size() - offset]);
    }
    b.push_back(static_cast<uint8_t>(rng()));
  }
  b.resize(n);
  return b;
}

}  // namespace sample

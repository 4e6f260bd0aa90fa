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

}  // namespace sample

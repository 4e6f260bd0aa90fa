// The four-operation interface every decoder implements, and its result codes.
#pragma once
#include <cstdint>

#include "cabinet/cab.h"

enum : int32_t {
  CODEC_OK = 0,
  CODEC_NO_MEMORY = 1,
  CODEC_BAD_HANDLE = 2,
  CODEC_BAD_PARAMETER = 3,
  CODEC_DATA_ERROR = 4,
  CODEC_BAD_WINDOW = 5,
};

// A decoder's inner loop: built for speed in a build otherwise made for size
// (the self-extracting module), where the few hundred bytes it adds buy
// several times the speed.
#if defined(__OPTIMIZE_SIZE__) && defined(__GNUC__) && !defined(__clang__)
#define CABSFX_HOT __attribute__((optimize("O2")))
#else
#define CABSFX_HOT
#endif

// Largest uncompressed block the format allows.
constexpr uint32_t CODEC_MAX_BLOCK = 32768;

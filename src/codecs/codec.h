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

// A decoder's whole frame loop, built twice where the loader can choose (x86-64
// ELF systems, GCC; Clang will not combine the two attributes): for the base
// instruction set and for x86-64-v3, whose three-operand vector forms and
// shifts and bit scans in any register shorten the arithmetic decoder's every
// step. Everything the function calls is inlined into it, so that each build
// covers the whole loop.
#if defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__) && !defined(__clang__)
#define CABSFX_CLONED __attribute__((target_clones("default", "arch=x86-64-v3"), flatten))
#else
#define CABSFX_CLONED
#endif

// Largest uncompressed block the format allows.
constexpr uint32_t CODEC_MAX_BLOCK = 32768;

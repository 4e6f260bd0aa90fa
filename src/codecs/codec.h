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

// Largest uncompressed block the format allows.
constexpr uint32_t CODEC_MAX_BLOCK = 32768;

// LZX decoder: one stream per folder, one frame per data block.
#pragma once
#include "codecs/codec.h"

struct LzxDecoder;

struct LzxParameters {
  uint32_t window_size;  // bytes, a power of two from 2^15 to 2^21
};

int32_t LzxCreate(uint32_t* maxUncompressed, const LzxParameters* parameters, CabAllocFn alloc,
                  CabFreeFn free, uint32_t* maxCompressed, LzxDecoder** handle, CabOpenFn open,
                  CabReadFn read, CabWriteFn write, CabCloseFn close, CabSeekFn seek);
int32_t LzxDecompress(LzxDecoder* handle, const uint8_t* input, uint32_t inputSize, uint8_t* output,
                      uint32_t* outputSize);
int32_t LzxReset(LzxDecoder* handle);
int32_t LzxDestroy(LzxDecoder* handle);

// Quantum decoder: adaptive arithmetic coding over a sliding window; one
// process-wide decoder state.
#pragma once
#include "codecs/codec.h"

struct QuantumDecoder;

struct QuantumParameters {
  uint32_t window_bits;  // 10 to 21
  int32_t processor_type;
};

int32_t QuantumCreate(uint32_t* maxUncompressed, const QuantumParameters* parameters,
                      CabAllocFn alloc, CabFreeFn free, uint32_t* maxCompressed,
                      QuantumDecoder** handle, CabOpenFn open, CabReadFn read, CabWriteFn write,
                      CabCloseFn close, CabSeekFn seek);
int32_t QuantumDecompress(QuantumDecoder* handle, const uint8_t* input, uint32_t inputSize,
                          uint8_t* output, uint32_t* outputSize);
int32_t QuantumReset(QuantumDecoder* handle);
int32_t QuantumDestroy(QuantumDecoder* handle);

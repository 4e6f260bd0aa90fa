// MSZIP decoder: each data block is "CK" followed by a deflate stream; the
// caller's 32 KiB output buffer is the history window.
#pragma once
#include "codecs/codec.h"

struct MszipDecoder;

// A null handle pointer makes this a size query.
int32_t MszipCreate(uint32_t* maxUncompressed, CabAllocFn alloc, CabFreeFn free,
                    uint32_t* maxCompressed, MszipDecoder** handle);
int32_t MszipDecompress(MszipDecoder* handle, const uint8_t* input, uint32_t inputSize,
                        uint8_t* output, uint32_t* outputSize);
int32_t MszipReset(MszipDecoder* handle);
int32_t MszipDestroy(MszipDecoder* handle);

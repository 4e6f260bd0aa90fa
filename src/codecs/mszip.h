// MSZIP decoder: each data block is "CK" followed by a deflate stream; the
// caller's 32 KiB output buffer is the history window.
#pragma once
#include "codecs/codec.h"

struct MszipDecoder;

// A null handle pointer makes this a size query. Null size pointers, or a
// null alloc or free when creating, are CODEC_BAD_PARAMETER.
int32_t MszipCreate(uint32_t* maxUncompressed, CabAllocFn alloc, CabFreeFn free,
                    uint32_t* maxCompressed, MszipDecoder** handle);
// Decodes one data block. `output` must be the same buffer of at least 32768
// bytes (whatever the maximum) for every block of a folder, left untouched
// between calls: matches reach back into it. *outputSize is the limit on entry
// and the bytes produced on success. A null output or outputSize, or a null
// input with inputSize of 2 or more, is CODEC_BAD_PARAMETER.
int32_t MszipDecompress(MszipDecoder* handle, const uint8_t* input, uint32_t inputSize,
                        uint8_t* output, uint32_t* outputSize);
int32_t MszipReset(MszipDecoder* handle);
int32_t MszipDestroy(MszipDecoder* handle);

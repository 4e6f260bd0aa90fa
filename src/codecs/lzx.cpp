// Placeholder until the LZX decoder lands: every LZX folder fails cleanly as a
// decoder that cannot be created.
#include "codecs/lzx.h"

int32_t LzxCreate(uint32_t* maxUncompressed, const LzxParameters*, CabAllocFn, CabFreeFn,
                  uint32_t* maxCompressed, LzxDecoder** handle, CabOpenFn, CabReadFn, CabWriteFn,
                  CabCloseFn, CabSeekFn) {
  if (maxCompressed) *maxCompressed = *maxUncompressed + 6144;
  if (!handle) return CODEC_OK;
  *handle = nullptr;
  return CODEC_NO_MEMORY;
}
int32_t LzxDecompress(LzxDecoder*, const uint8_t*, uint32_t, uint8_t*, uint32_t* outputSize) {
  *outputSize = 0;
  return CODEC_BAD_HANDLE;
}
int32_t LzxReset(LzxDecoder*) { return CODEC_BAD_HANDLE; }
int32_t LzxDestroy(LzxDecoder*) { return CODEC_BAD_HANDLE; }

// Placeholder until the Quantum decoder lands: every Quantum folder fails
// cleanly as a decoder that cannot be created.
#include "codecs/quantum.h"

int32_t QuantumCreate(uint32_t* maxUncompressed, const QuantumParameters* parameters, CabAllocFn,
                      CabFreeFn, uint32_t* maxCompressed, QuantumDecoder** handle, CabOpenFn,
                      CabReadFn, CabWriteFn, CabCloseFn, CabSeekFn) {
  if (parameters->window_bits < 10 || parameters->window_bits > 21) return CODEC_BAD_WINDOW;
  if (*maxUncompressed == 0 || *maxUncompressed > CODEC_MAX_BLOCK) *maxUncompressed = CODEC_MAX_BLOCK;
  *maxCompressed = *maxUncompressed + 10240;
  if (!handle) return CODEC_OK;
  *handle = nullptr;
  return CODEC_NO_MEMORY;
}
int32_t QuantumDecompress(QuantumDecoder*, const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
  return CODEC_BAD_HANDLE;
}
int32_t QuantumReset(QuantumDecoder*) { return CODEC_BAD_HANDLE; }
int32_t QuantumDestroy(QuantumDecoder*) { return CODEC_BAD_HANDLE; }

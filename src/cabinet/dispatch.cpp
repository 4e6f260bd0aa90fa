// Decoder dispatch: chooses, creates, resets and releases the decoder of the
// current folder, owns the two block buffers, and maps decoder results to
// library errors. Stored data is copied here without a decoder.
#include <cstring>

#include "cabinet/cab_internal.h"
#include "codecs/lzx.h"
#include "codecs/mszip.h"
#include "codecs/quantum.h"

namespace {

uint16_t method_of(uint16_t type_word) {
  return type_word & 0x000F;
}
uint32_t window_bits_of(uint16_t type_word) {
  return (type_word >> 8) & 0x1F;
}

void free_buffers(CabDecoder* context) {
  if (context->compressed) context->free(context->compressed);
  context->compressed = nullptr;
  if (context->uncompressed) context->free(context->uncompressed);
  context->uncompressed = nullptr;
}

// Destroys the current decoder and frees the buffers. On failure nothing is
// released and the caller keeps the current type.
bool release_current(CabDecoder* context) {
  int32_t result = CODEC_OK;
  switch (method_of(context->type_word)) {
    case COMPRESSION_UNSET:
      return true;
    case COMPRESSION_NONE:
      break;
    case COMPRESSION_MSZIP:
      result = MszipDestroy(static_cast<MszipDecoder*>(context->decoder));
      break;
    case COMPRESSION_QUANTUM:
      result = QuantumDestroy(static_cast<QuantumDecoder*>(context->decoder));
      break;
    case COMPRESSION_LZX:
      result = LzxDestroy(static_cast<LzxDecoder*>(context->decoder));
      break;
    default:
      return false;
  }
  if (result != CODEC_OK) return false;
  context->decoder = nullptr;
  free_buffers(context);
  return true;
}

// Creates buffers and decoder for type_word (already made current). Returns
// 1, or 0 with the error recorded; the caller then marks the type unset.
int32_t create_for(CabDecoder* context, uint16_t type_word) {
  const uint16_t method = method_of(type_word);
  if (method == COMPRESSION_UNSET) return 1;
  context->block_size = CODEC_MAX_BLOCK;
  QuantumParameters quantum{window_bits_of(type_word), context->processor_type};
  // A window of 2^32 or more cannot be asked for; 32 and above become 0,
  // which the decoder refuses.
  const uint32_t bits = window_bits_of(type_word);
  LzxParameters lzx{bits < 32 ? (1u << bits) : 0u};

  int32_t query = CODEC_OK;
  switch (method) {
    case COMPRESSION_NONE:
      context->compressed_capacity = CODEC_MAX_BLOCK;
      break;
    case COMPRESSION_MSZIP:
      query = MszipCreate(&context->block_size, context->alloc, context->free,
                          &context->compressed_capacity, nullptr);
      break;
    case COMPRESSION_QUANTUM:
      query = QuantumCreate(&context->block_size, &quantum, context->alloc, context->free,
                            &context->compressed_capacity, nullptr, context->open, context->read,
                            context->write, context->close, context->seek);
      break;
    case COMPRESSION_LZX:
      query = LzxCreate(&context->block_size, &lzx, context->alloc, context->free,
                        &context->compressed_capacity, nullptr, context->open, context->read,
                        context->write, context->close, context->seek);
      break;
    default:
      return CabFail(context, CAB_ERR_COMPRESSION_TYPE);
  }
  if (query != CODEC_OK) return CabFail(context, CAB_ERR_DECODER);
  // The engine reads up to block_size bytes from the uncompressed buffer and
  // the context's counters are 16-bit: never accept more than one block.
  if (context->block_size == 0 || context->block_size > CODEC_MAX_BLOCK ||
      context->compressed_capacity == 0 || context->compressed_capacity > 0xFFFF) {
    return CabFail(context, CAB_ERR_DECODER);
  }

  context->compressed = static_cast<uint8_t*>(context->alloc(context->compressed_capacity));
  if (!context->compressed) return CabFail(context, CAB_ERR_NO_MEMORY);
  context->uncompressed = static_cast<uint8_t*>(context->alloc(context->block_size));
  if (!context->uncompressed) {
    free_buffers(context);
    return CabFail(context, CAB_ERR_NO_MEMORY);
  }
  // Zero history: a back-reference before the start of the first folder reads
  // zeros, never what the allocator left there.
  memset(context->compressed, 0, context->compressed_capacity);
  memset(context->uncompressed, 0, context->block_size);

  int32_t created = CODEC_OK;
  switch (method) {
    case COMPRESSION_MSZIP: {
      MszipDecoder* handle = nullptr;
      created = MszipCreate(&context->block_size, context->alloc, context->free,
                            &context->compressed_capacity, &handle);
      context->decoder = handle;
      break;
    }
    case COMPRESSION_QUANTUM: {
      QuantumDecoder* handle = nullptr;
      created = QuantumCreate(&context->block_size, &quantum, context->alloc, context->free,
                              &context->compressed_capacity, &handle, context->open, context->read,
                              context->write, context->close, context->seek);
      context->decoder = handle;
      break;
    }
    case COMPRESSION_LZX: {
      LzxDecoder* handle = nullptr;
      created = LzxCreate(&context->block_size, &lzx, context->alloc, context->free,
                          &context->compressed_capacity, &handle, context->open, context->read,
                          context->write, context->close, context->seek);
      context->decoder = handle;
      break;
    }
    default:
      break;
  }
  if (created != CODEC_OK) {
    context->decoder = nullptr;
    free_buffers(context);
    return CabFail(context, created == CODEC_NO_MEMORY ? CAB_ERR_NO_MEMORY : CAB_ERR_DECODER);
  }
  return 1;
}

}  // namespace

int32_t CabSelectDecoder(CabDecoder* context, uint16_t type_word) {
  if (type_word == context->type_word) return 1;
  if (!release_current(context)) return CabFail(context, CAB_ERR_DECODER);
  context->type_word = type_word;
  if (!create_for(context, type_word)) {
    context->type_word = COMPRESSION_UNSET;
    return 0;
  }
  return 1;
}

int32_t CabResetDecoder(CabDecoder* context) {
  // A new folder starts from empty history, so that a stray back-reference
  // reads the same zeros whichever folder was decoded before.
  if (context->uncompressed) memset(context->uncompressed, 0, context->block_size);
  int32_t result = CODEC_OK;
  switch (method_of(context->type_word)) {
    case COMPRESSION_NONE:
    case COMPRESSION_UNSET:
      return 1;
    case COMPRESSION_MSZIP:
      result = MszipReset(static_cast<MszipDecoder*>(context->decoder));
      break;
    case COMPRESSION_QUANTUM:
      result = QuantumReset(static_cast<QuantumDecoder*>(context->decoder));
      break;
    case COMPRESSION_LZX:
      result = LzxReset(static_cast<LzxDecoder*>(context->decoder));
      break;
    default:
      return CabFail(context, CAB_ERR_COMPRESSION_TYPE);
  }
  return result == CODEC_OK ? 1 : CabFail(context, CAB_ERR_DECODER);
}

int32_t CabDecodeBlock(CabDecoder* context, uint16_t* expected_size) {
  const uint32_t input_size = context->block_compressed_size;
  const uint16_t method = method_of(context->type_word);
  if (method > COMPRESSION_LZX) return CabFail(context, CAB_ERR_COMPRESSION_TYPE);
  // The engine checked the input against the capacity before reading it; the
  // output side is checked here so that no decoder is asked for more than the
  // uncompressed buffer holds.
  if (input_size > context->compressed_capacity) return CabFail(context, CAB_ERR_DAMAGED);
  if (*expected_size > context->block_size) return CabFail(context, CAB_ERR_DECODER);

  uint32_t produced = context->block_size;
  int32_t result = CODEC_OK;
  switch (method) {
    case COMPRESSION_NONE:
      if (input_size > context->block_size) return CabFail(context, CAB_ERR_DECODER);
      memcpy(context->uncompressed, context->compressed, input_size);
      produced = input_size;
      break;
    case COMPRESSION_MSZIP:
      result = MszipDecompress(static_cast<MszipDecoder*>(context->decoder), context->compressed,
                               input_size, context->uncompressed, &produced);
      break;
    case COMPRESSION_QUANTUM:
      produced = *expected_size;
      result = QuantumDecompress(static_cast<QuantumDecoder*>(context->decoder),
                                 context->compressed, input_size, context->uncompressed, &produced);
      break;
    case COMPRESSION_LZX:
      produced = *expected_size;
      result = LzxDecompress(static_cast<LzxDecoder*>(context->decoder), context->compressed,
                             input_size, context->uncompressed, &produced);
      break;
  }
  if (result != CODEC_OK || produced > context->block_size) {
    return CabFail(context, CAB_ERR_DECODER);
  }
  *expected_size = static_cast<uint16_t>(produced);
  return 1;
}

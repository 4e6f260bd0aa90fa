// The decoding context: creation, destruction and error reporting.
#include <cstring>

#include "cabinet/cab_internal.h"

int32_t CabFail(CabDecoder* context, int32_t code, int32_t detail) {
  context->last_error = code;
  if (context->error) {
    context->error->code = code;
    context->error->detail = detail;
    context->error->failed = 1;
  }
  return 0;
}

CabDecoder* CabDecoderCreate(CabAllocFn alloc, CabFreeFn free, CabOpenFn open, CabReadFn read,
                             CabWriteFn write, CabCloseFn close, CabSeekFn seek,
                             int32_t processor_type, CabErrorRecord* error) {
  CabDecoder* context = static_cast<CabDecoder*>(alloc(sizeof(CabDecoder)));
  if (!context) {
    if (error) {
      error->code = CAB_ERR_NO_MEMORY;
      error->detail = 0;
      error->failed = 1;
    }
    return nullptr;
  }
  // Everything not set below starts out zero: null buffers, empty strings.
  memset(static_cast<void*>(context), 0, sizeof(CabDecoder));
  context->error = error;
  context->free = free;
  context->alloc = alloc;
  context->open = open;
  context->read = read;
  context->write = write;
  context->close = close;
  context->seek = seek;
  context->processor_type = processor_type;
  context->type_word = COMPRESSION_UNSET;
  context->data_handle = -1;
  context->list_handle = -1;
  context->output_handle = -1;
  context->current_folder = CAB_NO_FOLDER;
  return context;
}

int32_t CabDecoderDestroy(CabDecoder* context) {
  if (!context) return 1;
  if (!CabSelectDecoder(context, COMPRESSION_UNSET)) {
    // The decoder refused to be destroyed; the context goes away regardless,
    // so at least the buffers the context owns are returned.
    if (context->compressed) context->free(context->compressed);
    if (context->uncompressed) context->free(context->uncompressed);
  }
  if (context->header_reserve) context->free(context->header_reserve);
  if (context->folder_record) context->free(context->folder_record);
  if (context->data_header) context->free(context->data_header);
  if (context->data_handle != -1) context->close(context->data_handle);
  if (context->list_handle != -1) context->close(context->list_handle);
  context->free(context);
  return 1;
}

const char* CabErrorText(int32_t code) {
  switch (code) {
    case CAB_ERR_NONE:
      return "no error";
    case CAB_ERR_CABINET_MISSING:
      return "cabinet not found";
    case CAB_ERR_NOT_CABINET:
      return "not a cabinet";
    case CAB_ERR_VERSION:
      return "unsupported cabinet version";
    case CAB_ERR_DAMAGED:
      return "cabinet damaged";
    case CAB_ERR_NO_MEMORY:
      return "out of memory";
    case CAB_ERR_COMPRESSION_TYPE:
      return "unknown compression type";
    case CAB_ERR_DECODER:
      return "decompression failed";
    case CAB_ERR_OUTPUT:
      return "cannot write output";
    case CAB_ERR_RESERVE_SIZE:
      return "reserve sizes differ between cabinets";
    case CAB_ERR_WRONG_CABINET:
      return "wrong cabinet in set";
    case CAB_ERR_ABORTED:
      return "aborted";
    default:
      return "unknown error";
  }
}

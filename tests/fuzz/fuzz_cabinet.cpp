// The whole cabinet library over a cabinet made of the fuzz input. Output is
// discarded. A second "MSCF" in the input starts the next cabinet of a set;
// without one, the next cabinet is the input again with its index raised, so
// that moving on to a continuation cabinet is reached as well.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cabinet/cab.h"

namespace {

struct Cabinet {
  const uint8_t* data;
  size_t size;
};

Cabinet cabinets[2];
uint8_t second_copy[1 << 20];  // the input with iCabinet + 1, when no split is found

struct OpenFile {
  int32_t cabinet;  // -1: free slot
  int64_t position;
};
OpenFile files[8];
int32_t need_cabinet_calls;
uint32_t sink;  // keeps the reads of written bytes from being optimised away

constexpr int32_t OUTPUT_HANDLE = 0x4000;

void* fz_alloc(uint32_t size) {
  void* p = malloc(size ? size : 1);
  // Poisoned like a used heap, except the large decoder windows (too slow).
  if (p && size <= 65536) memset(p, 0xA5, size);
  return p;
}
void fz_free(void* p) {
  free(p);
}

int32_t fz_open(const char* path, int32_t, int32_t) {
  // "first.cab" is the first cabinet; any other name is the next one.
  const int32_t which = strcmp(path, "first.cab") == 0 ? 0 : 1;
  for (int32_t h = 0; h < 8; ++h) {
    if (files[h].cabinet == -1) {
      files[h] = {which, 0};
      return h + 1;
    }
  }
  return -1;
}

OpenFile* file_of(int32_t handle) {
  if (handle < 1 || handle > 8 || files[handle - 1].cabinet == -1) return nullptr;
  return &files[handle - 1];
}

int32_t fz_read(int32_t handle, void* buffer, uint32_t count) {
  OpenFile* f = file_of(handle);
  if (!f) return -1;
  const Cabinet& c = cabinets[f->cabinet];
  if (f->position >= static_cast<int64_t>(c.size)) return 0;
  size_t n = c.size - static_cast<size_t>(f->position);
  if (n > count) n = count;
  memcpy(buffer, c.data + f->position, n);
  f->position += static_cast<int64_t>(n);
  return static_cast<int32_t>(n);
}

int32_t fz_write(int32_t handle, const void* buffer, uint32_t count) {
  if (handle != OUTPUT_HANDLE) abort();  // the library writes only where it was told
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  if (count) sink += p[0] + p[count - 1];
  return static_cast<int32_t>(count);
}

int32_t fz_close(int32_t handle) {
  if (handle == OUTPUT_HANDLE) return 0;
  OpenFile* f = file_of(handle);
  if (!f) abort();  // closing something never opened
  f->cabinet = -1;
  return 0;
}

int32_t fz_seek(int32_t handle, int32_t offset, int32_t origin) {
  OpenFile* f = file_of(handle);
  if (!f) return -1;
  int64_t base = origin == 0 ? 0 : origin == 1 ? f->position : cabinets[f->cabinet].size;
  const int64_t target = base + offset;
  if (target < 0) return -1;
  f->position = target;
  return static_cast<int32_t>(target);
}

int32_t notify(int32_t kind, CabNotification* n) {
  switch (kind) {
    case CAB_NOTIFY_FILE_BEGIN:
      return OUTPUT_HANDLE;
    case CAB_NOTIFY_FILE_END:
      if (n->handle != OUTPUT_HANDLE) abort();
      return 1;
    case CAB_NOTIFY_NEED_CABINET:
      return ++need_cabinet_calls > 3 ? -1 : 0;
    default:
      return 0;
  }
}

int32_t hook(CabBlockHookRecord* r) {
  // Touch every byte the library hands over so that the sanitizers see them.
  for (uint32_t i = 0; r->reserve && i < r->reserveSize; ++i) sink += r->reserve[i];
  if (r->kind == CAB_HOOK_DATA_BLOCK) {
    for (uint32_t i = 0; i < r->dataSize; ++i) sink += r->data[i];
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > sizeof second_copy) return 0;
  cabinets[0] = {data, size};
  const uint8_t* split = nullptr;
  for (size_t i = 1; i + 4 <= size && !split; ++i) {
    if (memcmp(data + i, "MSCF", 4) == 0) split = data + i;
  }
  if (split) {
    cabinets[0].size = static_cast<size_t>(split - data);
    cabinets[1] = {split, size - cabinets[0].size};
  } else {
    memcpy(second_copy, data, size);
    if (size >= 36) ++second_copy[34];
    cabinets[1] = {second_copy, size};
  }
  for (OpenFile& f : files) f.cabinet = -1;

  // One context for the whole run: its decoders, windows and buffers are
  // kept from input to input, as a caller extracting many cabinets keeps them.
  static CabErrorRecord error{};
  static CabDecoder* context = CabDecoderCreate(fz_alloc, fz_free, fz_open, fz_read, fz_write,
                                                fz_close, fz_seek, -1, &error);
  if (!context) abort();
  // Twice on one context: the second walk starts from what the first left.
  for (int round = 0; round < 2; ++round) {
    need_cabinet_calls = 0;
    const int32_t ok = CabDecoderExtract(context, "first.cab", "", 0, notify, hook, 0);
    if (!ok && (error.failed != 1 || error.code < 1 || error.code > 11)) abort();
    for (const OpenFile& f : files) {
      if (f.cabinet != -1) abort();  // a cabinet handle left open
    }
    if (ok && round == 0 && !(size & 1)) break;
  }
  // Now and then the context goes and comes back, so that its destruction
  // with whatever decoder it holds is fuzzed too.
  if ((size % 64) == 63) {
    CabDecoderDestroy(context);
    context = CabDecoderCreate(fz_alloc, fz_free, fz_open, fz_read, fz_write, fz_close, fz_seek, -1,
                               &error);
    if (!context) abort();
  }
  return 0;
}

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "package/package.h"
#include "startup/globals.h"
#include "startup/startup.h"

namespace {

// The headers of a mapped image occupy at least its first page, which is
// always committed; the section table of this module lies well inside it.
constexpr size_t MAPPED_HEADER_SPAN = 4096;

int32_t read_descriptor(void* source, uint8_t* buffer, uint32_t count) {
  return _read(*static_cast<int*>(source), buffer, count);
}

bool read_block_at(void* source, uint32_t offset, uint8_t* block) {
  const int file = *static_cast<int*>(source);
  return offset <= uint32_t(INT32_MAX) && _lseek(file, long(offset), SEEK_SET) == long(offset) &&
         _read(file, block, PACKAGE_HEADER_SIZE) == int(PACKAGE_HEADER_SIZE);
}

}  // namespace

uint32_t image_end_offset(HINSTANCE instance) {
  if (!instance) return 0;
  return image_end_from_headers(reinterpret_cast<const uint8_t*>(instance), MAPPED_HEADER_SPAN);
}

int32_t find_cabinet(const char* path, int file) {
  cabinet_offset = -1;
  if (file == -1) {
    file = _open(path, _O_RDONLY | _O_BINARY | _O_SEQUENTIAL);
    if (file == -1) return -1;
  }
  const long length = _lseek(file, 0, SEEK_END);
  // A package's cabinet lies behind its header block, whose text fields may
  // hold the signature too; anything else is searched from its first byte.
  static uint8_t head[MAPPED_HEADER_SPAN];
  int32_t got = -1;
  if (length != -1 && _lseek(file, 0, SEEK_SET) == 0) got = _read(file, head, sizeof head);
  if (got >= 0) {
    const uint32_t start =
        cabinet_search_start(head, size_t(got), uint64_t(length), read_block_at, &file);
    if (start <= uint32_t(INT32_MAX) && _lseek(file, long(start), SEEK_SET) == long(start)) {
      const int32_t found = find_cabinet_signature(read_descriptor, &file);
      if (found >= 0 && int64_t(found) + start <= INT32_MAX)
        cabinet_offset = found + int32_t(start);
    }
  }
  _close(file);
  return length;
}

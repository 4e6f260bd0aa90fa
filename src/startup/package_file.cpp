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
  if (length != -1 && _lseek(file, 0, SEEK_SET) == 0) {
    cabinet_offset = find_cabinet_signature(read_descriptor, &file);
  }
  _close(file);
  return length;
}

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <cstring>

#include "package/package.h"
#include "startup/globals.h"
#include "startup/paths.h"
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
  return _lseeki64(file, offset, SEEK_SET) == offset &&
         _read(file, block, PACKAGE_HEADER_SIZE) == int(PACKAGE_HEADER_SIZE);
}

uint32_t get32(const uint8_t* p) {
  return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// CFHEADER fields and flags as far as the set's chain needs them.
constexpr size_t CFHEADER_SIZE = 36;
constexpr uint16_t CFHEADER_PREV_CABINET = 0x0001;
constexpr uint16_t CFHEADER_NEXT_CABINET = 0x0002;
constexpr uint16_t CFHEADER_RESERVE_PRESENT = 0x0004;

// Reads the header of the cabinet at `offset` in `file`: its length
// (cbCabinet), set ID and index, and the name of the cabinet that follows it
// (empty when none). False when it is no readable cabinet header.
bool read_cabinet_links(int file, int64_t offset, uint32_t* length, uint32_t* set_and_index,
                        char* next_name) {
  uint8_t header[CFHEADER_SIZE + 4];
  const int got =
      _lseeki64(file, offset, SEEK_SET) == offset ? _read(file, header, sizeof header) : -1;
  // "MSCF" as a number: the module must not hold the cabinet signature itself.
  if (got < int(CFHEADER_SIZE) || get32(header) != 0x4643534Du) return false;
  *length = get32(header + 8);
  *set_and_index = get32(header + 32);
  const uint16_t flags = uint16_t(header[30] | header[31] << 8);
  next_name[0] = 0;
  if (!(flags & CFHEADER_NEXT_CABINET)) return true;
  int64_t names = offset + int64_t(CFHEADER_SIZE);
  if (flags & CFHEADER_RESERVE_PRESENT) {
    if (got < int(sizeof header)) return false;
    names += 4 + (header[36] | header[37] << 8);
  }
  // Up to four names of at most 255 bytes each: previous cabinet and disk,
  // then next cabinet and disk.
  static char text[4 * 256];
  const int count = _lseeki64(file, names, SEEK_SET) == names ? _read(file, text, sizeof text) : -1;
  if (count <= 0) return false;
  size_t at = 0;
  for (int skip = (flags & CFHEADER_PREV_CABINET) ? 2 : 0; skip > 0; --skip) {
    const void* end = std::memchr(text + at, 0, size_t(count) - at);
    if (!end) return false;
    at = size_t(static_cast<const char*>(end) - text) + 1;
  }
  const size_t left = size_t(count) - at;
  const void* end = std::memchr(text + at, 0, left < 256 ? left : 256);
  if (!end) return false;
  return copy_text(next_name, PATH_BUFFER, text + at) != 0;
}

}  // namespace

uint32_t image_end_offset(HINSTANCE instance) {
  if (!instance) return 0;
  return image_end_from_headers(reinterpret_cast<const uint8_t*>(instance), MAPPED_HEADER_SPAN);
}

int64_t find_cabinet(const char* path, int file) {
  cabinet_offset = -1;
  if (file == -1) {
    file = _open(path, _O_RDONLY | _O_BINARY | _O_SEQUENTIAL);
    if (file == -1) return -1;
  }
  // A package may be larger than 2 GiB: lengths and offsets are 64-bit.
  const int64_t length = _lseeki64(file, 0, SEEK_END);
  // A package's cabinet lies behind its header block, whose text fields may
  // hold the signature too; anything else is searched from its first byte.
  static uint8_t head[MAPPED_HEADER_SPAN];
  int32_t got = -1;
  if (length != -1 && _lseeki64(file, 0, SEEK_SET) == 0) got = _read(file, head, sizeof head);
  if (got >= 0) {
    const uint32_t start =
        cabinet_search_start(head, size_t(got), uint64_t(length), read_block_at, &file);
    if (start <= uint32_t(INT32_MAX) && _lseeki64(file, start, SEEK_SET) == start) {
      const int32_t found = find_cabinet_signature(read_descriptor, &file);
      if (found >= 0 && int64_t(found) + start <= INT32_MAX)
        cabinet_offset = found + int32_t(start);
    }
  }
  _close(file);
  return length;
}

uint64_t cabinet_set_length(const char* path, uint64_t first_length) {
  const int file = _open(path, _O_RDONLY | _O_BINARY);
  if (file == -1) return first_length;
  uint32_t length;
  uint32_t first_set;
  char next[PATH_BUFFER];
  const bool linked = read_cabinet_links(file, cabinet_offset, &length, &first_set, next);
  _close(file);
  if (!linked) return first_length;
  char folder[PATH_BUFFER];
  split_path(path, folder, nullptr);
  uint64_t total = first_length;
  // Each following cabinet is of the same set with the next index; the index
  // is 16-bit, so a chain that loops ends when it wraps.
  for (uint32_t expected = first_set + 0x10000; next[0]; expected += 0x10000) {
    char next_path[PATH_BUFFER];
    if (format_text(next_path, sizeof next_path, "%s%s", folder, next) < 0) break;
    const int part = _open(next_path, _O_RDONLY | _O_BINARY);
    if (part == -1) break;
    uint32_t set_and_index;
    const bool read = read_cabinet_links(part, 0, &length, &set_and_index, next);
    _close(part);
    if (!read || set_and_index != expected || (expected >> 16) == 0) break;
    total += length;
  }
  return total;
}

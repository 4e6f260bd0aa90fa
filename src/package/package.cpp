#include "package/package.h"

#include <cstring>

bool package_header_recognised(const void* block, size_t length) {
  return length >= PACKAGE_HEADER_SIZE && std::memcmp(block, PACKAGE_MAGIC, 6) == 0;
}

static uint32_t read_u32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

static uint16_t read_u16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}

uint32_t image_end_from_headers(const uint8_t* image, size_t image_size) {
  constexpr size_t SECTION_HEADER = 40;
  if (image_size < 64) return 0;
  const size_t pe = read_u16(image + 60);  // e_lfanew, low 16 bits only
  if (pe + 8 > image_size) return 0;
  const uint16_t sections = read_u16(image + pe + 6);
  if (sections < 2) return 0;
  // First section header: after the signature, the file header and a PE32
  // optional header of 224 bytes.
  const size_t first = pe + 248;
  if (first + size_t(sections) * SECTION_HEADER > image_size) return 0;
  // Step from header to header, counting those whose name begins with '.',
  // never past the last of the NumberOfSections headers.
  size_t at = first;
  uint16_t count = 1;
  uint16_t index = 0;
  while (count < sections) {
    if (index + 1 >= sections) return 0;  // a name without '.' would walk past the table
    ++index;
    at += SECTION_HEADER;
    if (image[at] == '.') ++count;
  }
  return read_u32(image + at + 20) + read_u32(image + at + 16);
}

uint32_t cabinet_search_start(const uint8_t* head, size_t head_size, uint64_t file_size,
                              PackageReadBlockFn read_block, void* source) {
  if (head_size < 2 || head[0] != 'M' || head[1] != 'Z') return 0;
  const uint32_t image_end = image_end_from_headers(head, head_size);
  if (image_end == 0 || uint64_t(image_end) + PACKAGE_HEADER_SIZE > file_size) return 0;
  uint8_t block[PACKAGE_HEADER_SIZE];
  if (!read_block(source, image_end, block) || !package_header_recognised(block, sizeof block)) {
    return 0;
  }
  return image_end + PACKAGE_HEADER_SIZE;
}

bool pe_certificate_table(const uint8_t* image, size_t image_size, uint32_t& offset,
                          uint32_t& size) {
  constexpr size_t OPTIONAL_HEADER = 24;  // after the signature and the file header
  constexpr size_t SECURITY_ENTRY = OPTIONAL_HEADER + 96 + 4 * 8;
  if (image_size < 64) return false;
  const size_t pe = read_u16(image + 60);
  if (pe + SECURITY_ENTRY + 8 > image_size) return false;
  if (read_u16(image + pe + OPTIONAL_HEADER) != 0x10B) return false;  // PE32 only
  if (read_u32(image + pe + OPTIONAL_HEADER + 92) < 5) return false;  // NumberOfRvaAndSizes
  offset = read_u32(image + pe + SECURITY_ENTRY);
  size = read_u32(image + pe + SECURITY_ENTRY + 4);
  return offset != 0 && size != 0;
}

uint64_t package_crc_end(const uint8_t* image, size_t image_size, uint64_t region_start,
                         uint64_t file_length) {
  uint32_t offset = 0, size = 0;
  if (pe_certificate_table(image, image_size, offset, size) && offset >= region_start &&
      offset <= file_length)
    return offset;
  return file_length;
}

int32_t find_cabinet_signature(PackageReadFn read, void* source) {
  static uint8_t buffer[CABINET_SEARCH_BLOCK + 8];
  uint32_t carried = 0;  // bytes kept from the previous block's end
  int64_t base = 0;      // stream offset of buffer[0]
  for (;;) {
    const int32_t got = read(source, buffer + carried, CABINET_SEARCH_BLOCK);
    if (got <= 0) return -1;
    const uint32_t filled = carried + uint32_t(got);
    for (uint32_t i = 0; i + 8 <= filled; ++i) {
      // Compared in two halves so that the 8-byte signature never sits as one
      // constant in the module (the search would find the module itself).
      if (buffer[i] == 'M' && buffer[i + 1] == 'S' && buffer[i + 2] == 'C' &&
          buffer[i + 3] == 'F' && read_u32(buffer + i + 4) == 0) {
        const int64_t offset = base + i;
        return offset > INT32_MAX ? -1 : int32_t(offset);
      }
    }
    carried = filled < 7 ? filled : 7;
    std::memmove(buffer, buffer + filled - carried, carried);
    base += filled - carried;
  }
}

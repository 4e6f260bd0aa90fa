// Header block layout, the image-end walk, the cabinet search and CRC-32.
#include "package/package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "package/crc32.h"

namespace {

TEST(Crc32, CheckValueAndRegister) {
  EXPECT_EQ(crc32_of("123456789", 9), 0xCBF43926u);
  crc32_build_table();
  crc32_feed("12345", 5);
  crc32_feed("6789", 4);
  EXPECT_EQ(crc32_register() ^ 0xFFFFFFFFu, 0xCBF43926u);
  // Chaining continues a CRC over split buffers.
  EXPECT_EQ(crc32_of("6789", 4, crc32_of("12345", 5)), 0xCBF43926u);
  EXPECT_EQ(crc32_of("", 0), 0u);
}

TEST(PackageHeader, RecognisedByItsSixLetters) {
  PackageHeader header = {};
  std::memcpy(header.magic, "KESTRA", 6);
  EXPECT_TRUE(package_header_recognised(&header, sizeof header));
  EXPECT_FALSE(package_header_recognised(&header, sizeof header - 1));
  header.magic[5] = 'B';
  EXPECT_FALSE(package_header_recognised(&header, sizeof header));
}

// A PE image with the given section names; section i has raw data at
// 0x400 * (i + 1) of 0x200 * (i + 1) bytes.
std::vector<uint8_t> image_with(const std::vector<const char*>& names, uint16_t e_lfanew = 0x80) {
  std::vector<uint8_t> image(std::max<size_t>(0x400, e_lfanew + 248 + 40 * names.size()), 0);
  image[0] = 'M';
  image[1] = 'Z';
  image[60] = uint8_t(e_lfanew);
  image[61] = uint8_t(e_lfanew >> 8);
  std::memcpy(&image[e_lfanew], "PE\0\0", 4);
  image[e_lfanew + 6] = uint8_t(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    uint8_t* header = &image[e_lfanew + 248 + 40 * i];
    std::memcpy(header, names[i], std::strlen(names[i]));
    const uint32_t size = 0x200 * uint32_t(i + 1), at = 0x400 * uint32_t(i + 1);
    std::memcpy(header + 16, &size, 4);
    std::memcpy(header + 20, &at, 4);
  }
  return image;
}

TEST(ImageEnd, EndOfTheLastSectionsRawData) {
  auto image = image_with({".text", ".data", ".rsrc"});
  EXPECT_EQ(image_end_from_headers(image.data(), image.size()), 0xC00u + 0x600u);
  image = image_with({"CODE", ".data"});  // the first name is not counted
  EXPECT_EQ(image_end_from_headers(image.data(), image.size()), 0x800u + 0x400u);
}

TEST(ImageEnd, NeverWalksPastTheSectionTable) {
  // A later name without '.' would make the walk run past the last header.
  auto image = image_with({".text", "UPX1", ".rsrc"});
  EXPECT_EQ(image_end_from_headers(image.data(), image.size()), 0u);
  image = image_with({".text"});
  EXPECT_EQ(image_end_from_headers(image.data(), image.size()), 0u);
  // Headers that lie beyond the bytes given are not read.
  image = image_with({".text", ".data"}, 0x3F0);
  EXPECT_EQ(image_end_from_headers(image.data(), 0x400), 0u);
  EXPECT_EQ(image_end_from_headers(image.data(), 32), 0u);
}

// The CRC region of a signed package stops at its certificate table, and
// only when the security directory points behind the header block.
TEST(PackageCrcEnd, StopsAtACertificateTableBehindTheHeaderBlock) {
  constexpr uint64_t START = 0x1600 + 512, LENGTH = 100000;
  struct Case {
    const char* what;
    uint16_t magic;
    uint8_t directories;
    uint32_t table_at, table_size;
    uint64_t end;
  } cases[] = {
      {"signed", 0x10B, 16, 99000, 1000, 99000},
      {"table right behind the header", 0x10B, 16, uint32_t(START), 8, START},
      {"table inside the image", 0x10B, 16, 0x400, 1000, LENGTH},
      {"table inside the header block", 0x10B, 16, uint32_t(START - 8), 1000, LENGTH},
      {"table beyond the file", 0x10B, 16, uint32_t(LENGTH + 8), 1000, LENGTH},
      {"PE32+ headers", 0x20B, 16, 99000, 1000, LENGTH},
  };
  for (const Case& c : cases) {
    auto image = image_with({".text", ".data", ".rsrc"});
    std::memcpy(&image[0x80 + 24], &c.magic, 2);
    image[0x80 + 24 + 92] = c.directories;
    std::memcpy(&image[0x80 + 152], &c.table_at, 4);
    std::memcpy(&image[0x80 + 156], &c.table_size, 4);
    EXPECT_EQ(package_crc_end(image.data(), image.size(), START, LENGTH), c.end) << c.what;
    // Headers cut short before the directory are read as unsigned.
    EXPECT_EQ(package_crc_end(image.data(), 0x80 + 156, START, LENGTH), LENGTH) << c.what;
  }
}

struct Stream {
  std::vector<uint8_t> bytes;
  size_t at = 0;
  int32_t fail_after = -1;  // reads before a failure; -1 never
};

int32_t read_stream(void* source, uint8_t* buffer, uint32_t count) {
  auto* s = static_cast<Stream*>(source);
  if (s->fail_after == 0) return -1;
  if (s->fail_after > 0) --s->fail_after;
  const size_t n = std::min<size_t>(count, s->bytes.size() - s->at);
  std::memcpy(buffer, s->bytes.data() + s->at, n);
  s->at += n;
  return int32_t(n);
}

void put_signature(std::vector<uint8_t>& bytes, size_t at) {
  const uint8_t signature[8] = {'M', 'S', 'C', 'F', 0, 0, 0, 0};
  std::memcpy(&bytes[at], signature, 8);
}

TEST(FindCabinet, FirstSignatureAnywhereInTheStream) {
  Stream s;
  s.bytes.assign(200000, 0x41);
  put_signature(s.bytes, 32765);  // spans the first and second 32 KiB blocks
  put_signature(s.bytes, 100000);
  EXPECT_EQ(find_cabinet_signature(read_stream, &s), 32765);

  Stream plain;
  plain.bytes.assign(100, 0);
  put_signature(plain.bytes, 0);
  EXPECT_EQ(find_cabinet_signature(read_stream, &plain), 0);
}

TEST(FindCabinet, PassesOverIncompleteSignaturesAndStopsAtErrors) {
  Stream s;
  s.bytes.assign(70000, 0xEE);
  std::memcpy(&s.bytes[10], "MSCF\1\0\0\0", 8);  // reserved field not zero
  std::memcpy(&s.bytes[65530], "MSCF", 4);       // not followed by zeros
  put_signature(s.bytes, 65536 + 100);
  EXPECT_EQ(find_cabinet_signature(read_stream, &s), 65636);

  Stream none;
  none.bytes.assign(40000, 'M');
  EXPECT_EQ(find_cabinet_signature(read_stream, &none), -1);

  Stream failing;
  failing.bytes.assign(100000, 0);
  put_signature(failing.bytes, 50000);
  failing.fail_after = 1;  // the second block's read fails
  EXPECT_EQ(find_cabinet_signature(read_stream, &failing), -1);
}

}  // namespace

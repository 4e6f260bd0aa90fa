// The publisher's icon and version text in an image laid out like the
// module's (.text, .rsrc, .reloc last), and the inputs that are refused.
#include "writer/pe_resources.h"

#include <gtest/gtest.h>

#include <cstring>

#include "package/package.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t get32(const Bytes& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}

void put32(Bytes& b, size_t at, uint32_t v) {
  std::memcpy(&b[at], &v, 4);
}

constexpr size_t OPT = 0x98, DIRS = OPT + 96, SECTIONS = OPT + 224;

// Headers, .text, .rsrc (an empty resource directory), .reloc (one block).
Bytes make_image() {
  Bytes b(0x400 + 3 * 0x200, 0);
  b[0] = 'M', b[1] = 'Z', b[0x3C] = 0x80;
  std::memcpy(&b[0x80], "PE\0\0\x4C\x01\x03", 7);
  b[0x94] = 224;
  b[OPT] = 0x0B, b[OPT + 1] = 0x01;
  for (auto [at, v] : {std::pair{8, 0x400},
                       {32, 0x1000},
                       {36, 0x200},
                       {56, 0x4000},
                       {60, 0x400},
                       {64, 0x1234},
                       {92, 16}})
    put32(b, OPT + at, v);
  put32(b, DIRS + 16, 0x2000), put32(b, DIRS + 20, 16);
  put32(b, DIRS + 40, 0x3000), put32(b, DIRS + 44, 12);
  const char* names[] = {".text", ".rsrc", ".reloc"};
  for (uint32_t i = 0; i < 3; ++i) {
    const size_t s = SECTIONS + 40 * i;
    std::memcpy(&b[s], names[i], std::strlen(names[i]));
    put32(b, s + 8, 0x10), put32(b, s + 12, 0x1000 * (i + 1));
    put32(b, s + 16, 0x200), put32(b, s + 20, 0x400 + 0x200 * i);
    put32(b, s + 36, i ? 0x40000040 : 0x60000020);
  }
  const uint8_t reloc[] = {0, 0x10, 0, 0, 12, 0, 0, 0, 4, 0x30, 0, 0};
  std::memcpy(&b[0x800], reloc, sizeof reloc);
  return b;
}

Bytes icon_file(const std::vector<std::pair<uint32_t, uint16_t>>& sides_bits) {
  Bytes head = {0, 0, 1, 0, uint8_t(sides_bits.size()), 0}, body;
  for (auto [side, bits] : sides_bits) {
    Bytes entry(16, 0), image(40 + side * side * bits / 8, uint8_t(side));
    entry[0] = entry[1] = uint8_t(side);
    entry[6] = uint8_t(bits);
    put32(entry, 8, uint32_t(image.size()));
    put32(entry, 12, uint32_t(6 + 16 * sides_bits.size() + body.size()));
    put32(image, 0, 40), put32(image, 4, side), put32(image, 8, 2 * side);
    image[12] = 1, image[14] = uint8_t(bits);
    head.insert(head.end(), entry.begin(), entry.end());
    body.insert(body.end(), image.begin(), image.end());
  }
  head.insert(head.end(), body.begin(), body.end());
  return head;
}

std::vector<Resource> of_type(const Bytes& image, uint32_t type) {
  std::vector<Resource> out;
  for (Resource& r : read_resources(image))
    if (r.type.id == type) out.push_back(std::move(r));
  return out;
}

TEST(PeResources, BrandedImageStaysValidAndRebrandingLeavesNoStrayIcon) {
  const Bytes image = make_image();
  Branding branding;
  branding.icon = parse_icon_file(icon_file({{16, 4}, {32, 32}}));
  parse_version_option("ProductName=Acme,CompanyName=Acme, Inc.,FileVersion=2.5.1",
                       branding.version);
  parse_version_option("legalcopyright=\xC2\xA9 Acme", branding.version);
  const Bytes once = brand_image(image, branding);

  // The resources grew past one file-alignment unit: .reloc moved whole.
  const uint32_t rsrc_size = get32(once, SECTIONS + 40 + 8);
  EXPECT_GT(rsrc_size, 0x200u);
  EXPECT_EQ(get32(once, DIRS + 20), rsrc_size);
  EXPECT_EQ(get32(once, SECTIONS + 40 + 16) % 0x200, 0u);
  const uint32_t reloc_va = get32(once, SECTIONS + 80 + 12),
                 reloc_raw = get32(once, SECTIONS + 100);
  EXPECT_EQ(reloc_va, (0x2000 + rsrc_size + 0xFFF) / 0x1000 * 0x1000);
  EXPECT_EQ(get32(once, DIRS + 40), reloc_va);
  EXPECT_EQ(reloc_raw, 0x600 + get32(once, SECTIONS + 40 + 16));
  EXPECT_TRUE(std::equal(image.begin() + 0x800, image.end(), once.begin() + reloc_raw));
  EXPECT_EQ(get32(once, OPT + 56), reloc_va + 0x1000);                          // SizeOfImage
  EXPECT_EQ(get32(once, OPT + 8), 0x400 + get32(once, SECTIONS + 56) - 0x200);  // initialised data
  EXPECT_EQ(get32(once, OPT + 64), 0u);                                         // checksum
  EXPECT_EQ(image_end_from_headers(once.data(), once.size()), once.size());

  const auto groups = of_type(once, RT_GROUP_ICON_TYPE);
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].name.id, MAIN_ICON_GROUP);
  EXPECT_EQ(of_type(once, RT_ICON_TYPE).size(), 2u);
  // Without a version resource in the image: one English string table.
  const VersionInfo version = parse_version_resource(of_type(once, RT_VERSION_TYPE).at(0).data);
  EXPECT_EQ(version.file_version, 0x0002000500010000u);
  EXPECT_EQ(version.product_version, version.file_version);
  EXPECT_EQ(version.translations, std::vector<uint32_t>{0x04B00409});
  ASSERT_EQ(version.tables.size(), 1u);
  EXPECT_EQ(version.tables[0].strings[3],
            (std::pair<std::string, std::string>{"FileVersion", "2.5.1"}));

  // Another icon alone: the first icon's images go, the version stays.
  Branding icon_only;
  icon_only.icon = parse_icon_file(icon_file({{48, 8}}));
  const Bytes twice = brand_image(once, icon_only);
  EXPECT_EQ(of_type(twice, RT_ICON_TYPE).size(), 1u);
  EXPECT_EQ(of_type(twice, RT_VERSION_TYPE).at(0).data, of_type(once, RT_VERSION_TYPE).at(0).data);
  EXPECT_EQ(image_end_from_headers(twice.data(), twice.size()), twice.size());
  EXPECT_TRUE(
      std::equal(image.begin() + 0x800, image.end(), twice.begin() + get32(twice, SECTIONS + 100)));
}

TEST(PeResources, BadInputIsRefusedWithItsReason) {
  auto icon_error = [](Bytes b) -> std::string {
    try {
      parse_icon_file(b);
    } catch (const PeError& e) {
      return e.what();
    }
    return "accepted";
  };
  const Bytes good = icon_file({{16, 32}});
  Bytes cursor = good, outside = good, big = icon_file({{16, 32}}), huge(ICON_FILE_MAX + 1);
  cursor[2] = 2;
  put32(outside, 6 + 12, 5000);
  put32(big, 22 + 4, 257), put32(big, 22 + 8, 514);
  std::memcpy(huge.data(), good.data(), good.size());
  EXPECT_NE(icon_error(Bytes{'P', 'K', 3, 4, 0, 0, 0}).find("not an icon file"), std::string::npos);
  EXPECT_NE(icon_error(cursor).find("cursor"), std::string::npos);
  EXPECT_NE(icon_error(Bytes{0, 0, 1, 0, 0, 0}).find("no image"), std::string::npos);
  EXPECT_NE(icon_error(Bytes{0, 0, 1, 0, 2, 0}).find("cut short"), std::string::npos);
  EXPECT_NE(icon_error(outside).find("outside the file"), std::string::npos);
  EXPECT_NE(icon_error(big).find("257x257 pixels"), std::string::npos);
  EXPECT_NE(icon_error(huge).find("1 MiB"), std::string::npos);

  const std::pair<const char*, const char*> versions[] = {
      {"Product=Acme", "unknown key 'Product'"},
      {"ProductName=Acme,Vendor=Acme", "unknown key 'Vendor'"},
      {"ProductName", "is not KEY=VALUE"},
      {"CompanyName=", "needs a value"},
      {"CompanyName=a\nb", "control character"},
      {"FileVersion=1.70000", "at most 65535"}};
  for (auto [text, why] : versions) {
    VersionStrings s;
    try {
      parse_version_option(text, s);
      ADD_FAILURE() << text << " accepted";
    } catch (const PeError& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << text << ": " << e.what();
    }
  }
  VersionStrings s;
  EXPECT_THROW(parse_version_option("ProductName=" + std::string(256, 'x'), s), PeError);
  EXPECT_NO_THROW(parse_version_option("ProductName=" + std::string(255, 'x'), s));

  Branding branding;
  branding.icon = parse_icon_file(good);
  Bytes signed_image = make_image(), appended = make_image(), no_reloc = make_image(),
        no_rsrc = make_image();
  put32(signed_image, DIRS + 32, 0x1000), put32(signed_image, DIRS + 36, 8);
  appended.push_back(0);
  put32(no_reloc, DIRS + 40, 0), put32(no_reloc, DIRS + 44, 0);
  put32(no_rsrc, DIRS + 16, 0);
  for (const Bytes& image : {signed_image, appended, no_reloc, no_rsrc})
    EXPECT_THROW(brand_image(image, branding), PeError);
}

}  // namespace

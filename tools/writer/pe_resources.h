// The publisher's icon and version text in a package: reads .ico files and
// version options, and rewrites the resource section of a PE32 image (the
// stub as it goes into a package) with them. Portable: the image is bytes.
#pragma once
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// Every refusal: bad input, or an image this rewriter cannot change safely.
class PeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr uint16_t RT_ICON_TYPE = 3;
constexpr uint16_t RT_GROUP_ICON_TYPE = 14;
constexpr uint16_t RT_VERSION_TYPE = 16;
constexpr uint16_t MAIN_ICON_GROUP = 200;  // the icon Explorer shows for the package

// An .ico larger than this is refused: no icon needs more, and every byte of
// it travels in every copy of the package.
constexpr size_t ICON_FILE_MAX = 1024 * 1024;
constexpr uint32_t ICON_SIDE_MAX = 256;
// Longest version value, in UTF-16 units (Explorer shows one line).
constexpr size_t VERSION_VALUE_MAX = 255;

struct IconImage {
  uint32_t width = 0, height = 0;  // 1..256
  uint8_t color_count = 0;
  uint16_t planes = 0, bit_count = 0;
  std::vector<uint8_t> bytes;  // a DIB (header, colours, XOR and AND masks) or a PNG
};

// The images of an .ico file, in its order. Throws PeError saying what is wrong.
std::vector<IconImage> parse_icon_file(std::span<const uint8_t> bytes);

// Version text as (key, value), UTF-8, keys in their canonical spelling.
using VersionStrings = std::vector<std::pair<std::string, std::string>>;

// The keys --version-info takes.
extern const char* const VERSION_KEYS[6];

// Adds "KEY=VALUE,KEY=VALUE..." to `strings` (a later value for a key
// replaces the earlier). A comma begins a new pair only where a key and '='
// follow it, so values may hold commas ("Acme, Inc."). Keys match in any case.
void parse_version_option(const std::string& text, VersionStrings& strings);

struct Branding {
  std::vector<IconImage> icon;  // empty: the stub's main icon stays
  VersionStrings version;       // empty: the stub's version resource stays
  bool empty() const { return icon.empty() && version.empty(); }
};

// The image with its resource section rebuilt: group icon 200 made of the
// branding's images (the icons only it used are dropped), the version
// resource written from the branding's strings, every other resource kept.
// Sections behind the resource section (relocations) move with their data
// directory, their bytes unchanged; sizes, SizeOfImage and alignment follow;
// the checksum field is zeroed. Throws PeError when the image is no PE32
// image with a resource section that can grow.
std::vector<uint8_t> brand_image(std::span<const uint8_t> image, const Branding& branding);

// Reading resources back: what a package carries.
struct ResourceKey {
  uint32_t id = 0;
  std::u16string name;  // a named entry when not empty
  bool operator==(const ResourceKey&) const = default;
};

struct Resource {
  ResourceKey type, name;
  uint32_t language = 0, codepage = 0;
  std::vector<uint8_t> data;
};

// Every resource of the image, in directory order. Throws PeError.
std::vector<Resource> read_resources(std::span<const uint8_t> image);

struct VersionTable {
  std::string translation;  // "040904B0": language and code page in hex
  VersionStrings strings;
};

struct VersionInfo {
  uint64_t file_version = 0, product_version = 0;  // fixed info, 16 bits a part
  std::vector<VersionTable> tables;
  std::vector<uint32_t> translations;  // language | code page << 16
};

// A VS_VERSIONINFO resource. Throws PeError when it is malformed.
VersionInfo parse_version_resource(std::span<const uint8_t> data);

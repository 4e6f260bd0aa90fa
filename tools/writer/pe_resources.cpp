#include "writer/pe_resources.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "writer/codepage.h"

namespace {

using Bytes = std::vector<uint8_t>;
using View = std::span<const uint8_t>;

// What a read past the end says; the readers of structures inside the image
// say more where they know more.
constexpr const char* CUT_SHORT = "the image is cut short";

uint16_t get16(View b, size_t at) {
  if (at > b.size() || b.size() - at < 2) throw PeError(CUT_SHORT);
  return uint16_t(b[at] | b[at + 1] << 8);
}

uint32_t get32(View b, size_t at) {
  if (at > b.size() || b.size() - at < 4) throw PeError(CUT_SHORT);
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

uint32_t get32_be(View b, size_t at) {
  const uint32_t v = get32(b, at);
  return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

void put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}

void put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

void append16(Bytes& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}

void append32(Bytes& b, uint32_t v) {
  append16(b, v & 0xFFFF);
  append16(b, v >> 16);
}

uint64_t align_up(uint64_t v, uint64_t a) {
  return (v + a - 1) / a * a;
}

std::u16string to_utf16(const std::string& utf8) {
  std::u32string wide;
  utf8_to_utf32(utf8, wide);
  std::u16string out;
  for (char32_t c : wide) {
    if (c >= 0x10000) {
      out.push_back(char16_t(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(char16_t(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(char16_t(c));
    }
  }
  return out;
}

std::string to_utf8(const std::u16string& text) {
  std::u32string wide;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    else if (c >= 0xD800 && c <= 0xDFFF)
      c = 0xFFFD;  // a lone surrogate
    wide.push_back(c);
  }
  return utf32_to_utf8(wide);
}

// ---- .ico files

constexpr uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

IconImage read_icon_image(View file, size_t entry, size_t number, size_t directory_end) {
  const std::string which = "image " + std::to_string(number) + " of the icon";
  const uint32_t size = get32(file, entry + 8), offset = get32(file, entry + 12);
  if (size == 0 || offset < directory_end || offset > file.size() || size > file.size() - offset)
    throw PeError(which + " lies outside the file");
  IconImage image;
  image.color_count = file[entry + 2];
  image.planes = get16(file, entry + 4);
  image.bit_count = get16(file, entry + 6);
  const View data = file.subspan(offset, size);
  uint16_t planes = 1, bits = 0;
  try {
    if (size >= 8 && std::memcmp(data.data(), PNG_SIGNATURE, 8) == 0) {
      if (size < 26 || get32_be(data, 12) != 0x49484452) throw PeError("");  // "IHDR"
      image.width = get32_be(data, 16);
      image.height = get32_be(data, 20);
      static const uint8_t CHANNELS[7] = {1, 0, 3, 1, 2, 0, 4};
      const uint8_t depth = data[24], type = data[25];
      bits = uint16_t(depth * (type < 7 ? CHANNELS[type] : 0));
    } else if (const uint32_t header = get32(data, 0);
               header == 40 || header == 108 || header == 124) {
      const int32_t width = int32_t(get32(data, 4)), height = int32_t(get32(data, 8));
      if (width <= 0 || height <= 0) throw PeError("");
      image.width = uint32_t(width);
      image.height = uint32_t(height) / 2;  // the XOR and AND masks stacked
      planes = get16(data, 12);
      bits = get16(data, 14);
    } else {
      throw PeError("");
    }
  } catch (const PeError&) {
    throw PeError(which + " is neither a bitmap nor a PNG image");
  }
  if (image.width == 0 || image.height == 0 || image.width > ICON_SIDE_MAX ||
      image.height > ICON_SIDE_MAX)
    throw PeError(which + " is " + std::to_string(image.width) + "x" +
                  std::to_string(image.height) + " pixels; icon images are at most " +
                  std::to_string(ICON_SIDE_MAX) + "x" + std::to_string(ICON_SIDE_MAX));
  // Icon files often leave these to the image itself.
  if (image.planes == 0) image.planes = planes;
  if (image.bit_count == 0) image.bit_count = bits;
  image.bytes.assign(data.begin(), data.end());
  return image;
}

// ---- resource directory tree

struct KeyLess {
  bool operator()(const ResourceKey& a, const ResourceKey& b) const {
    // Named entries come first, then ids in ascending order: the loader
    // searches both runs by bisection.
    if (a.name.empty() != b.name.empty()) return !a.name.empty();
    if (a.name.empty()) return a.id < b.id;
    return upper(a.name) < upper(b.name);
  }
  static std::u16string upper(std::u16string s) {
    for (char16_t& c : s)
      if (c >= 'a' && c <= 'z') c = char16_t(c - 32);
    return s;
  }
};

struct Leaf {
  Bytes data;
  uint32_t codepage = 0;
};
using Languages = std::map<uint32_t, Leaf>;
using Names = std::map<ResourceKey, Languages, KeyLess>;
using Tree = std::map<ResourceKey, Names, KeyLess>;

// ---- the PE image

constexpr int DIR_SECURITY = 4, DIR_RESOURCE = 2, DIR_RELOCATION = 5;

struct Section {
  size_t header_at;
  uint32_t virtual_size, va, raw_size, raw_at, characteristics;
};

struct Image {
  View bytes;
  size_t optional_at = 0, directories_at = 0;
  uint32_t directory_count = 0, section_alignment = 0, file_alignment = 0;
  std::vector<Section> sections;

  uint32_t dir_rva(int i) const {
    return uint32_t(i) < directory_count ? get32(bytes, directories_at + 8 * i) : 0;
  }
  uint32_t dir_size(int i) const {
    return uint32_t(i) < directory_count ? get32(bytes, directories_at + 8 * i + 4) : 0;
  }
  // The section whose address range holds `rva`, or -1.
  int section_of(uint32_t rva) const {
    for (size_t i = 0; i < sections.size(); ++i) {
      const Section& s = sections[i];
      const uint32_t span = std::max(s.virtual_size, s.raw_size);
      if (rva >= s.va && rva - s.va < span) return int(i);
    }
    return -1;
  }
  // The file bytes at [rva, rva + size), which must lie in one section's raw data.
  View at_rva(uint32_t rva, uint32_t size) const {
    const int i = section_of(rva);
    if (i < 0) throw PeError("a resource lies outside every section");
    const Section& s = sections[size_t(i)];
    const uint64_t offset = uint64_t(rva - s.va);
    if (offset + size > s.raw_size || uint64_t(s.raw_at) + offset + size > bytes.size())
      throw PeError("a resource lies outside its section's data");
    return bytes.subspan(size_t(s.raw_at + offset), size);
  }
};

Image parse_image(View bytes) {
  Image img;
  img.bytes = bytes;
  if (bytes.size() < 64 || bytes[0] != 'M' || bytes[1] != 'Z')
    throw PeError("not a Windows executable (no MZ header)");
  const uint32_t pe = get32(bytes, 60);
  if (get32(bytes, pe) != 0x4550) throw PeError("not a Windows executable (no PE header)");
  const uint16_t count = get16(bytes, pe + 6);
  const uint16_t optional_size = get16(bytes, pe + 20);
  img.optional_at = pe + 24;
  if (get16(bytes, img.optional_at) != 0x10B) throw PeError("not a 32-bit (PE32) image");
  img.section_alignment = get32(bytes, img.optional_at + 32);
  img.file_alignment = get32(bytes, img.optional_at + 36);
  img.directory_count = std::min<uint32_t>(get32(bytes, img.optional_at + 92), 16);
  img.directories_at = img.optional_at + 96;
  if (96 + 8 * size_t(img.directory_count) > optional_size)
    throw PeError("the optional header is cut short");
  if (img.file_alignment < 512 || (img.file_alignment & (img.file_alignment - 1)) ||
      img.section_alignment < img.file_alignment ||
      (img.section_alignment & (img.section_alignment - 1)))
    throw PeError("the image's alignment is not one this rewriter handles");
  const size_t table = img.optional_at + optional_size;
  for (size_t i = 0; i < count; ++i) {
    Section s;
    s.header_at = table + 40 * i;
    s.virtual_size = get32(bytes, s.header_at + 8);
    s.va = get32(bytes, s.header_at + 12);
    s.raw_size = get32(bytes, s.header_at + 16);
    s.raw_at = get32(bytes, s.header_at + 20);
    s.characteristics = get32(bytes, s.header_at + 36);
    if (s.raw_size && (uint64_t(s.raw_at) + s.raw_size > bytes.size()))
      throw PeError("a section's data lie beyond the end of the file");
    img.sections.push_back(s);
  }
  return img;
}

class TreeReader {
 public:
  TreeReader(const Image& img, View directory) : img_(img), dir_(directory) {}

  void read(size_t at, int level, ResourceKey keys[2], Tree& tree) {
    const uint32_t entries = uint32_t(get16(dir_, at + 12)) + get16(dir_, at + 14);
    for (uint32_t i = 0; i < entries; ++i) {
      if (++visited_ > (1u << 20)) throw PeError("the resource directory is malformed");
      const size_t entry = at + 16 + 8 * size_t(i);
      const uint32_t name = get32(dir_, entry), target = get32(dir_, entry + 4);
      ResourceKey key;
      if (name & 0x80000000) {
        const size_t s = name & 0x7FFFFFFF;
        const uint16_t length = get16(dir_, s);
        for (size_t c = 0; c < length; ++c)
          key.name.push_back(char16_t(get16(dir_, s + 2 + 2 * c)));
        if (key.name.empty() || level == 2) throw PeError("a resource has a malformed name");
      } else {
        key.id = name;
      }
      if ((level < 2) != bool(target & 0x80000000))
        throw PeError("the resource directory is malformed");
      if (level < 2) {
        keys[level] = key;
        read(target & 0x7FFFFFFF, level + 1, keys, tree);
        continue;
      }
      Leaf leaf;
      const uint32_t rva = get32(dir_, target), size = get32(dir_, target + 4);
      const View data = img_.at_rva(rva, size);
      leaf.data.assign(data.begin(), data.end());
      leaf.codepage = get32(dir_, target + 8);
      tree[keys[0]][keys[1]][key.id] = std::move(leaf);
    }
  }

 private:
  const Image& img_;
  View dir_;
  size_t visited_ = 0;
};

Tree read_tree(const Image& img) {
  Tree tree;
  const uint32_t rva = img.dir_rva(DIR_RESOURCE);
  if (rva == 0) return tree;
  const int i = img.section_of(rva);
  if (i < 0) throw PeError("the resource directory lies outside every section");
  const Section& s = img.sections[size_t(i)];
  if (rva - s.va >= s.raw_size) throw PeError("the resource directory lies outside its section");
  const View directory = img.at_rva(rva, s.raw_size - (rva - s.va));
  ResourceKey keys[2];
  try {
    TreeReader(img, directory).read(0, 0, keys, tree);
  } catch (const PeError& e) {
    if (std::strcmp(e.what(), CUT_SHORT) == 0) throw PeError("the resource directory is malformed");
    throw;
  }
  return tree;
}

// The resource section for `tree` placed at `rva`: the directories breadth
// first, then the data entries, the names, and the data, each 8-aligned.
Bytes build_resource_section(const Tree& tree, uint32_t rva) {
  size_t dirs = 16 + 8 * tree.size(), leaves = 0, strings = 0;
  auto count_name = [&](const ResourceKey& k) {
    if (!k.name.empty()) strings += 2 + 2 * k.name.size();
  };
  for (const auto& [type, names] : tree) {
    count_name(type);
    dirs += 16 + 8 * names.size();
    for (const auto& [name, languages] : names) {
      count_name(name);
      dirs += 16 + 8 * languages.size();
      leaves += languages.size();
    }
  }
  const size_t entries_at = dirs, strings_at = entries_at + 16 * leaves;
  size_t total = align_up(strings_at + strings, 8);
  for (const auto& [type, names] : tree)
    for (const auto& [name, languages] : names)
      for (const auto& [language, leaf] : languages) total = align_up(total + leaf.data.size(), 8);
  if (uint64_t(total) + rva > 0x7FFFFFFF) throw PeError("the resources are too large");
  Bytes out(total, 0);

  size_t next_string = strings_at;
  auto put_key = [&](size_t entry, const ResourceKey& k) {
    if (k.name.empty()) {
      put32(out, entry, k.id);
      return;
    }
    put32(out, entry, 0x80000000u | uint32_t(next_string));
    put16(out, next_string, uint32_t(k.name.size()));
    for (size_t c = 0; c < k.name.size(); ++c) put16(out, next_string + 2 + 2 * c, k.name[c]);
    next_string += 2 + 2 * k.name.size();
  };
  auto put_directory = [&](size_t at, const auto& map) {
    uint32_t named = 0;
    for (const auto& entry : map) named += !entry.first.name.empty();
    put16(out, at + 12, named);
    put16(out, at + 14, uint32_t(map.size()) - named);
  };

  size_t next_dir = 16 + 8 * tree.size();
  put_directory(0, tree);
  std::vector<size_t> type_dirs, name_dirs;
  size_t i = 0;
  for (const auto& [type, names] : tree) {
    put_key(16 + 8 * i, type);
    put32(out, 16 + 8 * i + 4, 0x80000000u | uint32_t(next_dir));
    put_directory(next_dir, names);
    type_dirs.push_back(next_dir);
    next_dir += 16 + 8 * names.size();
    ++i;
  }
  i = 0;
  for (const auto& [type, names] : tree) {
    size_t j = 0;
    for (const auto& [name, languages] : names) {
      const size_t entry = type_dirs[i] + 16 + 8 * j++;
      put_key(entry, name);
      put32(out, entry + 4, 0x80000000u | uint32_t(next_dir));
      put16(out, next_dir + 14, uint32_t(languages.size()));
      name_dirs.push_back(next_dir);
      next_dir += 16 + 8 * languages.size();
    }
    ++i;
  }
  size_t next_entry = entries_at, next_data = align_up(strings_at + strings, 8), k = 0;
  for (const auto& [type, names] : tree) {
    for (const auto& [name, languages] : names) {
      size_t j = 0;
      for (const auto& [language, leaf] : languages) {
        const size_t entry = name_dirs[k] + 16 + 8 * j++;
        put32(out, entry, language);
        put32(out, entry + 4, uint32_t(next_entry));
        put32(out, next_entry, rva + uint32_t(next_data));
        put32(out, next_entry + 4, uint32_t(leaf.data.size()));
        put32(out, next_entry + 8, leaf.codepage);
        std::copy(leaf.data.begin(), leaf.data.end(), out.begin() + ptrdiff_t(next_data));
        next_entry += 16;
        next_data = align_up(next_data + leaf.data.size(), 8);
      }
      ++k;
    }
  }
  return out;
}

// ---- icons in the tree

std::vector<uint16_t> group_icon_ids(const Bytes& group) {
  std::vector<uint16_t> ids;
  const uint16_t count = get16(group, 4);
  for (size_t i = 0; i < count; ++i) ids.push_back(get16(group, 6 + 14 * i + 12));
  return ids;
}

void replace_main_icon(Tree& tree, const std::vector<IconImage>& images) {
  Names& groups = tree[ResourceKey{RT_GROUP_ICON_TYPE, {}}];
  Names& icons = tree[ResourceKey{RT_ICON_TYPE, {}}];
  const ResourceKey main{MAIN_ICON_GROUP, {}};
  uint32_t language = 0;  // neutral, when the image has no main icon yet
  std::set<uint16_t> unused;
  if (auto it = groups.find(main); it != groups.end()) {
    language = it->second.begin()->first;
    for (const auto& [lang, leaf] : it->second)
      for (uint16_t id : group_icon_ids(leaf.data)) unused.insert(id);
    groups.erase(it);
  }
  for (const auto& [name, languages] : groups)
    for (const auto& [lang, leaf] : languages)
      for (uint16_t id : group_icon_ids(leaf.data)) unused.erase(id);
  for (uint16_t id : unused) icons.erase(ResourceKey{id, {}});

  Bytes group;
  append16(group, 0);
  append16(group, 1);
  append16(group, uint32_t(images.size()));
  uint32_t id = 1;
  for (const IconImage& image : images) {
    while (icons.count(ResourceKey{id, {}})) ++id;
    if (id > 0xFFFF) throw PeError("no icon ids are left");
    icons[ResourceKey{id, {}}][language] = Leaf{image.bytes, 0};
    group.push_back(uint8_t(image.width));  // 256 is written as 0
    group.push_back(uint8_t(image.height));
    group.push_back(image.color_count);
    group.push_back(0);
    append16(group, image.planes);
    append16(group, image.bit_count);
    append32(group, uint32_t(image.bytes.size()));
    append16(group, id++);
  }
  groups[main][language] = Leaf{std::move(group), 0};
}

// ---- version resources

// A node of a version resource: length, value length, type, key, value and
// children, each node starting on a 32-bit boundary.
template <typename Children>
void version_node(Bytes& out, const std::u16string& key, const Bytes& value, uint32_t value_length,
                  uint16_t type, Children children) {
  out.resize(align_up(out.size(), 4), 0);
  const size_t start = out.size();
  append16(out, 0);
  append16(out, value_length);
  append16(out, type);
  for (char16_t c : key) append16(out, c);
  append16(out, 0);
  if (!value.empty()) {
    out.resize(align_up(out.size(), 4), 0);
    out.insert(out.end(), value.begin(), value.end());
  }
  children();
  if (out.size() - start > 0xFFFF) throw PeError("the version text is too long");
  put16(out, start, uint32_t(out.size() - start));
}

std::u16string hex_translation(uint32_t translation) {
  char text[9];
  std::snprintf(text, sizeof text, "%04X%04X", translation & 0xFFFF, translation >> 16);
  return std::u16string(text, text + 8);
}

// "1.2.3.4" (or a leading part of it, text may follow) as fixed-info words.
uint64_t version_number(const std::string& key, const std::string& text) {
  uint64_t result = 0;
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    size_t end = at;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end == at) break;
    if (end - at > 5 || std::stoul(text.substr(at, end - at)) > 0xFFFF)
      throw PeError(key + " '" + text + "': each number of a version is at most 65535");
    result |= uint64_t(std::stoul(text.substr(at, end - at))) << (48 - 16 * part);
    if (end >= text.size() || text[end] != '.') break;
    at = end + 1;
  }
  return result;
}

Bytes build_version_resource(const VersionStrings& strings,
                             const std::vector<uint32_t>& translations) {
  auto value_of = [&](const char* key) -> std::string {
    for (const auto& [k, v] : strings)
      if (k == key) return v;
    return "";
  };
  uint64_t file = version_number("FileVersion", value_of("FileVersion"));
  uint64_t product = version_number("ProductVersion", value_of("ProductVersion"));
  if (value_of("FileVersion").empty()) file = product;
  if (value_of("ProductVersion").empty()) product = file;
  Bytes fixed;
  for (uint32_t v :
       {0xFEEF04BDu, 0x00010000u, uint32_t(file >> 32), uint32_t(file), uint32_t(product >> 32),
        uint32_t(product), 0x3Fu, 0u, 0x00040004u, 1u, 0u, 0u, 0u})
    append32(fixed, v);
  Bytes out;
  version_node(out, u"VS_VERSION_INFO", fixed, uint32_t(fixed.size()), 0, [&] {
    version_node(out, u"StringFileInfo", {}, 0, 1, [&] {
      for (uint32_t translation : translations)
        version_node(out, hex_translation(translation), {}, 0, 1, [&] {
          for (const char* key : VERSION_KEYS) {
            const std::string value = value_of(key);
            if (value.empty()) continue;
            const std::u16string text = to_utf16(value);
            Bytes bytes;
            for (char16_t c : text) append16(bytes, c);
            append16(bytes, 0);
            version_node(out, to_utf16(key), bytes, uint32_t(text.size() + 1), 1, [] {});
          }
        });
    });
    Bytes words;
    for (uint32_t translation : translations) append32(words, translation);
    version_node(out, u"VarFileInfo", {}, 0, 1, [&] {
      version_node(out, u"Translation", words, uint32_t(words.size()), 0, [] {});
    });
  });
  return out;
}

void replace_version(Tree& tree, const VersionStrings& strings) {
  Names& versions = tree[ResourceKey{RT_VERSION_TYPE, {}}];
  // The stub's languages for the string tables, so that Explorer finds the
  // publisher's text whatever the user's language; English alone otherwise.
  std::vector<uint32_t> translations;
  for (const auto& [name, languages] : versions) {
    for (const auto& [language, leaf] : languages) {
      try {
        translations = parse_version_resource(leaf.data).translations;
      } catch (const PeError&) {
      }
      if (!translations.empty()) break;
    }
    if (!translations.empty()) break;
  }
  if (translations.empty()) translations.push_back(0x04B00409);
  const Bytes data = build_version_resource(strings, translations);
  if (versions.empty()) versions[ResourceKey{1, {}}][0] = Leaf{};
  for (auto& [name, languages] : versions)
    for (auto& [language, leaf] : languages) leaf = Leaf{data, 0};
}

struct VersionNodeView {
  std::u16string key;
  size_t value_at = 0, value_bytes = 0, children_at = 0, end = 0;
  uint16_t type = 0;
};

VersionNodeView read_version_node(View d, size_t at, size_t limit) {
  VersionNodeView n;
  const uint16_t length = get16(d, at), value_length = get16(d, at + 2);
  n.type = get16(d, at + 4);
  if (length < 6 || at + length > limit) throw PeError("malformed version resource");
  n.end = at + length;
  size_t p = at + 6;
  for (;; p += 2) {
    if (p + 2 > n.end) throw PeError("malformed version resource");
    const char16_t c = char16_t(get16(d, p));
    if (c == 0) break;
    n.key.push_back(c);
  }
  n.value_at = align_up(p + 2, 4);
  n.value_bytes = n.type == 1 ? 2 * size_t(value_length) : value_length;
  if (n.value_at > n.end) n.value_at = n.end;
  n.value_bytes = std::min(n.value_bytes, n.end - n.value_at);
  n.children_at = align_up(n.value_at + n.value_bytes, 4);
  return n;
}

template <typename Visit>
void for_each_child(View d, const VersionNodeView& parent, Visit visit) {
  for (size_t at = parent.children_at; at + 6 <= parent.end; at = align_up(at, 4)) {
    const VersionNodeView child = read_version_node(d, at, parent.end);
    visit(child);
    at = child.end;
  }
}

const char* canonical_key(const std::string& key) {
  for (const char* k : VERSION_KEYS) {
    if (std::strlen(k) != key.size()) continue;
    bool same = true;
    for (size_t i = 0; i < key.size() && same; ++i)
      same = std::tolower(static_cast<unsigned char>(k[i])) ==
             std::tolower(static_cast<unsigned char>(key[i]));
    if (same) return k;
  }
  return nullptr;
}

bool is_key_start(const std::string& text, size_t at) {
  size_t end = at;
  while (end < text.size() && std::isalpha(static_cast<unsigned char>(text[end]))) ++end;
  return end > at && end < text.size() && text[end] == '=';
}

}  // namespace

const char* const VERSION_KEYS[6] = {"ProductName",    "FileDescription", "CompanyName",
                                     "LegalCopyright", "ProductVersion",  "FileVersion"};

std::vector<IconImage> parse_icon_file(std::span<const uint8_t> bytes) {
  if (bytes.size() > ICON_FILE_MAX)
    throw PeError("the icon is " + std::to_string(bytes.size()) + " bytes; at most " +
                  std::to_string(ICON_FILE_MAX) + " (1 MiB) are taken");
  if (bytes.size() < 6 || get16(bytes, 0) != 0 || (get16(bytes, 2) != 1 && get16(bytes, 2) != 2))
    throw PeError("not an icon file (.ico): it does not begin with an icon directory");
  if (get16(bytes, 2) == 2) throw PeError("a cursor (.cur), not an icon file (.ico)");
  const uint16_t count = get16(bytes, 4);
  if (count == 0) throw PeError("the icon file holds no image");
  const size_t directory_end = 6 + 16 * size_t(count);
  if (directory_end > bytes.size())
    throw PeError("the icon file is cut short: its directory lists " + std::to_string(count) +
                  " images");
  std::vector<IconImage> images;
  for (size_t i = 0; i < count; ++i)
    images.push_back(read_icon_image(bytes, 6 + 16 * i, i + 1, directory_end));
  return images;
}

void parse_version_option(const std::string& text, VersionStrings& strings) {
  size_t at = 0;
  for (;;) {
    const size_t eq = text.find('=', at);
    if (eq == std::string::npos || eq == at)
      throw PeError("'" + printable(text.substr(at)) + "' is not KEY=VALUE");
    const std::string key = text.substr(at, eq - at);
    const char* canonical = canonical_key(key);
    if (!canonical) {
      std::string known;
      for (const char* k : VERSION_KEYS) known += std::string(known.empty() ? "" : ", ") + k;
      throw PeError("unknown key '" + printable(key) + "'; the keys are " + known);
    }
    // The value runs to the next comma that a key and '=' follow.
    size_t end = eq + 1;
    for (;;) {
      const size_t comma = text.find(',', end);
      if (comma == std::string::npos) {
        end = text.size();
        break;
      }
      if (is_key_start(text, comma + 1)) {
        end = comma;
        break;
      }
      end = comma + 1;
    }
    const std::string value = text.substr(eq + 1, end - eq - 1);
    std::u32string wide;
    if (!utf8_to_utf32(value, wide)) throw PeError(std::string(canonical) + ": not UTF-8 text");
    if (value.empty()) throw PeError(std::string(canonical) + " needs a value");
    for (char32_t c : wide)
      if (c < 0x20 || (c >= 0x7F && c < 0xA0))
        throw PeError(std::string(canonical) + " holds a control character");
    const size_t units = to_utf16(value).size();
    if (units > VERSION_VALUE_MAX)
      throw PeError(std::string(canonical) + " is " + std::to_string(units) +
                    " characters long; at most " + std::to_string(VERSION_VALUE_MAX) +
                    " are taken");
    if (std::string(canonical) == "FileVersion" || std::string(canonical) == "ProductVersion")
      version_number(canonical, value);  // refused now rather than at the stub
    auto same = std::find_if(strings.begin(), strings.end(),
                             [&](const auto& kv) { return kv.first == canonical; });
    if (same != strings.end())
      same->second = value;
    else
      strings.emplace_back(canonical, value);
    if (end == text.size()) return;
    at = end + 1;
  }
}

std::vector<uint8_t> brand_image(std::span<const uint8_t> bytes, const Branding& branding) {
  const Image img = parse_image(bytes);
  if (img.dir_rva(DIR_SECURITY) || img.dir_size(DIR_SECURITY))
    throw PeError("the image is signed; brand an unsigned stub and sign the package");
  const uint32_t rsrc_rva = img.dir_rva(DIR_RESOURCE);
  const int r = rsrc_rva ? img.section_of(rsrc_rva) : -1;
  if (r < 0 || img.sections[size_t(r)].va != rsrc_rva)
    throw PeError("the image has no resource section of its own");
  const Section& rs = img.sections[size_t(r)];
  const Section& last = img.sections.back();
  if (uint64_t(last.raw_at) + last.raw_size != bytes.size())
    throw PeError("data follow the image's last section (a package or a signature?)");
  if (get32(bytes, img.optional_at - 12) != 0)
    throw PeError("the image carries a symbol table; strip it first");
  // Only the relocations may follow the resources: nothing refers to their
  // place but their data directory.
  const uint32_t reloc_rva = img.dir_rva(DIR_RELOCATION);
  for (size_t i = size_t(r) + 1; i < img.sections.size(); ++i)
    if (int(i) != img.section_of(reloc_rva) || img.sections[i].va != reloc_rva)
      throw PeError("a section other than the relocations follows the resources");
  for (int d = 0; d < int(img.directory_count); ++d)
    if (d != DIR_RESOURCE && d != DIR_RELOCATION && d != DIR_SECURITY && img.dir_rva(d) >= rs.va)
      throw PeError("data directory " + std::to_string(d) + " lies behind the resources");
  // No relocation may patch the resources or what follows them, which move.
  if (reloc_rva) {
    const View relocs = img.at_rva(reloc_rva, img.dir_size(DIR_RELOCATION));
    for (size_t at = 0; at + 8 <= relocs.size();) {
      const uint32_t page = get32(relocs, at), size = get32(relocs, at + 4);
      if (size < 8 || size > relocs.size() - at) throw PeError("malformed relocations");
      for (size_t e = at + 8; e + 2 <= at + size; e += 2) {
        const uint16_t entry = get16(relocs, e);
        if ((entry >> 12) != 0 && uint64_t(page) + (entry & 0xFFF) >= rs.va)
          throw PeError("relocations patch the resource section");
      }
      at += size;
    }
  }

  Tree tree = read_tree(img);
  if (!branding.icon.empty()) replace_main_icon(tree, branding.icon);
  if (!branding.version.empty()) replace_version(tree, branding.version);
  const Bytes rsrc = build_resource_section(tree, rs.va);

  Bytes out(bytes.begin(), bytes.begin() + rs.raw_at);
  const uint32_t raw_size = uint32_t(align_up(rsrc.size(), img.file_alignment));
  out.insert(out.end(), rsrc.begin(), rsrc.end());
  out.resize(rs.raw_at + raw_size, 0);
  put32(out, rs.header_at + 8, uint32_t(rsrc.size()));
  put32(out, rs.header_at + 16, raw_size);
  uint64_t next_va = align_up(uint64_t(rs.va) + rsrc.size(), img.section_alignment);
  for (size_t i = size_t(r) + 1; i < img.sections.size(); ++i) {
    const Section& s = img.sections[i];
    put32(out, img.directories_at + 8 * DIR_RELOCATION, uint32_t(next_va));
    put32(out, s.header_at + 12, uint32_t(next_va));
    if (s.raw_size) {
      put32(out, s.header_at + 20, uint32_t(out.size()));
      out.insert(out.end(), bytes.begin() + s.raw_at, bytes.begin() + s.raw_at + s.raw_size);
    }
    next_va = align_up(next_va + std::max(s.virtual_size, s.raw_size), img.section_alignment);
  }
  if (next_va > 0x7FFFFFFF) throw PeError("the image grows too large");
  put32(out, img.optional_at + 56, uint32_t(next_va));  // SizeOfImage
  put32(out, img.directories_at + 8 * DIR_RESOURCE + 4, uint32_t(rsrc.size()));
  if (rs.characteristics & 0x40)  // initialised data: SizeOfInitializedData follows
    put32(out, img.optional_at + 8, get32(bytes, img.optional_at + 8) - rs.raw_size + raw_size);
  // The checksum would have to cover the header block and the cabinet that
  // follow; zero says "none", which is all Windows asks of a program.
  put32(out, img.optional_at + 64, 0);
  return out;
}

std::vector<Resource> read_resources(std::span<const uint8_t> image) {
  const Tree tree = read_tree(parse_image(image));
  std::vector<Resource> out;
  for (const auto& [type, names] : tree)
    for (const auto& [name, languages] : names)
      for (const auto& [language, leaf] : languages)
        out.push_back(Resource{type, name, language, leaf.codepage, leaf.data});
  return out;
}

VersionInfo parse_version_resource(std::span<const uint8_t> data) {
  VersionInfo info;
  try {
    const VersionNodeView root = read_version_node(data, 0, data.size());
    if (root.key != u"VS_VERSION_INFO") throw PeError("");
    if (root.value_bytes >= 52 && get32(data, root.value_at) == 0xFEEF04BD) {
      info.file_version =
          uint64_t(get32(data, root.value_at + 8)) << 32 | get32(data, root.value_at + 12);
      info.product_version =
          uint64_t(get32(data, root.value_at + 16)) << 32 | get32(data, root.value_at + 20);
    }
    for_each_child(data, root, [&](const VersionNodeView& block) {
      if (block.key == u"StringFileInfo") {
        for_each_child(data, block, [&](const VersionNodeView& table) {
          VersionTable t{to_utf8(table.key), {}};
          for_each_child(data, table, [&](const VersionNodeView& s) {
            std::u16string value;
            for (size_t p = s.value_at; p + 2 <= s.value_at + s.value_bytes; p += 2) {
              const char16_t c = char16_t(get16(data, p));
              if (c == 0) break;
              value.push_back(c);
            }
            t.strings.emplace_back(to_utf8(s.key), to_utf8(value));
          });
          info.tables.push_back(std::move(t));
        });
      } else if (block.key == u"VarFileInfo") {
        for_each_child(data, block, [&](const VersionNodeView& var) {
          if (var.key != u"Translation") return;
          for (size_t p = 0; p + 4 <= var.value_bytes; p += 4)
            info.translations.push_back(get32(data, var.value_at + p));
        });
      }
    });
  } catch (const PeError&) {
    throw PeError("malformed version resource");
  }
  return info;
}

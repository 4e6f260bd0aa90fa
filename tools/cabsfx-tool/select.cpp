// Name patterns, the case folding by which stored names are compared, and
// names and paths in messages.
#include "tool.h"
#include "writer/codepage.h"
#include "writer/file_io.h"

namespace {

char32_t fold(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
      (c >= 0x410 && c <= 0x42F))
    return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
      c != 0x178 && c != 0x17F) {
    // Latin Extended-A pairs capital and small letters at even and odd code
    // points, shifted by one between U+0139 and U+0148 and from U+0179 on.
    const bool odd_pairs = (c >= 0x139 && c <= 0x148) || c >= 0x179;
    if ((c % 2 == 0) != odd_pairs) return c + 1;
  }
  if (c == '/') return '\\';
  return c;
}

std::u32string folded(const std::string& utf8) {
  std::u32string cps;
  if (!utf8_to_utf32(utf8, cps)) {
    cps.clear();
    for (unsigned char b : utf8) cps.push_back(b);
  }
  for (char32_t& c : cps) c = fold(c);
  return cps;
}

bool match(const char32_t* p, const char32_t* pe, const char32_t* n, const char32_t* ne) {
  // Greedy matching with one backtrack point per '*': linear enough for names.
  const char32_t *star = nullptr, *resume = nullptr;
  while (n < ne) {
    if (p < pe && (*p == '?' || *p == *n)) {
      ++p, ++n;
    } else if (p < pe && *p == '*') {
      star = p++;
      resume = n;
    } else if (star) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pe && *p == '*') ++p;
  return p == pe;
}

}  // namespace

std::string quoted_names(const std::vector<std::string>& names, size_t shown) {
  std::string text;
  for (size_t i = 0; i < names.size() && i < shown; ++i) text += (i ? ", '" : "'") + names[i] + "'";
  if (names.size() > shown) text += " and " + std::to_string(names.size() - shown) + " more";
  return text;
}

std::string and_folders(size_t folders) {
  return folders ? " and " + std::to_string(folders) + " folder(s)" : std::string();
}

std::string shown(const std::filesystem::path& path) {
  return path.empty() ? "''" : printable(path_text(path));
}

std::string fold_case(const std::string& utf8) {
  return utf32_to_utf8(folded(utf8));
}

bool name_matches(const std::string& pattern, const std::string& name) {
  std::u32string p = folded(pattern), n = folded(name);
  while (!p.empty() && p.back() == '\\') p.pop_back();
  if (match(p.data(), p.data() + p.size(), n.data(), n.data() + n.size())) return true;
  // A folder that the pattern names selects what lies under it.
  for (size_t i = 0; i < n.size(); ++i)
    if (n[i] == '\\' && match(p.data(), p.data() + p.size(), n.data(), n.data() + i)) return true;
  return false;
}

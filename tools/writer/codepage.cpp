#include "writer/codepage.h"

#include <array>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <iconv.h>
#endif

namespace {

// Code page 1252, bytes 0x80 to 0x9F. The five bytes Windows leaves unassigned
// map to the C1 control of the same value, as MultiByteToWideChar does.
constexpr std::array<char16_t, 32> CP1252_HIGH = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t cp1252_to_unicode(uint8_t b) {
  return (b >= 0x80 && b <= 0x9F) ? CP1252_HIGH[b - 0x80] : char32_t(b);
}

bool unicode_to_cp1252(char32_t c, uint8_t& out) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
    out = uint8_t(c);
    return true;
  }
  for (size_t i = 0; i < CP1252_HIGH.size(); ++i) {
    if (CP1252_HIGH[i] == c) {
      out = uint8_t(0x80 + i);
      return true;
    }
  }
  return false;
}

#ifdef _WIN32
std::wstring utf32_to_utf16(const std::u32string& text) {
  std::wstring out;
  for (char32_t c : text) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(wchar_t(0xD800 + (c >> 10)));
      out.push_back(wchar_t(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(wchar_t(c));
    }
  }
  return out;
}

bool utf16_to_utf32(const std::wstring& text, std::u32string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = char16_t(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (char16_t(text[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return false;
    }
    out.push_back(c);
  }
  return true;
}

bool cp932_encode(const std::string& utf8, std::string& out) {
  std::u32string cps;
  if (!utf8_to_utf32(utf8, cps)) return false;
  const std::wstring wide = utf32_to_utf16(cps);
  out.clear();
  if (wide.empty()) return true;
  BOOL used_default = FALSE;
  const int n = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), int(wide.size()),
                                    nullptr, 0, nullptr, &used_default);
  if (n <= 0 || used_default) return false;
  out.resize(size_t(n));
  WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), int(wide.size()), out.data(), n,
                      nullptr, &used_default);
  return !used_default;
}

bool cp932_decode(const std::string& bytes, std::string& out) {
  out.clear();
  if (bytes.empty()) return true;
  const int n =
      MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), nullptr, 0);
  if (n <= 0) return false;
  std::wstring wide(size_t(n), L'\0');
  MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), wide.data(), n);
  std::u32string cps;
  if (!utf16_to_utf32(wide, cps)) return false;
  out = utf32_to_utf8(cps);
  return true;
}
#else
// iconv between UTF-8 and glibc's CP932; any unconvertible or invalid
// sequence fails the whole conversion.
bool iconv_convert(const char* to, const char* from, const std::string& in, std::string& out) {
  out.clear();
  if (in.empty()) return true;
  iconv_t cd = iconv_open(to, from);
  if (cd == iconv_t(-1)) return false;
  std::string buffer(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = buffer.data();
  size_t dst_left = buffer.size();
  const size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
  bool ok = r != size_t(-1) && src_left == 0;
  if (ok) ok = iconv(cd, nullptr, nullptr, &dst, &dst_left) != size_t(-1);
  iconv_close(cd);
  if (!ok) return false;
  buffer.resize(buffer.size() - dst_left);
  out = buffer;
  return true;
}

bool cp932_encode(const std::string& utf8, std::string& out) {
  std::u32string check;
  if (!utf8_to_utf32(utf8, check)) return false;
  return iconv_convert("CP932", "UTF-8", utf8, out);
}

bool cp932_decode(const std::string& bytes, std::string& out) {
  return iconv_convert("UTF-8", "CP932", bytes, out);
}
#endif

}  // namespace

bool parse_codepage(const std::string& text, CodePage& out) {
  if (text == "1252") {
    out = CodePage::Western1252;
    return true;
  }
  if (text == "932") {
    out = CodePage::Japanese932;
    return true;
  }
  return false;
}

int codepage_number(CodePage page) {
  return page == CodePage::Japanese932 ? 932 : 1252;
}

bool utf8_to_utf32(const std::string& utf8, std::u32string& out) {
  out.clear();
  size_t i = 0;
  while (i < utf8.size()) {
    const uint8_t b = uint8_t(utf8[i]);
    int extra;
    char32_t c, min;
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, c = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (i + size_t(extra) >= utf8.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      const uint8_t t = uint8_t(utf8[i + size_t(k)]);
      if ((t & 0xC0) != 0x80) return false;
      c = c << 6 | (t & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    out.push_back(c);
    i += size_t(extra) + 1;
  }
  return true;
}

std::string utf32_to_utf8(const std::u32string& text) {
  std::string out;
  for (char32_t c : text) {
    if (c < 0x80) {
      out.push_back(char(c));
    } else if (c < 0x800) {
      out.push_back(char(0xC0 | c >> 6));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(char(0xE0 | c >> 12));
      out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else {
      out.push_back(char(0xF0 | c >> 18));
      out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

bool utf8_to_codepage(const std::string& utf8, CodePage page, std::string& out) {
  if (page == CodePage::Japanese932) return cp932_encode(utf8, out);
  std::u32string cps;
  if (!utf8_to_utf32(utf8, cps)) return false;
  out.clear();
  for (char32_t c : cps) {
    uint8_t b;
    if (!unicode_to_cp1252(c, b)) return false;
    out.push_back(char(b));
  }
  return true;
}

bool codepage_to_utf8(const std::string& bytes, CodePage page, std::string& out) {
  if (page == CodePage::Japanese932) return cp932_decode(bytes, out);
  std::u32string cps;
  for (unsigned char b : bytes) cps.push_back(cp1252_to_unicode(b));
  out = utf32_to_utf8(cps);
  return true;
}

bool decode_stored_name(const std::string& bytes, uint16_t attribs, CodePage page,
                        std::string& utf8) {
  if (attribs & 0x80) {
    std::u32string check;
    if (!utf8_to_utf32(bytes, check)) return false;
    utf8 = bytes;
    return true;
  }
  return codepage_to_utf8(bytes, page, utf8);
}

std::string escape_bytes(const std::string& bytes) {
  std::string out;
  for (unsigned char b : bytes) {
    if (b >= 0x20 && b < 0x7F) {
      out.push_back(char(b));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out;
}

namespace {

bool needs_escape(char32_t c) {
  return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
         c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string printable(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    // The longest valid UTF-8 sequence here, or one byte.
    size_t length = 1;
    std::u32string one;
    const uint8_t b = uint8_t(text[i]);
    const size_t want = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : 4;
    if (i + want <= text.size() && utf8_to_utf32(text.substr(i, want), one)) length = want;
    char escape[16];
    if (one.size() != 1) {
      std::snprintf(escape, sizeof escape, "\\x%02X", b);
      out += escape;
    } else if (needs_escape(one[0])) {
      if (one[0] < 0x80)
        std::snprintf(escape, sizeof escape, "\\x%02X", unsigned(one[0]));
      else
        std::snprintf(escape, sizeof escape, "\\u{%04X}", unsigned(one[0]));
      out += escape;
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  return out;
}

namespace {
constexpr char RECORD_MAGIC[4] = {'C', 'S', 'F', 'X'};
constexpr uint16_t TAG_CODEPAGE = 1;
}  // namespace

std::vector<uint8_t> codepage_record(CodePage page) {
  const int number = codepage_number(page);
  return {uint8_t(RECORD_MAGIC[0]),
          uint8_t(RECORD_MAGIC[1]),
          uint8_t(RECORD_MAGIC[2]),
          uint8_t(RECORD_MAGIC[3]),
          uint8_t(TAG_CODEPAGE),
          0,
          2,
          0,
          uint8_t(number),
          uint8_t(number >> 8)};
}

bool codepage_from_record(const uint8_t* area, size_t size, CodePage& out) {
  if (size < 4 || std::memcmp(area, RECORD_MAGIC, 4) != 0) return false;
  for (size_t at = 4; at + 4 <= size;) {
    const uint16_t tag = uint16_t(area[at] | area[at + 1] << 8);
    const size_t length = size_t(area[at + 2] | area[at + 3] << 8);
    at += 4;
    if (length > size - at) return false;
    if (tag == TAG_CODEPAGE && length == 2)
      return parse_codepage(std::to_string(area[at] | area[at + 1] << 8), out);
    at += length;
  }
  return false;
}

// The one rule by which every reader of this project (the module and
// cabsfx-tool) refuses a stored name that Windows would open as a device.
#pragma once
#include <cstddef>

// True when one part of a stored name (code units of UTF-16 or UTF-32, no
// separator) is a DOS device name: CON, PRN, AUX, NUL, COM0-COM9, LPT0-LPT9,
// COM and LPT with a superscript 1, 2 or 3, CONIN$ or CONOUT$, in any case,
// alone or followed by an extension, trailing dots or trailing spaces.
// Windows looks only at the text before the first dot (or a colon), with
// trailing spaces removed, so "nul.tar.gz", "NUL " and "Com1 .txt" all open
// the device.
template <typename Char>
bool is_device_name(const Char* part, size_t length) {
  size_t base = 0;
  while (base < length && part[base] != '.' && part[base] != ':') ++base;
  while (base > 0 && part[base - 1] == ' ') --base;
  if (base < 3 || base > 7) return false;
  char upper[7];
  for (size_t i = 0; i < base; ++i) {
    const auto c = static_cast<unsigned long>(part[i]);
    if (i == 3 && base == 4 && (c == 0xB9 || c == 0xB2 || c == 0xB3)) {
      upper[i] = '1';  // superscript digits: COM1..3 and LPT1..3 by another name
      continue;
    }
    if (c >= 0x80) return false;
    upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : static_cast<char>(c);
  }
  auto is_prefix = [](const char* text, const char* prefix) {
    return text[0] == prefix[0] && text[1] == prefix[1] && text[2] == prefix[2];
  };
  auto is = [&](const char* name) {
    for (size_t i = 0; i < base; ++i) {
      if (name[i] == '\0' || name[i] != upper[i]) return false;
    }
    return name[base] == '\0';
  };
  if (base == 3) return is("CON") || is("PRN") || is("AUX") || is("NUL");
  if (base == 4) {
    return (is_prefix(upper, "COM") || is_prefix(upper, "LPT")) && upper[3] >= '0' &&
           upper[3] <= '9';
  }
  return is("CONIN$") || is("CONOUT$");
}

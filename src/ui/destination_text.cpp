#include "ui/destination_text.h"

#include <windows.h>

#include <cstring>

#include "startup/paths.h"

namespace {

template <typename Text>
Text* next_character(Text* c) {
  return c + ((IsDBCSLeadByte(static_cast<BYTE>(*c)) && c[1]) ? 2 : 1);
}

}  // namespace

bool apply_archive_folder_box(char* text, const char* archive_name, bool checked) {
  if (checked) {
    char result[MAX_PATH];
    lstrcpynA(result, text, MAX_PATH);
    add_trailing_backslash(result);
    const size_t used = std::strlen(result);
    // The name, then the final backslash, must fit 259 bytes.
    if (used + std::strlen(archive_name) + 1 > MAX_PATH - 1) return false;
    lstrcpyA(result + used, archive_name);
    add_trailing_backslash(result);
    lstrcpyA(text, result);
    return true;
  }
  strip_trailing_backslash(text);
  // The first occurrence that begins on a whole character, cut when no
  // separator follows it; both walks step over double-byte characters, whose
  // second byte may be 0x5C.
  const size_t name_length = std::strlen(archive_name);
  char* found = nullptr;
  for (char* c = text; *c && name_length; c = next_character(c)) {
    if (std::strncmp(c, archive_name, name_length) == 0) {
      found = c;
      break;
    }
  }
  if (found) {
    bool separator_follows = false;
    for (const char* c = found + name_length; *c && !separator_follows; c = next_character(c)) {
      separator_follows = *c == '\\';
    }
    if (!separator_follows) *found = 0;
  }
  add_trailing_backslash(text);
  return true;
}

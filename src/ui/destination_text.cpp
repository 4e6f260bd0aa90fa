#include "ui/destination_text.h"

#include <windows.h>

#include <cstring>

#include "startup/paths.h"

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
  char* found = archive_name[0] ? std::strstr(text, archive_name) : nullptr;
  // A byte search may also match in the middle of a double-byte character,
  // as a case-sensitive substring search does on any text.
  if (found && !std::strchr(found, '\\')) *found = 0;
  add_trailing_backslash(text);
  return true;
}

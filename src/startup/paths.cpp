#include "startup/paths.h"

#include <cstdarg>
#include <cstring>

namespace {

constexpr int UTF16_SCRATCH_UNITS = 520;
constexpr int ANSI_SCRATCH_BYTES = 260;

// Shared by the whole process; one thread at a time uses them (the main thread
// before and after extraction, the worker during it).
wchar_t utf16_scratch[UTF16_SCRATCH_UNITS];
char ansi_scratch[ANSI_SCRATCH_BYTES];

size_t wide_length(const wchar_t* text) {
  size_t n = 0;
  while (text[n]) ++n;
  return n;
}

// Appends one path and its NUL; a path that cannot be recorded is left out
// (its folder then stays after the clean-up, which is the safe side).
void record_created_folder(const char* path) {
  static size_t capacity;
  const size_t n = std::strlen(path) + 1;
  if (created_folders_size + n > capacity) {
    const size_t grown = (created_folders_size + n) * 2;
    HANDLE heap = GetProcessHeap();
    void* block =
        created_folders ? HeapReAlloc(heap, 0, created_folders, grown) : HeapAlloc(heap, 0, grown);
    if (!block) return;
    created_folders = static_cast<char*>(block);
    capacity = grown;
  }
  std::memcpy(created_folders + created_folders_size, path, n);
  created_folders_size += n;
}

}  // namespace

bool record_created_folders;
char* created_folders;
size_t created_folders_size;

void forget_created_folders() {
  created_folders_size = 0;
}

int copy_text(char* output, size_t size, const char* text) {
  if (size == 0) return 0;
  const size_t length = std::strlen(text);
  if (length >= size) {
    output[0] = 0;
    return 0;
  }
  std::memcpy(output, text, length + 1);
  return 1;
}

int format_text(char* output, size_t size, const char* format, ...) {
  char formatted[1025];  // wvsprintfA writes at most 1024 bytes and the NUL
  va_list arguments;
  va_start(arguments, format);
  const int length = wvsprintfA(formatted, format, arguments);
  va_end(arguments);
  if (size == 0) return -1;
  if (length < 0 || size_t(length) >= size || length >= 1024) {
    output[0] = 0;
    return -1;
  }
  std::memcpy(output, formatted, size_t(length) + 1);
  return length;
}

int append_text(char* output, size_t size, const char* text) {
  size_t have = 0;
  while (have < size && output[have]) ++have;
  const size_t length = std::strlen(text);
  if (have >= size || length >= size - have) return 0;
  std::memcpy(output + have, text, length + 1);
  return 1;
}

const wchar_t* ansi_to_utf16(const char* text) {
  std::memset(utf16_scratch, 0, sizeof utf16_scratch);
  if (text && MultiByteToWideChar(CP_ACP, 0, text, -1, utf16_scratch, UTF16_SCRATCH_UNITS) == 0) {
    utf16_scratch[0] = 0;  // did not fit (or invalid): an empty result, never a partial one
  }
  return utf16_scratch;
}

const char* utf16_to_ansi(const wchar_t* text) {
  std::memset(ansi_scratch, 0, sizeof ansi_scratch);
  if (text && WideCharToMultiByte(CP_ACP, 0, text, -1, ansi_scratch, ANSI_SCRATCH_BYTES, nullptr,
                                  nullptr) == 0) {
    ansi_scratch[0] = 0;
  }
  return ansi_scratch;
}

int is_dbcs_trail_byte(const char* text, int offset) {
  int at = 0;
  while (at < offset) {
    const unsigned char byte = static_cast<unsigned char>(text[at]);
    if (byte == 0) return 0;  // offset lies past the end of the text
    // A lead byte followed by the end is a broken character: step over the
    // lead alone so the walk never passes the terminator.
    at += (IsDBCSLeadByte(byte) && text[at + 1] != 0) ? 2 : 1;
  }
  return at > offset ? 1 : 0;
}

void add_trailing_backslash(char* path) {
  const size_t n = std::strlen(path);
  if (n == 0) return;
  if (path[n - 1] == '\\' && !is_dbcs_trail_byte(path, int(n - 1))) return;
  if (n + 2 > size_t(PATH_BUFFER)) return;  // no room for the separator and the NUL
  path[n] = '\\';
  path[n + 1] = 0;
}

void strip_trailing_backslash(char* path) {
  if (path[0] == 0) return;
  const wchar_t* wide = ansi_to_utf16(path);
  const size_t units = wide_length(wide);
  if (units == 0 || wide[units - 1] != L'\\') return;
  path[std::strlen(path) - 1] = 0;
}

void trim_trailing_spaces(char* text) {
  size_t n = std::strlen(text);
  while (n > 0 && text[n - 1] == ' ') text[--n] = 0;
}

void slashes_to_backslashes(char* text) {
  for (; *text; ++text) {
    if (*text == '/') *text = '\\';
  }
}

void split_path(const char* path, char* folder, char* name) {
  if (folder) folder[0] = 0;
  if (name) name[0] = 0;
  if (!path || !path[0]) return;

  // The scratch buffer is ours to edit: the folder is cut out of it in place.
  wchar_t* wide = const_cast<wchar_t*>(ansi_to_utf16(path));
  const size_t units = wide_length(wide);
  if (units == 0) return;  // did not convert: both outputs stay empty

  if (wide[units - 1] == L'\\') {
    if (folder) copy_text(folder, PATH_BUFFER, utf16_to_ansi(wide));
    return;
  }
  size_t last = units;
  for (size_t i = 0; i < units; ++i) {
    if (wide[i] == L'\\') last = i;
  }
  if (last == units) {
    if (name) copy_text(name, PATH_BUFFER, path);
    return;
  }
  if (name) copy_text(name, PATH_BUFFER, utf16_to_ansi(wide + last + 1));
  if (folder) {
    wide[last + 1] = 0;
    copy_text(folder, PATH_BUFFER, utf16_to_ansi(wide));
  }
}

int create_folder_path(const char* path, const char* existing) {
  // One unit more than the scratch buffer for the separator that is appended.
  wchar_t work[UTF16_SCRATCH_UNITS + 1];
  const wchar_t* wide = ansi_to_utf16(path);
  const size_t units = wide_length(wide);
  if (units == 0) return 0;
  std::memcpy(work, wide, (units + 1) * sizeof(wchar_t));

  // End of the root: "C:\" or "\\server\share\".
  size_t separator;
  if (units >= 3 && work[1] == L':' && work[2] == L'\\') {
    separator = 2;
  } else if (units >= 8 && work[0] == L'\\' && work[1] == L'\\') {
    size_t at = 2;
    while (work[at] && work[at] != L'\\') ++at;  // end of the server name
    if (!work[at]) return 0;
    ++at;
    while (work[at] && work[at] != L'\\') ++at;  // end of the share name
    if (!work[at]) return 0;
    separator = at;
  } else {
    return 0;
  }

  size_t length = units;
  if (work[length - 1] != L'\\') {
    work[length++] = L'\\';
    work[length] = 0;
  }

  char accumulated[PATH_BUFFER] = {};
  size_t start = 0;
  for (;;) {
    work[separator] = 0;
    const char* level = utf16_to_ansi(work + start);
    if (work[start] && !level[0]) return 0;  // a level that does not convert
    if (!append_text(accumulated, sizeof accumulated, level) ||
        !append_text(accumulated, sizeof accumulated, "\\")) {
      return 0;  // the levels do not fit a path
    }
    // A level of `existing` is there. Any other is made outright: a level
    // that is missing costs one look-up instead of two (under Wine each
    // look-up of a missing name reads the whole folder), one that exists is
    // checked after the refusal.
    const size_t level_length = std::strlen(accumulated);
    if (!existing || std::strncmp(existing, accumulated, level_length) != 0) {
      if (CreateDirectoryA(accumulated, nullptr)) {
        if (record_created_folders) record_created_folder(accumulated);
      } else {
        DWORD attributes = GetFileAttributesA(accumulated);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
          return 0;
        }
        // Below the folder that `existing` names, a link (a junction, say)
        // would carry what is written elsewhere: such a level is refused.
        // Asked without its final backslash, a link gives its own attributes.
        if (existing) {
          accumulated[level_length - 1] = 0;
          attributes = GetFileAttributesA(accumulated);
          accumulated[level_length - 1] = '\\';
          if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return 0;
        }
      }
    }
    start = separator + 1;
    if (start >= length) return 1;
    size_t next = start;
    while (work[next] && work[next] != L'\\') ++next;
    if (!work[next]) return 1;
    separator = next;
  }
}

// The library's notification handler: turns each stored file into a path
// under the destination, settles existing files, opens the output, and
// stamps date, time and attributes when the file is complete.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "cabinet/device_name.h"
#include "extract/extract.h"
#include "resources/resource.h"
#include "startup/globals.h"
#include "startup/paths.h"
#include "ui/ui.h"

int (*extract_confirm_overwrite)(OverwriteQuery*) = confirm_overwrite;

char output_path[PATH_BUFFER];
int32_t output_handle = -1;
bool files_left_out;
char failed_path[PATH_BUFFER];
DWORD failed_error;
static int32_t write_current;
static uint32_t expected_size;
static char name_part[512];
// The folder of the previous file: files of one folder come one after
// another, and making sure of a folder costs a look at each of its levels.
static char created_folder[PATH_BUFFER];

char* extracted_list;
size_t extracted_list_size;
static size_t extracted_list_capacity;

constexpr uint16_t NAME_IS_UTF8 = 0x80;  // CFFILE attribute: the name is UTF-8
constexpr WORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                 FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

int strip_parent_refs(char* name) {
  char scratch[1024] = {};
  size_t in = 0;
  size_t out = 0;
  bool skipped = false;
  while (name[in] != '\0' && out < sizeof scratch - 1) {
    if (name[in] == '.' && name[in + 1] == '.' && name[in + 2] == '\\') {
      in += 3;
      skipped = true;
      continue;
    }
    scratch[out++] = name[in++];
  }
  // The result is never longer than the name, so it fits where the name was.
  // A name longer than the scratch is left whole (the name check refuses a
  // parent reference that stays) rather than cut.
  if (skipped && name[in] == '\0') memcpy(name, scratch, out + 1);
  return 1;
}

// A name the module refuses to write: empty, a character Windows forbids in
// file names, an empty part (a doubled or leading backslash), a part made of
// dots and spaces that Windows would take for the parent folder, a last
// part made of dots alone ("." or ".."), or a part that opens a device.
static bool name_is_invalid(const wchar_t* name) {
  if (name[0] == L'\0') return true;
  for (const wchar_t* c = name; *c; ++c) {
    if (*c < 0x20 || wcschr(L":;*?\"<>|", *c)) return true;
  }
  const wchar_t* part = name;
  for (;;) {
    const wchar_t* end = wcschr(part, L'\\');
    const size_t length = end ? static_cast<size_t>(end - part) : wcslen(part);
    if (length == 0 && end) return true;  // empty part before a backslash
    size_t dots = 0;
    bool dots_and_spaces = length > 0;
    for (size_t i = 0; i < length; ++i) {
      if (part[i] == L'.') {
        ++dots;
      } else if (part[i] != L' ') {
        dots_and_spaces = false;
      }
    }
    if (dots_and_spaces && (dots >= 2 || !end)) return true;
    if (is_device_name(part, length)) return true;
    if (!end) return false;
    part = end + 1;
  }
}

static void warn_invalid_name(const char* name) {
  char format[128];
  if (LoadStringA(module_instance, MSG_INVALID_NAME, format, sizeof format) <= 0) {
    strcpy(format, "%s");
  }
  format_text(name_part, sizeof name_part, format, name);
  files_left_out = true;
  message_box(nullptr, name_part, APP_TITLE, MB_ICONWARNING);
}

int build_output_path(const char* destination, char* name, char* output) {
  trim_trailing_spaces(name);
  const size_t destination_length = strlen(destination);
  const size_t name_length = strlen(name);
  wchar_t wide[520];
  const wchar_t* converted = ansi_to_utf16(name);
  const size_t wide_length = wcslen(converted);
  if (wide_length >= sizeof wide / sizeof wide[0]) {
    wide[0] = L'\0';
  } else {
    memcpy(wide, converted, (wide_length + 1) * sizeof(wchar_t));
  }
  // The joined path must fit the 259 characters of an output path.
  if (wide[0] == L'\0' || name_is_invalid(wide) ||
      destination_length + name_length >= PATH_BUFFER) {
    warn_invalid_name(name);
    return 0;
  }
  name_part[0] = '\0';
  wchar_t* separator = wcsrchr(wide, L'\\');
  if (!separator) {
    format_text(output, PATH_BUFFER, "%s%s", destination, name);
    return 1;
  }
  *separator = L'\0';
  const char* file_name = utf16_to_ansi(separator + 1);
  const size_t file_length = strlen(file_name);
  if (file_length >= sizeof name_part) return 0;
  memcpy(name_part, file_name, file_length + 1);
  const char* folder = utf16_to_ansi(wide);
  const int length = format_text(output, PATH_BUFFER, "%s%s\\", destination, folder);
  if (length < 0 || length + file_length >= PATH_BUFFER) {
    // Cannot happen after the length test above unless a conversion
    // changed the byte count; refuse rather than cut.
    warn_invalid_name(name);
    return 0;
  }
  // The previous file's folder and the destination are there already.
  if (strcmp(output, created_folder) != 0 &&
      !create_folder_path(output, created_folder[0] ? created_folder : destination)) {
    char text[128];
    if (LoadStringA(module_instance, MSG_CANNOT_CREATE_FOLDER, text, sizeof text) <= 0) {
      text[0] = '\0';
    }
    abort_code = ABORT_FOLDER_FAILED;
    message_box(nullptr, text, APP_TITLE, MB_ICONERROR);
    return -1;
  }
  memcpy(created_folder, output, static_cast<size_t>(length) + 1);
  if (name_part[0] == '\0') return 0;  // a folder entry: the folder now exists
  memcpy(output + length, name_part, file_length + 1);
  return 1;
}

bool append_extracted_file(const char* path) {
  const size_t n = strlen(path) + 1;
  if (!extracted_list) extracted_list_size = extracted_list_capacity = 0;  // or freed
  if (extracted_list_size + n > extracted_list_capacity) {
    // Grown by half again each time: thousands of files cost a few moves,
    // not one move of the whole list per file.
    const size_t grown = (extracted_list_size + n) * 3 / 2 + 4096;
    HANDLE heap = GetProcessHeap();
    void* block =
        extracted_list ? HeapReAlloc(heap, 0, extracted_list, grown) : HeapAlloc(heap, 0, grown);
    if (!block) return false;
    extracted_list = static_cast<char*>(block);
    extracted_list_capacity = grown;
  }
  memcpy(extracted_list + extracted_list_size, path, n);
  extracted_list_size += n;
  return true;
}

void set_file_times(const char* path, const FILETIME* time) {
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  SetFileTime(file, time, nullptr, time);
  CloseHandle(file);
}

bool dos_to_file_time(uint16_t date, uint16_t time, FILETIME* utc) {
  FILETIME local;
  return DosDateTimeToFileTime(date, time, &local) && LocalFileTimeToFileTime(&local, utc);
}

void set_file_dos_time(const char* path, uint16_t date, uint16_t time) {
  FILETIME utc;
  if (dos_to_file_time(date, time, &utc)) set_file_times(path, &utc);
}

// Date, time and size of an existing file, packed as in OverwriteQuery (both
// stay 0 when it cannot be opened for reading). Out of line: inlined, it made
// the module larger.
__attribute__((noinline)) static void read_existing_file(OverwriteQuery* query) {
  HANDLE file = CreateFileA(query->path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL known = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!known) return;
  query->existing_size = uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  FILETIME local;
  WORD date;
  WORD time;
  if (FileTimeToLocalFileTime(&info.ftLastWriteTime, &local) &&
      FileTimeToDosDateTime(&local, &date, &time)) {
    query->existing_time = static_cast<uint32_t>(date) << 16 | time;
  }
}

void fail_output(DWORD error, const char* path) {
  // The worker and the writer thread may both fail: the first one is told.
  if (InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&abort_code), ABORT_OUTPUT_FAILED,
                                 0) != 0) {
    return;
  }
  failed_error = error != 0 ? error : ERROR_WRITE_FAULT;
  copy_text(failed_path, sizeof failed_path, path);
}

static HANDLE create_output(const char* path, DWORD disposition) {
  return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

HANDLE (*extract_create_output)(const char*, DWORD) = create_output;

// A name stored as UTF-8 in the code page of the user's system, into
// `output` (PATH_BUFFER bytes). False for a name that is not valid UTF-8 or
// that the code page cannot hold exactly: no best-fit look-alike is ever
// written in its place. `output` then holds what can be shown of it.
bool utf8_name_to_ansi(const char* name, char* output) {
  static wchar_t wide[PATH_BUFFER];
  static wchar_t back[PATH_BUFFER];
  output[0] = '\0';
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide, PATH_BUFFER);
  if (units <= 0) {
    copy_text(output, PATH_BUFFER, name);
    return false;
  }
  BOOL defaulted = FALSE;
  const int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, output, PATH_BUFFER,
                                        nullptr, &defaulted);
  if (bytes <= 0) {
    output[0] = '\0';
    return false;
  }
  // The way back must give the same characters.
  const int again = MultiByteToWideChar(CP_ACP, 0, output, -1, back, PATH_BUFFER);
  return !defaulted && again == units && memcmp(wide, back, size_t(units) * sizeof(wchar_t)) == 0;
}

static int32_t begin_file(CabNotification* record) {
  char* shown = record->text1;
  static char converted[PATH_BUFFER];
  if (record->attribs & NAME_IS_UTF8) {
    if (!utf8_name_to_ansi(shown, converted)) {
      warn_invalid_name(converted);
      return 0;
    }
    shown = converted;
  }
  // Windows takes '/' for a separator too: make it one before "..\" goes.
  slashes_to_backslashes(shown);
  char* name = shown[0] == '\\' ? shown + 1 : shown;
  strip_parent_refs(name);
  write_current = build_output_path(settings.destination, name, output_path);
  if (write_current == -1) return -1;
  if (write_current == 0) return 0;
  expected_size = record->size;
  if (abort_code != 0) return -1;

  // Most files are new: creating one outright looks its name up once, where
  // asking first whether it exists would look it up twice (under Wine each
  // look-up of a missing name reads the whole folder).
  HANDLE file = extract_create_output(output_path, CREATE_NEW);
  const DWORD open_error = GetLastError();
  DWORD existing = INVALID_FILE_ATTRIBUTES;
  if (file == INVALID_HANDLE_VALUE) {
    // The writer may still hold a file of this name from earlier in the run.
    output_flush();
    existing = GetFileAttributesA(output_path);
  }
  const bool replaced = existing != INVALID_FILE_ATTRIBUTES;
  if (replaced && (existing & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    // A folder holds the name, or a link that replacing would write through.
    fail_output(open_error, output_path);
    return -1;
  }
  if (replaced) {
    OverwriteQuery query = {};
    query.path = output_path;
    query.incoming_size = expected_size;
    query.incoming_time = static_cast<uint32_t>(record->date) << 16 | record->time;
    read_existing_file(&query);
    if (settings.no_confirm == 0) {
      if (newer_only == 0) {
        const int answer = extract_confirm_overwrite(&query);
        switch (answer) {
          case OVERWRITE_CANCEL:
          case IDCANCEL:
            write_current = 0;
            abort_code = ABORT_CANCELLED;
            return -1;
          case OVERWRITE_YES:
            write_current = 1;
            break;
          case OVERWRITE_NO:
            write_current = 0;
            break;
          case OVERWRITE_ALL:
            settings.no_confirm = 1;
            write_current = 1;
            break;
          default:
            write_current = answer;
            break;
        }
      }
      if (newer_only != 0) {
        // Only a strictly older existing file is replaced.
        if (query.existing_time >= query.incoming_time) {
          write_current = 0;
          return 0;
        }
        write_current = 1;
      } else if (write_current == 0) {
        return 0;
      }
    }
  }
  // An existing file is replaced only by a whole new one: the bytes go to a
  // new file beside it, which takes its name once complete (output.cpp).
  // Damage, a full disk or Cancel leave the old file as it was, and a file
  // with other names (hard links, perhaps outside the destination) keeps its
  // bytes under those. When no file can be made beside it (a folder path
  // too long for the new name), the old one is not replaced and the run stops.
  static char paths[2 * PATH_BUFFER];  // the file written; the name it has when done
  copy_text(paths, PATH_BUFFER, output_path);
  copy_text(paths + PATH_BUFFER, PATH_BUFFER, output_path);
  if (file == INVALID_HANDLE_VALUE) {
    if (write_current == 0) return 0;
    if (abort_code != 0) return -1;  // cancelled while the question was up
    if (replaced) {
      // One that another program holds open so that it cannot be replaced
      // stops the run here, before anything is written for it.
      HANDLE held =
          CreateFileA(output_path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
      if (held == INVALID_HANDLE_VALUE) {
        fail_output(GetLastError(), output_path);
        return -1;
      }
      CloseHandle(held);
      char folder[PATH_BUFFER];
      split_path(output_path, folder, nullptr);
      if (!GetTempFileNameA(folder, "cab", 0, paths)) {
        fail_output(GetLastError(), output_path);
        return -1;
      }
    }
    // Still a new file when nothing was there a moment ago: one that another
    // program made in between is not truncated unasked.
    file = extract_create_output(paths, replaced ? CREATE_ALWAYS : CREATE_NEW);
    if (file == INVALID_HANDLE_VALUE) {
      fail_output(GetLastError(), output_path);
      if (replaced) DeleteFileA(paths);
      return -1;
    }
  }
  if (settings.delete_after_setup != 0 && !append_extracted_file(output_path)) {
    CloseHandle(file);
    DeleteFileA(paths);
    fail_output(ERROR_NOT_ENOUGH_MEMORY, output_path);
    return -1;
  }
  output_begin(file, paths, replaced ? existing : 0);
  output_handle = OUTPUT_TOKEN;
  show_file_name(shown);
  return output_handle;
}

static int32_t end_file(CabNotification* record) {
  if (write_current == 0 || record->handle != output_handle) return 1;
  // Counted as given, in 64 bits: a file may be up to 4 GiB - 1 long.
  const bool complete = output_length() == expected_size;
  output_end(record->date, record->time, record->attribs & KEPT_ATTRIBUTES, complete);
  output_handle = -1;
  if (!complete) {
    // A file of the wrong length is not kept, and an archive that gives one
    // is damaged: the run stops here rather than go on to its setup.
    InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&abort_code),
                               ABORT_EXTRACTION_FAILED, 0);
  }
  return 1;
}

static int32_t need_cabinet(CabNotification* record) {
  if (abort_code != 0) return -1;
  // The previous attempt failed: the cabinet is missing or not the right
  // one, and asking again would only repeat the failure.
  if (record->lastError != 0) return -1;
  char next[PATH_BUFFER];
  const int length = format_text(next, sizeof next, "%s%s", record->text3, record->text1);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof next) return -1;
  // The cabinet names its successor; one beside it has a plain name, and a
  // name with a path in it would read a file elsewhere.
  bool plain = true;
  for (const char* c = record->text1; *c; c = CharNextA(c))
    if (*c == '\\' || *c == '/' || *c == ':') plain = false;
  const DWORD attributes = plain ? GetFileAttributesA(next) : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    copy_text(failed_path, sizeof failed_path, next);
    abort_code = ABORT_CABINET_MISSING;
    return -1;
  }
  cabinet_offset = 0;  // a following cabinet is a plain file of its own
  return 0;
}

int32_t on_cab_notification(int32_t kind, CabNotification* record) {
  switch (kind) {
    case CAB_NOTIFY_FILE_BEGIN:
      return begin_file(record);
    case CAB_NOTIFY_FILE_END:
      return end_file(record);
    case CAB_NOTIFY_NEED_CABINET:
      return need_cabinet(record);
    default:
      return 0;
  }
}

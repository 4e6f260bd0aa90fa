// Deletes what the run extracted once the setup has ended: every listed file,
// then the folders they were written into as far as they are empty, and the
// private temporary destination.
#include <windows.h>

#include <cstring>

#include "actions/actions.h"
#include "extract/extract.h"
#include "startup/globals.h"
#include "startup/paths.h"

namespace {

// Relative folder paths in the order recorded; grows as needed.
struct FolderTable {
  char** entries = nullptr;
  DWORD count = 0;
  DWORD capacity = 0;
};

constexpr DWORD FOLDER_TABLE_START = 65536;

bool record_folder(FolderTable& table, const char* folder) {
  if (table.count == table.capacity) {
    const DWORD capacity = table.capacity ? table.capacity * 2 : FOLDER_TABLE_START;
    HANDLE heap = GetProcessHeap();
    void* grown = table.entries
                      ? HeapReAlloc(heap, 0, table.entries, capacity * sizeof(char*))
                      : HeapAlloc(heap, 0, capacity * sizeof(char*));
    if (!grown) return false;
    table.entries = static_cast<char**>(grown);
    table.capacity = capacity;
  }
  const size_t length = std::strlen(folder) + 1;
  char* copy = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, length));
  if (!copy) return false;
  std::memcpy(copy, folder, length);
  table.entries[table.count++] = copy;
  return true;
}

}  // namespace

int remove_folder_tree(const char* path, const char* protected_root) {
  const size_t length = std::strlen(path);
  if (length == 0 || path[length - 1] == '.') return 0;  // never "." or ".." forms
  char folder[512];
  if (length + 5 > sizeof folder) return 0;
  lstrcpyA(folder, path);
  add_trailing_backslash(folder);
  const size_t base = std::strlen(folder);
  if (base + 4 > sizeof folder) return 0;
  lstrcpyA(folder + base, "*.*");

  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(folder, &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  folder[base] = 0;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && lstrcmpA(found.cFileName, ".") != 0 &&
        lstrcmpA(found.cFileName, "..") != 0) {
      char child[512];
      if (base + std::strlen(found.cFileName) < sizeof child) {
        lstrcpyA(child, folder);
        lstrcatA(child, found.cFileName);
        remove_folder_tree(child, protected_root);
      }
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);

  if (lstrcmpiA(path, protected_root) != 0) {
    SetFileAttributesA(folder, FILE_ATTRIBUTE_ARCHIVE);
    RemoveDirectoryA(folder);
  }
  return 1;
}

void clean_up_extracted_files() {
  append_extracted_file("");
  const char* destination = settings.destination;
  const size_t prefix = std::strlen(destination);
  FolderTable table;

  for (const char* entry = extracted_list; entry && *entry; entry += std::strlen(entry) + 1) {
    if (std::strlen(entry) > prefix) {
      // The relative part's folder, split on whole characters.
      const wchar_t* wide = ansi_to_utf16(entry + prefix);
      const wchar_t* last = nullptr;
      for (const wchar_t* p = wide; *p; ++p)
        if (*p == L'\\') last = p;
      if (last) {
        wchar_t relative[520];
        const size_t n = size_t(last - wide);
        std::memcpy(relative, wide, n * sizeof(wchar_t));
        relative[n] = 0;
        const char* folder = utf16_to_ansi(relative);
        if (folder[0] && (table.count == 0 || lstrcmpiA(folder, table.entries[table.count - 1]) != 0))
          record_folder(table, folder);
      }
    }
    SetFileAttributesA(entry, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(entry);
  }

  for (DWORD i = 0; i < table.count; ++i) {
    char full[MAX_PATH];
    if (prefix + std::strlen(table.entries[i]) < sizeof full) {
      lstrcpyA(full, destination);
      lstrcatA(full, table.entries[i]);
      remove_folder_tree(full, destination);
    }
    HeapFree(GetProcessHeap(), 0, table.entries[i]);
  }
  if (table.entries) HeapFree(GetProcessHeap(), 0, table.entries);

  if (temp_folder_made) RemoveDirectoryA(destination);
}

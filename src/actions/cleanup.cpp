// Deletes what the run extracted: every listed file, then the folders that
// the run itself created, deepest first and only when empty, and the private
// temporary destination. Nothing is followed through a reparse point (a
// junction or a symbolic link that the setup or anyone else put in place):
// such an entry is at most removed itself.
#include <windows.h>

#include <cstring>

#include "actions/actions.h"
#include "extract/extract.h"
#include "startup/globals.h"
#include "startup/paths.h"

namespace {

bool is_reparse_point(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// True when a folder of `path` below its first `prefix` bytes is a reparse
// point: deleting the entry would act on whatever the link points to.
bool passes_through_reparse_point(const char* path, size_t prefix) {
  char level[MAX_PATH];
  if (!copy_text(level, sizeof level, path)) return true;
  for (size_t at = prefix; level[at];) {
    if (level[at] == '\\') {
      level[at] = '\0';
      const bool linked = is_reparse_point(level);
      level[at] = '\\';
      if (linked) return true;
    }
    at += (IsDBCSLeadByte(static_cast<BYTE>(level[at])) && level[at + 1]) ? 2 : 1;
  }
  return false;
}

// Removes one folder if it is empty; a reparse point is removed as the link
// itself (RemoveDirectory never follows it) and its target is not touched.
void remove_empty_folder(const char* folder) {
  if (!is_reparse_point(folder)) SetFileAttributesA(folder, FILE_ATTRIBUTE_ARCHIVE);
  RemoveDirectoryA(folder);
}

}  // namespace

int remove_created_folders(const char* root) {
  const size_t prefix = std::strlen(root);
  int removed = 0;
  // Parents were recorded before their children: from the end is deepest first.
  size_t end = created_folders_size;
  while (end > 0) {
    size_t start = end - 1;
    while (start > 0 && created_folders[start - 1] != '\0') --start;
    const char* folder = created_folders + start;
    if (std::strlen(folder) >= prefix && _strnicmp(folder, root, prefix) == 0 &&
        !passes_through_reparse_point(folder, prefix)) {
      remove_empty_folder(folder);
      if (GetFileAttributesA(folder) == INVALID_FILE_ATTRIBUTES) ++removed;
    }
    end = start;
  }
  return removed;
}

void clean_up_extracted_files() {
  const char* destination = settings.destination;
  const size_t prefix = std::strlen(destination);
  for (const char* entry = extracted_list; entry && entry < extracted_list + extracted_list_size;
       entry += std::strlen(entry) + 1) {
    if (!*entry || std::strlen(entry) <= prefix || passes_through_reparse_point(entry, prefix))
      continue;
    if (!is_reparse_point(entry)) SetFileAttributesA(entry, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(entry);
  }
  remove_created_folders(destination);
  if (temp_folder_made) remove_empty_folder(destination);
}

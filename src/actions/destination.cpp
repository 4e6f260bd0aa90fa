// Destination keywords: %Desktop%, %MyDocuments%, %ProgramFiles%, %SystemDir%,
// %WinDir% and %temp%, followed by an optional rest, and the private temporary
// folder of a package that deletes its files after the setup.
#include <windows.h>
#include <shlobj.h>

#include <cstring>

#include "actions/actions.h"
#include "startup/paths.h"

static const char SHELL_FOLDERS_KEY[] = "Software\\MicroSoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

int read_shell_folder_path(HKEY root, const char* subkey, char* output, const char* value) {
  HKEY key;
  if (RegOpenKeyExA(root, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  output[0] = 0;
  DWORD type = REG_SZ;
  DWORD size = 256;
  const LONG result = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(output), &size);
  RegCloseKey(key);
  // A value of exactly 256 bytes may come without its NUL.
  output[255] = 0;
  if (result != ERROR_SUCCESS) output[0] = 0;
  return result == ERROR_SUCCESS && output[0] != 0;
}

static void program_files_folder(char* resolved) {
  LPITEMIDLIST items = nullptr;
  if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAM_FILES, &items)) && items) {
    char path[MAX_PATH] = {};
    if (SHGetPathFromIDListA(items, path) && std::strlen(path) < 256) lstrcpynA(resolved, path, 256);
    IMalloc* shell_malloc = nullptr;
    if (SUCCEEDED(SHGetMalloc(&shell_malloc)) && shell_malloc) {
      shell_malloc->Free(items);
      shell_malloc->Release();
    }
  }
}

// A system call that fills a 256-byte buffer; a result that does not fit
// leaves the folder empty.
static void fill_checked(char* resolved, UINT written) {
  if (written == 0 || written >= 256) resolved[0] = 0;
}

int resolve_destination(char* output, const PackageHeader* header, const char* archive_path) {
  char resolved[256] = {};
  int result = 0;
  const char* destination = header->destination;
  if (destination[0] == 0) return 0;

  char work[260];
  lstrcpynA(work, destination, sizeof work);
  char* closing = work[0] == '%' ? std::strchr(work + 1, '%') : nullptr;
  if (!closing) {
    lstrcpynA(output, destination, 260);
    return 0;
  }
  *closing = 0;
  const char* keyword = work + 1;
  const char* rest = closing + 1;

  switch (keyword[0]) {
    case 'D':
      if (std::strcmp(keyword, "Desktop") == 0)
        read_shell_folder_path(HKEY_CURRENT_USER, SHELL_FOLDERS_KEY, resolved, "Desktop");
      break;
    case 'M':
      if (std::strcmp(keyword, "MyDocuments") == 0)
        read_shell_folder_path(HKEY_CURRENT_USER, SHELL_FOLDERS_KEY, resolved, "Personal");
      break;
    case 'P':
      if (std::strcmp(keyword, "ProgramFiles") == 0) program_files_folder(resolved);
      break;
    case 'S':
      if (std::strcmp(keyword, "SystemDir") == 0) fill_checked(resolved, GetSystemDirectoryA(resolved, 256));
      break;
    case 'W':
      if (std::strcmp(keyword, "WinDir") == 0) fill_checked(resolved, GetWindowsDirectoryA(resolved, 256));
      break;
    case 't':
      if (std::strcmp(keyword, "temp") == 0) {
        fill_checked(resolved, GetTempPathA(256, resolved));
        if (resolved[0] && std::strcmp(destination, "%temp%") == 0 && header->delete_after_setup) {
          // The private folder: "~" and the executable's file name.
          char name[MAX_PATH];
          split_path(archive_path, nullptr, name);
          const size_t used = std::strlen(resolved);
          if (used + 1 + std::strlen(name) < sizeof resolved) {
            resolved[used] = '~';
            lstrcpynA(resolved + used + 1, name, int(sizeof resolved - used - 1));
            result = 1;
          } else {
            resolved[0] = 0;
          }
        }
      }
      break;
  }

  if (resolved[0]) strip_trailing_backslash(resolved);
  // The folder and the rest must fit the destination; otherwise the output is
  // left empty and the run falls back to the executable's folder.
  if (std::strlen(resolved) + std::strlen(rest) >= 260) {
    output[0] = 0;
    return 0;
  }
  lstrcpyA(output, resolved);
  lstrcatA(output, rest);
  return result;
}

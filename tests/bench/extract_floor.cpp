// The platform's floor for extracting a tree: writes the files of an index
// with the bytes of a blob, calling per file only what any extractor must
// (CreateFileA, WriteFile once with the whole file, SetFileTime, CloseHandle)
// and CreateDirectoryA once per folder. extract_wine.sh prepares the index and
// the blob from the package's own listing, in the package's order, so the
// floor creates the same names in the same folders in the same order as the
// module does.
//
//   extract_floor INDEX BLOB DESTINATION
//
// INDEX has one line per entry: "D folder" or "F size filetime name", paths
// relative to DESTINATION with backslashes, size in bytes, filetime the
// 64-bit UTC FILETIME in decimal. The files' bytes follow each other in BLOB.
// Both are read whole before the first file is made.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The whole file in memory, NUL-terminated; null when it cannot be read.
char* read_whole(const char* path, uint64_t* length) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER size;
  char* data = nullptr;
  if (GetFileSizeEx(file, &size) && size.QuadPart < (1LL << 30)) {
    data = static_cast<char*>(malloc(size_t(size.QuadPart) + 1));
  }
  uint64_t done = 0;
  while (data && done < uint64_t(size.QuadPart)) {
    DWORD got = 0;
    const DWORD want =
        DWORD(uint64_t(size.QuadPart) - done < (1u << 24) ? size.QuadPart - done : (1u << 24));
    if (!ReadFile(file, data + done, want, &got, nullptr) || got == 0) {
      free(data);
      data = nullptr;
      break;
    }
    done += got;
  }
  CloseHandle(file);
  if (data) {
    data[done] = '\0';
    *length = done;
  }
  return data;
}

int fail(const char* what, const char* path) {
  fprintf(stderr, "extract_floor: %s %s (error %lu)\n", what, path, GetLastError());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: extract_floor INDEX BLOB DESTINATION\n");
    return 2;
  }
  uint64_t index_length = 0;
  uint64_t blob_length = 0;
  char* index = read_whole(argv[1], &index_length);
  if (!index) return fail("cannot read", argv[1]);
  const char* blob = read_whole(argv[2], &blob_length);
  if (!blob) return fail("cannot read", argv[2]);

  char path[MAX_PATH];
  const size_t base = strlen(argv[3]);
  if (base + 2 >= sizeof path) return fail("path too long:", argv[3]);
  memcpy(path, argv[3], base);
  path[base] = '\\';
  uint64_t used = 0;
  for (char* line = index; *line;) {
    char* end = strchr(line, '\n');
    if (end) *end = '\0';
    const char kind = line[0];
    char* field = line + 2;
    uint64_t size = 0;
    uint64_t stamp = 0;
    if (kind == 'F') {
      size = strtoull(field, &field, 10);
      stamp = strtoull(field, &field, 10);
      ++field;
    }
    const size_t name_length = strlen(field);
    if (base + 1 + name_length >= sizeof path) return fail("path too long:", field);
    memcpy(path + base + 1, field, name_length + 1);
    if (kind == 'D') {
      if (!CreateDirectoryA(path, nullptr)) return fail("cannot create folder", path);
    } else if (kind == 'F') {
      if (size > blob_length - used) return fail("blob too short for", path);
      HANDLE file =
          CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) return fail("cannot create", path);
      DWORD written = 0;
      if (size != 0 &&
          (!WriteFile(file, blob + used, DWORD(size), &written, nullptr) || written != size)) {
        return fail("cannot write", path);
      }
      FILETIME time;
      time.dwLowDateTime = DWORD(stamp);
      time.dwHighDateTime = DWORD(stamp >> 32);
      if (!SetFileTime(file, &time, nullptr, &time)) return fail("cannot stamp", path);
      CloseHandle(file);
      used += size;
    }
    if (!end) break;
    line = end + 1;
  }
  return used == blob_length ? 0 : fail("blob longer than the index says:", argv[2]);
}

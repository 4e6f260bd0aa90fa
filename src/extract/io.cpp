// The library's seven I/O callbacks over the runtime's low-level files. A
// cabinet that sits at cabinet_offset inside the archive file is presented as
// a file that begins at 0: its read handles are registered in two slots and
// every absolute seek on them is shifted.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "extract/extract.h"
#include "resources/resource.h"
#include "startup/globals.h"
#include "ui/ui.h"

static int32_t package_handles[2] = {-1, -1};
static uint64_t bytes_read_total;
static bool progress_sent;
static DWORD last_progress_tick;
constexpr DWORD PROGRESS_INTERVAL_MS = 40;
static char pending_file_name[MAX_PATH];
static bool file_name_pending;

constexpr int32_t OPEN_WRITE_ONLY = 0x0001;

void* cab_alloc(uint32_t size) {
  return malloc(size);
}

void cab_free(void* memory) {
  free(memory);
}

// The Quantum decoder's spill file, asked for under the name "*": a private
// temporary file that the system deletes when it is closed.
static int32_t open_spill_file() {
  char folder[MAX_PATH];
  char path[MAX_PATH];
  const DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length >= sizeof folder) return -1;
  if (GetTempFileNameA(folder, "cab", 0, path) == 0) return -1;
  const int handle =
      _open(path, _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY | _O_TEMPORARY, _S_IREAD | _S_IWRITE);
  if (handle == -1) DeleteFileA(path);
  return handle;
}

int32_t cab_open(const char* path, int32_t flags, int32_t mode) {
  if (path[0] == '*' && path[1] == '\0') return open_spill_file();
  const int32_t handle = _open(path, flags, mode);
  if (handle == -1) return -1;
  if (cabinet_offset != 0 && (flags & OPEN_WRITE_ONLY) == 0) {
    if (_lseeki64(handle, cabinet_offset, SEEK_SET) == -1) {
      _close(handle);
      return -1;
    }
    if (package_handles[0] == -1) {
      package_handles[0] = handle;
    } else if (package_handles[1] == -1) {
      package_handles[1] = handle;
    }
  }
  return handle;
}

// Each update of the progress window is a round trip to the main thread and
// a repaint: a few dozen a second move the bar and the name as smoothly as
// one per read and per file do. A name that had to wait is shown with the
// next update, so it is never left stale while a large file is written.
static void update_progress_window() {
  if (!progress_window) return;
  const DWORD now = GetTickCount();
  if (progress_sent && now - last_progress_tick < PROGRESS_INTERVAL_MS) return;
  progress_sent = true;
  last_progress_tick = now;
  SendMessageA(progress_window, PROGRESS_SET_POSITION, 0,
               LPARAM(bytes_read_total >> progress_shift));
  if (file_name_pending) {
    file_name_pending = false;
    SetDlgItemTextA(progress_window, IDC_FILE_NAME, pending_file_name);
  }
}

void finish_progress() {
  if (!progress_window) return;
  // The bar stops at its maximum, whatever is asked beyond it.
  SendMessageA(progress_window, PROGRESS_SET_POSITION, 0, INT32_MAX);
  if (file_name_pending) {
    file_name_pending = false;
    SetDlgItemTextA(progress_window, IDC_FILE_NAME, pending_file_name);
  }
}

void show_file_name(const char* name) {
  const size_t length = strlen(name);
  if (length >= sizeof pending_file_name) return;
  memcpy(pending_file_name, name, length + 1);
  file_name_pending = true;
  update_progress_window();
}

int32_t cab_read(int32_t handle, void* buffer, uint32_t count) {
  if (abort_code != 0) return -1;
  const int32_t n = _read(handle, buffer, count);
  if (progress_window && n > 0) {
    bytes_read_total += static_cast<uint32_t>(n);
    update_progress_window();
  }
  return n;
}

int32_t cab_write(int32_t handle, const void* buffer, uint32_t count) {
  if (abort_code != 0) return -1;
  if (handle == OUTPUT_TOKEN && handle == output_handle) {
    return output_write(buffer, count) ? static_cast<int32_t>(count) : -1;
  }
  return _write(handle, buffer, count);
}

int32_t cab_close(int32_t handle) {
  if (handle == OUTPUT_TOKEN) {
    // The library gives the output back unfinished when its walk fails.
    if (handle != output_handle) return -1;
    output_end(0, 0, 0, false);
    output_handle = -1;
    return 0;
  }
  if (package_handles[0] == handle) {
    package_handles[0] = -1;
  } else if (package_handles[1] == handle) {
    package_handles[1] = -1;
  }
  return _close(handle);
}

int32_t cab_seek(int32_t handle, int32_t offset, int32_t origin) {
  if (handle == OUTPUT_TOKEN) return -1;
  if (handle == -1 || (package_handles[0] != handle && package_handles[1] != handle)) {
    return _lseek(handle, offset, origin);
  }
  // The package may be larger than 2 GiB, its cabinet never: positions in the
  // file are 64-bit, those the library sees 32-bit.
  int64_t target = offset;
  if (origin == SEEK_SET) target += cabinet_offset;
  const int64_t position = _lseeki64(handle, target, origin);
  // Positions before the cabinet's first byte do not exist for the library.
  if (position == -1 || position < cabinet_offset || position - cabinet_offset > INT32_MAX) {
    return -1;
  }
  return static_cast<int32_t>(position - cabinet_offset);
}

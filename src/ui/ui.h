// The module's dialogs.
#pragma once
#include <windows.h>

#include <cstdint>

// Destination dialog (template 202): 1 OK, 2 Cancel, -1 not created.
int ask_destination(const char* archive_name);
int browse_for_destination(HWND owner, char* buffer, const char* initial_folder);

// Progress window (template 2008).
constexpr UINT PROGRESS_SET_POSITION = 1004;
constexpr UINT PROGRESS_RESUME_ANIMATION = WM_USER + 1;
constexpr UINT PROGRESS_PAUSE_ANIMATION = WM_USER + 2;
// The bar counts units of 2^progress_shift bytes (KiB, larger for a set of
// more than 2 TiB) of `total_bytes`, the length of the cabinet set.
extern int progress_shift;
void open_progress_window(uint64_t total_bytes);
// Sends WM_CLOSE to the window, or posts WM_QUIT to the thread that opened it
// when the window could not be created, so that its message loop ends.
void close_progress_window();

// Overwrite confirmation (template 2007).
struct OverwriteQuery {
  const char* path;
  uint32_t existing_time;  // DOS date << 16 | DOS time, local; 0 when unknown
  uint32_t incoming_time;
  uint64_t existing_size;
  uint64_t incoming_size;
};
enum {
  OVERWRITE_YES = 6,
  OVERWRITE_NO = 7,
  OVERWRITE_ALL = 100,
  OVERWRITE_CANCEL = -1,
};
extern volatile int32_t newer_only;
int confirm_overwrite(OverwriteQuery* query);
int format_file_time(uint32_t stamp, char* output);  // output of 128 bytes
const char* group_thousands(uint64_t number);        // "4,294,967,296"
// format_file_time's work with the string-table text passed in.
int format_file_time_with(const char* format, uint32_t stamp, char* output, size_t output_size);

// Package integrity check (template 103): the computed CRC, or 0 after a
// mismatch (warning shown) or when the file cannot be opened.
uint32_t verify_package_crc(HWND owner, HINSTANCE instance, uint32_t expected);

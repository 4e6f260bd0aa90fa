// Extraction: I/O callbacks over the package, notification handler, worker.
#pragma once
#include <windows.h>

#include <cstdint>

#include "cabinet/cab.h"

void* cab_alloc(uint32_t size);
void cab_free(void* memory);
int32_t cab_open(const char* path, int32_t flags, int32_t mode);
int32_t cab_read(int32_t handle, void* buffer, uint32_t count);
int32_t cab_write(int32_t handle, const void* buffer, uint32_t count);
int32_t cab_close(int32_t handle);
int32_t cab_seek(int32_t handle, int32_t offset, int32_t origin);

// The name of the file being written, for the progress window's name line;
// shown at once or with the next progress update a few ms later.
void show_file_name(const char* name);
// At the end of a complete extraction: the bar goes to its end and the name
// that waited is shown, before the window closes.
void finish_progress();

int32_t on_cab_notification(int32_t kind, CabNotification* record);
int build_output_path(const char* destination, char* name, char* output);
int strip_parent_refs(char* name);
void append_extracted_file(const char* path);

extern char* extracted_list;          // NUL-separated full paths; null until the first
extern uint32_t extracted_list_size;  // bytes used, terminators included

void set_file_dos_time(const char* path, uint16_t date, uint16_t time);
void set_file_times(const char* path, const FILETIME* time);

extern char output_path[MAX_PATH];  // the file being extracted
extern int32_t output_handle;       // its handle while open, else -1
// Records that the output file could not be created or written (the
// system's error code) and stops the run with ABORT_OUTPUT_FAILED.
void fail_output(DWORD error);
// After a failed or cancelled walk: the file that was being written is
// closed and removed, so that no truncated file keeps its real name.
void discard_unfinished_output();
// A stored UTF-8 name in the system's code page; false when it is not valid
// UTF-8 or the code page cannot hold it exactly (`output`, PATH_BUFFER
// bytes, then holds a form to show).
bool utf8_name_to_ansi(const char* name, char* output);

extern bool files_left_out;  // a stored name was refused (message 6)
// What a failure was about: the output file, or the cabinet looked for.
extern char failed_path[MAX_PATH];
extern DWORD failed_error;  // the system's error code for an output file

struct OverwriteQuery;
// Replaceable in tests: the overwrite question.
extern int (*extract_confirm_overwrite)(OverwriteQuery*);

DWORD WINAPI extraction_worker(LPVOID archive_path);

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

// False when the list cannot grow (the run must stop: the clean-up would miss
// the file).
bool append_extracted_file(const char* path);

extern char* extracted_list;        // NUL-separated full paths; null until the first
extern size_t extracted_list_size;  // bytes used, terminators included

void set_file_dos_time(const char* path, uint16_t date, uint16_t time);
void set_file_times(const char* path, const FILETIME* time);
// A stored local date and time as the system's UTC file time.
bool dos_to_file_time(uint16_t date, uint16_t time, FILETIME* utc);

extern char output_path[MAX_PATH];  // the file the handler settles
// What the library holds for the output file between its begin and its
// end; -1 while there is none. Never a runtime file descriptor.
constexpr int32_t OUTPUT_TOKEN = 0x7FFF0000;
extern int32_t output_handle;
// Records that an output file could not be created or written (the
// system's error code) and stops the run with ABORT_OUTPUT_FAILED; the first
// failure of a run is the one told.
void fail_output(DWORD error, const char* path);

// The output file once created (output.cpp). Its bytes, date, attributes and
// closing go to a writer thread while one runs (output_start), else they are
// done at once. output_write returns false when a write done at once failed;
// a failure on the writer thread stops the run through fail_output.
bool output_start();
// `paths`: the file created, and PATH_BUFFER bytes on, the name it has when
// done: its own, or, when `replaced` (the attributes of an existing file) is
// not 0, that file's, which it takes once complete (else it is removed).
void output_begin(HANDLE file, const char* paths, DWORD replaced);
bool output_write(const void* bytes, uint32_t count);
uint64_t output_length();  // bytes given for the current file
// Ends the current file: stamped and given its attributes when `complete`,
// else closed and removed.
void output_end(uint16_t date, uint16_t time, uint16_t attributes, bool complete);
// Waits until everything given is done, e.g. before an existing file is
// looked at: the writer may still hold a file of the same name.
void output_flush();
// Waits for the writer and ends it; a file begun and not ended is removed,
// so that no truncated file keeps its real name.
void output_finish();
// A stored UTF-8 name in the system's code page; false when it is not valid
// UTF-8 or the code page cannot hold it exactly (`output`, PATH_BUFFER
// bytes, then holds a form to show).
bool utf8_name_to_ansi(const char* name, char* output);

extern bool files_left_out;  // a stored name was refused (message 6)
// What a failure was about: the output file, or the cabinet looked for.
extern char failed_path[MAX_PATH];
extern DWORD failed_error;  // the system's error code for an output file

struct OverwriteQuery;
// Replaceable in tests: the overwrite question, and how an output file is
// created (CreateFileA for writing with CREATE_NEW or CREATE_ALWAYS).
extern int (*extract_confirm_overwrite)(OverwriteQuery*);
extern HANDLE (*extract_create_output)(const char* path, DWORD disposition);

DWORD WINAPI extraction_worker(LPVOID archive_path);

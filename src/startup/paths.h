// Path and text utilities. Paths are ANSI in the system code page, at most
// 260 bytes with the NUL; separators are searched on the UTF-16 form or with a
// lead-byte walk so that a trail byte 0x5C is never taken for a backslash.
#pragma once
#include <windows.h>

#include <cstddef>

constexpr int PATH_BUFFER = MAX_PATH;  // 260

// Result in a process-wide 520-unit buffer, valid until the next call; an
// input that does not fit gives an empty text.
const wchar_t* ansi_to_utf16(const char* text);
// Result in a process-wide 260-byte buffer, valid until the next call; an
// input that does not fit gives an empty text.
const char* utf16_to_ansi(const wchar_t* text);

// 1 when every level exists or was made. The levels that `path` shares with
// `existing` (a folder known to be there, with its final backslash) are
// taken as they are; with `existing`, a level below them that is a link
// (junction or symbolic link) gives 0.
int create_folder_path(const char* path, const char* existing = nullptr);

// Folders that create_folder_path made while `record_created_folders` is set
// (a run that deletes its files afterwards): full paths with their final
// backslash, each ended by a NUL, parents before their children.
extern bool record_created_folders;
extern char* created_folders;  // null until the first
extern size_t created_folders_size;
void forget_created_folders();
void add_trailing_backslash(char* path);  // path buffer of 260 bytes; never grows past it
int is_dbcs_trail_byte(const char* text, int offset);
void strip_trailing_backslash(char* path);
void trim_trailing_spaces(char* text);
void slashes_to_backslashes(char* text);
// Either output may be null; each given one is a 260-byte buffer.
void split_path(const char* path, char* folder, char* name);

// Copies `text` whole into `output` of `size` bytes and returns 1; when it
// does not fit, leaves `output` empty and returns 0 (never cuts).
int copy_text(char* output, size_t size, const char* text);
// Appends `text` whole to the string in `output` and returns 1; when the
// result would not fit, leaves `output` unchanged and returns 0.
int append_text(char* output, size_t size, const char* text);
// wsprintfA into `output` of `size` bytes: returns the length, or -1 with
// `output` empty when the result does not fit (never cuts). The system's
// formatter stops at 1024 bytes, which bounds its own buffer here.
int format_text(char* output, size_t size, const char* format, ...);

// Process entry, command line, the main sequence and the package file.
#pragma once
#include <windows.h>

#include <cstdint>

// The argument text: the command line after the program name and the white
// space that follows it.
const char* skip_program_name(const char* command_line);
int parse_command_line(const char* arguments, char* archive_path);
int main_sequence(char* archive_path);
int wow64_control(int32_t request);  // -1 query, 0 redirection off, 1 on

// File offset at which the running module's image ends (where the header
// block of a package begins); 0 when its section table cannot be walked.
uint32_t image_end_offset(HINSTANCE instance);
// Searches the archive for the cabinet signature and sets cabinet_offset (-1
// when there is none). `file` is an open descriptor or -1 to open `path`; it is
// always closed. Returns the file's length, or -1 when it cannot be opened.
int64_t find_cabinet(const char* path, int file);
// The length of the cabinet set that begins with the cabinet at
// cabinet_offset in `path` (`first_length` bytes to the end of the file): the
// following cabinets are found beside it by the names each header gives, as
// far as they are there. For the progress bar only.
uint64_t cabinet_set_length(const char* path, uint64_t first_length);

// Destination typed by the user or read from the header, classified against the
// base folder (the archive's folder, ending in a backslash).
enum DestinationOutcome {
  DESTINATION_ACCEPTED = 0,  // output holds the destination to use
  DESTINATION_ABOVE_ROOT,    // "..\" climbs above the base folder's root
  DESTINATION_FORBIDDEN,     // one of ; * ? " < > | in the result
  DESTINATION_TOO_LONG,      // the result would not fit with its final backslash
};
// `text` has already had '/' turned into '\' and one final '\' stripped;
// `output` is a 260-byte buffer; on acceptance it leaves room for a final '\'.
DestinationOutcome classify_destination(const char* base_folder, const char* text, char* output);

// Mainly for tests: the longest accepted argument text, archive path and
// setup file name, in bytes without the NUL.
constexpr size_t MAX_ARGUMENT_TEXT = 511;
constexpr size_t MAX_ARCHIVE_PATH = 259;
constexpr size_t MAX_SETUP_FILE = 127;

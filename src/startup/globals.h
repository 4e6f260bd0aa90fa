// Process-wide values of a run (module side, Windows only).
#pragma once
#include <windows.h>

#include <cstdint>

#include "package/package.h"

extern PackageHeader settings;           // the run's configuration
extern HINSTANCE module_instance;        // the running module
extern volatile int32_t cabinet_offset;  // cabinet inside the archive file; -1 when none
extern volatile int32_t abort_code;      // 0 while the run may go on; ABORT_* below
extern HWND progress_window;             // the modeless progress dialog
extern int temp_folder_made;             // destination is still the run's private temporary folder

constexpr int32_t ABORT_CANCELLED = 100;
constexpr int32_t ABORT_FOLDER_FAILED = -1;       // message 7 shown by the handler
constexpr int32_t ABORT_EXTRACTION_FAILED = -2;   // damaged or unreadable archive: message 13
constexpr int32_t ABORT_OUTPUT_FAILED = -3;       // output file: message 14
constexpr int32_t ABORT_CABINET_MISSING = -4;     // following cabinet: message 15
constexpr int32_t ABORT_WORKER_NOT_STARTED = -5;  // message 16

// Exit codes of the process.
constexpr int EXIT_EXTRACTED = 0;     // everything extracted (or the waited setup's own code)
constexpr int EXIT_FAILED = 1;        // a failure that showed a message, or bad input refused
constexpr int EXIT_CANCELLED = 1223;  // ERROR_CANCELLED: the user declined or cancelled

// Message catalogue numbers (string table).
enum MessageId {
  MSG_CANNOT_OPEN_ARCHIVE = 2,
  MSG_NOT_SUPPORTED = 3,
  MSG_CREATE_FOLDER = 4,
  MSG_INVALID_NAME = 6,
  MSG_CANNOT_CREATE_FOLDER = 7,
  MSG_CRC_ERROR = 8,
  MSG_FILE_DETAILS = 9,
  MSG_BROWSE_TITLE = 11,
  MSG_NEEDS_64BIT = 12,
  MSG_EXTRACTION_FAILED = 13,
  MSG_OUTPUT_FAILED = 14,
  MSG_CABINET_MISSING = 15,
  MSG_WORKER_NOT_STARTED = 16,
};

constexpr const char* APP_TITLE = "CAB-SFX";

// Every message box of the module; replaceable in tests.
extern int(WINAPI* message_box)(HWND, LPCSTR, LPCSTR, UINT);

// Loads message `id` and shows it in a box with no owner, title "CAB-SFX".
int show_message(int id, UINT style);
// Message `id` with up to two text fields (wsprintfA's %s), shown whole or,
// when the filled-in text would not fit, as the bare catalogue text.
int show_formatted(int id, UINT style, const char* first, const char* second = "");

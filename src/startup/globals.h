// Process-wide values of a run (module side, Windows only).
#pragma once
#include <windows.h>

#include <cstdint>

#include "package/package.h"

extern PackageHeader settings;           // the run's configuration
extern HINSTANCE module_instance;        // the running module
extern volatile int32_t cabinet_offset;  // cabinet inside the archive file; -1 when none
extern volatile int32_t
    abort_code;               // 0 running, 100 cancelled, -1 folder failure, -2 library failure
extern HWND progress_window;  // the modeless progress dialog
extern int temp_folder_made;  // destination is a private temporary folder

constexpr int32_t ABORT_CANCELLED = 100;
constexpr int32_t ABORT_FOLDER_FAILED = -1;
constexpr int32_t ABORT_EXTRACTION_FAILED = -2;

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
};

constexpr const char* APP_TITLE = "CAB-SFX";

// Loads message `id` and shows it in a box with no owner, title "CAB-SFX".
int show_message(int id, UINT style);

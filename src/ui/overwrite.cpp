// Overwrite confirmation: a modal dialog on the worker thread, owned by the
// progress window, that shows the existing and the incoming file and returns
// one of the OVERWRITE_* answers.
#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <cstdio>
#include <cstring>

#include "resources/resource.h"
#include "startup/globals.h"
#include "startup/paths.h"
#include "ui/ui.h"

volatile int32_t newer_only;

static char grouped_number[32];

// Sunday to Saturday in Shift-JIS.
static constexpr char weekday_letters[7][2] = {
    {'\x93', '\xFA'}, {'\x8C', '\x8E'}, {'\x89', '\xCE'}, {'\x90', '\x85'},
    {'\x96', '\xD8'}, {'\x8B', '\xE0'}, {'\x93', '\x79'},
};

const char* group_thousands(uint64_t number) {
  // Divided by ten in 16-bit pieces: a 64-bit division would bring in the
  // runtime's helpers. Written from the right, a comma before every fourth
  // digit.
  uint16_t pieces[4] = {uint16_t(number >> 48), uint16_t(number >> 32), uint16_t(number >> 16),
                        uint16_t(number)};
  char* out = grouped_number + sizeof grouped_number - 1;
  *out = '\0';
  for (int digits = 0;; ++digits) {
    uint32_t rest = 0;
    for (uint16_t& piece : pieces) {
      const uint32_t value = rest << 16 | piece;
      piece = uint16_t(value / 10);
      rest = value % 10;
    }
    if (digits > 0 && digits % 3 == 0) *--out = ',';
    *--out = char('0' + rest);
    if ((pieces[0] | pieces[1] | pieces[2] | pieces[3]) == 0) return out;
  }
}

static int day_of_week(int year, int month, int day) {
  if (month == 1 || month == 2) {
    year -= 1;
    month += 12;
  }
  const int value = day + (13 * month + 8) / 5 + year / 400 - year / 100 + year / 4 + year;
  return ((value % 7) + 7) % 7;
}

int format_file_time_with(const char* format, uint32_t stamp, char* output, size_t output_size) {
  if (!format || !output || output_size == 0) return 0;
  output[0] = '\0';
  const int day = (stamp >> 16) & 0x1F;
  const int month = (stamp >> 21) & 0x0F;
  const int year = static_cast<int>((stamp >> 25) & 0x7F) + 1980;
  const int hours = (stamp >> 11) & 0x1F;
  const int minutes = (stamp >> 5) & 0x3F;
  const int seconds = (stamp & 0x1F) * 2;
  const bool english = strstr(format, "Byte") != nullptr;
  // The format comes from our own string table: month, day, year in the
  // English form, year, month, day in the Japanese one.
  const int length =
      english ? format_text(output, output_size, format, month, day, year, hours, minutes, seconds)
              : format_text(output, output_size, format, year, month, day, hours, minutes, seconds);
  if (length < 0) return 0;
  if (!english && length > 0) {
    char* mark = strchr(output, '?');
    // Two bytes are replaced; a lone '?' at the very end gets only the lead
    // byte's room, so it is left alone.
    if (mark && mark[1] != '\0') {
      const char* letter = weekday_letters[day_of_week(year, month, day)];
      mark[0] = letter[0];
      mark[1] = letter[1];
    }
  }
  return length;
}

int format_file_time(uint32_t stamp, char* output) {
  char format[128];
  if (LoadStringA(module_instance, MSG_FILE_DETAILS, format, sizeof format) <= 0) {
    output[0] = '\0';
    return 0;
  }
  return format_file_time_with(format, stamp, output, 128);
}

// Fills one details line: the stamp's text used as a format for the size.
static void set_details(HWND dialog, int control, uint32_t stamp, uint64_t size) {
  char format[128];
  if (stamp == 0 || format_file_time(stamp, format) <= 0) return;
  char text[192];
  if (format_text(text, sizeof text, format, group_thousands(size)) < 0) return;
  SetDlgItemTextA(dialog, control, text);
}

static INT_PTR CALLBACK overwrite_procedure(HWND dialog, UINT message, WPARAM wparam,
                                            LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      const OverwriteQuery* query = reinterpret_cast<const OverwriteQuery*>(lparam);
      char name[PATH_BUFFER];
      split_path(query->path, nullptr, name);
      char format[64];
      GetDlgItemTextA(dialog, IDC_FILE_LINE, format, sizeof format);
      // The template's text holds one %s for the file name.
      char line[sizeof format + PATH_BUFFER];
      if (format_text(line, sizeof line, format, name) > 0)
        SetDlgItemTextA(dialog, IDC_FILE_LINE, line);
      SHFILEINFOA info = {};
      if (SHGetFileInfoA(query->path, 0, &info, sizeof info, SHGFI_ICON) && info.hIcon) {
        SendDlgItemMessageA(dialog, IDC_EXISTING_ICON, STM_SETICON,
                            reinterpret_cast<WPARAM>(info.hIcon), 0);
        SendDlgItemMessageA(dialog, IDC_INCOMING_ICON, STM_SETICON,
                            reinterpret_cast<WPARAM>(info.hIcon), 0);
      }
      set_details(dialog, IDC_EXISTING_DETAILS, query->existing_time, query->existing_size);
      set_details(dialog, IDC_INCOMING_DETAILS, query->incoming_time, query->incoming_size);
      return TRUE;
    }
    case WM_COMMAND:
      switch (wparam) {
        case IDYES:
          EndDialog(dialog, OVERWRITE_YES);
          break;
        case IDNO:
          EndDialog(dialog, OVERWRITE_NO);
          break;
        case IDC_YES_TO_ALL:
          EndDialog(dialog, OVERWRITE_ALL);
          break;
        case IDC_NEWER:
          newer_only = 1;
          EndDialog(dialog, OVERWRITE_YES);
          break;
        case IDC_OVERWRITE_CANCEL:
        case IDCANCEL:
          EndDialog(dialog, OVERWRITE_CANCEL);
          break;
        default:
          break;
      }
      return FALSE;
    case WM_DESTROY: {
      // Both icon controls hold the same handle: destroy it once.
      HICON icon = reinterpret_cast<HICON>(
          SendDlgItemMessageA(dialog, IDC_EXISTING_ICON, STM_GETICON, 0, 0));
      if (icon) DestroyIcon(icon);
      return FALSE;
    }
    default:
      return FALSE;
  }
}

int confirm_overwrite(OverwriteQuery* query) {
  SendMessageA(progress_window, PROGRESS_PAUSE_ANIMATION, 0, 0);
  const INT_PTR answer =
      DialogBoxParamA(module_instance, MAKEINTRESOURCEA(IDD_OVERWRITE), progress_window,
                      overwrite_procedure, reinterpret_cast<LPARAM>(query));
  SendMessageA(progress_window, PROGRESS_RESUME_ANIMATION, 0, 0);
  return static_cast<int>(answer);
}

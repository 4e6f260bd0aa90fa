#include "startup/globals.h"

#include "startup/paths.h"

// Zero-initialised: the module has no runtime start-up to run constructors.
PackageHeader settings;
HINSTANCE module_instance;
volatile int32_t cabinet_offset = -1;
volatile int32_t abort_code;
HWND progress_window;
int temp_folder_made;

int(WINAPI* message_box)(HWND, LPCSTR, LPCSTR, UINT) = MessageBoxA;

int show_message(int id, UINT style) {
  char text[128];
  if (LoadStringA(module_instance, id, text, sizeof text) <= 0) text[0] = 0;
  return message_box(nullptr, text, APP_TITLE, style);
}

int show_formatted(int id, UINT style, const char* first, const char* second) {
  char format[256];
  char text[1024];
  if (LoadStringA(module_instance, id, format, sizeof format) <= 0) format[0] = 0;
  if (format_text(text, sizeof text, format, first, second) < 0) {
    copy_text(text, sizeof text, format);
  }
  return message_box(nullptr, text, APP_TITLE, style);
}

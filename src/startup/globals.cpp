#include "startup/globals.h"

// Zero-initialised: the module has no runtime start-up to run constructors.
PackageHeader settings;
HINSTANCE module_instance;
volatile int32_t cabinet_offset = -1;
volatile int32_t abort_code;
HWND progress_window;
int temp_folder_made;

int show_message(int id, UINT style) {
  char text[128];
  if (LoadStringA(module_instance, id, text, sizeof text) <= 0) text[0] = 0;
  return MessageBoxA(nullptr, text, APP_TITLE, style);
}

// The module's own entry point: no runtime start-up code runs before it, so no
// global here may need a constructor.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <cstring>

#include "startup/globals.h"
#include "startup/startup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR arguments, int) {
  InitCommonControls();
  char archive_path[MAX_PATH];
  std::memset(archive_path, 0, sizeof archive_path);
  module_instance = instance;
  std::memset(&settings, 0, sizeof settings);
  settings.open_folder = 1;
  // An archive that cannot be found, or a command line that does not fit,
  // is refused without a word: the exit code alone tells.
  if (arguments[0] && !parse_command_line(arguments, archive_path)) return EXIT_FAILED;
  return main_sequence(archive_path);
}

extern "C" __attribute__((noreturn, force_align_arg_pointer)) void process_entry() {
  const char* arguments = skip_program_name(GetCommandLineA());

  STARTUPINFOA startup;
  startup.dwFlags = 0;
  GetStartupInfoA(&startup);
  const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
  ExitProcess(
      UINT(WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>(arguments), show)));
}

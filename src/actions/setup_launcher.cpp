// Runs the package's setup from the destination: an INF through the system's
// INF installer host, a program with its parameters, or a document through the
// shell; waits for it and for an installer window it leaves behind when the
// extracted files are to be deleted afterwards.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstring>

#include "actions/actions.h"
#include "actions/setup_command.h"
#include "startup/globals.h"
#include "startup/paths.h"
#include "startup/startup.h"

static const char* const protected_programs[] = {"notepad.exe",  "rundll32.exe", "rundll.exe",
                                                 "explorer.exe", "cmd.exe",      ""};
static char windows_folder_cache[128];

int is_protected_program(const char* name) {
  for (int i = 0; protected_programs[i][0]; ++i)
    if (lstrcmpiA(name, protected_programs[i]) == 0) return 1;
  return 0;
}

int find_system_program(const char* name, char* output) {
  char program[MAX_PATH];
  if (std::strlen(name) + 5 > sizeof program) return 0;
  lstrcpyA(program, name);
  if (!std::strstr(program, ".exe")) lstrcatA(program, ".exe");
  char* file_part = nullptr;
  const DWORD found = SearchPathA(nullptr, program, nullptr, MAX_PATH, output, &file_part);
  if (found == 0 || found >= MAX_PATH) return 0;
  if (!is_protected_program(program)) return 1;
  // A protected program must come from the Windows folder: a copy beside the
  // package or in the current folder is refused, and no other is looked for.
  if (windows_folder_cache[0] == 0) {
    const UINT n = GetWindowsDirectoryA(windows_folder_cache, sizeof windows_folder_cache);
    if (n == 0 || n >= sizeof windows_folder_cache) windows_folder_cache[0] = 0;
  }
  return windows_folder_cache[0] && path_is_inside(output, windows_folder_cache) ? 1 : 0;
}

bool path_is_inside(const char* path, const char* folder) {
  size_t n = std::strlen(folder);
  if (n > 0 && folder[n - 1] == '\\' && !is_dbcs_trail_byte(folder, int(n - 1))) --n;
  if (n == 0 || _strnicmp(path, folder, n) != 0) return false;
  return path[n] == '\\' || path[n] == '\0';
}

HWND find_installer_window(char* class_name, char* title) {
  lstrcpyA(class_name, "MsiDialogCloseClass");
  HWND window = FindWindowA(class_name, nullptr);
  if (window) return window;
  lstrcpyA(class_name, "InstallShield_Win");
  window = FindWindowA(class_name, nullptr);
  if (window) return window;
  class_name[0] = 0;
  lstrcpyA(title, "Setup");
  window = FindWindowA(nullptr, title);
  if (!window) title[0] = 0;
  return window;
}

// False when the installer host could not be started; its exit code otherwise.
static bool install_inf(const char* command_line, const char* working_folder, DWORD* exit_code) {
  char short_path[MAX_PATH];
  const DWORD n = GetShortPathNameA(command_line, short_path, sizeof short_path);
  // Without a short path (the INF is missing, say) nothing is started.
  if (n == 0 || n >= sizeof short_path) return false;

  char host[MAX_PATH];
  const char* format;
  if (find_system_program("rundll32.exe", host))
    format = INF_FORMAT_SETUPAPI;
  else if (find_system_program("rundll.exe", host))
    format = INF_FORMAT_SETUPX;
  else
    return false;

  char command[SETUP_COMMAND_SIZE];
  if (!format_inf_command(command, format, host, short_path)) return false;

  const bool redirect_off = settings.mode == PACKAGE_MODE_64BIT && wow64_control(0) != 0;
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  const bool started = CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr,
                                      working_folder, &startup, &process);
  if (started) {
    WaitForSingleObject(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, exit_code)) *exit_code = 0;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  if (redirect_off) wow64_control(1);
  return started;
}

static void wait_for_installer_windows(HANDLE process, bool waited) {
  char class_name[128] = {};
  char title[128] = {};
  const int attempts = waited ? 200 : 3000;
  CloseHandle(process);
  Sleep(1000);
  HWND window = nullptr;
  for (int i = 0; i < attempts && !window; ++i) {
    Sleep(10);
    class_name[0] = title[0] = 0;
    window = find_installer_window(class_name, title);
  }
  if (!window) return;
  // The installer's process may still hold its files (its own program among
  // them) for a moment after its window has gone: wait for it too, bounded,
  // since a window titled "Setup" may belong to a process that stays.
  DWORD owner_id = 0;
  GetWindowThreadProcessId(window, &owner_id);
  const HANDLE owner = owner_id && owner_id != GetCurrentProcessId()
                           ? OpenProcess(SYNCHRONIZE, FALSE, owner_id)
                           : nullptr;
  do {
    Sleep(100);
  } while (FindWindowA(class_name[0] ? class_name : nullptr, title[0] ? title : nullptr));
  if (owner) {
    WaitForSingleObject(owner, 10000);
    CloseHandle(owner);
  }
}

bool launch_setup(const char* setup_file, const char* destination, int delete_after_setup,
                  DWORD* exit_code) {
  *exit_code = 0;
  char command[SETUP_COMMAND_SIZE] = {};
  if (std::strlen(destination) + std::strlen(setup_file) >= sizeof command) return false;
  lstrcpyA(command, destination);
  lstrcatA(command, setup_file);

  char working_folder[MAX_PATH];
  split_command_folder(command, working_folder);

  if (is_inf_command(command)) return install_inf(command, working_folder, exit_code);

  const char* parameters = split_program_parameters(command);
  SHELLEXECUTEINFOA info;
  std::memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpFile = command;
  info.lpParameters = parameters;
  info.lpDirectory = working_folder;
  info.nShow = SW_SHOW;
  if (!ShellExecuteExA(&info)) return false;
  // A document handed to a program that was already running: started, with
  // no process of its own to wait for.
  if (!info.hProcess) return true;

  WaitForInputIdle(info.hProcess, INFINITE);
  Sleep(100);
  DWORD code = STILL_ACTIVE;
  if (!GetExitCodeProcess(info.hProcess, &code) || !delete_after_setup) {
    CloseHandle(info.hProcess);
    return true;
  }
  bool waited = false;
  if (code == STILL_ACTIVE) {
    waited = true;
    while (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) Sleep(100);
    if (!GetExitCodeProcess(info.hProcess, &code)) code = 0;
  }
  *exit_code = code;
  wait_for_installer_windows(info.hProcess, waited);
  return true;
}

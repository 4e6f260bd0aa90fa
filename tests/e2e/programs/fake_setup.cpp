// A stand-in for a package's setup program in end-to-end tests.
//
// It appends what it was started with to the file named by CABSFX_SETUP_RECORD:
//   cwd=<current folder>
//   args=<command line after the program name>
// and then, as the environment asks:
//   CABSFX_SETUP_LINGER_MS=N     stays running N ms before it exits;
//   CABSFX_SETUP_FOLLOWUP=KIND   starts a copy of itself that shows a follow-up
//                                installer window (KIND: InstallShield_Win,
//                                MsiDialogCloseClass or Setup for a window titled
//                                "Setup") for CABSFX_SETUP_FOLLOWUP_MS ms after
//                                this process has exited;
//   CABSFX_SETUP_FOLLOWUP_TAIL_MS=N  the follow-up stays running N ms after
//                                its window has closed, as an installer that
//                                finishes its work would;
//   CABSFX_SETUP_LEAVE=RELATIVE  writes a file of its own at that path under
//                                the current folder (a file the package did
//                                not extract);
//   CABSFX_SETUP_WATCH=PATH      the follow-up records "watch=present" or
//                                "watch=gone" for PATH just before its window
//                                closes, so a test can tell whether the files
//                                were deleted before the installer had finished;
//   CABSFX_SETUP_EXIT_CODE=N     ends with exit code N (default 0).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static void record(const char* line) {
  char path[MAX_PATH];
  if (!GetEnvironmentVariableA("CABSFX_SETUP_RECORD", path, MAX_PATH)) return;
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written;
  WriteFile(file, line, DWORD(std::strlen(line)), &written, nullptr);
  WriteFile(file, "\r\n", 2, &written, nullptr);
  CloseHandle(file);
}

static DWORD env_number(const char* name, DWORD fallback) {
  char value[32];
  if (!GetEnvironmentVariableA(name, value, sizeof value)) return fallback;
  return DWORD(std::strtoul(value, nullptr, 10));
}

static const char* arguments_after_program(const char* line) {
  if (*line == '"') {
    ++line;
    while (*line && *line != '"') ++line;
    if (*line) ++line;
  } else {
    while (*line && static_cast<unsigned char>(*line) > ' ') ++line;
  }
  while (*line && static_cast<unsigned char>(*line) <= ' ') ++line;
  return line;
}

static void show_followup_window(const char* kind) {
  WNDCLASSA window_class = {};
  window_class.lpfnWndProc = DefWindowProcA;
  window_class.hInstance = GetModuleHandleA(nullptr);
  const bool titled = std::strcmp(kind, "Setup") == 0;
  window_class.lpszClassName = titled ? "CabsfxFakeSetupWindow" : kind;
  RegisterClassA(&window_class);
  HWND window = CreateWindowExA(0, window_class.lpszClassName, titled ? "Setup" : "Installer",
                                WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 120, nullptr,
                                nullptr, window_class.hInstance, nullptr);
  record(window ? "followup=shown" : "followup=failed");
  const DWORD until = GetTickCount() + env_number("CABSFX_SETUP_FOLLOWUP_MS", 3000);
  while (GetTickCount() < until) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    Sleep(20);
  }
  char watch[MAX_PATH];
  if (GetEnvironmentVariableA("CABSFX_SETUP_WATCH", watch, MAX_PATH))
    record(GetFileAttributesA(watch) != INVALID_FILE_ATTRIBUTES ? "watch=present" : "watch=gone");
  if (window) DestroyWindow(window);
  record("followup=closed");
  Sleep(env_number("CABSFX_SETUP_FOLLOWUP_TAIL_MS", 0));
}

int main() {
  const char* arguments = arguments_after_program(GetCommandLineA());
  if (std::strncmp(arguments, "--followup ", 11) == 0) {
    Sleep(500);  // show the window only once the parent has exited
    show_followup_window(arguments + 11);
    return 0;
  }
  char line[1024];
  char folder[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, folder);
  std::snprintf(line, sizeof line, "cwd=%s", folder);
  record(line);
  std::snprintf(line, sizeof line, "args=%s", arguments);
  record(line);

  char leave[MAX_PATH];
  if (GetEnvironmentVariableA("CABSFX_SETUP_LEAVE", leave, MAX_PATH)) {
    HANDLE file = CreateFileA(leave, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    record(file != INVALID_HANDLE_VALUE ? "leave=written" : "leave=failed");
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }

  char kind[64];
  if (GetEnvironmentVariableA("CABSFX_SETUP_FOLLOWUP", kind, sizeof kind)) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    char command[MAX_PATH + 96];
    std::snprintf(command, sizeof command, "\"%s\" --followup %s", self, kind);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
  }
  // Lingers with a message queue that it serves, as a setup's window would:
  // the process counts as waiting for input, not as busy.
  const DWORD until = GetTickCount() + env_number("CABSFX_SETUP_LINGER_MS", 0);
  do {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  } while (GetTickCount() < until);
  record("setup=exit");
  return int(env_number("CABSFX_SETUP_EXIT_CODE", 0));
}

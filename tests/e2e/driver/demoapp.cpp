// The harness's test subject: optionally an unexpected message box first
// ("surprise", "untitled") or a window that closes itself ("flash", titled like
// the module's progress window), then dialog 100; OK shows the typed text and the check box state
// in a box titled "Demo", Cancel ends at once.
#include <windows.h>

#include <cstring>

namespace {

char typed[260];
int checked;

INT_PTR CALLBACK dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
    GetDlgItemTextA(dialog, 1001, typed, sizeof typed);
    checked = IsDlgButtonChecked(dialog, 1012) == BST_CHECKED;
    EndDialog(dialog, LOWORD(wparam));
  }
  return FALSE;
}

INT_PTR CALLBACK flash_proc(HWND dialog, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) {
    SetWindowTextA(dialog, "Decompressing...");
    SetTimer(dialog, 1, 700, nullptr);
    return TRUE;
  }
  if (message == WM_TIMER) EndDialog(dialog, 0);
  return FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int) {
  if (strstr(command_line, "surprise")) MessageBoxA(nullptr, "Surprise!", "Unplanned", MB_OK);
  if (strstr(command_line, "untitled")) MessageBoxA(nullptr, "No title", "", MB_OK);
  if (strstr(command_line, "flash")) {
    DialogBoxParamA(instance, MAKEINTRESOURCEA(100), nullptr, flash_proc, 0);
  }
  if (DialogBoxParamA(instance, MAKEINTRESOURCEA(100), nullptr, dialog_proc, 0) != IDOK) return 0;
  char text[400];
  lstrcpynA(text, checked ? "checked: " : "unchecked: ", 32);
  size_t used = strlen(text);
  lstrcpynA(text + used, typed, static_cast<int>(sizeof text - used));
  MessageBoxA(nullptr, text, "Demo", MB_OKCANCEL | MB_ICONINFORMATION);
  return 0;
}

// The harness's test subject: optionally an unexpected message box first,
// then dialog 100; OK shows the typed text and the check box state in a box
// titled "Demo", Cancel ends at once.
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

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int) {
  if (strstr(command_line, "surprise")) MessageBoxA(nullptr, "Surprise!", "Unplanned", MB_OK);
  if (DialogBoxParamA(instance, MAKEINTRESOURCEA(100), nullptr, dialog_proc, 0) != IDOK) return 0;
  char text[400];
  lstrcpynA(text, checked ? "checked: " : "unchecked: ", 32);
  size_t used = strlen(text);
  lstrcpynA(text + used, typed, static_cast<int>(sizeof text - used));
  MessageBoxA(nullptr, text, "Demo", MB_OKCANCEL | MB_ICONINFORMATION);
  return 0;
}

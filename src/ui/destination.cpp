// The destination dialog (template 202) and the shell's folder picker.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "resources/resource.h"
#include "startup/globals.h"
#include "startup/paths.h"
#include "ui/destination_text.h"
#include "ui/ui.h"

static int CALLBACK select_initial_folder(HWND picker, UINT message, LPARAM, LPARAM initial_folder) {
  if (message == BFFM_INITIALIZED) SendMessageA(picker, BFFM_SETSELECTIONA, TRUE, initial_folder);
  return 0;
}

int browse_for_destination(HWND owner, char* buffer, const char* initial_folder) {
  char title[128];
  if (!LoadStringA(module_instance, MSG_BROWSE_TITLE, title, sizeof title)) title[0] = 0;
  BROWSEINFOA info = {};
  info.hwndOwner = owner;
  info.pszDisplayName = buffer;
  info.lpszTitle = title;
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  info.lpfn = initial_folder ? select_initial_folder : nullptr;
  info.lParam = reinterpret_cast<LPARAM>(initial_folder);
  // The display name may overwrite the initial folder that the callback
  // still needs, so the picker gets its own copy to start from.
  char start[MAX_PATH];
  if (initial_folder) {
    lstrcpynA(start, initial_folder, MAX_PATH);
    info.lParam = reinterpret_cast<LPARAM>(start);
  }
  LPITEMIDLIST items = SHBrowseForFolderA(&info);
  int result = 0;
  if (items) result = SHGetPathFromIDListA(items, buffer) ? 1 : 0;
  CoTaskMemFree(items);
  return result;
}

static void read_destination(HWND dialog) {
  GetDlgItemTextA(dialog, IDC_DESTINATION, settings.destination, sizeof settings.destination);
}

static INT_PTR CALLBACK destination_dialog(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  static const char* archive_name = "";
  switch (message) {
    case WM_INITDIALOG:
      archive_name = reinterpret_cast<const char*>(lparam);
      SetDlgItemTextA(dialog, IDC_DESTINATION, settings.destination);
      return TRUE;
    case WM_COMMAND:
      switch (wparam) {
        case IDOK:
          read_destination(dialog);
          EndDialog(dialog, IDOK);
          break;
        case IDCANCEL:
          EndDialog(dialog, IDCANCEL);
          break;
        case IDC_BROWSE:
          read_destination(dialog);
          if (browse_for_destination(dialog, settings.destination, settings.destination))
            SetDlgItemTextA(dialog, IDC_DESTINATION, settings.destination);
          break;
        case IDC_ARCHIVE_FOLDER:
          read_destination(dialog);
          apply_archive_folder_box(settings.destination, archive_name,
                                   IsDlgButtonChecked(dialog, IDC_ARCHIVE_FOLDER) == BST_CHECKED);
          SetDlgItemTextA(dialog, IDC_DESTINATION, settings.destination);
          break;
      }
      return FALSE;
  }
  return FALSE;
}

int ask_destination(const char* archive_name) {
  return int(DialogBoxParamA(module_instance, MAKEINTRESOURCEA(IDD_DESTINATION), nullptr,
                             destination_dialog, reinterpret_cast<LPARAM>(archive_name)));
}

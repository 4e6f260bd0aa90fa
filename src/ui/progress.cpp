// Progress window: a modeless dialog on the main thread that the extraction
// worker feeds by SendMessageA (bar position in KiB, file name, animation
// pause/resume) and closes with WM_CLOSE when it has finished.
#include <windows.h>
// after windows.h
#include <commctrl.h>

#include "resources/resource.h"
#include "startup/globals.h"
#include "ui/ui.h"

int progress_shift = 10;
static HWND progress_bar;
static HWND copy_animation;
static HMODULE shell32_module;
// The thread that runs the window's message loop; the worker posts WM_QUIT
// to it when the window could not be created.
static DWORD progress_thread_id;

static void release_animation() {
  if (copy_animation) DestroyWindow(copy_animation);
  copy_animation = nullptr;
  if (shell32_module) FreeLibrary(shell32_module);
  shell32_module = nullptr;
}

static INT_PTR CALLBACK progress_procedure(HWND dialog, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      progress_bar = GetDlgItem(dialog, IDC_PROGRESS_BAR);
      SendMessageA(progress_bar, PBM_SETRANGE32, 0, lparam);
      copy_animation = nullptr;
      shell32_module = LoadLibraryA("shell32.dll");
      if (shell32_module) {
        copy_animation = CreateWindowExA(0, "SysAnimate32", nullptr,
                                         WS_CHILD | WS_VISIBLE | ACS_TRANSPARENT | ACS_AUTOPLAY, 0,
                                         0, 0, 0, dialog, reinterpret_cast<HMENU>(IDC_ANIMATION),
                                         reinterpret_cast<HINSTANCE>(shell32_module), nullptr);
      }
      if (copy_animation) {
        // The clip is opened from shell32's resources (the instance given at
        // creation); a missing clip leaves the control empty.
        SendMessageA(copy_animation, ACM_OPENA, 0, SHELL32_COPY_ANIMATION);
        SetWindowPos(copy_animation, nullptr, 50, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
      }
      return TRUE;
    }
    case WM_COMMAND:
      // Cancel button and Esc: the window stays until the worker closes it.
      if (wparam != IDCANCEL) return FALSE;
      InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&abort_code), ABORT_CANCELLED, 0);
      return TRUE;
    case WM_SYSCOMMAND:
      if ((wparam & 0xFFF0) != SC_CLOSE) return FALSE;
      // Caption close button or Alt+F4: the loop ends at once, the main
      // sequence then waits for the worker to notice the cancel.
      InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&abort_code), ABORT_CANCELLED, 0);
      release_animation();
      DestroyWindow(dialog);
      PostQuitMessage(0);
      return TRUE;
    case WM_CLOSE:
      release_animation();
      DestroyWindow(dialog);
      PostQuitMessage(0);
      return TRUE;
    case PROGRESS_SET_POSITION:
      SendMessageA(progress_bar, PBM_SETPOS, static_cast<WPARAM>(lparam), 0);
      return FALSE;
    case PROGRESS_RESUME_ANIMATION:
      if (copy_animation)
        SendMessageA(copy_animation, ACM_PLAY, static_cast<WPARAM>(-1), 0xFFFF0000);
      return TRUE;
    case PROGRESS_PAUSE_ANIMATION:
      if (copy_animation) SendMessageA(copy_animation, ACM_STOP, 0, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

void open_progress_window(uint64_t total_bytes) {
  progress_thread_id = GetCurrentThreadId();
  // The bar's range is a 32-bit signed count: KiB, or larger units for a set
  // beyond 2 TiB.
  progress_shift = 10;
  while ((total_bytes >> progress_shift) > uint64_t(INT32_MAX)) ++progress_shift;
  // Make sure this thread has a message queue before the worker may post to it.
  MSG probe;
  PeekMessageA(&probe, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  progress_window = CreateDialogParamA(module_instance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr,
                                       progress_procedure, LPARAM(total_bytes >> progress_shift));
  if (!progress_window) return;
  ShowWindow(progress_window, SW_SHOW);
  UpdateWindow(progress_window);
}

void close_progress_window() {
  if (progress_window) {
    SendMessageA(progress_window, WM_CLOSE, 0, 0);
  } else if (progress_thread_id != 0) {
    // No window to close: end the main thread's message loop directly.
    PostThreadMessageA(progress_thread_id, WM_QUIT, 0, 0);
  }
}

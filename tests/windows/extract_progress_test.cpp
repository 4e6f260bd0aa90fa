// The progress window's procedure: bar range and position, Cancel and Esc
// that leave the window to the worker, the close box and WM_CLOSE that end
// the message loop.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <string>

#include "extract/extract.h"
#include "extract_test_support.h"
#include "resources/resource.h"
#include "startup/globals.h"
#include "ui/ui.h"

namespace {

// True when a WM_QUIT waits in this thread's queue (taken out).
bool quit_posted() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) return true;
    DispatchMessageA(&message);
  }
  return false;
}

class ProgressWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    module_instance = GetModuleHandleA(nullptr);
    abort_code = 0;
    quit_posted();
    open_progress_window(5 * 1024 * 1024 + 1000);
    ASSERT_NE(progress_window, nullptr);
  }
  void TearDown() override {
    if (IsWindow(progress_window)) DestroyWindow(progress_window);
    progress_window = nullptr;
    quit_posted();
    abort_code = 0;
  }
  HWND bar() { return GetDlgItem(progress_window, IDC_PROGRESS_BAR); }
};

TEST_F(ProgressWindow, BarCountsKiBOfTheCabinet) {
  EXPECT_TRUE(IsWindowVisible(progress_window));
  PBRANGE range = {};
  SendMessageA(bar(), PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  EXPECT_EQ(range.iLow, 0);
  EXPECT_EQ(range.iHigh, 5 * 1024);
  SendMessageA(progress_window, PROGRESS_SET_POSITION, 0, 1234);
  EXPECT_EQ(SendMessageA(bar(), PBM_GETPOS, 0, 0), 1234);
  EXPECT_EQ(progress_shift, 10);
  // A set whose KiB do not fit the bar's range is counted in larger units.
  DestroyWindow(progress_window);
  open_progress_window(5ULL << 40);
  SendMessageA(bar(), PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  EXPECT_EQ(progress_shift, 12);
  EXPECT_EQ(range.iHigh, int(5ULL << 28));
}

TEST_F(ProgressWindow, CancelAndEscapeLeaveTheWindowToTheWorker) {
  SendMessageA(progress_window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  EXPECT_EQ(abort_code, ABORT_CANCELLED);
  EXPECT_TRUE(IsWindow(progress_window));
  EXPECT_FALSE(quit_posted());
  // A failure recorded first is not overwritten by a later cancel.
  abort_code = ABORT_FOLDER_FAILED;
  SendMessageA(progress_window, WM_COMMAND, IDCANCEL, 0);
  EXPECT_EQ(abort_code, ABORT_FOLDER_FAILED);
}

TEST_F(ProgressWindow, WorkerCloseEndsTheLoop) {
  close_progress_window();
  EXPECT_FALSE(IsWindow(progress_window));
  EXPECT_TRUE(quit_posted());
  EXPECT_EQ(abort_code, 0);
}

TEST_F(ProgressWindow, CloseBoxCancelsAndEndsTheLoopAtOnce) {
  SendMessageA(progress_window, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(abort_code, ABORT_CANCELLED);
  EXPECT_FALSE(IsWindow(progress_window));
  EXPECT_TRUE(quit_posted());
  // The worker's own close afterwards changes nothing and posts no second quit.
  close_progress_window();
  EXPECT_FALSE(quit_posted());
}

std::string file_line(HWND dialog) {
  char text[MAX_PATH];
  GetDlgItemTextA(dialog, IDC_FILE_NAME, text, sizeof text);
  return text;
}

TEST_F(ProgressWindow, FileNameThatWaitedIsShownWithTheNextRead) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  cabinet_offset = 0;
  const int32_t handle = cab_open(path, 0x8000, 0x180);
  ASSERT_NE(handle, -1);
  char buffer[512];
  Sleep(60);
  show_file_name("a\\first.txt");
  EXPECT_EQ(file_line(progress_window), "a\\first.txt");
  const DWORD before = GetTickCount();
  show_file_name("b\\second.txt");
  if (GetTickCount() - before < 20) {
    EXPECT_EQ(file_line(progress_window), "a\\first.txt");  // too soon: waits
  }
  Sleep(60);
  EXPECT_EQ(cab_read(handle, buffer, sizeof buffer), static_cast<int32_t>(sizeof buffer));
  EXPECT_EQ(file_line(progress_window), "b\\second.txt");
  cab_close(handle);
}

// What the window shows when the worker closes it: caught in front of the
// dialog's own procedure.
WNDPROC dialog_procedure;
int position_at_close = -1;
std::string name_at_close;

LRESULT CALLBACK watch_close(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_CLOSE) {
    position_at_close = int(SendDlgItemMessageA(window, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0));
    name_at_close = file_line(window);
  }
  return CallWindowProcA(dialog_procedure, window, message, wparam, lparam);
}

DWORD WINAPI run_worker(LPVOID path) {
  return extraction_worker(path);
}

// Many small files extracted in far less than the update interval: the bar
// still ends full and the last name is shown before the window goes.
TEST_F(ProgressWindow, BarEndsFullWithTheLastNameShown) {
  test_support::TempFolder work;
  std::vector<test_support::StoredFile> files;
  for (int i = 0; i < 40; ++i) {
    char name[16];
    snprintf(name, sizeof name, "f%d.txt", i);
    files.push_back({name, std::string(3000, char('a' + i % 26)), 0x3D50, 0x7000, 0x20});
  }
  const std::string cabinet = test_support::stored_cabinet(files);
  std::string path = work.slash() + "set.cab";
  ASSERT_TRUE(test_support::write_file(path, cabinet));
  settings = {};
  lstrcpynA(settings.destination, work.slash().c_str(), sizeof settings.destination);
  cabinet_offset = 0;
  DestroyWindow(progress_window);
  quit_posted();
  open_progress_window(int32_t(cabinet.size()));
  dialog_procedure = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(progress_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(watch_close)));
  HANDLE worker = CreateThread(nullptr, 0, run_worker, path.data(), 0, nullptr);
  ASSERT_NE(worker, nullptr);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
  EXPECT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0);
  CloseHandle(worker);
  EXPECT_EQ(abort_code, 0);
  EXPECT_EQ(position_at_close, int32_t(cabinet.size()) / 1024);
  EXPECT_EQ(name_at_close, "f39.txt");
}

}  // namespace

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

}  // namespace

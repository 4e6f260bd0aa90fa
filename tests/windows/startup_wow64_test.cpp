// The bitness check against an independent sign of 64-bit Windows, and the
// redirection switch against what a 32-bit process then sees in system32.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>

#include "startup/startup.h"

namespace {

// GetSystemWow64DirectoryA fails on 32-bit Windows.
bool windows_is_64bit() {
  char folder[MAX_PATH];
  return GetSystemWow64DirectoryA(folder, sizeof folder) != 0;
}

// Machine field of system32's kernel32.dll as this process sees it.
uint16_t kernel32_machine() {
  char path[MAX_PATH];
  GetSystemDirectoryA(path, sizeof path);
  lstrcatA(path, "\\kernel32.dll");
  const HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  uint8_t head[4096];
  DWORD got = 0;
  ReadFile(file, head, sizeof head, &got, nullptr);
  CloseHandle(file);
  if (got < 64) return 0;
  const uint32_t pe = *reinterpret_cast<const uint32_t*>(head + 60);
  if (pe + 6 > got) return 0;
  return *reinterpret_cast<const uint16_t*>(head + pe + 4);
}

TEST(Wow64Control, QueryMatchesThePlatform) {
  EXPECT_EQ(wow64_control(-1) != 0, windows_is_64bit());
  EXPECT_EQ(wow64_control(-1) != 0, windows_is_64bit());  // looked up once, same answer
}

TEST(Wow64Control, RedirectionOffShowsTheNativeSystemFolder) {
  if (!windows_is_64bit()) {
    // 32-bit Windows: the switch may exist but there is nothing to redirect.
    EXPECT_EQ(wow64_control(-1), 0);
    return;
  }
  EXPECT_EQ(kernel32_machine(), IMAGE_FILE_MACHINE_I386);
  ASSERT_NE(wow64_control(0), 0);
  const uint16_t native = kernel32_machine();
  EXPECT_NE(wow64_control(1), 0);
  EXPECT_EQ(native, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(kernel32_machine(), IMAGE_FILE_MACHINE_I386);
}

}  // namespace

// Integrity check of the package: the CRC-32 of the cabinet region (from the
// end of the header block to the end of the file, or to the certificate table
// of a signed package) behind dialog 103.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "package/crc32.h"
#include "package/package.h"
#include "resources/resource.h"
#include "startup/globals.h"
#include "startup/paths.h"
#include "startup/startup.h"
#include "ui/ui.h"

constexpr DWORD CRC_READ_SIZE = 2048;
constexpr int CRC_PROGRESS_SHIFT = 17;  // the bar counts steps of 128 KiB

uint32_t verify_package_crc(HWND owner, HINSTANCE instance, uint32_t expected) {
  crc32_build_table();
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(instance, path, sizeof path);
  if (n == 0 || n >= sizeof path) return 0;
  const int file = _open(path, _O_RDONLY | _O_BINARY);
  if (file == -1) return 0;
  // 64-bit: a package may be larger than 2 GiB.
  const int64_t length = _filelengthi64(file);

  HWND dialog = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_CRC_CHECK), nullptr, nullptr, 0);
  if (dialog) {
    ShowWindow(dialog, SW_SHOW);
    UpdateWindow(dialog);
  }
  const uint64_t start = uint64_t(image_end_offset(instance)) + PACKAGE_HEADER_SIZE;
  const uint64_t end = length < 0 ? 0
                                  : package_crc_end(reinterpret_cast<const uint8_t*>(instance),
                                                    PACKAGE_HEADER_SPAN, start, uint64_t(length));
  _lseeki64(file, int64_t(start), SEEK_SET);
  if (dialog)
    SendDlgItemMessageA(dialog, IDC_PROGRESS_BAR, PBM_SETRANGE32, 0,
                        end > start ? LPARAM((end - start) >> CRC_PROGRESS_SHIFT) : 0);

  static unsigned char buffer[CRC_READ_SIZE];
  uint64_t done = 0;
  for (;;) {
    const uint64_t left = end > start + done ? end - start - done : 0;
    if (left == 0) break;
    const int got = _read(file, buffer, left < CRC_READ_SIZE ? unsigned(left) : CRC_READ_SIZE);
    if (got <= 0) break;
    crc32_feed(buffer, DWORD(got));
    done += DWORD(got);
    Sleep(0);
    if (dialog)
      SendDlgItemMessageA(dialog, IDC_PROGRESS_BAR, PBM_SETPOS, WPARAM(done >> CRC_PROGRESS_SHIFT),
                          0);
    MSG message;
    if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE) &&
        !(dialog && IsDialogMessageA(dialog, &message))) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  _close(file);
  if (dialog) DestroyWindow(dialog);

  const uint32_t computed = crc32_register() ^ 0xFFFFFFFFu;
  if (expected == 0 || expected == computed) return computed;

  char format[256];
  char text[256 + MAX_PATH];
  if (!LoadStringA(module_instance, MSG_CRC_ERROR, format, sizeof format)) format[0] = 0;
  if (format_text(text, sizeof text, format, path) < 0) copy_text(text, sizeof text, format);
  MessageBoxA(owner, text, "Warning", MB_ICONERROR);
  return 0;
}

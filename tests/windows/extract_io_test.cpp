// The I/O callbacks over a package (a cabinet behind other bytes) and the
// worker running the library over such a package.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>

#include <string>
#include <vector>

#include "extract/extract.h"
#include "extract_test_support.h"
#include "startup/globals.h"
#include "ui/ui.h"

using namespace test_support;

namespace {

constexpr int32_t STUB_SIZE = 5000;

class ExtractIo : public ::testing::Test {
 protected:
  void SetUp() override {
    abort_code = 0;
    cabinet_offset = 0;
    progress_window = nullptr;
    module_instance = GetModuleHandleA(nullptr);
    settings = {};
    snprintf(settings.destination, sizeof settings.destination, "%s", out.slash().c_str());
  }
  void TearDown() override {
    abort_code = 0;
    cabinet_offset = 0;
  }
  // A stub of STUB_SIZE bytes followed by `cabinet`.
  std::string package(const std::string& cabinet) {
    const std::string path = work.slash() + "package.exe";
    EXPECT_TRUE(write_file(path, std::string(STUB_SIZE, 'S') + cabinet));
    return path;
  }
  TempFolder work;
  TempFolder out;
};

TEST_F(ExtractIo, PackageHandlesSeeTheCabinetFromZero) {
  const std::string cabinet = "MSCF" + std::string(60, 'c') + "END";
  const std::string path = package(cabinet);
  cabinet_offset = STUB_SIZE;
  const int32_t a = cab_open(path.c_str(), 0x8000, 0x180);
  const int32_t b = cab_open(path.c_str(), 0x8000, 0x180);
  ASSERT_NE(a, -1);
  ASSERT_NE(b, -1);
  EXPECT_EQ(cab_seek(a, 0, 1), 0);  // position query right after opening
  EXPECT_EQ(cab_seek(b, 0, 1), 0);
  char bytes[4];
  EXPECT_EQ(cab_read(a, bytes, 4), 4);
  EXPECT_EQ(std::string(bytes, 4), "MSCF");
  EXPECT_EQ(cab_seek(a, 0, 1), 4);
  EXPECT_EQ(cab_seek(b, 64, 0), 64);
  EXPECT_EQ(cab_read(b, bytes, 3), 3);
  EXPECT_EQ(std::string(bytes, 3), "END");
  EXPECT_EQ(cab_seek(a, -3, 2), static_cast<int32_t>(cabinet.size()) - 3);
  EXPECT_EQ(cab_seek(a, -10, 0), -1);  // before the cabinet's first byte

  // Both slots are taken: a third read handle is moved to the cabinet but
  // its positions are the file's own.
  const int32_t c = cab_open(path.c_str(), 0x8000, 0x180);
  EXPECT_EQ(cab_seek(c, 0, 1), STUB_SIZE);
  EXPECT_EQ(cab_seek(c, 0, 0), 0);
  EXPECT_EQ(cab_read(c, bytes, 1), 1);
  EXPECT_EQ(bytes[0], 'S');
  EXPECT_EQ(cab_close(c), 0);

  // A freed slot is taken again by the next cabinet handle.
  EXPECT_EQ(cab_close(a), 0);
  const int32_t d = cab_open(path.c_str(), 0x8000, 0x180);
  EXPECT_EQ(cab_read(d, bytes, 4), 4);
  EXPECT_EQ(std::string(bytes, 4), "MSCF");
  EXPECT_EQ(cab_seek(d, 0, 0), 0);
  EXPECT_EQ(cab_close(d), 0);
  EXPECT_EQ(cab_close(b), 0);

  // A cabinet of almost 2 GiB behind the stub: the file is larger than 2 GiB
  // (sparse here) and the cabinet's last bytes are still reached.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = STUB_SIZE + int64_t(INT32_MAX) - 4;
  DWORD written = 0;
  ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN) &&
              WriteFile(file, "LAST", 4, &written, nullptr));
  CloseHandle(file);
  const int32_t e = cab_open(path.c_str(), 0x8000, 0x180);
  EXPECT_EQ(cab_seek(e, INT32_MAX - 4, 0), INT32_MAX - 4);
  EXPECT_EQ(cab_read(e, bytes, 4), 4);
  EXPECT_EQ(std::string(bytes, 4), "LAST");
  EXPECT_EQ(cab_seek(e, -4, 2), INT32_MAX - 4);
  EXPECT_EQ(cab_close(e), 0);
}

TEST_F(ExtractIo, PlainCabinetAndOutputFilesAreNotShifted) {
  const std::string path = package("MSCF");
  EXPECT_EQ(cabinet_offset, 0);
  const int32_t plain = cab_open(path.c_str(), 0x8000, 0x180);
  char byte;
  EXPECT_EQ(cab_read(plain, &byte, 1), 1);
  EXPECT_EQ(byte, 'S');
  EXPECT_EQ(cab_seek(plain, STUB_SIZE, 0), STUB_SIZE);
  cab_close(plain);

  cabinet_offset = STUB_SIZE;
  const std::string output = out.slash() + "written.bin";
  const int32_t w = cab_open(output.c_str(), 0x8321, 0x180);
  ASSERT_NE(w, -1);
  EXPECT_EQ(cab_write(w, "abc", 3), 3);
  EXPECT_EQ(cab_seek(w, 0, 1), 3);  // not moved to the offset, not shifted
  EXPECT_EQ(cab_close(w), 0);
  std::string bytes;
  ASSERT_TRUE(read_file(output, &bytes));
  EXPECT_EQ(bytes, "abc");
}

TEST_F(ExtractIo, EveryReadAndWriteFailsOnceCancelled) {
  const std::string path = package("MSCF");
  cabinet_offset = STUB_SIZE;
  const int32_t r = cab_open(path.c_str(), 0x8000, 0x180);
  const int32_t w = cab_open((out.slash() + "w").c_str(), 0x8321, 0x180);
  abort_code = ABORT_CANCELLED;
  char bytes[4];
  EXPECT_EQ(cab_read(r, bytes, 4), -1);
  EXPECT_EQ(cab_write(w, "x", 1), -1);
  cab_close(r);
  cab_close(w);
}

TEST_F(ExtractIo, SpillFileIsPrivateTemporaryAndUnshifted) {
  const std::string path = package("MSCF");
  cabinet_offset = STUB_SIZE;
  const int32_t spill = cab_open("*", 0x8102, 0x180);
  ASSERT_NE(spill, -1);
  EXPECT_EQ(cab_write(spill, "spill data", 10), 10);
  EXPECT_EQ(cab_seek(spill, 0, 0), 0);
  char bytes[10];
  EXPECT_EQ(cab_read(spill, bytes, 10), 10);  // a shifted seek would read nothing here
  EXPECT_EQ(std::string(bytes, 10), "spill data");
  // It took no slot: two cabinet handles are still shifted.
  const int32_t a = cab_open(path.c_str(), 0x8000, 0x180);
  const int32_t b = cab_open(path.c_str(), 0x8000, 0x180);
  EXPECT_EQ(cab_read(b, bytes, 4), 4);
  EXPECT_EQ(std::string(bytes, 4), "MSCF");
  cab_close(a);
  cab_close(b);
  EXPECT_EQ(cab_close(spill), 0);
}

std::vector<LPARAM> positions;

LRESULT CALLBACK record_progress(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == PROGRESS_SET_POSITION) positions.push_back(lparam);
  return DefWindowProcA(window, message, wparam, lparam);
}

TEST_F(ExtractIo, ReadsReportTheRunningTotalInKiB) {
  const std::string path = package(std::string(64 * 1024, 'c'));
  WNDCLASSA window_class = {};
  window_class.lpfnWndProc = record_progress;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = "progress_recorder";
  RegisterClassA(&window_class);
  progress_window = CreateWindowA("progress_recorder", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  window_class.hInstance, nullptr);
  ASSERT_NE(progress_window, nullptr);
  cabinet_offset = STUB_SIZE;
  const int32_t handle = cab_open(path.c_str(), 0x8000, 0x180);
  std::vector<char> buffer(8192);
  positions.clear();
  EXPECT_EQ(cab_read(handle, buffer.data(), 8192), 8192);
  Sleep(100);  // updates are at least some tens of milliseconds apart
  EXPECT_EQ(cab_read(handle, buffer.data(), 4096), 4096);
  Sleep(100);
  EXPECT_EQ(cab_read(handle, buffer.data(), 1000), 1000);
  cab_close(handle);
  DestroyWindow(progress_window);
  progress_window = nullptr;
  // A running total over all reads of the run: earlier tests count too, so
  // look at the steps.
  ASSERT_EQ(positions.size(), 3u);
  EXPECT_GE(positions[0], 8);
  EXPECT_EQ(positions[1] - positions[0], 4);
  EXPECT_LE(positions[2] - positions[1], 1);
}

std::vector<StoredFile> sample_files() {
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  return {
      {"readme.txt", "hello", 0x2E22 /* 2003-01-02 */, 0x20A3 /* 04:05:06 */, 0x20},
      {"empty.dat", "", 0x3D50, 0x7000, 0x01},
      {"sub\\deep\\big.bin", big, 0x3A8F, 0x6C00, 0x02 | 0x40 | 0x80},
      {"sub\\", "", 0x3A8F, 0x6C00, 0x10},
  };
}

uint32_t local_dos_stamp(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  FILETIME written;
  FILETIME local;
  WORD date = 0;
  WORD time = 0;
  GetFileTime(file, nullptr, nullptr, &written);
  CloseHandle(file);
  FileTimeToLocalFileTime(&written, &local);
  FileTimeToDosDateTime(&local, &date, &time);
  return static_cast<uint32_t>(date) << 16 | time;
}

TEST_F(ExtractIo, WorkerExtractsPackageWithDatesAndAttributes) {
  const std::vector<StoredFile> files = sample_files();
  std::string path = package(stored_cabinet(files));
  cabinet_offset = STUB_SIZE;
  EXPECT_EQ(extraction_worker(path.data()), 0u);
  EXPECT_EQ(abort_code, 0);
  for (const StoredFile& f : files) {
    const std::string target = out.slash() + f.name;
    if (f.name.back() == '\\') {
      EXPECT_TRUE(GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
      continue;
    }
    std::string bytes;
    ASSERT_TRUE(read_file(target, &bytes)) << f.name;
    EXPECT_EQ(bytes, f.data) << f.name;
    EXPECT_EQ(local_dos_stamp(target), static_cast<uint32_t>(f.date) << 16 | f.time) << f.name;
    // Read-only, hidden and system as stored (Wine reports archive on every file).
    EXPECT_EQ(GetFileAttributesA(target.c_str()) & 0x47, static_cast<DWORD>(f.attribs & 0x07))
        << f.name;
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

TEST_F(ExtractIo, DamagedPackageIsAFailureNotASuccess) {
  const std::vector<StoredFile> files = sample_files();
  std::string cabinet = stored_cabinet(files);
  cabinet[cabinet.size() - 10] ^= 0x01;  // in the last data block
  std::string path = package(cabinet);
  cabinet_offset = STUB_SIZE;
  EXPECT_EQ(extraction_worker(path.data()), static_cast<DWORD>(-1));
  EXPECT_EQ(abort_code, ABORT_EXTRACTION_FAILED);
  // What was complete before the damage stays.
  std::string bytes;
  EXPECT_TRUE(read_file(out.slash() + "readme.txt", &bytes));
  EXPECT_EQ(bytes, "hello");
  // The file being written when the damage was met does not stay truncated.
  EXPECT_FALSE(exists(out.slash() + "sub\\deep\\big.bin"));
  EXPECT_EQ(output_handle, -1);
  SetFileAttributesA((out.slash() + "empty.dat").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(ExtractIo, CancelBeforeTheFirstReadWritesNothingAndKeepsTheCode) {
  std::string path = package(stored_cabinet(sample_files()));
  cabinet_offset = STUB_SIZE;
  abort_code = ABORT_CANCELLED;
  EXPECT_EQ(extraction_worker(path.data()), static_cast<DWORD>(-1));
  EXPECT_EQ(abort_code, ABORT_CANCELLED);
  EXPECT_FALSE(exists(out.slash() + "readme.txt"));
}

TEST_F(ExtractIo, MissingArchiveIsAFailure) {
  std::string path = work.slash() + "absent.exe";
  EXPECT_EQ(extraction_worker(path.data()), static_cast<DWORD>(-1));
  EXPECT_EQ(abort_code, ABORT_EXTRACTION_FAILED);
}

DWORD WINAPI run_worker(LPVOID path) {
  return extraction_worker(path);
}

TEST_F(ExtractIo, WorkerEndsTheMessageLoopWhenTheWindowCouldNotBeMade) {
  std::string path = package(stored_cabinet(sample_files()));
  cabinet_offset = STUB_SIZE;
  // kernel32 holds no template 2008: the dialog cannot be created.
  module_instance = GetModuleHandleA("kernel32.dll");
  open_progress_window(1 << 20);
  module_instance = GetModuleHandleA(nullptr);
  ASSERT_EQ(progress_window, nullptr);
  HANDLE worker = CreateThread(nullptr, 0, run_worker, path.data(), 0, nullptr);
  ASSERT_NE(worker, nullptr);
  MSG message;
  int messages = 0;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) ++messages;  // ends on WM_QUIT
  EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeThread(worker, &code);
  CloseHandle(worker);
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(exists(out.slash() + "sub\\deep\\big.bin"));
  SetFileAttributesA((out.slash() + "empty.dat").c_str(), FILE_ATTRIBUTE_NORMAL);
  SetFileAttributesA((out.slash() + "sub\\deep\\big.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace

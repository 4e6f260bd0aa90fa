// Existing files at the destination: the overwrite answers, Yes to All,
// Newer, no_confirm over read-only files; the file end checks; the list of
// extracted files; the continuation-cabinet answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extract/extract.h"
#include "extract_test_support.h"
#include "startup/globals.h"
#include "ui/ui.h"

using namespace test_support;

namespace {

constexpr int NEWER_BUTTON = 1004;  // a script entry: press Newer
std::vector<int> answers;           // scripted replies, consumed front first
std::vector<OverwriteQuery> asked;
std::vector<std::string> asked_paths;

int scripted_confirm(OverwriteQuery* query) {
  asked.push_back(*query);
  asked_paths.push_back(query->path);
  if (answers.empty()) return OVERWRITE_CANCEL;
  const int answer = answers.front();
  answers.erase(answers.begin());
  if (answer == NEWER_BUTTON) {  // what the dialog's Newer button does
    newer_only = 1;
    return OVERWRITE_YES;
  }
  return answer;
}

int WINAPI no_box(HWND, LPCSTR, LPCSTR, UINT) {
  return IDOK;
}

constexpr uint16_t DOS_DATE = 0x3D50;  // 2010-10-16
constexpr uint16_t DOS_TIME = 0x7000;  // 14:00:00

class ExtractOverwrite : public ::testing::Test {
 protected:
  void SetUp() override {
    answers.clear();
    asked.clear();
    asked_paths.clear();
    extract_confirm_overwrite = scripted_confirm;
    message_box = no_box;
    newer_only = 0;
    abort_code = 0;
    cabinet_offset = 0;
    progress_window = nullptr;
    settings = {};
    snprintf(settings.destination, sizeof settings.destination, "%s", dest.slash().c_str());
  }
  void TearDown() override {
    extract_confirm_overwrite = confirm_overwrite;
    message_box = MessageBoxA;
    newer_only = 0;
    abort_code = 0;
    settings = {};
  }

  // FILE_BEGIN, the data, FILE_END; returns FILE_BEGIN's answer.
  int32_t extract(const std::string& name, const std::string& data, uint16_t date = DOS_DATE,
                  uint16_t time = DOS_TIME, uint16_t attribs = 0x20) {
    return send_file(name, data, date, time, attribs);
  }

  std::string content(const std::string& name) {
    std::string bytes;
    EXPECT_TRUE(read_file(dest.slash() + name, &bytes)) << name;
    return bytes;
  }

  // An existing file whose last-write stamp is the given local DOS date/time.
  void existing(const std::string& name, const std::string& data, uint16_t date, uint16_t time) {
    const std::string path = dest.slash() + name;
    ASSERT_TRUE(write_file(path, data));
    set_file_dos_time(path.c_str(), date, time);
  }

  TempFolder dest;
};

TEST_F(ExtractOverwrite, YesReplacesNoKeepsAndTheQueryDescribesBothFiles) {
  existing("a.txt", "old-a", 0x3C21, 0x5000);
  existing("b.txt", "old-b", DOS_DATE, DOS_TIME);
  // An existing file past 4 GiB (sparse) is told by its whole size.
  HANDLE big = CreateFileA((dest.slash() + "big.bin").c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  LARGE_INTEGER five_gib;
  five_gib.QuadPart = 5LL << 30;
  ASSERT_TRUE(SetFilePointerEx(big, five_gib, nullptr, FILE_BEGIN) && SetEndOfFile(big));
  CloseHandle(big);
  answers = {OVERWRITE_YES, OVERWRITE_NO, OVERWRITE_NO};
  EXPECT_GT(extract("a.txt", "new-a!"), 0);
  EXPECT_EQ(extract("b.txt", "new-b"), 0);
  EXPECT_EQ(extract("big.bin", "x"), 0);
  EXPECT_EQ(content("a.txt"), "new-a!");
  EXPECT_EQ(content("b.txt"), "old-b");
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked[2].existing_size, 5ULL << 30);
  EXPECT_EQ(asked_paths[0], dest.slash() + "a.txt");
  EXPECT_EQ(asked[0].existing_size, 5u);
  EXPECT_EQ(asked[0].existing_time, 0x3C215000u);
  EXPECT_EQ(asked[0].incoming_size, 6u);
  EXPECT_EQ(asked[0].incoming_time, static_cast<uint32_t>(DOS_DATE) << 16 | DOS_TIME);
  EXPECT_EQ(abort_code, 0);
}

TEST_F(ExtractOverwrite, YesToAllStopsAskingAndReplacesReadOnlyFiles) {
  existing("a.txt", "old", DOS_DATE, DOS_TIME);
  existing("b.txt", "old", DOS_DATE, DOS_TIME);
  SetFileAttributesA((dest.slash() + "b.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  answers = {OVERWRITE_ALL};
  EXPECT_GT(extract("a.txt", "new"), 0);
  EXPECT_EQ(settings.no_confirm, 1);
  EXPECT_GT(extract("b.txt", "newer", DOS_DATE, DOS_TIME, 0x02 | 0x40 | 0x80), 0);
  EXPECT_EQ(asked.size(), 1u);
  EXPECT_EQ(content("b.txt"), "newer");
  EXPECT_EQ(GetFileAttributesA((dest.slash() + "b.txt").c_str()) & 0x47, 0x02u);
}

TEST_F(ExtractOverwrite, CancelAbortsTheRun) {
  for (int answer : {static_cast<int>(OVERWRITE_CANCEL), static_cast<int>(IDCANCEL)}) {
    abort_code = 0;
    existing("a.txt", "old", DOS_DATE, DOS_TIME);
    answers = {answer};
    EXPECT_EQ(extract("a.txt", "new"), -1);
    EXPECT_EQ(abort_code, ABORT_CANCELLED);
    EXPECT_EQ(content("a.txt"), "old");
  }
}

TEST_F(ExtractOverwrite, NewerReplacesOnlyOlderFilesFromThenOn) {
  existing("older.txt", "old", DOS_DATE, 0x6F7D);  // 13:59:58, two seconds older
  existing("same.txt", "old", DOS_DATE, DOS_TIME);
  existing("later.txt", "old", DOS_DATE + 1, DOS_TIME);
  existing("first.txt", "old", DOS_DATE + 1, DOS_TIME);
  answers = {NEWER_BUTTON};
  // The file that was asked about is compared too: here the existing one wins.
  EXPECT_EQ(extract("first.txt", "new"), 0);
  EXPECT_EQ(newer_only, 1);
  EXPECT_GT(extract("older.txt", "new"), 0);
  EXPECT_EQ(extract("same.txt", "new"), 0);
  EXPECT_EQ(extract("later.txt", "new"), 0);
  EXPECT_GT(extract("fresh.txt", "new"), 0);  // not there yet: written
  EXPECT_EQ(asked.size(), 1u);
  EXPECT_EQ(content("first.txt"), "old");
  EXPECT_EQ(content("older.txt"), "new");
  EXPECT_EQ(content("same.txt"), "old");
  EXPECT_EQ(content("later.txt"), "old");
}

TEST_F(ExtractOverwrite, NoConfirmReplacesReadOnlyWithoutAsking) {
  settings.no_confirm = 1;
  existing("ro.txt", "old", DOS_DATE, DOS_TIME);
  SetFileAttributesA((dest.slash() + "ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_GT(extract("ro.txt", "new", 0x2E22, 0x20A3, 0x01), 0);
  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(content("ro.txt"), "new");
  const std::string path = dest.slash() + "ro.txt";
  EXPECT_EQ(GetFileAttributesA(path.c_str()) & 0x47, 0x01u);
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Writes into the null device: the handler counts a file past 2 GiB without
// gigabytes on disk.
HANDLE create_null_output(const char*, DWORD) {
  return CreateFileA("NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST_F(ExtractOverwrite, FilesPast2GiBAreCountedWhole) {
  const auto create_file = extract_create_output;
  extract_create_output = create_null_output;
  const std::vector<char> mebibyte(1 << 20, 'z');
  for (const uint32_t missing : {0u, 1u}) {
    abort_code = 0;
    std::vector<char> text = {'b', 'i', 'g', '\0'};
    CabNotification record = {};
    record.text1 = text.data();
    record.size = (2049u << 20) + 7;  // 2 GiB + 1 MiB + 7
    const int32_t handle = on_cab_notification(CAB_NOTIFY_FILE_BEGIN, &record);
    ASSERT_GT(handle, 0);
    for (int i = 0; i < 2049; ++i) ASSERT_EQ(cab_write(handle, mebibyte.data(), 1 << 20), 1 << 20);
    EXPECT_EQ(cab_write(handle, mebibyte.data(), 7 - missing), int32_t(7 - missing));
    record.handle = handle;
    EXPECT_EQ(on_cab_notification(CAB_NOTIFY_FILE_END, &record), 1);
    // Complete when every byte came, a damaged archive when one is missing.
    EXPECT_EQ(abort_code, missing ? ABORT_EXTRACTION_FAILED : 0) << missing;
  }
  extract_create_output = create_file;
}

TEST_F(ExtractOverwrite, FileMadeByAnotherProgramMeanwhileIsNotTruncated) {
  // The first create fails with nothing at the name; another program makes
  // the file before the second.
  static HANDLE (*const real)(const char*, DWORD) = extract_create_output;
  static int creates = 0;
  extract_create_output = [](const char* path, DWORD how) {
    if (creates++ == 0) return SetLastError(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
    return write_file(path, "theirs"), real(path, how);
  };
  EXPECT_EQ(extract("race.txt", "ours"), -1);
  extract_create_output = real;
  EXPECT_EQ(content("race.txt"), "theirs");
  EXPECT_EQ(abort_code, ABORT_OUTPUT_FAILED);
}

TEST_F(ExtractOverwrite, FileOfTheWrongLengthIsDeleted) {
  std::vector<char> text = {'s', 'h', 'o', 'r', 't', '\0'};
  CabNotification record = {};
  record.text1 = text.data();
  record.size = 10;
  const int32_t handle = on_cab_notification(CAB_NOTIFY_FILE_BEGIN, &record);
  ASSERT_GT(handle, 0);
  EXPECT_EQ(cab_write(handle, "12345", 5), 5);
  record.handle = handle;
  EXPECT_EQ(on_cab_notification(CAB_NOTIFY_FILE_END, &record), 1);
  EXPECT_FALSE(exists(dest.slash() + "short"));
  EXPECT_EQ(abort_code, ABORT_EXTRACTION_FAILED);  // a damaged archive: the run stops
}

TEST_F(ExtractOverwrite, ExtractedListKeepsAcceptedPathsInOrder) {
  settings.delete_after_setup = 1;
  const uint32_t before = extracted_list_size;
  EXPECT_GT(extract("one.txt", "1"), 0);
  EXPECT_EQ(extract("bad|name", "x"), 0);  // refused: not listed
  EXPECT_GT(extract("dir\\two.txt", "2"), 0);
  const std::string one = dest.slash() + "one.txt";
  const std::string two = dest.slash() + "dir\\two.txt";
  ASSERT_EQ(extracted_list_size, before + one.size() + 1 + two.size() + 1);
  EXPECT_STREQ(extracted_list + before, one.c_str());
  EXPECT_STREQ(extracted_list + before + one.size() + 1, two.c_str());
  // The clean-up closes the list with an empty entry.
  append_extracted_file("");
  EXPECT_EQ(extracted_list[extracted_list_size - 1], '\0');
  EXPECT_EQ(extracted_list[extracted_list_size - 2], '\0');
}

TEST_F(ExtractOverwrite, NeedCabinetAnswersOnlyWhenTheNextCabinetIsThere) {
  ASSERT_TRUE(write_file(dest.slash() + "next.cab", "MSCF"));
  const std::string slash = dest.slash();
  std::vector<char> folder(slash.begin(), slash.end());
  folder.resize(257, '\0');
  char next[] = "next.cab";
  char missing[] = "missing.cab";
  CabNotification record = {};
  record.text3 = folder.data();
  record.text1 = next;
  cabinet_offset = 4096;
  EXPECT_EQ(on_cab_notification(CAB_NOTIFY_NEED_CABINET, &record), 0);
  EXPECT_EQ(cabinet_offset, 0);
  // A failed previous attempt is not retried.
  record.lastError = CAB_ERR_WRONG_CABINET;
  EXPECT_EQ(on_cab_notification(CAB_NOTIFY_NEED_CABINET, &record), -1);
  record.lastError = 0;
  record.text1 = missing;
  EXPECT_EQ(on_cab_notification(CAB_NOTIFY_NEED_CABINET, &record), -1);
  EXPECT_EQ(abort_code, ABORT_CABINET_MISSING);  // told as such, not as damage
  EXPECT_EQ(std::string(failed_path), slash + "missing.cab");
  abort_code = 0;
  record.text1 = next;
  abort_code = ABORT_CANCELLED;
  EXPECT_EQ(on_cab_notification(CAB_NOTIFY_NEED_CABINET, &record), -1);
}

}  // namespace

// Path and text utilities, run under Wine. The code page 932 cases need the
// Japanese mode (LC_ALL=ja_JP.UTF-8) and are skipped otherwise.
#include "startup/paths.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// 0x95 0x5C is one Shift-JIS character whose second byte is the backslash byte.
constexpr const char* SJIS_5C = "\x95\x5C";

bool japanese_code_page() {
  return GetACP() == 932;
}

// A 260-byte path buffer followed by guard bytes that must stay untouched.
struct GuardedPath {
  char text[PATH_BUFFER];
  char guard[16];
  explicit GuardedPath(const std::string& value) {
    std::memset(text, 0, sizeof text);
    std::memset(guard, 0x5A, sizeof guard);
    std::memcpy(text, value.data(), value.size());
  }
  bool guard_intact() const {
    for (char c : guard) {
      if (c != 0x5A) return false;
    }
    return true;
  }
};

std::string add_backslash(const std::string& value) {
  GuardedPath path(value);
  add_trailing_backslash(path.text);
  EXPECT_TRUE(path.guard_intact());
  return path.text;
}

std::string strip_backslash(const std::string& value) {
  GuardedPath path(value);
  strip_trailing_backslash(path.text);
  return path.text;
}

std::pair<std::string, std::string> split(const char* value) {
  char folder[PATH_BUFFER];
  char name[PATH_BUFFER];
  std::memset(folder, 'x', sizeof folder);
  std::memset(name, 'x', sizeof name);
  split_path(value, folder, name);
  return {folder, name};
}

bool is_directory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(Conversions, RoundTripAndOverlongInputsGiveEmptyResults) {
  EXPECT_STREQ(utf16_to_ansi(ansi_to_utf16("C:\\dir\\file.txt")), "C:\\dir\\file.txt");
  EXPECT_STREQ(ansi_to_utf16(""), L"");

  const std::string long_ansi(600, 'a');  // more than 519 units
  EXPECT_STREQ(ansi_to_utf16(long_ansi.c_str()), L"");
  const std::string fits_ansi(519, 'b');
  EXPECT_EQ(std::wcslen(ansi_to_utf16(fits_ansi.c_str())), 519u);

  const std::wstring long_wide(300, L'c');  // more than 259 bytes
  EXPECT_STREQ(utf16_to_ansi(long_wide.c_str()), "");
  const std::wstring fits_wide(259, L'd');
  EXPECT_EQ(std::strlen(utf16_to_ansi(fits_wide.c_str())), 259u);
}

TEST(TrailingBackslash, AddAndStrip) {
  EXPECT_EQ(add_backslash(""), "");
  EXPECT_EQ(add_backslash("C:"), "C:\\");
  EXPECT_EQ(add_backslash("C:\\"), "C:\\");
  EXPECT_EQ(add_backslash("C:\\dir"), "C:\\dir\\");

  EXPECT_EQ(strip_backslash("C:\\dir\\"), "C:\\dir");
  EXPECT_EQ(strip_backslash(""), "");
  EXPECT_EQ(strip_backslash("C:\\\\"), "C:\\");  // only one is removed
  EXPECT_EQ(strip_backslash("C:\\dir"), "C:\\dir");
}

TEST(TrailingBackslash, FullBufferIsNeverOverrun) {
  const std::string full(259, 'p');
  EXPECT_EQ(add_backslash(full), full);
  const std::string room(258, 'q');
  EXPECT_EQ(add_backslash(room), room + "\\");
}

TEST(TrailingBackslash, ShiftJisSecondByteIsNoSeparator) {
  if (!japanese_code_page()) GTEST_SKIP() << "needs code page 932";
  const std::string name = std::string("C:\\") + SJIS_5C;
  EXPECT_EQ(add_backslash(name), name + "\\");
  EXPECT_EQ(add_backslash(name + "\\"), name + "\\");
  EXPECT_EQ(strip_backslash(name), name);
  EXPECT_EQ(strip_backslash(name + "\\"), name);

  EXPECT_EQ(is_dbcs_trail_byte(name.c_str(), 4), 1);
  EXPECT_EQ(is_dbcs_trail_byte(name.c_str(), 3), 0);
  EXPECT_EQ(is_dbcs_trail_byte("a\\", 1), 0);
}

TEST(SplitPath, FolderAndName) {
  EXPECT_EQ(split("C:\\dir\\file.txt"),
            std::make_pair(std::string("C:\\dir\\"), std::string("file.txt")));
  EXPECT_EQ(split("C:\\dir\\"), std::make_pair(std::string("C:\\dir\\"), std::string()));
  EXPECT_EQ(split("file.txt"), std::make_pair(std::string(), std::string("file.txt")));
  EXPECT_EQ(split("C:file"), std::make_pair(std::string(), std::string("C:file")));
  EXPECT_EQ(split("a/b"), std::make_pair(std::string(), std::string("a/b")));
  EXPECT_EQ(split(""), std::make_pair(std::string(), std::string()));
  EXPECT_EQ(split(nullptr), std::make_pair(std::string(), std::string()));

  char name[PATH_BUFFER] = "stale";
  split_path("C:\\x\\y.cab", nullptr, name);
  EXPECT_STREQ(name, "y.cab");
  char folder[PATH_BUFFER] = "stale";
  split_path("C:\\x\\y.cab", folder, nullptr);
  EXPECT_STREQ(folder, "C:\\x\\");
}

TEST(SplitPath, ShiftJisSecondByteIsNoSeparator) {
  if (!japanese_code_page()) GTEST_SKIP() << "needs code page 932";
  const std::string folder = std::string("C:\\") + SJIS_5C + "\\";
  const std::string file = std::string("a") + SJIS_5C;
  EXPECT_EQ(split((folder + file).c_str()), std::make_pair(folder, file));
  EXPECT_EQ(split(file.c_str()), std::make_pair(std::string(), file));
}

TEST(TextOperations, TrimAndSlashes) {
  char text[16] = "ab  ";
  trim_trailing_spaces(text);
  EXPECT_STREQ(text, "ab");
  char spaces[8] = "   ";
  trim_trailing_spaces(spaces);
  EXPECT_STREQ(spaces, "");
  char inner[8] = "a b";
  trim_trailing_spaces(inner);
  EXPECT_STREQ(inner, "a b");

  char slashes[16] = "a/b/c";
  slashes_to_backslashes(slashes);
  EXPECT_STREQ(slashes, "a\\b\\c");
}

TEST(BoundedCopies, RefuseWhatDoesNotFit) {
  char buffer[8] = "old";
  EXPECT_EQ(copy_text(buffer, sizeof buffer, "1234567"), 1);
  EXPECT_STREQ(buffer, "1234567");
  EXPECT_EQ(copy_text(buffer, sizeof buffer, "12345678"), 0);
  EXPECT_STREQ(buffer, "");

  char joined[8] = "abc";
  EXPECT_EQ(append_text(joined, sizeof joined, "defg"), 1);
  EXPECT_STREQ(joined, "abcdefg");
  EXPECT_EQ(append_text(joined, sizeof joined, "h"), 0);
  EXPECT_STREQ(joined, "abcdefg");
}

// Real folders under a fresh temporary folder.
class CreateFolderPath : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
    root_ = std::string(temp) + "cfp" + std::to_string(GetCurrentProcessId()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_TRUE(CreateDirectoryA(root_.c_str(), nullptr));
  }
  void TearDown() override {
    // Only what the tests made: a few levels, removed deepest first.
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
      DeleteFileA(it->c_str());
      RemoveDirectoryA(it->c_str());
    }
    RemoveDirectoryA(root_.c_str());
  }
  std::string remember(const std::string& path) {
    made_.push_back(path);
    return path;
  }
  std::string root_;
  std::vector<std::string> made_;
};

TEST_F(CreateFolderPath, CreatesEveryMissingLevel) {
  const std::string a = remember(root_ + "\\a");
  const std::string b = remember(a + "\\b");
  EXPECT_EQ(create_folder_path(b.c_str()), 1);
  EXPECT_TRUE(is_directory(a));
  EXPECT_TRUE(is_directory(b));
  // Again, and with a final backslash: everything exists already.
  EXPECT_EQ(create_folder_path((b + "\\").c_str()), 1);
  const std::string c = remember(b + "\\c");
  EXPECT_EQ(create_folder_path((c + "\\").c_str()), 1);
  EXPECT_TRUE(is_directory(c));
}

TEST_F(CreateFolderPath, DriveRootExists) {
  char windows[MAX_PATH];
  ASSERT_NE(GetWindowsDirectoryA(windows, sizeof windows), 0u);
  const std::string drive = std::string(windows, 2) + "\\";
  EXPECT_EQ(create_folder_path(drive.c_str()), 1);
}

TEST_F(CreateFolderPath, RefusedForms) {
  for (const char* form : {"", "C:", "C:a\\b", "a\\b", "\\srv", "\\\\srv", "\\\\server",
                           "\\\\server\\share", "\\single\\level"}) {
    EXPECT_EQ(create_folder_path(form), 0) << form;
  }
}

TEST_F(CreateFolderPath, LevelThatIsAFileStopsAndKeepsEarlierLevels) {
  const std::string kept = remember(root_ + "\\kept");
  const std::string file = remember(kept + "\\file");
  ASSERT_EQ(create_folder_path(kept.c_str()), 1);
  const HANDLE handle = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  CloseHandle(handle);
  const std::string first = remember(root_ + "\\first");
  EXPECT_EQ(create_folder_path(remember(first + "\\x").c_str()), 1);
  EXPECT_EQ(create_folder_path((file + "\\below").c_str()), 0);
  EXPECT_TRUE(is_directory(kept));
  EXPECT_FALSE(is_directory(file));
}

TEST_F(CreateFolderPath, UncFormThroughTheLocalDevicePrefix) {
  // "\\?\C:\..." has the UNC shape: server "?", share "C:".
  const std::string a = remember(root_ + "\\unc");
  const std::string b = remember(a + "\\deep");
  EXPECT_EQ(create_folder_path(("\\\\?\\" + b).c_str()), 1);
  EXPECT_TRUE(is_directory(b));
}

TEST_F(CreateFolderPath, LevelsThatDoNotFitGiveZero) {
  std::string path = root_;
  while (path.size() < 300) path = remember(path + "\\level_name");
  EXPECT_EQ(create_folder_path(path.c_str()), 0);

  // Exactly 259 bytes: every level fits but the last with its separator.
  std::string edge = root_ + "\\";
  edge += std::string(259 - edge.size(), 'e');
  ASSERT_EQ(edge.size(), 259u);
  EXPECT_EQ(create_folder_path(edge.c_str()), 0);
  EXPECT_FALSE(is_directory(edge));
}

TEST_F(CreateFolderPath, ShiftJisFolderName) {
  if (!japanese_code_page()) GTEST_SKIP() << "needs code page 932";
  const std::string odd = remember(root_ + "\\" + SJIS_5C);
  const std::string below = remember(odd + "\\in");
  EXPECT_EQ(create_folder_path(below.c_str()), 1);
  EXPECT_TRUE(is_directory(odd));
  EXPECT_TRUE(is_directory(below));
}

}  // namespace

// Stored names turned into output paths: parent references, separators,
// forbidden characters, folder entries, over-long paths, hostile names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extract/extract.h"
#include "extract_test_support.h"
#include "startup/globals.h"

using test_support::exists;
using test_support::TempFolder;

namespace {

std::vector<std::string> boxes;
std::vector<UINT> box_styles;

int WINAPI record_box(HWND, LPCSTR text, LPCSTR title, UINT style) {
  EXPECT_STREQ(title, "CAB-SFX");
  boxes.push_back(text ? text : "");
  box_styles.push_back(style);
  return IDOK;
}

class ExtractNames : public ::testing::Test {
 protected:
  void SetUp() override {
    boxes.clear();
    box_styles.clear();
    message_box = record_box;
    module_instance = GetModuleHandleA(nullptr);
    abort_code = 0;
    cabinet_offset = 0;
    settings = {};
    snprintf(settings.destination, sizeof settings.destination, "%s", dest.slash().c_str());
  }
  void TearDown() override {
    message_box = MessageBoxA;
    abort_code = 0;
  }

  // build_output_path on a copy of `name`; the output buffer carries guard
  // bytes past its 260 to catch an overrun.
  int build(const std::string& name, std::string* output = nullptr) {
    std::vector<char> copy(name.begin(), name.end());
    copy.resize(copy.size() + 1, '\0');
    char buffer[MAX_PATH + 64];
    memset(buffer, 0x5A, sizeof buffer);
    const int r = build_output_path(settings.destination, copy.data(), buffer);
    for (size_t i = MAX_PATH; i < sizeof buffer; ++i)
      EXPECT_EQ(buffer[i], 0x5A) << "overrun at " << i;
    if (output) *output = r == 1 ? std::string(buffer) : std::string();
    return r;
  }

  // Sends FILE_BEGIN (and FILE_END when a file was opened) for a stored name.
  int32_t extract_name(const std::string& name, const std::string& data = "data") {
    return test_support::send_file(name, data, 0x3021, 0x2000, 0);
  }

  TempFolder dest;
};

std::string strip(const std::string& name) {
  std::vector<char> copy(name.begin(), name.end());
  copy.push_back('\0');
  EXPECT_EQ(strip_parent_refs(copy.data()), 1);
  return copy.data();
}

TEST(StripParentRefs, SkipsEveryDotDotBackslash) {
  EXPECT_EQ(strip("..\\a\\..\\b"), "a\\b");
  EXPECT_EQ(strip("...\\x"), ".x");
  EXPECT_EQ(strip("..\\..\\x.txt"), "x.txt");
  EXPECT_EQ(strip("sub\\dir\\f.txt"), "sub\\dir\\f.txt");
  EXPECT_EQ(strip(""), "");
  // Only "..\" goes: a final ".." and forward slashes are for other checks.
  EXPECT_EQ(strip("a\\.."), "a\\..");
  EXPECT_EQ(strip("../x"), "../x");
  // One pass: a sequence that forms after a removal stays.
  EXPECT_EQ(strip("....\\\\x"), "..\\x");
  // Longer than the scratch: left whole, never cut.
  const std::string long_name = "..\\" + std::string(1100, 'a');
  EXPECT_EQ(strip(long_name), long_name);
}

TEST_F(ExtractNames, PlainNameAndNestedFolders) {
  std::string out;
  EXPECT_EQ(build("a.txt", &out), 1);
  EXPECT_EQ(out, dest.slash() + "a.txt");
  EXPECT_EQ(build("sub\\dir\\f.txt", &out), 1);
  EXPECT_EQ(out, dest.slash() + "sub\\dir\\f.txt");
  EXPECT_TRUE(GetFileAttributesA((dest.slash() + "sub\\dir").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(exists(dest.slash() + "sub\\dir\\f.txt"));  // only the folders
  EXPECT_TRUE(boxes.empty());
}

TEST_F(ExtractNames, FolderEntryCreatesFolderOnly) {
  EXPECT_EQ(build("empty\\"), 0);
  EXPECT_TRUE(GetFileAttributesA((dest.slash() + "empty").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(ExtractNames, TrailingSpacesDropped) {
  std::string out;
  EXPECT_EQ(build("name.txt   ", &out), 1);
  EXPECT_EQ(out, dest.slash() + "name.txt");
}

TEST_F(ExtractNames, ForbiddenCharactersAreSkippedWithWarning) {
  const char* names[] = {"C:\\x.txt", "a:b", "a;b", "a*b", "a?b", "a\"b",
                         "a<b",       "a>b", "a|b", "   ", "a\tb"};
  for (const char* name : names) {
    boxes.clear();
    EXPECT_EQ(build(name), 0) << name;
    ASSERT_EQ(boxes.size(), 1u) << name;
    EXPECT_EQ(box_styles[0], static_cast<UINT>(MB_ICONWARNING));
    EXPECT_EQ(abort_code, 0);
  }
}

TEST_F(ExtractNames, DotPartsAndEmptyPartsAreInvalid) {
  const char* names[] = {"..",    ".",        "a\\..",  "a\\.",   "a\\...",
                         "..\\x", "a\\..\\b", ". .\\x", "a\\\\b", "\\x"};
  for (const char* name : names) {
    boxes.clear();
    EXPECT_EQ(build(name), 0) << name;
    EXPECT_EQ(boxes.size(), 1u) << name;
  }
  // A single dot in the middle or dots inside a name are harmless.
  std::string out;
  EXPECT_EQ(build(".\\x", &out), 1);
  EXPECT_EQ(build("a..b\\.hidden", &out), 1);
  EXPECT_EQ(out, dest.slash() + "a..b\\.hidden");
}

TEST_F(ExtractNames, PathThatDoesNotFitIsRefusedNotCut) {
  const size_t room = MAX_PATH - 1 - strlen(settings.destination);  // 259 characters in all
  std::string out;
  EXPECT_EQ(build(std::string(room, 'n'), &out), 1);
  EXPECT_EQ(out.size(), static_cast<size_t>(MAX_PATH - 1));
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(build(std::string(room + 1, 'n')), 0);
  EXPECT_EQ(boxes.size(), 1u);
  boxes.clear();
  EXPECT_EQ(build(std::string(120, 'd') + "\\" + std::string(200, 'f')), 0);
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_FALSE(exists(dest.slash() + std::string(120, 'd')));  // no folder made for it
}

TEST_F(ExtractNames, FolderThatCannotBeMadeAborts) {
  ASSERT_TRUE(test_support::write_file(dest.slash() + "blocker", "x"));
  EXPECT_EQ(build("blocker\\x.txt"), -1);
  EXPECT_EQ(abort_code, ABORT_FOLDER_FAILED);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(box_styles[0], static_cast<UINT>(MB_ICONERROR));
}

TEST_F(ExtractNames, HostileNamesStayInsideDestination) {
  TempFolder outer;
  snprintf(settings.destination, sizeof settings.destination, "%s\\inner\\", outer.path().c_str());
  ASSERT_TRUE(CreateDirectoryA((outer.slash() + "inner").c_str(), nullptr));
  const std::string inner = outer.slash() + "inner\\";

  EXPECT_GT(extract_name("..\\x1"), 0);
  EXPECT_TRUE(exists(inner + "x1"));
  EXPECT_GT(extract_name("../x2"), 0);
  EXPECT_TRUE(exists(inner + "x2"));
  EXPECT_GT(extract_name("a/../../x3"), 0);
  EXPECT_TRUE(exists(inner + "a\\x3"));
  EXPECT_GT(extract_name("\\x4"), 0);
  EXPECT_TRUE(exists(inner + "x4"));
  EXPECT_GT(extract_name("..\\..\\x5.txt"), 0);
  EXPECT_TRUE(exists(inner + "x5.txt"));
  EXPECT_GT(extract_name("/..\\x8"), 0);
  EXPECT_TRUE(exists(inner + "x8"));
  EXPECT_TRUE(boxes.empty());

  const char* refused[] = {
      "C:\\x6", "a:b",           "a\\..",    "..",      "....\\\\x7",  "../..",  ".. /x9",
      "NUL",    "sub\\com1.txt", "Con .log", "lpt0\\x", "CONOUT$.txt", "AUX...", "nul.tar.gz"};
  for (const char* name : refused) {
    boxes.clear();
    EXPECT_EQ(extract_name(name), 0) << name;
    EXPECT_EQ(boxes.size(), 1u) << name;
  }
  // Nothing beside the destination folder.
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((outer.slash() + "*").c_str(), &entry);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  std::vector<std::string> names;
  do names.push_back(entry.cFileName);
  while (FindNextFileA(find, &entry));
  FindClose(find);
  for (const std::string& name : names) {
    EXPECT_TRUE(name == "." || name == ".." || name == "inner") << name;
  }
  EXPECT_EQ(abort_code, 0);
}

}  // namespace

namespace {

// Shift-JIS names whose second bytes are 0x5C ('\') and 0x7C ('|'): only the
// Japanese code page reads them as one character each.
TEST_F(ExtractNames, DoubleByteNamesSplitOnRealSeparatorsOnly) {
  if (GetACP() != 932) GTEST_SKIP() << "needs the Japanese code page";
  std::string out;
  // "ソ\能.txt": a folder ending in 0x5C, a file beginning with a 0x5C trail byte.
  EXPECT_EQ(build("\x83\x5C\\\x94\x5C.txt", &out), 1);
  EXPECT_EQ(out, dest.slash() + "\x83\x5C\\\x94\x5C.txt");
  EXPECT_TRUE(GetFileAttributesA((dest.slash() + "\x83\x5C").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  // "−.txt" (0x81 0x7C) holds no vertical bar.
  EXPECT_EQ(build("\x81\x7C.txt", &out), 1);
  EXPECT_TRUE(boxes.empty());
}

}  // namespace

namespace {

// Names flagged as UTF-8 (attribute 0x80) are written in the system's code
// page when it holds them exactly, and refused with message 6 otherwise.
TEST_F(ExtractNames, Utf8FlaggedNamesAreConvertedOrRefused) {
  struct Case {
    const char* utf8;
    const char* cp1252;  // written name, or null: refused
    const char* cp932;
  };
  const Case cases[] = {
      {"plain.txt", "plain.txt", "plain.txt"},
      {"caf\xC3\xA9\\men\xC3\xBC.txt", "caf\xE9\\men\xFC.txt", nullptr},      // no best fit to 'e'
      {"\xE2\x82\xAC.txt", "\x80.txt", nullptr},                              // euro sign
      {"\xE6\x97\xA5\xE6\x9C\xAC.txt", nullptr, "\x93\xFA\x96\x7B.txt"},      // Japanese
      {"\xE3\x82\xBD\\\xE8\x83\xBD.txt", nullptr, "\x83\x5C\\\x94\x5C.txt"},  // 0x5C trail bytes
      {"\xCE\xA9.txt", nullptr, "\x83\xB6.txt"},                              // Greek omega
      {"COM\xC2\xB9.txt", nullptr, nullptr},                                  // a device
      {"bad\xFF.txt", nullptr, nullptr},                                      // not UTF-8
      {"\xC3\xA9\xE2\x80\x8B.txt", nullptr, nullptr},  // zero-width space: no code page
  };
  const UINT code_page = GetACP();
  if (code_page != 1252 && code_page != 932) GTEST_SKIP() << "code page " << code_page;
  for (const Case& c : cases) {
    boxes.clear();
    const char* expected = code_page == 932 ? c.cp932 : c.cp1252;
    const int32_t handle = test_support::send_file(c.utf8, "bytes", 0x3021, 0x2000, 0x80);
    if (expected) {
      EXPECT_GT(handle, 0) << c.utf8;
      EXPECT_TRUE(exists(dest.slash() + expected)) << c.utf8;
      EXPECT_TRUE(boxes.empty()) << c.utf8;
    } else {
      EXPECT_EQ(handle, 0) << c.utf8;
      EXPECT_EQ(boxes.size(), 1u) << c.utf8;
    }
  }
  // Without the flag the same bytes are names in the system's code page.
  boxes.clear();
  EXPECT_GT(extract_name("plain\xC3\xA9.txt"), 0);
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(abort_code, 0);
}

}  // namespace

// The command line: options, positional forms and refused input, against real
// files and folders in a temporary folder (the parser looks them up).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "startup/globals.h"
#include "startup/startup.h"

namespace {

TEST(ProgramName, SkippedWithTheWhiteSpaceAfterIt) {
  EXPECT_STREQ(skip_program_name(""), "");
  EXPECT_STREQ(skip_program_name("setup.exe"), "");
  EXPECT_STREQ(skip_program_name("setup.exe  \t /h a.cab"), "/h a.cab");
  EXPECT_STREQ(skip_program_name("\"C:\\my dir\\setup.exe\" /h"), "/h");
  EXPECT_STREQ(skip_program_name("\"C:\\x.exe\"/h"), "/h");  // no space after the quote
  EXPECT_STREQ(skip_program_name("\"C:\\unterminated /h"), "");
  EXPECT_STREQ(skip_program_name("C:\\\x95\x5C\xE9t\xE9.exe /n"), "/n");  // bytes above 0x7F
  EXPECT_STREQ(skip_program_name("x.exe \x01\x1F/o"), "/o");
}

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&settings, 0, sizeof settings);
    settings.open_folder = 1;
    char temp[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
    folder_ = std::string(temp) + "cmdline" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr));
    archive_ = make_file("a.cab");
    spaced_ = make_file("my archive.cab");
    ASSERT_TRUE(CreateDirectoryA((folder_ + "\\out").c_str(), nullptr));
    GetCurrentDirectoryA(sizeof previous_directory_, previous_directory_);
    ASSERT_TRUE(SetCurrentDirectoryA(folder_.c_str()));
  }
  void TearDown() override {
    SetCurrentDirectoryA(previous_directory_);
    DeleteFileA(archive_.c_str());
    DeleteFileA(spaced_.c_str());
    RemoveDirectoryA((folder_ + "\\out").c_str());
    RemoveDirectoryA(folder_.c_str());
  }
  std::string make_file(const char* name) {
    const std::string path = folder_ + "\\" + name;
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    return path;
  }
  int parse(const std::string& arguments) {
    std::memset(archive_path_, 'x', sizeof archive_path_);
    return parse_command_line(arguments.c_str(), archive_path_);
  }
  std::string quoted(const std::string& text) { return "\"" + text + "\""; }

  std::string folder_;
  std::string archive_;
  std::string spaced_;
  char archive_path_[MAX_PATH];
  char previous_directory_[MAX_PATH];
};

TEST_F(CommandLine, OptionsAloneMeanOwnExecutableMode) {
  ASSERT_EQ(parse("/h /O"), 1);
  EXPECT_STREQ(archive_path_, "");
  EXPECT_EQ(settings.no_destination_dialog, 1);
  EXPECT_EQ(settings.no_confirm, 1);
  EXPECT_EQ(settings.open_folder, 1);
  EXPECT_EQ(settings.delete_after_setup, 0);

  ASSERT_EQ(parse("/X /n"), 1);  // unknown letters are ignored
  EXPECT_EQ(settings.open_folder, 0);
  EXPECT_STREQ(archive_path_, "");
  // Text after the last recognised option is the archive, even "/X".
  EXPECT_EQ(parse("/n /X"), 0);
}

TEST_F(CommandLine, SetupFileOptionAndDelete) {
  ASSERT_EQ(parse("/E:\"my setup.exe\" /D"), 1);
  EXPECT_STREQ(settings.setup_file, "my setup.exe");
  EXPECT_EQ(settings.delete_after_setup, 1);
  EXPECT_STREQ(archive_path_, "");

  std::memset(&settings, 0, sizeof settings);
  ASSERT_EQ(parse("/D"), 1);  // without a setup file /D has no effect
  EXPECT_EQ(settings.delete_after_setup, 0);

  std::memset(&settings, 0, sizeof settings);
  ASSERT_EQ(parse("/e:setup.inf /d"), 1);
  EXPECT_STREQ(settings.setup_file, "setup.inf");
  EXPECT_EQ(settings.delete_after_setup, 1);

  std::memset(&settings, 0, sizeof settings);
  ASSERT_EQ(parse("/E:run/d"), 1);  // a '/' inside the value is an option too
  EXPECT_STREQ(settings.setup_file, "run/d");
  EXPECT_EQ(settings.delete_after_setup, 1);

  std::memset(&settings, 0, sizeof settings);
  ASSERT_EQ(parse("/E /h"), 1);  // no ':' : ignored
  EXPECT_STREQ(settings.setup_file, "");
  ASSERT_EQ(parse("/E:"), 1);
  EXPECT_STREQ(settings.setup_file, "");
}

TEST_F(CommandLine, BareArchiveForms) {
  ASSERT_EQ(parse("a.cab"), 1);
  EXPECT_STREQ(archive_path_, "a.cab");

  ASSERT_EQ(parse("a.cab /N"), 1);  // text ends with an option
  EXPECT_STREQ(archive_path_, "a.cab");
  EXPECT_EQ(settings.open_folder, 0);

  settings.open_folder = 1;
  ASSERT_EQ(parse("/N   a.cab  "), 1);  // text after the last option
  EXPECT_STREQ(archive_path_, "a.cab");
  EXPECT_EQ(settings.open_folder, 0);

  ASSERT_EQ(parse("/E:setup.exe a.cab"), 1);
  EXPECT_STREQ(archive_path_, "a.cab");
  EXPECT_STREQ(settings.setup_file, "setup.exe");

  ASSERT_EQ(parse("a.cab /E:\"set up.exe\""), 1);
  EXPECT_STREQ(archive_path_, "a.cab");
  EXPECT_STREQ(settings.setup_file, "set up.exe");

  ASSERT_EQ(parse(archive_), 1);
  EXPECT_EQ(archive_path_, archive_);
}

TEST_F(CommandLine, QuotedArchiveAndDestination) {
  ASSERT_EQ(parse(quoted(spaced_)), 1);
  EXPECT_EQ(archive_path_, spaced_);
  EXPECT_STREQ(settings.destination, "");

  const std::string missing = folder_ + "\\not yet";
  ASSERT_EQ(parse(quoted(spaced_) + " " + quoted(missing)), 1);
  EXPECT_EQ(archive_path_, spaced_);
  EXPECT_EQ(settings.destination, missing);  // offered for creation later

  settings.destination[0] = 0;
  ASSERT_EQ(parse(quoted(spaced_) + " " + quoted(folder_ + "\\out") + " /o"), 1);
  EXPECT_EQ(settings.destination, folder_ + "\\out");
  EXPECT_EQ(settings.no_confirm, 1);

  settings.destination[0] = 0;
  ASSERT_EQ(parse(quoted(spaced_) + quoted(folder_ + "\\out")), 1);  // no space between
  EXPECT_STREQ(settings.destination, "");

  ASSERT_EQ(parse(quoted(spaced_) + " " + quoted(archive_)), 1);  // an existing file
  EXPECT_STREQ(settings.destination, "");

  ASSERT_EQ(parse("/E:\"x y.inf\" " + quoted(archive_)), 1);  // value quotes do not count
  EXPECT_EQ(archive_path_, archive_);
  EXPECT_STREQ(settings.setup_file, "x y.inf");
}

TEST_F(CommandLine, FoldersAndMissingFilesEndTheRun) {
  EXPECT_EQ(parse("out"), 0);
  EXPECT_EQ(parse(quoted(folder_)), 0);
  EXPECT_EQ(parse("missing.cab"), 0);
  EXPECT_EQ(parse(quoted(folder_ + "\\missing.cab") + " /N"), 0);
  EXPECT_EQ(parse("/X a.cab"), 0);  // no option recognised: the whole text is the path
}

TEST_F(CommandLine, OverlongInputIsRefusedNotCut) {
  std::string options;
  while (options.size() + 3 <= MAX_ARGUMENT_TEXT) options += "/h ";
  options.resize(MAX_ARGUMENT_TEXT, ' ');
  EXPECT_EQ(parse(options), 1);
  EXPECT_EQ(parse(options + " "), 0);

  EXPECT_EQ(parse("/E:" + std::string(MAX_SETUP_FILE, 's')), 1);
  EXPECT_EQ(std::strlen(settings.setup_file), MAX_SETUP_FILE);
  EXPECT_EQ(parse("/E:" + std::string(MAX_SETUP_FILE + 1, 's')), 0);
  EXPECT_EQ(parse("/E:\"" + std::string(MAX_SETUP_FILE + 1, 's') + "\""), 0);

  const std::string long_path = folder_ + "\\" + std::string(300 - folder_.size(), 'p') + ".cab";
  EXPECT_EQ(parse(long_path), 0);
  EXPECT_EQ(parse(quoted(long_path)), 0);
  EXPECT_EQ(parse(quoted(archive_) + " " + quoted(long_path)), 0);
}

}  // namespace

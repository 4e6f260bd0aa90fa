// Destination keywords, the dialog's check-box rule, the setup launcher's
// decisions and the clean-up, on real folders under Wine.
#include "actions/actions.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "actions/setup_command.h"
#include "extract/extract.h"
#include "startup/globals.h"
#include "startup/paths.h"
#include "ui/destination_text.h"

namespace {

std::string box(const char* text, const char* name, bool checked, bool* accepted = nullptr) {
  char buffer[MAX_PATH];
  lstrcpynA(buffer, text, MAX_PATH);
  const bool ok = apply_archive_folder_box(buffer, name, checked);
  if (accepted) *accepted = ok;
  return buffer;
}

TEST(ArchiveFolderBox, AddsAndRemovesTheArchiveName) {
  EXPECT_EQ(box("C:\\Temp", "setup", true), "C:\\Temp\\setup\\");
  EXPECT_EQ(box("C:\\Temp\\setup\\", "setup", false), "C:\\Temp\\");
  // The first occurrence is followed by a backslash: nothing is cut.
  EXPECT_EQ(box("C:\\setup\\files\\setup\\", "setup", false), "C:\\setup\\files\\setup\\");
  // After the user removed the name, unchecking only ensures the backslash.
  EXPECT_EQ(box("C:\\Other", "setup", false), "C:\\Other\\");
  EXPECT_EQ(box("", "setup", true), "setup\\");
  // The occurrence need not be a whole folder name.
  EXPECT_EQ(box("C:\\mysetup", "setup", false), "C:\\my\\");
}

TEST(ArchiveFolderBox, RefusesToAppendPastTheBuffer) {
  std::string near_full = "C:\\" + std::string(250, 'a');
  bool accepted = true;
  EXPECT_EQ(box(near_full.c_str(), "setup", true, &accepted), near_full);
  EXPECT_FALSE(accepted);
  std::string fits = "C:\\" + std::string(248, 'a');  // + "\setup\" = 258 bytes
  EXPECT_EQ(box(fits.c_str(), "setup", true, &accepted), fits + "\\setup\\");
  EXPECT_TRUE(accepted);
}

TEST(SetupCommand, ExtensionDecidesInfAndParameters) {
  EXPECT_TRUE(is_inf_command("C:\\X\\driver.inf"));
  EXPECT_TRUE(is_inf_command("C:\\X\\DRIVER.INF"));
  EXPECT_FALSE(is_inf_command("C:\\X\\driver.inf x"));
  EXPECT_FALSE(is_inf_command("C:\\X\\setup"));

  char command[SETUP_COMMAND_SIZE] = "C:\\X\\setup.exe /s";
  const char* parameters = split_program_parameters(command);
  ASSERT_NE(parameters, nullptr);
  EXPECT_STREQ(command, "C:\\X\\setup.exe");
  EXPECT_STREQ(parameters, "/s");

  char alone[SETUP_COMMAND_SIZE] = "C:\\X\\Setup.EXE";
  parameters = split_program_parameters(alone);
  ASSERT_NE(parameters, nullptr);  // empty, not null
  EXPECT_STREQ(parameters, "");

  // A dot in the parameters hides the program's extension.
  char logged[SETUP_COMMAND_SIZE] = "C:\\X\\setup.exe /log=a.txt";
  EXPECT_EQ(split_program_parameters(logged), nullptr);
  EXPECT_STREQ(logged, "C:\\X\\setup.exe /log=a.txt");

  char document[SETUP_COMMAND_SIZE] = "C:\\X\\readme.txt";
  EXPECT_EQ(split_program_parameters(document), nullptr);

  char folder[MAX_PATH];
  split_command_folder("C:\\X\\setup.exe /d:C:\\Y\\z", folder);
  EXPECT_STREQ(folder, "C:\\X\\setup.exe /d:C:\\Y\\");
}

TEST(SetupCommand, InfCommandLineFitsOrIsRefused) {
  char command[SETUP_COMMAND_SIZE];
  ASSERT_TRUE(format_inf_command(command, INF_FORMAT_SETUPAPI,
                                 "C:\\windows\\system32\\rundll32.exe", "C:\\X\\DRIVER.INF"));
  EXPECT_STREQ(command,
               "C:\\windows\\system32\\rundll32.exe setupapi,InstallHinfSection DefaultInstall 132 "
               "C:\\X\\DRIVER.INF");
  const std::string host(259, 'h');
  const std::string inf(259, 'i');
  std::memset(command, 0x55, sizeof command);
  EXPECT_FALSE(format_inf_command(command, INF_FORMAT_SETUPX, host.c_str(), inf.c_str()));
  EXPECT_EQ(static_cast<unsigned char>(command[0]), 0x55);
}

TEST(SetupLauncher, ProtectedProgramsComeFromTheWindowsFolder) {
  // The folder test stops at a path boundary.
  EXPECT_TRUE(path_is_inside("C:\\Windows\\system32\\rundll32.exe", "C:\\WINDOWS"));
  EXPECT_TRUE(path_is_inside("C:\\windows\\notepad.exe", "C:\\Windows\\"));
  EXPECT_FALSE(path_is_inside("C:\\Windows.old\\system32\\rundll32.exe", "C:\\Windows"));
  EXPECT_FALSE(path_is_inside("C:\\WindowsApps\\notepad.exe", "C:\\Windows"));
  EXPECT_FALSE(path_is_inside("C:\\Win\\cmd.exe", "C:\\Windows"));
  EXPECT_TRUE(is_protected_program("RUNDLL32.exe"));
  EXPECT_TRUE(is_protected_program("cmd.exe"));
  EXPECT_FALSE(is_protected_program("setup.exe"));
  char found[MAX_PATH];
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, MAX_PATH);
  ASSERT_TRUE(find_system_program("rundll32", found));
  EXPECT_EQ(_strnicmp(found, windows, std::strlen(windows)), 0) << found;
  EXPECT_FALSE(find_system_program("no-such-program-here", found));
}

PackageHeader header_with(const char* destination, int delete_after_setup) {
  PackageHeader header = {};
  lstrcpynA(header.destination, destination, sizeof header.destination);
  header.delete_after_setup = delete_after_setup;
  return header;
}

std::string resolve(const char* destination, int delete_after_setup, int* result = nullptr,
                    const char* initial = "") {
  char output[MAX_PATH];
  lstrcpynA(output, initial, MAX_PATH);
  const PackageHeader header = header_with(destination, delete_after_setup);
  const int made = resolve_destination(output, &header, "C:\\dl\\pack.exe");
  if (result) *result = made;
  return output;
}

std::string without_backslash(std::string folder) {
  if (!folder.empty() && folder.back() == '\\') folder.pop_back();
  return folder;
}

TEST(DestinationKeywords, ResolveToTheSystemFolders) {
  char folder[MAX_PATH];
  GetSystemDirectoryA(folder, MAX_PATH);
  EXPECT_EQ(resolve("%SystemDir%", 0), without_backslash(folder));
  GetWindowsDirectoryA(folder, MAX_PATH);
  EXPECT_EQ(resolve("%WinDir%\\sub", 0), without_backslash(folder) + "\\sub");
  GetTempPathA(MAX_PATH, folder);
  int made = -1;
  EXPECT_EQ(resolve("%temp%", 0, &made), without_backslash(folder));
  EXPECT_EQ(made, 0);
  EXPECT_EQ(resolve("%temp%", 1, &made), std::string(folder) + "~pack.exe");
  EXPECT_EQ(made, 1);
  EXPECT_EQ(resolve("%temp%\\sub", 1, &made), without_backslash(folder) + "\\sub");
  EXPECT_EQ(made, 0);
  const std::string program_files = resolve("%ProgramFiles%\\Tools", 0);
  EXPECT_GT(program_files.size(), std::string("\\Tools").size());
  EXPECT_EQ(program_files.substr(program_files.size() - 6), "\\Tools");
  EXPECT_EQ(GetFileAttributesA(program_files.substr(0, program_files.size() - 6).c_str()) &
                FILE_ATTRIBUTE_DIRECTORY,
            DWORD(FILE_ATTRIBUTE_DIRECTORY));
}

TEST(DestinationKeywords, UnknownFormsAndPlainPaths) {
  EXPECT_EQ(resolve("%Temp%", 0), "");        // keywords are case-sensitive
  EXPECT_EQ(resolve("%TEMP%\\x", 0), "\\x");  // the rest alone
  EXPECT_EQ(resolve("%Desktop", 0), "%Desktop");
  EXPECT_EQ(resolve("D:\\Out", 0), "D:\\Out");
  EXPECT_EQ(resolve("", 0, nullptr, "kept"), "kept");
  // The folder and the rest must fit the destination buffer.
  const std::string long_rest = "%WinDir%\\" + std::string(250, 'r');
  EXPECT_EQ(resolve(long_rest.c_str(), 0, nullptr, "old"), "");
}

class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    root_ = std::string(temp) + "cabsfx-actions-" + std::to_string(GetCurrentProcessId()) + "\\";
    ASSERT_TRUE(create_folder_path(root_.c_str()));
  }
  void TearDown() override { remove_tree(root_); }
  void make_file(const std::string& relative, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    const std::string path = root_ + relative;
    char folder[MAX_PATH];
    split_path(path.c_str(), folder, nullptr);
    ASSERT_TRUE(create_folder_path(folder));
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
  }
  bool exists(const std::string& relative) {
    return GetFileAttributesA((root_ + relative).c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  static void remove_tree(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        const std::string path = folder + name;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          remove_tree(path + "\\");
        else
          DeleteFileA(path.c_str());
      } while (FindNextFileA(search, &found));
      FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
  }
  std::string root_;
};

TEST_F(TempFolder, OnlyEmptyFoldersThisRunMadeAreRemovedDeepestFirst) {
  make_file("old\\empty\\placeholder");  // before the run: never removed
  DeleteFileA((root_ + "old\\empty\\placeholder").c_str());
  forget_created_folders();
  record_created_folders = true;
  ASSERT_TRUE(create_folder_path((root_ + "a\\b\\c\\").c_str()));
  ASSERT_TRUE(create_folder_path((root_ + "old\\new\\").c_str()));
  record_created_folders = false;
  make_file("a\\keep\\left.txt");                       // not made by the run: keeps "a" too
  EXPECT_EQ(remove_created_folders(root_.c_str()), 3);  // c, b, old\new
  EXPECT_FALSE(exists("a\\b"));
  EXPECT_TRUE(exists("a\\keep\\left.txt"));
  EXPECT_TRUE(exists("old\\empty"));
  EXPECT_FALSE(exists("old\\new"));
  // Outside the root nothing is touched, even a folder the run made.
  EXPECT_EQ(remove_created_folders((root_ + "elsewhere\\").c_str()), 0);
  forget_created_folders();
}

TEST_F(TempFolder, CleanUpDeletesListedFilesAndTheFoldersItMade) {
  make_file("kept\\mine.txt");  // not extracted by the package
  make_file("x\\before.txt");   // x existed before the run
  forget_created_folders();
  record_created_folders = true;
  make_file("a\\f1");
  make_file("a\\b\\f2", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  make_file("a\\f3");
  make_file("top.txt", FILE_ATTRIBUTE_SYSTEM);
  make_file("x\\y\\f4");
  make_file("kept\\f5");
  record_created_folders = false;
  DeleteFileA((root_ + "x\\before.txt").c_str());
  lstrcpynA(settings.destination, root_.c_str(), sizeof settings.destination);
  for (const char* name : {"a\\f1", "a\\b\\f2", "A\\F3", "top.txt", "x\\y\\f4", "kept\\f5"})
    append_extracted_file((root_ + name).c_str());
  temp_folder_made = 0;
  clean_up_extracted_files();
  for (const char* gone : {"a", "top.txt", "x\\y", "kept\\f5"}) EXPECT_FALSE(exists(gone)) << gone;
  EXPECT_TRUE(exists("x"));  // empty now, but not made by the run
  EXPECT_TRUE(exists("kept\\mine.txt"));
  EXPECT_NE(GetFileAttributesA(root_.c_str()), INVALID_FILE_ATTRIBUTES);
  forget_created_folders();
}

}  // namespace

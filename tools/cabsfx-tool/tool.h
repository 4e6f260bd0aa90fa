// cabsfx-tool: pack, list, verify and extract cabinets and self-extracting
// packages. Commands throw ToolError (exit status 1) or UsageError (exit
// status 2); main prints the message on stderr.
#pragma once
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Args = std::vector<std::string>;

int command_pack(const Args& args);
int command_list(const Args& args);
int command_verify(const Args& args);
int command_extract(const Args& args);

// Help texts, printed by --help.
extern const char* const PACK_HELP;
extern const char* const LIST_HELP;
extern const char* const VERIFY_HELP;
extern const char* const EXTRACT_HELP;

// True when args holds --help or -h.
bool wants_help(const Args& args);

// Platform helpers.
std::filesystem::path tool_directory();
bool stderr_is_terminal();
// MS-DOS date and time (local time) and back; false for an impossible date.
bool dos_to_time(uint16_t date, uint16_t time, std::time_t& out);
void time_to_dos(std::time_t t, uint16_t& date, uint16_t& time);
// Stamps a file's modification time; false on failure.
bool set_file_mtime(const std::filesystem::path& path, std::time_t t);
bool get_file_mtime(const std::filesystem::path& path, std::time_t& out);
// Applies the cabinet attribute bits the platform knows (read-only everywhere;
// hidden, system and archive on Windows).
bool apply_attributes(const std::filesystem::path& path, uint16_t attribs);

// A progress bar on stderr, drawn only when stderr is a terminal and the work
// is large enough to be worth it.
class ProgressBar {
 public:
  ProgressBar(const char* label, uint64_t total);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  void update(uint64_t done);
  void finish();

 private:
  const char* label_;
  uint64_t total_;
  bool active_;
  int last_percent_ = -1;
};

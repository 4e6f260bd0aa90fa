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

// How much a command prints besides its errors: -q 0, default 1, -v 2.
extern int g_verbosity;

// Walks a command's arguments: long options as --name VALUE or --name=VALUE,
// -q and -v everywhere, and everything after "--" (or not starting with '-')
// as an operand.
class ArgReader {
 public:
  ArgReader(const Args& args, const char* command) : args_(args), command_(command) {}
  // Moves to the next argument; false at the end. -q and -v are taken here.
  bool next();
  bool operand() const { return operand_; }
  const std::string& text() const { return args_[at_]; }
  // The current option is one of these names (an empty name matches nothing).
  bool is(const char* long_name, const char* short_name = nullptr);
  // The value of the current option.
  std::string value();
  [[noreturn]] void unknown() const;

 private:
  const Args& args_;
  const char* command_;
  size_t at_ = 0;
  bool started_ = false, operands_only_ = false, operand_ = false;
  std::string name_, inline_value_;
  bool has_inline_ = false, value_taken_ = false;
};

int command_pack(const Args& args);
int command_list(const Args& args);
int command_verify(const Args& args);
int command_extract(const Args& args);

// Help texts, printed by --help; each ends with the command's exit codes.
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
bool valid_dos_time(uint16_t date, uint16_t time);
bool dos_to_time(uint16_t date, uint16_t time, std::time_t& out);
// Returns -1 when the time lies before 1980 and 1 when after 2107: the date
// is then clamped to the nearest one the format holds. `utc`: in UTC instead.
int time_to_dos(std::time_t t, uint16_t& date, uint16_t& time, bool utc = false);
bool get_file_mtime(const std::filesystem::path& path, std::time_t& out);
// Standard output in binary mode (Windows translates newlines otherwise).
void binary_stdout();

// Where pack looks for cabsfx.exe when no --stub is given: beside the tool,
// the installed layout (bin/ and share/cabsfx/) and the build layout
// (BUILD/host/tools/ and BUILD/win32/).
std::vector<std::filesystem::path> default_stub_places(const std::filesystem::path& tool_dir);

// Name patterns of list, verify and extract: '*' any run of characters, '?'
// one; '/' and '\' alike; ASCII letters and the common accented, Greek and
// Cyrillic ones in either case. A pattern also selects everything under a
// folder it names.
bool name_matches(const std::string& pattern, const std::string& name);
// The name in the simple case folding the tool uses to compare stored names.
std::string fold_case(const std::string& utf8);
// A path in messages: as given, printable; an empty one as ''.
std::string shown(const std::filesystem::path& path);
// "'a', 'b' and 3 more": the first `shown` names, quoted, and how many follow.
std::string quoted_names(const std::vector<std::string>& names, size_t shown);
// " and 2 folder(s)" to follow a count of files (entries of empty folders
// are no files), or nothing when there are none.
std::string and_folders(size_t folders);

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

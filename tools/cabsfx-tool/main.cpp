// cabsfx-tool entry: the command, its --help, and the exit status (0 success,
// 1 failure, 2 usage error) with the message on stderr.
#include <cstdio>
#include <exception>
#include <filesystem>

#include "interrupt.h"
#include "tool.h"
#include "writer/codepage.h"

#ifdef _WIN32
#include <windows.h>
// after windows.h, which it builds on
#include <shellapi.h>
#endif

namespace {

const char* const USAGE =
    "usage: cabsfx-tool COMMAND [OPTIONS] ...\n"
    "\n"
    "Commands:\n"
    "  pack -o OUT [options] FILE|DIR...   make a self-extracting package or a cabinet\n"
    "  list FILE [NAME...]                 list the files of a package or cabinet\n"
    "  verify FILE [NAME...]               decode everything and check every checksum\n"
    "  extract FILE [-d DIR] [NAME...]     extract the files into DIR\n"
    "\n"
    "'cabsfx-tool COMMAND --help' describes a command; 'cabsfx-tool --version'\n"
    "prints the version. Every command takes -q (quiet), -v (verbose),\n"
    "--option=VALUE as well as --option VALUE (-j4 as well as -j 4), and '--'\n"
    "before operands that begin with '-'.\n";

#ifndef CABSFX_VERSION
#define CABSFX_VERSION "1.0.0"
#endif

// Command lines as UTF-8 on every platform.
Args utf8_arguments(int argc, char** argv) {
  Args args;
#ifdef _WIN32
  (void)argc;
  (void)argv;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; wide && i < count; ++i) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? size_t(n) : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, s.data(), n, nullptr, nullptr);
    s.resize(s.size() - 1);
    args.push_back(s);
  }
  if (wide) LocalFree(wide);
#else
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
#endif
  return args;
}

}  // namespace

#define NAME_HELP                                                               \
  "NAME patterns select files by their stored names: '*' any characters, '?'\n" \
  "one, '\\' or '/' between folders, letters in either case; a pattern that\n"  \
  "names a folder selects everything under it.\n"

const char* const PACK_HELP =
    "usage: cabsfx-tool pack -o OUT [options] FILE|DIR...\n"
    "\n"
    "Packs files and folders (stored as paths relative to each DIR given) into\n"
    "a self-extracting package: the stub, a 512-byte header block, the cabinet.\n"
    "A link to a file is packed as the file; anything that cannot be read, or\n"
    "that changes while it is packed, fails the pack and leaves no output.\n"
    "Names the code page cannot hold are stored in UTF-8 (attribute 0x80);\n"
    "the code page is recorded in the cabinet.\n"
    "The same inputs and options give the same bytes: entries in the order of\n"
    "their stored names, the set ID drawn from the contents; with\n"
    "SOURCE_DATE_EPOCH set, dates later than it are stored as it, in UTC. The\n"
    "package is padded to a multiple of 8 bytes, so that signing it (e.g. with\n"
    "osslsigncode) leaves the CRC-checked region as it was.\n"
    "\n"
    "  -o, --output OUT         the package (or cabinet) to write\n"
    "  --stub PATH              self-extractor to append to (default: cabsfx.exe\n"
    "                           beside this tool, in ../share/cabsfx/, or in the\n"
    "                           build tree's win32/ folder)\n"
    "  --cabinet-only           write a plain cabinet, no stub and no header block\n"
    "  --compress METHOD        none, mszip[:0-9] (default mszip:6), lzx:15..21,\n"
    "                           quantum:10..21\n"
    "  --max-cabinet-size N     split into a cabinet set of cabinets of at most N\n"
    "                           bytes (suffix K, M, G; at least 64K; the stub and\n"
    "                           header block come on top of the first); the\n"
    "                           following cabinets are written beside OUT as\n"
    "                           OUTBASE2.cab, OUTBASE3.cab, ... (replacing\n"
    "                           cabinets there, never other files)\n"
    "  --folder-size N          start a new folder once one holds N bytes of files\n"
    "                           (suffix K, M, G; default 16M); files are not split\n"
    "  -j, --jobs N             folders compressed at once (default: one per\n"
    "                           processor); the output is the same for every N\n"
    "  --codepage 1252|932      code page of the stored names and header texts\n"
    "                           (default 1252)\n"
    "  --skip-special           skip links to folders, dangling links and special\n"
    "                           files (listing each) instead of failing\n"
    "  -q, --quiet              print errors and warnings only\n"
    "  -v, --verbose            print every file packed\n"
    "Header block:\n"
    "  --destination TEXT       destination folder (at most 259 bytes)\n"
    "  --setup TEXT             file to run after extraction (at most 127 bytes)\n"
    "  --no-confirm             no questions before creating folders or overwriting\n"
    "  --open-folder            open the destination afterwards (default)\n"
    "  --no-open-folder         do not open it\n"
    "  --delete-after-setup     delete the extracted files after the setup\n"
    "  --no-dialog              do not show the destination dialog\n"
    "  --require-64bit          the setup needs 64-bit Windows\n"
    "  --crc                    store the CRC-32 of the cabinet for a check at start\n"
    "  --prompt-title TEXT      title of the opening question (at most 31 bytes)\n"
    "  --prompt-text TEXT       the opening question (at most 63 bytes)\n"
    "The package's face in Explorer (the stub file itself is not changed):\n"
    "  --icon FILE.ico          the package's icon: every image of the file (at\n"
    "                           most 256x256 each, 1 MiB in all)\n"
    "  --version-info K=V,...   the package's version text; keys ProductName,\n"
    "                           FileDescription, CompanyName, LegalCopyright,\n"
    "                           ProductVersion, FileVersion (values up to 255\n"
    "                           characters; a comma not followed by KEY= belongs\n"
    "                           to the value; may be repeated). The file and\n"
    "                           product version numbers come from the leading\n"
    "                           digits of FileVersion and ProductVersion\n"
    "\n"
    "Exit status: 0 packed, 1 failed (nothing written), 2 usage error.\n";

const char* const LIST_HELP =
    "usage: cabsfx-tool list [--codepage 1252|932] [--json] [-q] FILE [NAME...]\n"
    "\n"
    "Lists the files of a cabinet or a package (and of the cabinets that follow\n"
    "it in its set, found beside it): size, date, attributes (R read-only,\n"
    "H hidden, S system, D folder, A archive, X run after extraction, U UTF-8\n"
    "name), folder and compression; then each folder's packed size and the\n"
    "totals with the ratio. Names are read in the code page recorded in the\n"
    "cabinet (1252 when none is), unless --codepage says otherwise or a name is\n"
    "marked UTF-8. Control characters in names are shown as \\xNN or \\u{NNNN}.\n"
    "\n"
    "  --json                   one JSON record per file, one per line\n"
    "  -q                       names only\n"
    "\n" NAME_HELP
    "\n"
    "Exit status: 0 listed, 1 unreadable archive, data blocks that run past\n"
    "the file's end (the data itself is read only by verify), or a NAME that\n"
    "matched nothing, 2 usage error.\n";

const char* const VERIFY_HELP =
    "usage: cabsfx-tool verify [--codepage 1252|932] [-q|-v] FILE [NAME...]\n"
    "\n"
    "Decodes every file (or the NAMEs given) without writing it and checks\n"
    "every data block's checksum and, for a package whose header carries one,\n"
    "the CRC-32 of the cabinet region.\n"
    "\n" NAME_HELP
    "\n"
    "Exit status: 0 everything intact, 1 damage found, names that extract\n"
    "refuses (a parent folder, a drive, a device name) or that repeat a name\n"
    "as Windows compares them, or a NAME that matched nothing, 2 usage error.\n";

const char* const EXTRACT_HELP =
    "usage: cabsfx-tool extract [-d DIR] [options] FILE [NAME...]\n"
    "\n"
    "Extracts the files (or the NAMEs given) into DIR (default: the current\n"
    "folder) with their dates and read-only attribute; new files get the\n"
    "umask's permissions. Names that would leave DIR ('..', drive letters,\n"
    "characters Windows forbids, device names) are refused and reported; leading\n"
    "separators are dropped. No link under DIR is followed. Existing files are\n"
    "not replaced unless an option says so: without one, the run lists them and\n"
    "stops before writing anything; nor does an option replace the package or\n"
    "a cabinet being read (the run stops before writing), or a file written\n"
    "earlier in the run: a name listed again, or one that reaches the same file\n"
    "(another case where case is ignored, a folder mounted twice), is reported.\n"
    "Damaged data ends its folder (a partly written file is removed) and the\n"
    "run goes on with the next folder; with --stdout it stops there. A package\n"
    "whose cabinet region does not match its header's CRC-32 is extracted all\n"
    "the same, and the mismatch reported.\n"
    "\n"
    "  -d, --directory DIR      where to extract\n"
    "  --overwrite              replace existing files\n"
    "  --skip-existing          keep existing files, extract the others\n"
    "  --newer                  replace existing files older than the stored ones\n"
    "  --stdout                 write the files' bytes to standard output instead\n"
    "  --codepage 1252|932      code page of names not marked UTF-8 (default: the\n"
    "                           one recorded in the cabinet, else 1252)\n"
    "  -q                       no summary\n"
    "  -v                       every file\n"
    "\n" NAME_HELP
    "\n"
    "Exit status: 0 every selected file written (or kept as asked), 1 fewer\n"
    "files written than selected, existing files in the way, damage, or a NAME\n"
    "that matched nothing (when none matches, DIR is not even created), 2 usage\n"
    "error.\n";

int g_verbosity = 1;

bool ArgReader::next() {
  if (started_) {
    if (!operand_ && has_inline_ && !value_taken_)
      throw UsageError("option " + (name_[0] == '-' ? name_ : "--" + name_) + " takes no value");
    ++at_;
  }
  started_ = true;
  for (; at_ < args_.size(); ++at_) {
    const std::string& a = args_[at_];
    operand_ = operands_only_ || a.size() < 2 || a[0] != '-';
    has_inline_ = value_taken_ = false;
    if (operand_) return true;
    if (a == "--") {
      operands_only_ = true;
      continue;
    }
    if (a.rfind("--", 0) == 0) {
      const size_t eq = a.find('=');
      name_ = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      if (eq != std::string::npos) {
        has_inline_ = true;
        inline_value_ = a.substr(eq + 1);
      }
    } else {
      // A short option's value may follow it directly (-j4, -dout), as in make
      // and tar; short options are not bundled.
      name_ = a.substr(0, 2);
      if (a.size() > 2) {
        has_inline_ = true;
        inline_value_ = a.substr(2);
      }
    }
    if (name_ == "-q" || name_ == "quiet") {
      g_verbosity = 0;
    } else if (name_ == "-v" || name_ == "verbose") {
      g_verbosity = 2;
    } else {
      return true;
    }
    if (has_inline_) throw UsageError("option " + a + " takes no value");
  }
  return false;
}

bool ArgReader::is(const char* long_name, const char* short_name) {
  return (long_name && name_ == long_name) ||
         (short_name && name_ == std::string("-") + short_name);
}

std::string ArgReader::value() {
  value_taken_ = true;
  if (has_inline_) return inline_value_;
  if (at_ + 1 >= args_.size()) throw UsageError(args_[at_] + " needs a value");
  return args_[++at_];
}

void ArgReader::unknown() const {
  throw UsageError(std::string("unknown option for ") + command_ + ": " + args_[at_]);
}

bool wants_help(const Args& args) {
  for (const std::string& a : args) {
    if (a == "--") break;
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

namespace {

// Output that could not be written (a full disk, a closed pipe) fails the
// run, whatever the command did.
int flushed(int status, const std::string& command) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  std::fprintf(stderr, "cabsfx-tool: %scannot write the output\n",
               command.empty() ? "" : (command + ": ").c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  SetConsoleOutputCP(CP_UTF8);
#endif
  install_interrupt_cleanup();
  const Args all = utf8_arguments(argc, argv);
  if (all.empty()) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  const std::string command = all[0];
  const Args args(all.begin() + 1, all.end());
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(USAGE, stdout);
    return flushed(0, "");
  }
  if (command == "--version") {
    std::printf("cabsfx-tool %s\n", CABSFX_VERSION);
    return flushed(0, "");
  }
  struct Command {
    const char* name;
    int (*run)(const Args&);
    const char* help;
  };
  static const Command commands[] = {{"pack", command_pack, PACK_HELP},
                                     {"list", command_list, LIST_HELP},
                                     {"verify", command_verify, VERIFY_HELP},
                                     {"extract", command_extract, EXTRACT_HELP}};
  for (const Command& c : commands) {
    if (command != c.name) continue;
    if (wants_help(args)) {
      std::fputs(c.help, stdout);
      return flushed(0, c.name);
    }
    try {
      return flushed(c.run(args), c.name);
    } catch (const UsageError& e) {
      std::fprintf(stderr, "cabsfx-tool: %s: %s\n(see 'cabsfx-tool %s --help')\n", c.name, e.what(),
                   c.name);
      return 2;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "cabsfx-tool: %s: %s\n", c.name, e.what());
      return 1;
    }
  }
  std::fprintf(stderr, "cabsfx-tool: unknown command '%s'\n\n%s", printable(command).c_str(),
               USAGE);
  return 2;
}

// cabsfx-tool entry: the command, its --help, and the exit status (0 success,
// 1 failure, 2 usage error) with the message on stderr.
#include <cstdio>
#include <exception>
#include <filesystem>

#include "tool.h"

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
    "  list FILE                           list the files of a package or cabinet\n"
    "  verify FILE                         decode everything and check every checksum\n"
    "  extract FILE [-d DIR]               extract the files into DIR\n"
    "\n"
    "'cabsfx-tool COMMAND --help' describes a command.\n";

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

const char* const PACK_HELP =
    "usage: cabsfx-tool pack -o OUT [options] FILE|DIR...\n"
    "\n"
    "Packs files and folders (stored as paths relative to each DIR given) into\n"
    "a self-extracting package: the stub, a 512-byte header block, the cabinet.\n"
    "\n"
    "  -o, --output OUT         the package (or cabinet) to write\n"
    "  --stub PATH              self-extractor to append to (default: cabsfx.exe\n"
    "                           beside this tool)\n"
    "  --cabinet-only           write a plain cabinet, no stub and no header block\n"
    "  --compress METHOD        none, mszip[:0-9] (default mszip:6), lzx:15..21,\n"
    "                           quantum:10..21\n"
    "  --max-cabinet-size N     split into a cabinet set of cabinets of at most N\n"
    "                           bytes (suffix K, M, G; at least 64K; the stub and\n"
    "                           header block come on top of the first); the\n"
    "                           following cabinets are written beside OUT as\n"
    "                           OUTBASE2.cab, OUTBASE3.cab, ...\n"
    "  --codepage 1252|932      code page of the stored names and header texts\n"
    "                           (default 1252)\n"
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
    "  --prompt-text TEXT       the opening question (at most 63 bytes)\n";

const char* const LIST_HELP =
    "usage: cabsfx-tool list [--codepage 1252|932] FILE\n"
    "\n"
    "Lists the files of a cabinet or a package (and of the cabinets that follow\n"
    "it in its set, found beside it): size, date, attributes (R read-only,\n"
    "H hidden, S system, D folder, A archive, X run after extraction, U UTF-8\n"
    "name), folder and compression. Names are read in the code page unless\n"
    "marked UTF-8.\n";

const char* const VERIFY_HELP =
    "usage: cabsfx-tool verify [--codepage 1252|932] FILE\n"
    "\n"
    "Decodes every file without writing it and checks every data block's\n"
    "checksum and, for a package whose header carries one, the CRC-32 of the\n"
    "cabinet region. Exit status 0 when everything is intact.\n";

const char* const EXTRACT_HELP =
    "usage: cabsfx-tool extract [-d DIR] [-v] [--codepage 1252|932] FILE\n"
    "\n"
    "Extracts the files into DIR (default: the current folder) with their dates\n"
    "and read-only attribute. Names that would leave DIR ('..', drive letters,\n"
    "characters Windows forbids, device names) are refused and reported; leading\n"
    "separators are dropped. -v prints every file.\n";

bool wants_help(const Args& args) {
  for (const std::string& a : args) {
    if (a == "--") break;
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

int main(int argc, char** argv) {
#ifdef _WIN32
  SetConsoleOutputCP(CP_UTF8);
#endif
  const Args all = utf8_arguments(argc, argv);
  if (all.empty()) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  const std::string command = all[0];
  const Args args(all.begin() + 1, all.end());
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(USAGE, stdout);
    return 0;
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
      return 0;
    }
    try {
      const int status = c.run(args);
      if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "cabsfx-tool: %s: cannot write the output\n", c.name);
        return 1;
      }
      return status;
    } catch (const UsageError& e) {
      std::fprintf(stderr, "cabsfx-tool: %s: %s\n(see 'cabsfx-tool %s --help')\n", c.name, e.what(),
                   c.name);
      return 2;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "cabsfx-tool: %s: %s\n", c.name, e.what());
      return 1;
    }
  }
  std::fprintf(stderr, "cabsfx-tool: unknown command '%s'\n\n%s", command.c_str(), USAGE);
  return 2;
}

// The setup launcher's decisions on its command text, kept free of side
// effects so that they can be tested on their own.
#pragma once
#include <cstddef>

constexpr size_t SETUP_COMMAND_SIZE = 512;
constexpr const char INF_FORMAT_SETUPAPI[] = "%s setupapi,InstallHinfSection DefaultInstall 132 %s";
constexpr const char INF_FORMAT_SETUPX[] = "%s setupx.dll,InstallHinfSection DefaultInstall 132 %s";

// The working folder: the command up to and including its last backslash
// (a backslash in the parameters counts too). `folder` holds 260 bytes.
void split_command_folder(const char* command, char* folder);
// True when the text from the last '.' on is ".inf" in any case, with nothing after it.
bool is_inf_command(const char* command);
// When the extension part begins with ".exe" (any case), ends the command
// after "exe" and returns the parameters (empty when nothing follows);
// otherwise returns null and leaves the command alone.
const char* split_program_parameters(char* command);
// Formats the INF command line into a 512-byte buffer; false (nothing
// written) when it would not fit.
bool format_inf_command(char* command, const char* format, const char* host, const char* inf_short_path);

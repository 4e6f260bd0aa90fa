#include "actions/setup_command.h"

#include <windows.h>

#include <cstring>

#include "startup/paths.h"

void split_command_folder(const char* command, char* folder) {
  // split_path works on whole characters, so a trail byte 0x5C is no separator.
  split_path(command, folder, nullptr);
}

// The text from the last '.' to the end. A '.' is never the second byte of a
// double-byte character, so a byte search is safe here.
static const char* extension_part(const char* command) {
  return std::strrchr(command, '.');
}

bool is_inf_command(const char* command) {
  const char* extension = extension_part(command);
  return extension && lstrcmpiA(extension, ".inf") == 0;
}

const char* split_program_parameters(char* command) {
  char* extension = const_cast<char*>(extension_part(command));
  if (!extension || std::strlen(extension) < 4) return nullptr;
  if ((extension[1] | 0x20) != 'e' || (extension[2] | 0x20) != 'x' || (extension[3] | 0x20) != 'e')
    return nullptr;
  const bool has_more = extension[4] != 0;
  extension[4] = 0;
  // The parameters start one character on, past the separating space.
  return has_more ? extension + 5 : extension + 4;
}

bool format_inf_command(char* command, const char* format, const char* host,
                        const char* inf_short_path) {
  char formatted[SETUP_COMMAND_SIZE];
  if (format_text(formatted, sizeof formatted, format, host, inf_short_path) < 0) return false;
  std::memcpy(command, formatted, std::strlen(formatted) + 1);
  return true;
}

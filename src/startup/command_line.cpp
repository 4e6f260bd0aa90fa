#include <cstring>

#include "startup/globals.h"
#include "startup/paths.h"
#include "startup/startup.h"

namespace {

constexpr size_t NO_POSITION = size_t(-1);

// strtok over the double quote alone, without hidden state: skips leading
// quotes, cuts the token at the next quote and moves the cursor past it.
char* next_token(char*& cursor) {
  while (*cursor == '"') ++cursor;
  if (!*cursor) return nullptr;
  char* token = cursor;
  while (*cursor && *cursor != '"') ++cursor;
  if (*cursor) *cursor++ = 0;
  return token;
}

bool is_directory_or_missing(const char* path) {
  // INVALID_FILE_ATTRIBUTES has every bit set, the directory bit included.
  return (GetFileAttributesA(path) & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

const char* skip_program_name(const char* command_line) {
  const unsigned char* text = reinterpret_cast<const unsigned char*>(command_line);
  // A quoted name runs to its closing quote; otherwise every byte above the
  // space belongs to it.
  if (*text == '"') {
    ++text;
    while (*text && *text != '"') ++text;
    if (*text == '"') ++text;
  } else {
    while (*text > ' ') ++text;
  }
  while (*text && *text <= ' ') ++text;
  return reinterpret_cast<const char*>(text);
}

int parse_command_line(const char* arguments, char* archive_path) {
  // Texts that do not fit their buffers are refused whole, never cut.
  char work[MAX_ARGUMENT_TEXT + 1];
  if (!copy_text(work, sizeof work, arguments)) return 0;
  archive_path[0] = 0;

  const size_t length = std::strlen(work);
  size_t after_option = NO_POSITION;
  size_t at = 0;
  while (at < length) {
    if (work[at] != '/') {
      ++at;
      continue;
    }
    const char letter = work[at + 1];
    if (letter == 0) break;
    switch (letter | 0x20) {  // either case
      case 'd':
        settings.delete_after_setup = 1;
        break;
      case 'h':
        settings.no_destination_dialog = 1;
        break;
      case 'n':
        settings.open_folder = 0;
        break;
      case 'o':
        settings.no_confirm = 1;
        break;
      case 'e': {
        if (work[at + 2] != ':') {
          at += 2;
          continue;
        }
        size_t value = at + 3;
        char end_character = ' ';
        if (work[value] == '"') {
          work[value++] = ' ';
          end_character = '"';
        }
        size_t end = value;
        while (work[end] && work[end] != end_character) ++end;
        if (end - value > MAX_SETUP_FILE) return 0;
        std::memcpy(settings.setup_file, work + value, end - value);
        settings.setup_file[end - value] = 0;
        if (work[end]) {
          work[end] = ' ';
          after_option = end + 1;
        } else {
          after_option = length;
        }
        if (!work[value]) {
          at = length;  // "/E:" with nothing after it ends the text
          continue;
        }
        at = value + 1;  // a '/' inside the value is read as an option too
        continue;
      }
      default:
        ++at;  // not an option letter
        continue;
    }
    after_option = at + 2;
    at += 2;
  }

  if (!settings.setup_file[0]) settings.delete_after_setup = 0;

  if (char* quote = std::strchr(work, '"')) {
    char* cursor = quote;
    const char* first = next_token(cursor);
    if (first && first[0]) {
      if (!copy_text(archive_path, PATH_BUFFER, first)) return 0;
      const char* second = next_token(cursor);
      const char* third = second ? next_token(cursor) : nullptr;
      if (second && second[0] == ' ' && third && third[0] && is_directory_or_missing(third)) {
        if (!copy_text(settings.destination, sizeof settings.destination, third)) return 0;
      }
    }
  } else if (after_option == NO_POSITION) {
    if (!copy_text(archive_path, PATH_BUFFER, work)) return 0;
  } else if (after_option < length) {
    const char* rest = work + after_option;
    while (*rest == ' ') ++rest;
    if (!copy_text(archive_path, PATH_BUFFER, rest)) return 0;
  } else {
    *std::strchr(work, '/') = 0;
    trim_trailing_spaces(work);
    if (!copy_text(archive_path, PATH_BUFFER, work)) return 0;
  }

  if (archive_path[0]) {
    trim_trailing_spaces(archive_path);
    char found[MAX_PATH];
    char* file_part = nullptr;
    if (SearchPathA(nullptr, archive_path, nullptr, sizeof found, found, &file_part) == 0) return 0;
    if (is_directory_or_missing(archive_path)) return 0;
  }
  return 1;
}

#include <cstring>

#include "startup/paths.h"
#include "startup/startup.h"

namespace {

constexpr size_t WIDE_UNITS = 520;

// The accepted destination gets a final backslash later: keep a byte for it.
constexpr size_t MAX_DESTINATION = PATH_BUFFER - 2;

bool starts_with(const wchar_t* text, const wchar_t* prefix) {
  for (; *prefix; ++text, ++prefix) {
    if (*text != *prefix) return false;
  }
  return true;
}

const wchar_t* find_wide(const wchar_t* text, const wchar_t* needle) {
  for (; *text; ++text) {
    if (starts_with(text, needle)) return text;
  }
  return nullptr;
}

size_t wide_length(const wchar_t* text) {
  size_t n = 0;
  while (text[n]) ++n;
  return n;
}

bool has_forbidden_character(const char* path) {
  for (const wchar_t* c = ansi_to_utf16(path); *c; ++c) {
    switch (*c) {
      case L';':
      case L'*':
      case L'?':
      case L'"':
      case L'<':
      case L'>':
      case L'|':
        return true;
      default:
        break;
    }
  }
  return false;
}

// base + rest into output, refused when it would not leave room for the final
// backslash.
bool join(char* output, const char* base, const char* rest) {
  if (std::strlen(base) + std::strlen(rest) > MAX_DESTINATION) return false;
  copy_text(output, PATH_BUFFER, base);
  append_text(output, PATH_BUFFER, rest);
  return true;
}

// "..\" forms: each occurrence climbs one level from the base folder; what
// follows the last one (from its backslash on) is appended.
DestinationOutcome climb(const char* base_folder, const wchar_t* text, char* output) {
  int levels = 0;
  const wchar_t* remainder = text;
  for (const wchar_t* at = find_wide(text, L"..\\"); at; at = find_wide(at + 2, L"..\\")) {
    ++levels;
    remainder = at + 2;
  }

  char base[PATH_BUFFER];
  if (!copy_text(base, sizeof base, base_folder)) return DESTINATION_TOO_LONG;
  strip_trailing_backslash(base);
  wchar_t climbed[WIDE_UNITS];
  const wchar_t* wide_base = ansi_to_utf16(base);
  if (base[0] && !wide_base[0]) return DESTINATION_TOO_LONG;
  std::memcpy(climbed, wide_base, (wide_length(wide_base) + 1) * sizeof(wchar_t));
  for (int level = 0; level < levels; ++level) {
    wchar_t* cut = nullptr;
    for (wchar_t* c = climbed; *c; ++c) {
      if (*c == L'\\') cut = c;
    }
    if (!cut) return DESTINATION_ABOVE_ROOT;
    *cut = 0;
  }
  const size_t kept = wide_length(climbed);
  const size_t rest = wide_length(remainder);
  if (kept + rest + 1 > WIDE_UNITS) return DESTINATION_TOO_LONG;
  std::memcpy(climbed + kept, remainder, (rest + 1) * sizeof(wchar_t));
  const char* joined = utf16_to_ansi(climbed);
  if (climbed[0] && !joined[0]) return DESTINATION_TOO_LONG;  // over 259 bytes
  if (std::strlen(joined) > MAX_DESTINATION) return DESTINATION_TOO_LONG;
  copy_text(output, PATH_BUFFER, joined);
  return DESTINATION_ACCEPTED;
}

}  // namespace

DestinationOutcome classify_destination(const char* base_folder, const char* text, char* output) {
  output[0] = 0;
  // Our own copy: the conversions below reuse the shared buffer.
  wchar_t wide[WIDE_UNITS];
  const wchar_t* converted = ansi_to_utf16(text);
  if (text[0] && !converted[0]) return DESTINATION_TOO_LONG;
  std::memcpy(wide, converted, (wide_length(converted) + 1) * sizeof(wchar_t));
  const size_t units = wide_length(wide);

  bool accepted;
  if (units == 0) {
    accepted = join(output, base_folder, "");
  } else if (!find_wide(wide, L"\\") && wide[units - 1] != L':') {
    accepted = join(output, base_folder, text);  // a bare name
  } else if (wide[0] == L'\\' && wide[1] != L'\\') {
    accepted = join(output, base_folder, text + 1);
  } else if (starts_with(wide, L".\\")) {
    accepted = join(output, base_folder, text + 2);
  } else if (starts_with(wide, L"..\\")) {
    const DestinationOutcome outcome = climb(base_folder, wide, output);
    if (outcome != DESTINATION_ACCEPTED) return outcome;
    accepted = true;
  } else if (wide[1] == L':' || (wide[0] == L'\\' && wide[1] == L'\\')) {
    // A drive path, a drive alone, a UNC path: taken as it stands.
    accepted = join(output, text, "");
  } else {
    // A relative path with inner backslashes lands under the base folder as a
    // bare name does (the current folder is no place the user chose).
    accepted = join(output, base_folder, text);
  }
  if (!accepted) {
    output[0] = 0;
    return DESTINATION_TOO_LONG;
  }
  if (has_forbidden_character(output)) {
    output[0] = 0;
    return DESTINATION_FORBIDDEN;
  }
  return DESTINATION_ACCEPTED;
}

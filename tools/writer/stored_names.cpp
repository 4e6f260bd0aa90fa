#include "writer/stored_names.h"

#include <cctype>

namespace {

bool reserved_device(const std::string& part) {
  // Windows opens devices for these names whatever the extension.
  std::string base = part.substr(0, part.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = char(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

}  // namespace

std::string check_name_component(const std::string& part) {
  if (part.empty()) return "has an empty part";
  if (part == "..") return "refers to a parent folder ('..')";
  if (part == ".") return "has a '.' part";
  for (unsigned char c : part) {
    if (c == ':') return "contains ':' (a drive or stream designator)";
    if (c == '\\' || c == '/') return "contains a path separator";
    if (c < 0x20 || c == 0x7F) return "contains a control character";
    if (c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|')
      return std::string("contains '") + char(c) + "', which Windows does not allow in names";
  }
  if (part.back() == '.' || part.back() == ' ')
    return "has a part ending in a dot or space, which Windows drops";
  if (reserved_device(part)) return "uses a reserved device name (" + part + ")";
  return "";
}

std::string split_stored_name(const std::string& utf8, StoredPath& out) {
  out = StoredPath{};
  std::string part;
  bool ended_with_separator = false;
  auto flush = [&]() -> std::string {
    if (part.empty() || part == ".") {
      part.clear();
      return "";
    }
    std::string why = check_name_component(part);
    if (!why.empty()) return why;
    out.components.push_back(part);
    part.clear();
    return "";
  };
  for (char c : utf8) {
    if (c == '\\' || c == '/') {
      std::string why = flush();
      if (!why.empty()) return why;
      ended_with_separator = true;
    } else {
      part.push_back(c);
      ended_with_separator = false;
    }
  }
  std::string why = flush();
  if (!why.empty()) return why;
  if (out.components.empty()) return "names no file";
  out.directory = ended_with_separator;
  return "";
}

#include "writer/stored_names.h"

#include "cabinet/device_name.h"
#include "writer/codepage.h"

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
  // A name the file system gave as bytes that are no UTF-8 would be stored
  // marked UTF-8 and then refused by every reader.
  std::u32string code_points;
  if (!utf8_to_utf32(part, code_points)) return "is not valid UTF-8 (rename it)";
  if (is_device_name(code_points.data(), code_points.size()))
    return "uses a reserved device name (" + part + ")";
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

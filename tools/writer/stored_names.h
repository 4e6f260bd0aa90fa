// Rules for file names inside cabinets, shared by packing and extraction:
// what a name may contain so that it lands under the destination folder on
// Windows and Linux alike.
#pragma once
#include <string>
#include <vector>

struct StoredPath {
  std::vector<std::string> components;  // UTF-8, none empty, "." or ".."
  bool directory = false;               // the name ended with a separator
};

// Splits a decoded stored name at '\' and '/' and checks every part. Leading
// and doubled separators and "." parts are dropped. Returns an empty string
// when the name is usable, otherwise why it is refused.
std::string split_stored_name(const std::string& utf8, StoredPath& out);

// Checks one part of a name (no separators allowed); empty string when fine.
std::string check_name_component(const std::string& utf8);

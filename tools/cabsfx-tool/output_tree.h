// The extracted tree under one destination folder, written without following
// a link and without a gap between a check and a use: every folder is opened
// relative to its already open parent (POSIX: openat with O_NOFOLLOW; Windows:
// each folder held open without delete sharing, reparse points refused), every
// file is created exclusively in its folder, a replaced file is written under
// a temporary name and renamed over the old one, and dates and modes are set
// on the open file.
#pragma once
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tool.h"

// Which file a name reaches: its device and its number there (POSIX; on
// Windows a number of 0, unknown). Two names of one file (a name in another
// case on a file system that ignores case, a folder mounted twice) give the
// same identity.
using FileIdentity = std::pair<uint64_t, uint64_t>;

// What is at a name now, looked at without following a link.
struct ExistingEntry {
  // SPECIAL: device, pipe or socket; OTHER: link (reparse point on Windows).
  enum Kind { MISSING, FILE, FOLDER, SPECIAL, OTHER } kind = MISSING;
  std::time_t modified = 0;
  FileIdentity identity{};  // of a FILE
};

// The file exists and the caller did not ask to replace it.
class FileExists : public ToolError {
 public:
  using ToolError::ToolError;
};

class OutputFile;

class OutputTree {
 public:
  // Creates the destination (and its parents) when missing and opens it.
  explicit OutputTree(const std::filesystem::path& destination);
  ~OutputTree();
  OutputTree(const OutputTree&) = delete;
  OutputTree& operator=(const OutputTree&) = delete;

  // Opens the folder made of `folders` below the destination, creating the
  // missing ones when `create`; false when one is missing and not created.
  // Throws ToolError for a link or a non-folder on the way.
  bool enter(const std::vector<std::string>& folders, bool create);
  // In the entered folder.
  ExistingEntry existing(const std::string& name);
  // A new file, written under a temporary name beside `name` that finish()
  // renames into place (on Windows only when `replace`). Without `replace`,
  // create() (Windows) or finish() (elsewhere) throws FileExists when `name`
  // exists.
  std::unique_ptr<OutputFile> create(const std::string& name, bool replace);
  // The user's path of a name in the entered folder, for messages.
  std::filesystem::path shown(const std::string& name) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class OutputFile {
 public:
  ~OutputFile();  // abandons the file unless finished
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // False on failure; error() then says why, naming the file.
  bool write(const void* bytes, size_t count);
  const std::string& error() const;
  // Stamps the date, applies the cabinet attributes (read-only everywhere;
  // hidden, system and archive on Windows), closes, and renames into place.
  // Throws ToolError naming the user's path (FileExists as create() says).
  // Returns the file's identity (a number of 0 when the system did not tell
  // it).
  FileIdentity finish(std::time_t modified, uint16_t attribs);
  // Closes and removes what was created.
  void abandon();

 private:
  friend class OutputTree;
  OutputFile() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

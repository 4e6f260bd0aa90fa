#include "output_tree.h"

#include <cerrno>
#include <cstring>
#include <random>
#include <system_error>

#include "interrupt.h"
#include "writer/codepage.h"
#include "writer/file_io.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// A name for the new copy of a file that is being replaced, beside it.
std::string temporary_name() {
  static std::mt19937 random{std::random_device{}()};
  char name[32];
  std::snprintf(name, sizeof name, ".cabsfx-%08x.tmp", unsigned(random()));
  return name;
}

}  // namespace

#ifndef _WIN32

namespace {

std::string reason() {
  return std::strerror(errno);
}

// The mode new files get: 0666 less the umask, as open() applies it.
mode_t file_mode() {
  static const mode_t mode = [] {
    const mode_t mask = umask(0);
    umask(mask);
    return mode_t(0666 & ~mask);
  }();
  return mode;
}

// Gives the finished file `temp` the name `name` unless something (a file, a
// link, a folder) already has it: 0 or an errno value, EEXIST for that case.
int name_new_file(int dir, const std::string& temp, const std::string& name) {
#ifdef RENAME_NOREPLACE
  if (renameat2(dir, temp.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
#endif
  // File systems without it (NFS): a hard link is refused by any name too.
  if (linkat(dir, temp.c_str(), dir, name.c_str(), 0) == 0) {
    unlinkat(dir, temp.c_str(), 0);
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP) return errno;
  // Nor hard links: look, then rename.
  struct stat st;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  if (errno != ENOENT) return errno;
  return renameat(dir, temp.c_str(), dir, name.c_str()) == 0 ? 0 : errno;
}

}  // namespace

struct OutputTree::Impl {
  fs::path dest;
  int root = -1;
  std::vector<std::string> names;  // the entered folders, and their descriptors
  std::vector<int> fds;

  int current() const { return fds.empty() ? root : fds.back(); }

  fs::path folder() const {
    fs::path p = dest;
    for (const std::string& n : names) p /= path_from_utf8(n);
    return p;
  }

  void leave_to(size_t depth) {
    while (fds.size() > depth) {
      close(fds.back());
      fds.pop_back();
      names.pop_back();
    }
  }

  // -1 when missing and not created.
  int open_child(const std::string& name, bool create) {
    const int parent = current();
    const fs::path shown = folder() / path_from_utf8(name);
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(parent, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
      if (!create) return -1;
      if (mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST)
        throw ToolError("cannot create the folder " + ::shown(shown) + ": " + reason());
      fd = openat(parent, name.c_str(), flags);
    }
    if (fd >= 0) return fd;
    const int error = errno;
    struct stat st;
    if ((error == ELOOP || error == ENOTDIR) &&
        fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISLNK(st.st_mode))
        throw ToolError("folder " + ::shown(shown) + " is a symbolic link; not writing through it");
      throw ToolError(::shown(shown) + " exists and is not a folder");
    }
    throw ToolError("cannot open the folder " + ::shown(shown) + ": " + std::strerror(error));
  }
};

struct OutputFile::Impl {
  int dir = -1;
  int fd = -1;
  std::string name, temp, error;
  bool replace = false;
  fs::path shown;
  RemovalOnInterrupt removal;  // until renamed into place

  void abandon() {
    if (fd >= 0) close(fd);
    fd = -1;
    if (dir >= 0) {
      unlinkat(dir, temp.c_str(), 0);
      removal.disarm();  // before its folder's descriptor can be reused
      close(dir);
    }
    dir = -1;
  }
};

OutputTree::OutputTree(const fs::path& destination) : impl_(std::make_unique<Impl>()) {
  impl_->dest = destination;
  file_mode();
  std::error_code ec;
  fs::create_directories(destination, ec);
  impl_->root = open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (impl_->root < 0)
    throw ToolError("cannot open the destination " + ::shown(destination) + ": " +
                    (ec ? ec.message() : reason()));
}

OutputTree::~OutputTree() {
  impl_->leave_to(0);
  close(impl_->root);
}

bool OutputTree::enter(const std::vector<std::string>& folders, bool create) {
  size_t same = 0;
  while (same < folders.size() && same < impl_->names.size() && folders[same] == impl_->names[same])
    ++same;
  impl_->leave_to(same);
  for (size_t i = same; i < folders.size(); ++i) {
    const int fd = impl_->open_child(folders[i], create);
    if (fd < 0) return false;
    impl_->fds.push_back(fd);
    impl_->names.push_back(folders[i]);
  }
  return true;
}

ExistingEntry OutputTree::existing(const std::string& name) {
  struct stat st;
  ExistingEntry e;
  if (fstatat(impl_->current(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return e;
    throw ToolError("cannot look at " + ::shown(shown(name)) + ": " + reason());
  }
  e.kind = S_ISREG(st.st_mode)   ? ExistingEntry::FILE
           : S_ISDIR(st.st_mode) ? ExistingEntry::FOLDER
           : S_ISLNK(st.st_mode) ? ExistingEntry::OTHER
                                 : ExistingEntry::SPECIAL;
  e.modified = st.st_mtime;
  e.identity = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
  return e;
}

std::unique_ptr<OutputFile> OutputTree::create(const std::string& name, bool replace) {
  std::unique_ptr<OutputFile> file(new OutputFile);
  file->impl_ = std::make_unique<OutputFile::Impl>();
  OutputFile::Impl& f = *file->impl_;
  f.name = name;
  f.shown = shown(name);
  f.dir = fcntl(impl_->current(), F_DUPFD_CLOEXEC, 0);
  if (f.dir < 0) throw ToolError("cannot create " + ::shown(f.shown) + ": " + reason());
  f.replace = replace;
  // Every file is written under a temporary name and gets its own when
  // whole, so that a run killed where no handler can clean up (SIGKILL)
  // leaves no cut-short file under a name a later run would keep.
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  InterruptsHeld held;  // until the new file is armed for removal
  for (int attempt = 0; attempt < 100 && f.fd < 0; ++attempt) {
    f.temp = temporary_name();
    f.fd = openat(f.dir, f.temp.c_str(), flags, 0666);
    if (f.fd < 0 && errno != EEXIST) break;
  }
  if (f.fd < 0) {
    const int error = errno;
    close(f.dir);
    f.dir = -1;
    throw ToolError("cannot create " + ::shown(f.shown) + ": " + std::strerror(error));
  }
  f.removal.arm(f.dir, f.temp.c_str());
  return file;
}

bool OutputFile::write(const void* bytes, size_t count) {
  const char* p = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t n = ::write(impl_->fd, p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      impl_->error = "cannot write " + ::shown(impl_->shown) + ": " + (n < 0 ? reason() : "");
      return false;
    }
    p += n;
    count -= size_t(n);
  }
  return true;
}

FileIdentity OutputFile::finish(std::time_t modified, uint16_t attribs) {
  Impl& f = *impl_;
  std::string failure;
  const struct timespec times[2] = {{modified, 0}, {modified, 0}};
  struct stat st {};
  if (futimens(f.fd, times) != 0) failure = "cannot set the date of " + ::shown(f.shown);
  if (fstat(f.fd, &st) != 0) st = {};  // identity unknown
  if (failure.empty() && (attribs & 0x01) && fchmod(f.fd, file_mode() & ~0222) != 0)
    failure = "cannot make " + ::shown(f.shown) + " read-only";
  if (failure.empty()) {
    const int fd = f.fd;
    f.fd = -1;
    if (close(fd) != 0) failure = "cannot write " + ::shown(f.shown);
  }
  if (failure.empty()) {
    const int error =
        f.replace ? (renameat(f.dir, f.temp.c_str(), f.dir, f.name.c_str()) == 0 ? 0 : errno)
                  : name_new_file(f.dir, f.temp, f.name);
    if (error == EEXIST) {
      f.abandon();
      throw FileExists(::shown(f.shown) + " exists");
    }
    errno = error;
    if (error != 0) failure = (f.replace ? "cannot replace " : "cannot create ") + ::shown(f.shown);
  }
  if (!failure.empty()) {
    failure += ": " + reason();
    f.abandon();
    throw ToolError(failure);
  }
  f.removal.disarm();
  close(f.dir);
  f.dir = -1;
  return {uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

#else  // _WIN32

namespace {

std::string reason(DWORD error = GetLastError()) {
  return std::error_code(int(error), std::system_category()).message();
}

std::wstring wide(const std::string& utf8) {
  return path_from_utf8(utf8).wstring();
}

// An absolute path in the \\?\ form, which Windows takes as it is (no
// length limit, no dropping of trailing dots).
std::wstring long_form(const fs::path& p) {
  std::wstring s = fs::absolute(p).lexically_normal().make_preferred().wstring();
  while (s.size() > 3 && s.back() == L'\\') s.pop_back();
  if (s.rfind(L"\\\\?\\", 0) == 0) return s;
  if (s.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + s.substr(2);
  return L"\\\\?\\" + s;
}

bool not_found(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Opens what is at `path` itself (a reparse point is not followed).
HANDLE open_entry(const std::wstring& path, DWORD access, DWORD share) {
  return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

std::time_t to_time(FILETIME ft) {
  const uint64_t ticks = uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
  return std::time_t((int64_t(ticks) - 116444736000000000LL) / 10000000LL);
}

FILETIME to_filetime(std::time_t t) {
  const uint64_t ticks = uint64_t(int64_t(t) * 10000000LL + 116444736000000000LL);
  return FILETIME{DWORD(ticks), DWORD(ticks >> 32)};
}

bool set_attributes(HANDLE h, DWORD attributes) {
  FILE_BASIC_INFO info{};  // zero times: left as they are
  info.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(h, FileBasicInfo, &info, sizeof info) != 0;
}

}  // namespace

struct OutputTree::Impl {
  fs::path dest;
  std::wstring root;
  HANDLE root_handle = INVALID_HANDLE_VALUE;
  std::vector<std::string> names;  // the entered folders, each held open
  std::vector<HANDLE> handles;     // without delete sharing: none can be moved

  std::wstring current() const {
    std::wstring p = root;
    for (const std::string& n : names) p += L"\\" + wide(n);
    return p;
  }

  fs::path folder() const {
    fs::path p = dest;
    for (const std::string& n : names) p /= path_from_utf8(n);
    return p;
  }

  void leave_to(size_t depth) {
    while (handles.size() > depth) {
      CloseHandle(handles.back());
      handles.pop_back();
      names.pop_back();
    }
  }

  // INVALID_HANDLE_VALUE when missing and not created.
  HANDLE open_folder(const std::wstring& path, const fs::path& shown, bool create) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE h = open_entry(path, FILE_READ_ATTRIBUTES, share);
    if (h == INVALID_HANDLE_VALUE && not_found(GetLastError())) {
      if (!create) return h;
      if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        throw ToolError("cannot create the folder " + ::shown(shown) + ": " + reason());
      h = open_entry(path, FILE_READ_ATTRIBUTES, share);
    }
    if (h == INVALID_HANDLE_VALUE)
      throw ToolError("cannot open the folder " + ::shown(shown) + ": " + reason());
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
      const std::string why = reason();
      CloseHandle(h);
      throw ToolError("cannot open the folder " + ::shown(shown) + ": " + why);
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      CloseHandle(h);
      throw ToolError("folder " + ::shown(shown) +
                      " is a link (reparse point); not writing through it");
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      CloseHandle(h);
      throw ToolError(::shown(shown) + " exists and is not a folder");
    }
    return h;
  }
};

struct OutputFile::Impl {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::wstring target, temp;
  std::string error;
  fs::path shown;

  void abandon() {
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
      handle = INVALID_HANDLE_VALUE;
      DeleteFileW((temp.empty() ? target : temp).c_str());
    }
  }
};

OutputTree::OutputTree(const fs::path& destination) : impl_(std::make_unique<Impl>()) {
  impl_->dest = destination;
  std::error_code ec;
  fs::create_directories(destination, ec);
  impl_->root = long_form(destination);
  impl_->root_handle = impl_->open_folder(impl_->root, destination, false);
  if (impl_->root_handle == INVALID_HANDLE_VALUE)
    throw ToolError("cannot open the destination " + ::shown(destination) + ": " +
                    (ec ? ec.message() : reason()));
}

OutputTree::~OutputTree() {
  impl_->leave_to(0);
  CloseHandle(impl_->root_handle);
}

bool OutputTree::enter(const std::vector<std::string>& folders, bool create) {
  size_t same = 0;
  while (same < folders.size() && same < impl_->names.size() && folders[same] == impl_->names[same])
    ++same;
  impl_->leave_to(same);
  for (size_t i = same; i < folders.size(); ++i) {
    const HANDLE h = impl_->open_folder(impl_->current() + L"\\" + wide(folders[i]),
                                        impl_->folder() / path_from_utf8(folders[i]), create);
    if (h == INVALID_HANDLE_VALUE) return false;
    impl_->handles.push_back(h);
    impl_->names.push_back(folders[i]);
  }
  return true;
}

ExistingEntry OutputTree::existing(const std::string& name) {
  ExistingEntry e;
  const HANDLE h = open_entry(impl_->current() + L"\\" + wide(name), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (h == INVALID_HANDLE_VALUE) {
    if (not_found(GetLastError())) return e;
    throw ToolError("cannot look at " + ::shown(shown(name)) + ": " + reason());
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok) throw ToolError("cannot look at " + ::shown(shown(name)) + ": " + reason());
  e.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ExistingEntry::OTHER
           : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)   ? ExistingEntry::FOLDER
                                                                  : ExistingEntry::FILE;
  e.modified = to_time(info.ftLastWriteTime);
  return e;
}

std::unique_ptr<OutputFile> OutputTree::create(const std::string& name, bool replace) {
  std::unique_ptr<OutputFile> file(new OutputFile);
  file->impl_ = std::make_unique<OutputFile::Impl>();
  OutputFile::Impl& f = *file->impl_;
  const std::wstring folder = impl_->current() + L"\\";
  f.target = folder + wide(name);
  f.shown = shown(name);
  DWORD error = 0;
  for (int attempt = 0; attempt < 100 && f.handle == INVALID_HANDLE_VALUE; ++attempt) {
    if (replace) f.temp = folder + wide(temporary_name());
    // CREATE_NEW fails on anything at the name, a link included.
    f.handle =
        CreateFileW((replace ? f.temp : f.target).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    error = GetLastError();
    const bool exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    if (f.handle == INVALID_HANDLE_VALUE && (!exists || !replace)) break;
  }
  if (f.handle == INVALID_HANDLE_VALUE) {
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
      throw FileExists(::shown(f.shown) + " exists");
    throw ToolError("cannot create " + ::shown(f.shown) + ": " + reason(error));
  }
  return file;
}

bool OutputFile::write(const void* bytes, size_t count) {
  const char* p = static_cast<const char*>(bytes);
  while (count > 0) {
    DWORD n = 0;
    if (!WriteFile(impl_->handle, p, DWORD(count), &n, nullptr) || n == 0) {
      impl_->error = "cannot write " + ::shown(impl_->shown) + ": " + reason();
      return false;
    }
    p += n;
    count -= n;
  }
  return true;
}

FileIdentity OutputFile::finish(std::time_t modified, uint16_t attribs) {
  Impl& f = *impl_;
  DWORD attributes = 0;
  if (attribs & 0x01) attributes |= FILE_ATTRIBUTE_READONLY;
  if (attribs & 0x02) attributes |= FILE_ATTRIBUTE_HIDDEN;
  if (attribs & 0x04) attributes |= FILE_ATTRIBUTE_SYSTEM;
  if (attribs & 0x20) attributes |= FILE_ATTRIBUTE_ARCHIVE;
  const FILETIME ft = to_filetime(modified);
  std::string failure;
  if (!SetFileTime(f.handle, nullptr, nullptr, &ft))
    failure = "cannot set the date of " + ::shown(f.shown);
  else if (!set_attributes(f.handle, attributes))
    failure = "cannot set the attributes of " + ::shown(f.shown);
  if (failure.empty()) {
    const HANDLE h = f.handle;
    f.handle = INVALID_HANDLE_VALUE;
    if (!CloseHandle(h)) {
      failure = "cannot write " + ::shown(f.shown);
      f.handle = INVALID_HANDLE_VALUE;
    }
  }
  if (failure.empty() && !f.temp.empty()) {
    // A read-only file cannot be replaced: clear the bit on the old file
    // itself (never through a link) first. The bit belongs to the file, so
    // it is set again through the same handle afterwards, for the file's
    // other names (hard links). An open handle stops a rename over the
    // file, but not ReplaceFileW, which moves the old file aside first.
    const HANDLE old = open_entry(f.target, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool cleared =
        old != INVALID_HANDLE_VALUE && GetFileInformationByHandle(old, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) &&
        set_attributes(old, info.dwFileAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (old != INVALID_HANDLE_VALUE && !cleared) CloseHandle(old);
    // ERROR_UNABLE_TO_MOVE_REPLACEMENT: the old file is gone, the new one
    // still has its own name.
    const bool moved =
        cleared ? ReplaceFileW(f.target.c_str(), f.temp.c_str(), nullptr,
                               REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) ||
                      (GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
                       MoveFileW(f.temp.c_str(), f.target.c_str()))
                : MoveFileExW(f.temp.c_str(), f.target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    const std::string why = moved ? std::string() : reason();
    if (cleared) {
      set_attributes(old, info.dwFileAttributes);
      CloseHandle(old);
    }
    if (!moved) {
      failure = "cannot replace " + ::shown(f.shown);
      DeleteFileW(f.temp.c_str());
      throw ToolError(failure + ": " + why);
    }
  }
  if (!failure.empty()) {
    const std::string why = reason();
    if (f.handle != INVALID_HANDLE_VALUE) {
      f.abandon();
    } else {
      DeleteFileW((f.temp.empty() ? f.target : f.temp).c_str());
    }
    throw ToolError(failure + ": " + why);
  }
  // Not told here: the 64-bit file index is not unique on every file system
  // (ReFS), and names are compared ignoring case already.
  return {};
}

#endif

fs::path OutputTree::shown(const std::string& name) const {
  return impl_->folder() / path_from_utf8(name);
}

OutputFile::~OutputFile() {
  impl_->abandon();
}

void OutputFile::abandon() {
  impl_->abandon();
}

const std::string& OutputFile::error() const {
  return impl_->error;
}

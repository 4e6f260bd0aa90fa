// list, verify and extract: the cabinet is found inside the file as the
// module finds it, its set is followed through the cabinets named beside it,
// and the files are read through the cabinet library.
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

#include "cabinet/cab.h"
#include "package/crc32.h"
#include "package/package.h"
#include "tool.h"
#include "writer/cab_writer.h"
#include "writer/codepage.h"
#include "writer/file_io.h"
#include "writer/stored_names.h"

namespace fs = std::filesystem;

namespace {

struct FolderInfo {
  uint32_t coff_cab_start;
  uint16_t blocks;
  uint16_t type;
};

struct CabinetInfo {
  std::string name;  // what the library is given, and asks for when moving on
  fs::path path;
  int64_t offset = 0;  // where the cabinet begins inside its file
  uint16_t set_id = 0, index = 0, flags = 0, file_count = 0;
  uint16_t header_reserve = 0;
  uint8_t folder_reserve = 0, data_reserve = 0;
  std::vector<FolderInfo> folders;
  std::string next_name;
  bool folder0_continued = false;
  unsigned folder_base = 0;  // number of its folder 0 across the set
};

struct Archive {
  fs::path file;
  uint64_t file_size = 0;
  int64_t cabinet_offset = -1;
  bool package = false;
  uint32_t image_end = 0;
  PackageHeader header{};
  std::vector<CabinetInfo> chain;
};

struct Options {
  fs::path file;
  fs::path dest = ".";
  CodePage codepage = CodePage::Western1252;
  bool verbose = false;
};

Options parse_options(const Args& args, bool allow_dest, const char* command) {
  Options o;
  bool have_file = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
      return args[++i];
    };
    if (a == "--codepage") {
      if (!parse_codepage(value(), o.codepage))
        throw UsageError("--codepage must be 1252 or 932, not '" + args[i] + "'");
    } else if (allow_dest && (a == "-d" || a == "--directory")) {
      o.dest = path_from_utf8(value());
    } else if (allow_dest && (a == "-v" || a == "--verbose")) {
      o.verbose = true;
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError(std::string("unknown option for ") + command + ": " + a);
    } else if (!have_file) {
      o.file = path_from_utf8(a);
      have_file = true;
    } else {
      throw UsageError(std::string(command) + " takes one archive; unexpected '" + a + "'");
    }
  }
  if (!have_file) throw UsageError(std::string(command) + " needs an archive file");
  return o;
}

bool read_exact(std::FILE* f, void* buffer, size_t count) {
  return std::fread(buffer, 1, count, f) == count;
}

uint16_t le16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t* p) {
  return le16(p) | uint32_t(le16(p + 2)) << 16;
}

std::string read_cstring(std::FILE* f, const std::string& where) {
  std::string s;
  for (;;) {
    const int c = std::fgetc(f);
    if (c == EOF) throw ToolError(where + ": cabinet header ends inside a name");
    if (c == 0) return s;
    s.push_back(char(c));
    if (s.size() > 255) throw ToolError(where + ": a name in the cabinet header is too long");
  }
}

void parse_cabinet(CabinetInfo& cab) {
  const std::string where = path_text(cab.path);
  FilePtr f = open_file(cab.path, "rb");
  if (!f) throw ToolError("cannot open " + where);
  uint8_t h[36];
  if (!seek_file(f.get(), cab.offset) || !read_exact(f.get(), h, 36) ||
      std::memcmp(h, "MSCF", 4) != 0)
    throw ToolError(where + ": no cabinet found");
  if (le16(h + 24) != 0x0103)
    throw ToolError(where + ": unsupported cabinet version " + std::to_string(h[25]) + "." +
                    std::to_string(h[24]));
  const uint32_t coff_files = le32(h + 16);
  const uint16_t folder_count = le16(h + 26);
  cab.file_count = le16(h + 28);
  cab.flags = le16(h + 30);
  cab.set_id = le16(h + 32);
  cab.index = le16(h + 34);
  if (cab.flags & 0x0004) {
    uint8_t r[4];
    if (!read_exact(f.get(), r, 4)) throw ToolError(where + ": cabinet header is cut short");
    cab.header_reserve = le16(r);
    cab.folder_reserve = r[2];
    cab.data_reserve = r[3];
    if (!seek_file(f.get(), tell_file(f.get()) + cab.header_reserve))
      throw ToolError(where + ": cabinet header is cut short");
  }
  if (cab.flags & 0x0001) {
    read_cstring(f.get(), where);
    read_cstring(f.get(), where);
  }
  if (cab.flags & 0x0002) {
    cab.next_name = read_cstring(f.get(), where);
    read_cstring(f.get(), where);
  }
  std::vector<uint8_t> record(8 + cab.folder_reserve);
  for (uint16_t i = 0; i < folder_count; ++i) {
    if (!read_exact(f.get(), record.data(), record.size()))
      throw ToolError(where + ": folder records are cut short");
    cab.folders.push_back({le32(record.data()), le16(record.data() + 4), le16(record.data() + 6)});
  }
  if (!seek_file(f.get(), cab.offset + coff_files))
    throw ToolError(where + ": file records are out of reach");
  for (uint16_t i = 0; i < cab.file_count; ++i) {
    uint8_t r[16];
    if (!read_exact(f.get(), r, 16)) throw ToolError(where + ": file records are cut short");
    if ((le16(r + 8) & 0xFFFD) == 0xFFFD) cab.folder0_continued = true;
    read_cstring(f.get(), where);
  }
}

// Reads what the module reads: where the image ends, the header block there,
// and the first cabinet signature in the file.
Archive open_archive(const fs::path& file, CodePage codepage) {
  Archive a;
  a.file = file;
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) throw ToolError(path_text(file) + ": no such file");
  a.file_size = fs::file_size(file, ec);
  FilePtr f = open_file(file, "rb");
  if (!f) throw ToolError("cannot open " + path_text(file));
  std::vector<uint8_t> head(size_t(std::min<uint64_t>(a.file_size, 65536)));
  if (!read_exact(f.get(), head.data(), head.size()))
    throw ToolError("cannot read " + path_text(file));
  const uint32_t image_end = image_end_from_headers(head.data(), head.size());
  if (image_end > 0 && uint64_t(image_end) + PACKAGE_HEADER_SIZE <= a.file_size &&
      seek_file(f.get(), image_end) && read_exact(f.get(), &a.header, sizeof a.header) &&
      package_header_recognised(&a.header, sizeof a.header)) {
    a.package = true;
    a.image_end = image_end;
  }
  if (!seek_file(f.get(), 0)) throw ToolError("cannot read " + path_text(file));
  a.cabinet_offset = find_cabinet_signature(
      [](void* source, uint8_t* buffer, uint32_t count) -> int32_t {
        const size_t n = std::fread(buffer, 1, count, static_cast<std::FILE*>(source));
        return n == 0 && std::ferror(static_cast<std::FILE*>(source)) ? -1 : int32_t(n);
      },
      f.get());
  if (a.cabinet_offset < 0) throw ToolError(path_text(file) + ": no cabinet found in the file");
  f.reset();

  CabinetInfo first;
  // A short token that no following cabinet can be named (control character),
  // and that keeps within the library's name buffer whatever the file's name.
  first.name = "\x01first";
  first.path = file;
  first.offset = a.cabinet_offset;
  parse_cabinet(first);
  a.chain.push_back(std::move(first));
  std::set<std::string> names;
  while (a.chain.back().flags & 0x0002) {
    const CabinetInfo& prev = a.chain.back();
    std::string utf8;
    if (!codepage_to_utf8(prev.next_name, codepage, utf8) || !check_name_component(utf8).empty())
      throw ToolError(path_text(prev.path) + ": its next cabinet '" + escape_bytes(prev.next_name) +
                      "' is not a plain file name");
    if (!names.insert(prev.next_name).second || a.chain.size() >= 0xFFFF)
      throw ToolError(path_text(prev.path) + ": the cabinet set loops back to '" + utf8 + "'");
    CabinetInfo next;
    next.name = prev.next_name;
    next.path = file.parent_path() / path_from_utf8(utf8);
    if (!fs::exists(next.path, ec))
      throw ToolError("next cabinet '" + utf8 + "' of the set is missing beside " +
                      path_text(file));
    parse_cabinet(next);
    if (next.set_id != prev.set_id || next.index != prev.index + 1)
      throw ToolError(path_text(next.path) + " does not continue the set (set " +
                      std::to_string(next.set_id) + " cabinet " + std::to_string(next.index) +
                      ", expected set " + std::to_string(prev.set_id) + " cabinet " +
                      std::to_string(prev.index + 1) + ")");
    next.folder_base =
        unsigned(prev.folder_base + prev.folders.size() - (next.folder0_continued ? 1 : 0));
    a.chain.push_back(std::move(next));
  }
  return a;
}

// ---- Library callbacks over files ----------------------------------------

struct Slot {
  FilePtr file;
  int64_t base = 0;
  bool output = false;
  bool discard = false;
  uint64_t written = 0;
};

std::vector<std::unique_ptr<Slot>> g_slots;  // handle = index + 1
const Archive* g_archive = nullptr;
ProgressBar* g_progress = nullptr;
uint64_t g_bytes_out = 0;

Slot* slot_of(int32_t handle) {
  if (handle < 1 || size_t(handle) > g_slots.size()) return nullptr;
  return g_slots[size_t(handle) - 1].get();
}

int32_t add_slot(std::unique_ptr<Slot> slot) {
  for (size_t i = 0; i < g_slots.size(); ++i) {
    if (!g_slots[i]) {
      g_slots[i] = std::move(slot);
      return int32_t(i + 1);
    }
  }
  g_slots.push_back(std::move(slot));
  return int32_t(g_slots.size());
}

bool close_slot(int32_t handle) {
  Slot* s = slot_of(handle);
  if (!s) return false;
  bool ok = true;
  if (s->file) ok = std::fclose(s->file.release()) == 0;
  g_slots[size_t(handle) - 1].reset();
  return ok;
}

void* io_alloc(uint32_t size) {
  return std::malloc(size ? size : 1);
}
void io_free(void* p) {
  std::free(p);
}

int32_t io_open(const char* path, int32_t flags, int32_t) {
  if (!g_archive || (flags & 0x0003) != 0) return -1;  // cabinets only, read-only
  try {
    for (const CabinetInfo& cab : g_archive->chain) {
      if (cab.name == path) {
        auto slot = std::make_unique<Slot>();
        slot->file = open_file(cab.path, "rb");
        slot->base = cab.offset;
        if (!slot->file || !seek_file(slot->file.get(), cab.offset)) return -1;
        return add_slot(std::move(slot));
      }
    }
  } catch (const std::exception&) {
  }
  return -1;
}

int32_t io_read(int32_t handle, void* buffer, uint32_t count) {
  Slot* s = slot_of(handle);
  if (!s || s->output) return -1;
  const size_t n = std::fread(buffer, 1, count, s->file.get());
  if (n == 0 && std::ferror(s->file.get())) return -1;
  return int32_t(n);
}

int32_t io_write(int32_t handle, const void* buffer, uint32_t count) {
  Slot* s = slot_of(handle);
  if (!s || !s->output) return -1;
  size_t n = count;
  if (!s->discard) n = std::fwrite(buffer, 1, count, s->file.get());
  s->written += n;
  g_bytes_out += n;
  if (g_progress) g_progress->update(g_bytes_out);
  return int32_t(n);
}

int32_t io_close(int32_t handle) {
  return close_slot(handle) ? 0 : -1;
}

int32_t io_seek(int32_t handle, int32_t offset, int32_t origin) {
  Slot* s = slot_of(handle);
  if (!s || s->output) return -1;
  int64_t target;
  if (origin == 0) {
    target = s->base + offset;
  } else if (origin == 1) {
    target = tell_file(s->file.get()) + offset;
  } else if (origin == 2) {
    if (std::fseek(s->file.get(), 0, SEEK_END) != 0) return -1;
    target = tell_file(s->file.get()) + offset;
  } else {
    return -1;
  }
  if (target < s->base || target - s->base > INT32_MAX || !seek_file(s->file.get(), target))
    return -1;
  return int32_t(target - s->base);
}

// ---- Walks ------------------------------------------------------------------

enum class Mode { List, Verify, Extract };

struct ListedFile {
  std::string name;  // decoded, or escaped when it cannot be
  uint32_t size;
  uint16_t date, time, attribs;
  unsigned folder;  // across the set
  uint16_t type;
};

struct Walk {
  Mode mode = Mode::List;
  const Archive* archive = nullptr;
  const Options* options = nullptr;
  size_t cabinet = 0;  // chain index of the cabinet the library is in
  int opened = 0;
  std::vector<ListedFile> listed;
  std::vector<std::string> problems;  // refused names and failed files
  std::string abort_reason;
  // The file being written.
  int32_t handle = -1;
  fs::path target;
  std::string display;
  uint32_t size = 0;
  unsigned files_done = 0;
};

std::string display_name(const CabNotification* r, CodePage page) {
  std::string utf8;
  if (decode_stored_name(r->text1, r->attribs, page, utf8)) return utf8;
  return escape_bytes(r->text1);
}

unsigned folder_number(const CabinetInfo& cab, uint16_t ifolder) {
  unsigned local = ifolder;
  if ((ifolder & 0xFFFE) == 0xFFFE)
    local = unsigned(cab.folders.size()) - 1;
  else if (ifolder == 0xFFFD)
    local = 0;
  return cab.folder_base + local;
}

uint16_t folder_type(const CabinetInfo& cab, uint16_t ifolder) {
  size_t local = ifolder;
  if ((ifolder & 0xFFFE) == 0xFFFE || ifolder == 0xFFFD)
    local = ifolder == 0xFFFD ? 0 : cab.folders.size() - 1;
  return local < cab.folders.size() ? cab.folders[local].type : 0xFFFF;
}

// Makes the folders of a stored path under the destination and returns the
// file's path. Never follows a symbolic link out of the destination.
fs::path prepare_target(const fs::path& dest, const StoredPath& sp) {
  fs::path at = dest;
  const size_t folders = sp.directory ? sp.components.size() : sp.components.size() - 1;
  for (size_t i = 0; i < folders; ++i) {
    at /= path_from_utf8(sp.components[i]);
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(at, ec);
    if (fs::is_symlink(st))
      throw ToolError("folder " + path_text(at) + " is a symbolic link; not writing through it");
    if (fs::exists(st)) {
      if (!fs::is_directory(st)) throw ToolError(path_text(at) + " exists and is not a folder");
      continue;
    }
    if (!fs::create_directory(at, ec) && !fs::is_directory(at))
      throw ToolError("cannot create folder " + path_text(at) + ": " + ec.message());
  }
  if (sp.directory) return at;
  at /= path_from_utf8(sp.components.back());
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(at, ec);
  if (fs::is_directory(st)) throw ToolError(path_text(at) + " exists and is a folder");
  if (fs::exists(st) || fs::is_symlink(st)) {
    // Replace it, read-only or a link, rather than write into or through it.
    fs::permissions(at, fs::perms::owner_write, fs::perm_options::add | fs::perm_options::nofollow,
                    ec);
    if (!fs::remove(at, ec))
      throw ToolError("cannot replace " + path_text(at) + ": " + ec.message());
  }
  return at;
}

int32_t begin_file(Walk& w, CabNotification* r) {
  const CabinetInfo& cab = w.archive->chain[w.cabinet];
  const std::string name = display_name(r, w.options->codepage);
  if (w.mode == Mode::List) {
    w.listed.push_back({name, r->size, r->date, r->time, r->attribs, folder_number(cab, r->folder),
                        folder_type(cab, r->folder)});
    return 0;
  }
  w.display = name;
  w.size = r->size;
  if (w.mode == Mode::Verify) {
    auto slot = std::make_unique<Slot>();
    slot->output = slot->discard = true;
    w.handle = add_slot(std::move(slot));
    return w.handle;
  }
  std::string utf8;
  if (!decode_stored_name(r->text1, r->attribs, w.options->codepage, utf8)) {
    w.problems.push_back("refusing '" + name + "': not valid " +
                         ((r->attribs & 0x80) ? std::string("UTF-8")
                                              : "code page " + std::to_string(codepage_number(
                                                                   w.options->codepage))));
    return 0;
  }
  StoredPath sp;
  const std::string why = split_stored_name(utf8, sp);
  if (!why.empty()) {
    w.problems.push_back("refusing '" + name + "': the name " + why);
    return 0;
  }
  if (sp.directory && r->size != 0) {
    w.problems.push_back("refusing '" + name + "': a folder entry that carries data");
    return 0;
  }
  try {
    w.target = prepare_target(w.options->dest, sp);
  } catch (const ToolError& e) {
    w.problems.push_back("'" + name + "': " + e.what());
    return 0;
  }
  if (sp.directory) {
    if (w.options->verbose) std::printf("  created %s\n", name.c_str());
    return 0;
  }
  auto slot = std::make_unique<Slot>();
  slot->output = true;
  slot->file = open_file(w.target, "wb");
  if (!slot->file) {
    w.problems.push_back("'" + name + "': cannot create " + path_text(w.target));
    return 0;
  }
  w.handle = add_slot(std::move(slot));
  return w.handle;
}

int32_t end_file(Walk& w, CabNotification* r) {
  Slot* s = slot_of(r->handle);
  const uint64_t written = s ? s->written : 0;
  const bool closed = close_slot(r->handle);
  w.handle = -1;
  if (!closed || written != w.size) {
    w.problems.push_back(
        "'" + w.display + "': " +
        (closed ? "wrote " + std::to_string(written) + " of " + std::to_string(w.size) + " bytes"
                : std::string("could not be written completely")));
    if (w.mode == Mode::Extract) {
      std::error_code ec;
      fs::remove(w.target, ec);
    }
    return 1;
  }
  if (w.mode == Mode::Extract) {
    std::time_t t;
    if (dos_to_time(r->date, r->time, t)) set_file_mtime(w.target, t);
    if (!apply_attributes(w.target, r->attribs))
      w.problems.push_back("'" + w.display + "': cannot set its attributes");
    if (w.options->verbose) std::printf("  %s\n", w.display.c_str());
  }
  ++w.files_done;
  return 1;
}

int32_t dispatch(Walk& w, int32_t kind, CabNotification* r) {
  switch (kind) {
    case CAB_NOTIFY_CABINET_OPENED:
      if (w.opened++ > 0) ++w.cabinet;
      return 0;
    case CAB_NOTIFY_FILE_BEGIN:
      return begin_file(w, r);
    case CAB_NOTIFY_FILE_END:
      return end_file(w, r);
    case CAB_NOTIFY_NEED_CABINET:
      if (r->lastError != 0) {
        std::string next;
        if (!codepage_to_utf8(r->text1, w.options->codepage, next)) next = escape_bytes(r->text1);
        w.abort_reason = "cannot go on into cabinet '" + next + "': " + CabErrorText(r->lastError);
        return -1;
      }
      return 0;
    default:
      return 0;
  }
}

// Nothing may be thrown through the library: an exception becomes an abort.
int32_t notify(int32_t kind, CabNotification* r) {
  Walk& w = *reinterpret_cast<Walk*>(r->user);
  try {
    return dispatch(w, kind, r);
  } catch (const std::exception& e) {
    w.abort_reason = e.what();
    return -1;
  }
}

// One walk per cabinet of the set: a walk follows its files into the next
// cabinets by itself, and a walk that starts in a later cabinet passes over
// the files continued from before and takes the folders that begin there.
Walk run_walks(Mode mode, const Archive& archive, const Options& options, ProgressBar* progress) {
  Walk w;
  w.mode = mode;
  w.archive = &archive;
  w.options = &options;
  g_archive = &archive;
  g_progress = progress;
  g_bytes_out = 0;
  CabErrorRecord error{};
  CabDecoder* context = CabDecoderCreate(io_alloc, io_free, io_open, io_read, io_write, io_close,
                                         io_seek, -1, &error);
  if (!context)
    throw ToolError(std::string("cannot set up the cabinet library: ") + CabErrorText(error.code));
  std::string failure;
  for (size_t k = 0; k < archive.chain.size() && failure.empty(); ++k) {
    w.cabinet = k;
    w.opened = 0;
    if (CabDecoderExtract(context, archive.chain[k].name.c_str(), "", 0, notify, nullptr,
                          reinterpret_cast<intptr_t>(&w)) != 1) {
      std::string where =
          k == 0 ? path_text(archive.file) : path_text(archive.chain[w.cabinet].path);
      failure =
          where + ": " + CabErrorText(error.code) + " (error " + std::to_string(error.code) + ")";
      if (!w.abort_reason.empty()) failure += ": " + w.abort_reason;
      if (w.handle != -1) {
        // The library closed the file it was writing; a partial file is no
        // use to anyone.
        failure += "; '" + w.display + "' is incomplete";
        if (mode == Mode::Extract) {
          std::error_code ec;
          fs::remove(w.target, ec);
        }
        w.handle = -1;
      }
    }
  }
  CabDecoderDestroy(context);
  g_slots.clear();
  g_archive = nullptr;
  g_progress = nullptr;
  if (!failure.empty()) throw ToolError(failure);
  return w;
}

std::string method_name(uint16_t type) {
  if (type == 0xFFFF) return "?";
  const int bits = (type >> 8) & 0x1F;
  switch (type & 0xF) {
    case 0:
      return "none";
    case 1:
      return "MSZIP";
    case 2:
      return "Quantum:" + std::to_string(bits);
    case 3:
      return "LZX:" + std::to_string(bits);
    default:
      return "type " + std::to_string(type & 0xF);
  }
}

std::string attrib_text(uint16_t a) {
  std::string s = "-------";
  if (a & 0x01) s[0] = 'R';
  if (a & 0x02) s[1] = 'H';
  if (a & 0x04) s[2] = 'S';
  if (a & 0x10) s[3] = 'D';
  if (a & 0x20) s[4] = 'A';
  if (a & 0x40) s[5] = 'X';
  if (a & 0x80) s[6] = 'U';
  return s;
}

std::string header_text(const char* field, size_t width, CodePage page) {
  const std::string bytes(field, strnlen(field, width));
  std::string utf8;
  return codepage_to_utf8(bytes, page, utf8) ? utf8 : escape_bytes(bytes);
}

void print_package_header(const Archive& a, CodePage page) {
  const PackageHeader& h = a.header;
  std::printf("Package header at %" PRIu32 ": mode '%c'\n", a.image_end,
              h.mode >= 0x20 && h.mode < 0x7F ? h.mode : '?');
  std::printf("  destination: \"%s\"\n",
              header_text(h.destination, sizeof h.destination, page).c_str());
  std::printf("  setup: \"%s\"\n", header_text(h.setup_file, sizeof h.setup_file, page).c_str());
  std::printf("  no-confirm %d, open-folder %d, delete-after-setup %d, no-dialog %d, crc %08" PRIX32
              "\n",
              int(h.no_confirm), int(h.open_folder), int(h.delete_after_setup),
              int(h.no_destination_dialog), h.crc);
  std::printf("  prompt: \"%s\" / \"%s\"\n",
              header_text(h.prompt_title, sizeof h.prompt_title, page).c_str(),
              header_text(h.prompt_text, sizeof h.prompt_text, page).c_str());
}

uint64_t total_size(const std::vector<ListedFile>& files) {
  uint64_t total = 0;
  for (const auto& f : files) total += f.size;
  return total;
}

// Checks every data block's checksum by reading the folders directly, blocks
// that no file reaches included. Returns the problems found.
std::vector<std::string> scan_blocks(const Archive& a, unsigned& unchecked, uint64_t& blocks) {
  std::vector<std::string> problems;
  for (const CabinetInfo& cab : a.chain) {
    FilePtr f = open_file(cab.path, "rb");
    if (!f) {
      problems.push_back("cannot open " + path_text(cab.path));
      continue;
    }
    std::vector<uint8_t> header(8 + cab.data_reserve), data;
    for (size_t i = 0; i < cab.folders.size(); ++i) {
      const FolderInfo& folder = cab.folders[i];
      const std::string where = path_text(cab.path) + " folder " + std::to_string(i);
      if (!seek_file(f.get(), cab.offset + folder.coff_cab_start)) {
        problems.push_back(where + ": data out of reach");
        continue;
      }
      const uint32_t capacity = cab_block_capacity(folder.type);
      for (unsigned b = 0; b < folder.blocks; ++b) {
        if (!read_exact(f.get(), header.data(), header.size())) {
          problems.push_back(where + " block " + std::to_string(b) + ": cut short");
          break;
        }
        const uint32_t csum = le32(header.data());
        const uint16_t cb_data = le16(header.data() + 4), cb_uncomp = le16(header.data() + 6);
        data.resize(cb_data);
        if (!read_exact(f.get(), data.data(), data.size())) {
          problems.push_back(where + " block " + std::to_string(b) + ": cut short");
          break;
        }
        ++blocks;
        if (cb_uncomp > 32768 || (capacity && cb_data > capacity))
          problems.push_back(where + " block " + std::to_string(b) + ": sizes out of range");
        if (csum == 0) {
          ++unchecked;
          continue;
        }
        uint32_t sum = cab_data_checksum(data.data(), data.size(), 0);
        sum = cab_data_checksum(header.data() + 4, header.size() - 4, sum);
        if (sum != csum)
          problems.push_back(where + " block " + std::to_string(b) + ": checksum mismatch");
      }
    }
  }
  return problems;
}

uint32_t crc_of_region(const fs::path& file, uint64_t start) {
  FilePtr f = open_file(file, "rb");
  if (!f || !seek_file(f.get(), int64_t(start))) throw ToolError("cannot read " + path_text(file));
  std::vector<uint8_t> buffer(1 << 16);
  uint32_t crc = 0;
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), f.get())) > 0)
    crc = crc32_of(buffer.data(), n, crc);
  if (std::ferror(f.get())) throw ToolError("read error in " + path_text(file));
  return crc;
}

}  // namespace

int command_list(const Args& args) {
  const Options o = parse_options(args, false, "list");
  const Archive a = open_archive(o.file, o.codepage);
  std::printf("Archive: %s\n", path_text(o.file).c_str());
  if (a.package) print_package_header(a, o.codepage);
  for (const CabinetInfo& cab : a.chain) {
    std::printf("Cabinet %s at %" PRId64 ": set %u, index %u, %zu folder(s), %u file record(s)\n",
                path_text(cab.path.filename()).c_str(), cab.offset, unsigned(cab.set_id),
                unsigned(cab.index), cab.folders.size(), unsigned(cab.file_count));
  }
  const Walk w = run_walks(Mode::List, a, o, nullptr);
  std::printf("%12s  %-19s  %-7s  %6s  %-10s  %s\n", "Size", "Modified", "Attr", "Folder", "Method",
              "Name");
  for (const ListedFile& f : w.listed) {
    char when[32];
    std::snprintf(when, sizeof when, "%04u-%02u-%02u %02u:%02u:%02u", 1980u + (f.date >> 9),
                  (f.date >> 5) & 15u, f.date & 31u, unsigned(f.time >> 11), (f.time >> 5) & 63u,
                  (f.time & 31u) * 2);
    std::printf("%12" PRIu32 "  %-19s  %-7s  %6u  %-10s  %s\n", f.size, when,
                attrib_text(f.attribs).c_str(), f.folder, method_name(f.type).c_str(),
                f.name.c_str());
  }
  std::printf("%zu file(s), %" PRIu64 " bytes\n", w.listed.size(), total_size(w.listed));
  return 0;
}

int command_verify(const Args& args) {
  const Options o = parse_options(args, false, "verify");
  const Archive a = open_archive(o.file, o.codepage);
  std::vector<std::string> problems;
  if (a.package && a.header.crc != 0) {
    const uint32_t crc = crc_of_region(a.file, uint64_t(a.image_end) + PACKAGE_HEADER_SIZE);
    if (crc != a.header.crc) {
      char text[120];
      std::snprintf(text, sizeof text,
                    "CRC-32 of the cabinet region is %08" PRIX32 ", the header says %08" PRIX32,
                    crc, a.header.crc);
      problems.push_back(text);
    } else {
      std::printf("CRC-32 of the cabinet region: %08" PRIX32 ", as the header says\n", crc);
    }
  }
  if (a.package) {
    // The module copies these fields as strings of the same width.
    const struct {
      const char* field;
      size_t width;
      const char* name;
    } texts[] = {{a.header.destination, sizeof a.header.destination, "destination"},
                 {a.header.setup_file, sizeof a.header.setup_file, "setup"},
                 {a.header.prompt_title, sizeof a.header.prompt_title, "prompt title"},
                 {a.header.prompt_text, sizeof a.header.prompt_text, "prompt text"}};
    for (const auto& t : texts)
      if (!std::memchr(t.field, 0, t.width))
        problems.push_back(std::string("the header's ") + t.name + " has no terminating NUL");
  }
  if (a.package && a.cabinet_offset != int64_t(a.image_end) + PACKAGE_HEADER_SIZE)
    problems.push_back("the cabinet does not follow the header block");
  unsigned unchecked = 0;
  uint64_t blocks = 0;
  for (std::string& p : scan_blocks(a, unchecked, blocks)) problems.push_back(std::move(p));
  const Walk listing = run_walks(Mode::List, a, o, nullptr);
  ProgressBar bar("verify", total_size(listing.listed));
  unsigned files_done = 0;
  try {
    const Walk w = run_walks(Mode::Verify, a, o, &bar);
    for (const std::string& p : w.problems) problems.push_back(p);
    files_done = w.files_done;
    if (w.files_done != listing.listed.size())
      problems.push_back("decoded " + std::to_string(w.files_done) + " of " +
                         std::to_string(listing.listed.size()) + " files");
  } catch (const ToolError& e) {
    problems.push_back(e.what());
  }
  bar.finish();
  if (unchecked) std::printf("note: %u data block(s) carry no checksum\n", unchecked);
  for (const std::string& p : problems)
    std::fprintf(stderr, "cabsfx-tool: verify: %s\n", p.c_str());
  if (!problems.empty()) return 1;
  std::printf("OK: %u file(s), %" PRIu64 " bytes, %" PRIu64 " data block(s) in %zu cabinet(s)\n",
              files_done, total_size(listing.listed), blocks, a.chain.size());
  return 0;
}

int command_extract(const Args& args) {
  const Options o = parse_options(args, true, "extract");
  const Archive a = open_archive(o.file, o.codepage);
  std::error_code ec;
  fs::create_directories(o.dest, ec);
  if (!fs::is_directory(o.dest, ec))
    throw ToolError("cannot create the destination " + path_text(o.dest));
  const Walk listing = run_walks(Mode::List, a, o, nullptr);
  ProgressBar bar("extract", total_size(listing.listed));
  const Walk w = run_walks(Mode::Extract, a, o, &bar);
  bar.finish();
  for (const std::string& p : w.problems)
    std::fprintf(stderr, "cabsfx-tool: extract: %s\n", p.c_str());
  std::printf("%u file(s) extracted to %s\n", w.files_done, path_text(o.dest).c_str());
  return w.problems.empty() ? 0 : 1;
}

// list, verify and extract: the cabinet is found inside the file as the
// module finds it, its set is followed through the cabinets named beside it,
// and the files are read through the cabinet library.
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "cabinet/cab.h"
#include "output_tree.h"
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
  std::vector<uint8_t> header_reserve_bytes;
  std::vector<FolderInfo> folders;
  std::string prev_name, next_name;
  bool folder0_continued = false;
  unsigned begun = 0;        // file records that begin here (not continued from before)
  unsigned folder_base = 0;  // number of its folder 0 across the set
};

struct Archive {
  fs::path file;
  uint64_t file_size = 0;
  int64_t cabinet_offset = -1;
  bool package = false;
  uint32_t image_end = 0;
  PackageHeader header{};
  // The certificate table of a signed file (the PE security directory).
  bool signed_file = false;
  uint32_t certificates_at = 0, certificates_size = 0;
  uint64_t crc_end = 0;  // where the package CRC stops, as the module reads it
  std::vector<CabinetInfo> chain;
  CodePage codepage = CodePage::Western1252;
  bool codepage_recorded = false;
};

enum class Existing { REFUSE, OVERWRITE, SKIP, NEWER };

struct Options {
  fs::path file;
  fs::path dest = ".";
  bool codepage_given = false;
  CodePage codepage = CodePage::Western1252;
  std::vector<std::string> patterns;
  bool json = false, to_stdout = false;
  Existing existing = Existing::REFUSE;
};

Options parse_options(const Args& args, const char* command) {
  const bool extract = std::strcmp(command, "extract") == 0;
  Options o;
  bool have_file = false, dest_given = false;
  int policies = 0;
  ArgReader r(args, command);
  while (r.next()) {
    if (r.operand()) {
      if (!have_file)
        o.file = path_from_utf8(r.text());
      else
        o.patterns.push_back(r.text());
      have_file = true;
    } else if (r.is("codepage")) {
      const std::string v = r.value();
      if (!parse_codepage(v, o.codepage))
        throw UsageError("--codepage must be 1252 or 932, not '" + printable(v) + "'");
      o.codepage_given = true;
    } else if (std::strcmp(command, "list") == 0 && r.is("json")) {
      o.json = true;
    } else if (extract && r.is("directory", "d")) {
      o.dest = path_from_utf8(r.value());
      dest_given = true;
    } else if (extract && r.is("stdout")) {
      o.to_stdout = true;
    } else if (extract && r.is("overwrite")) {
      o.existing = Existing::OVERWRITE, ++policies;
    } else if (extract && r.is("skip-existing")) {
      o.existing = Existing::SKIP, ++policies;
    } else if (extract && r.is("newer")) {
      o.existing = Existing::NEWER, ++policies;
    } else {
      r.unknown();
    }
  }
  if (!have_file) throw UsageError(std::string(command) + " needs an archive file");
  if (policies > 1) throw UsageError("--overwrite, --skip-existing and --newer exclude each other");
  if (o.to_stdout && (dest_given || policies))
    throw UsageError(
        "--stdout writes no files; -d and the options for existing files do not apply");
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
  const std::string where = shown(cab.path);
  FilePtr f = open_file(cab.path, "rb");
  if (!f) throw ToolError("cannot open " + where + ": " + std::strerror(errno));
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
    cab.header_reserve_bytes.resize(cab.header_reserve);
    if (!read_exact(f.get(), cab.header_reserve_bytes.data(), cab.header_reserve))
      throw ToolError(where + ": cabinet header is cut short");
  }
  if (cab.flags & 0x0001) {
    cab.prev_name = read_cstring(f.get(), where);
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
    if ((le16(r + 8) & 0xFFFD) == 0xFFFD)
      cab.folder0_continued = true;
    else
      ++cab.begun;
    read_cstring(f.get(), where);
  }
}

// Reads what the module reads: where the image ends, the header block there,
// and the first cabinet signature in the file.
Archive open_archive(const Options& o) {
  const fs::path& file = o.file;
  Archive a;
  a.file = file;
  std::error_code ec;
  const fs::file_status st = fs::status(file, ec);
  if (!fs::exists(st)) throw ToolError(shown(file) + ": no such file");
  if (!fs::is_regular_file(st)) throw ToolError(shown(file) + ": not a file");
  a.file_size = fs::file_size(file, ec);
  FilePtr f = open_file(file, "rb");
  if (!f) throw ToolError("cannot open " + shown(file) + ": " + std::strerror(errno));
  std::vector<uint8_t> head(size_t(std::min<uint64_t>(a.file_size, 65536)));
  if (!read_exact(f.get(), head.data(), head.size()))
    throw ToolError("cannot read " + shown(file) + ": " + std::strerror(errno));
  const uint32_t image_end = image_end_from_headers(head.data(), head.size());
  const size_t span = std::min<size_t>(head.size(), PACKAGE_HEADER_SPAN);
  a.signed_file = pe_certificate_table(head.data(), span, a.certificates_at, a.certificates_size);
  if (image_end > 0 && uint64_t(image_end) + PACKAGE_HEADER_SIZE <= a.file_size &&
      seek_file(f.get(), image_end) && read_exact(f.get(), &a.header, sizeof a.header) &&
      package_header_recognised(&a.header, sizeof a.header)) {
    a.package = true;
    a.image_end = image_end;
    a.crc_end =
        package_crc_end(head.data(), span, uint64_t(image_end) + PACKAGE_HEADER_SIZE, a.file_size);
  }
  // A package's cabinet lies behind its header block, whose texts may hold the
  // signature too (as the module searches); anything else from its first byte.
  const uint64_t search_start = a.package ? uint64_t(a.image_end) + PACKAGE_HEADER_SIZE : 0;
  if (!seek_file(f.get(), search_start)) throw ToolError("cannot read " + shown(file));
  const int32_t found = find_cabinet_signature(
      [](void* source, uint8_t* buffer, uint32_t count) -> int32_t {
        const size_t n = std::fread(buffer, 1, count, static_cast<std::FILE*>(source));
        return n == 0 && std::ferror(static_cast<std::FILE*>(source)) ? -1 : int32_t(n);
      },
      f.get());
  if (found < 0) throw ToolError(shown(file) + ": no cabinet found in the file");
  a.cabinet_offset = int64_t(search_start) + found;
  f.reset();

  CabinetInfo first;
  // A short token that no following cabinet can be named (control character),
  // and that keeps within the library's name buffer whatever the file's name.
  first.name = "\x01first";
  first.path = file;
  first.offset = a.cabinet_offset;
  parse_cabinet(first);
  a.codepage_recorded = codepage_from_record(first.header_reserve_bytes.data(),
                                             first.header_reserve_bytes.size(), a.codepage);
  if (o.codepage_given) a.codepage = o.codepage;
  const CodePage codepage = a.codepage;
  a.chain.push_back(std::move(first));
  std::set<std::string> names;
  while (a.chain.back().flags & 0x0002) {
    const CabinetInfo& prev = a.chain.back();
    std::string utf8;
    if (!codepage_to_utf8(prev.next_name, codepage, utf8) || !check_name_component(utf8).empty())
      throw ToolError(shown(prev.path) + ": its next cabinet '" + escape_bytes(prev.next_name) +
                      "' is not a plain file name");
    if (!names.insert(prev.next_name).second || a.chain.size() >= 0xFFFF)
      throw ToolError(shown(prev.path) + ": the cabinet set loops back to '" + printable(utf8) +
                      "'");
    CabinetInfo next;
    next.name = prev.next_name;
    next.path = file.parent_path() / path_from_utf8(utf8);
    if (!fs::exists(next.path, ec))
      throw ToolError("next cabinet '" + printable(utf8) + "' of the set is missing beside " +
                      shown(file));
    parse_cabinet(next);
    if (next.set_id != prev.set_id || next.index != prev.index + 1)
      throw ToolError(shown(next.path) + " does not continue the set (set " +
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
  FilePtr file;                     // a cabinet being read
  std::unique_ptr<OutputFile> out;  // a file being extracted
  int64_t base = 0;
  bool output = false;
  bool discard = false;  // verify: counted only
  bool failed = false;
  std::string error;  // why, when failed
  uint64_t written = 0;
};

std::vector<std::unique_ptr<Slot>> g_slots;  // handle = index + 1
const Archive* g_archive = nullptr;
ProgressBar* g_progress = nullptr;
uint64_t g_bytes_out = 0;
std::string g_write_error;  // the last failed write's reason, for the library's abort

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
  if (s->out) {
    if (!s->out->write(buffer, count)) {
      n = 0;
      s->failed = true;
      s->error = g_write_error = s->out->error();
    }
  } else if (!s->discard) {
    n = std::fwrite(buffer, 1, count, stdout);
    if (n != count) {
      s->failed = true;
      s->error = g_write_error =
          std::string("cannot write to standard output: ") + std::strerror(errno);
    }
  }
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

// An entry of an empty folder: no bytes, its name ending in a backslash.
bool is_folder_entry(const std::string& name, uint32_t size) {
  return size == 0 && !name.empty() && name.back() == '\\';
}

struct ListedFile {
  std::string name;  // printable: decoded and escaped, or the bytes escaped
  std::string utf8;  // decoded, empty when it cannot be
  bool decoded;
  bool selected;
  uint32_t size;
  uint16_t date, time, attribs;
  unsigned folder;  // across the set
  uint16_t type;
  bool folder_entry() const { return is_folder_entry(name, size); }
};

struct Walk {
  Mode mode = Mode::List;
  const Archive* archive = nullptr;
  const Options* options = nullptr;
  OutputTree* tree = nullptr;  // extract to files
  size_t cabinet = 0;          // chain index of the cabinet the library is in
  int opened = 0;
  // Folders (across the set) that files were begun in, and those that later
  // walks pass over because damage ended a walk after they were begun.
  std::set<unsigned> begun_folders, closed_folders;
  // Selected files whose turn came, whatever became of them: the others are
  // those that damage kept the walks from.
  std::multiset<std::pair<unsigned, std::string>> reached;
  std::vector<ListedFile> listed;
  std::vector<bool> pattern_used;
  std::vector<std::string> problems;  // refused names and failed files
  std::string abort_reason;
  // The file being written.
  int32_t handle = -1;
  std::string display;
  bool replacing = false;  // it is to take the name of an existing file
  // Paths written by this run (as the file system compares them), so that a
  // name the cabinet lists twice does not replace the file written first.
  std::set<std::string> written;
  // The files themselves, where the system tells their identity: a name the
  // file system takes for one of them (another case where case is ignored, a
  // folder mounted twice) is no new file.
  std::map<FileIdentity, std::string> written_files;  // to the name written
  std::string path_key;
  uint32_t size = 0;
  bool folder_entry = false;  // the entry being decoded names an empty folder
  unsigned files_done = 0, folders_done = 0, kept = 0;
};

std::string display_name(const CabNotification* r, CodePage page, bool& decoded) {
  std::string utf8;
  decoded = decode_stored_name(r->text1, r->attribs, page, utf8);
  return decoded ? printable(utf8) : escape_bytes(r->text1);
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

bool selected(Walk& w, const std::string& utf8) {
  if (w.options->patterns.empty()) return true;
  bool any = false;
  for (size_t i = 0; i < w.options->patterns.size(); ++i) {
    if (name_matches(w.options->patterns[i], utf8)) {
      w.pattern_used[i] = true;
      any = true;
    }
  }
  return any;
}

uint32_t packed_dos(std::time_t t) {
  uint16_t date, time;
  time_to_dos(t, date, time);
  return uint32_t(date) << 16 | time;
}

// Settles an existing entry at the file's name: true to write (replacing it
// when `replace` is set), false to leave it.
bool settle_existing(Walk& w, const ExistingEntry& e, const CabNotification* r,
                     const std::string& name, bool& replace) {
  replace = false;
  if (e.kind == ExistingEntry::MISSING) return true;
  if (e.kind == ExistingEntry::FOLDER) {
    w.problems.push_back("'" + name + "': a folder of that name exists");
    return false;
  }
  switch (w.options->existing) {
    case Existing::REFUSE:
      w.problems.push_back("'" + name + "': appeared while extracting; not replaced");
      return false;
    case Existing::SKIP:
      ++w.kept;
      return false;
    case Existing::NEWER:
      // The module's rule: replace only what is older, as packed DOS stamps.
      if (packed_dos(e.modified) >= (uint32_t(r->date) << 16 | r->time)) {
        ++w.kept;
        return false;
      }
      break;
    case Existing::OVERWRITE:
      break;
  }
  if (e.kind == ExistingEntry::SPECIAL) {  // as /dev/null: never replaced by a file
    w.problems.push_back("'" + name + "': a device, pipe or socket of that name exists");
    return false;
  }
  replace = true;
  return true;
}

std::string written_key(const StoredPath& sp) {
  std::string key;
  for (const std::string& part : sp.components) key += part + '\\';
#ifdef _WIN32
  return fold_case(key);
#else
  return key;
#endif
}

// Why extracting refuses a stored name, or "" when it writes the file;
// `sp` gets the name's parts.
std::string refusal(bool decoded, const std::string& utf8, uint16_t attribs, uint32_t size,
                    CodePage page, StoredPath& sp) {
  if (!decoded)
    return (attribs & 0x80) ? std::string("not valid UTF-8")
                            : "not valid code page " + std::to_string(codepage_number(page));
  if (const std::string why = split_stored_name(utf8, sp); !why.empty()) return "the name " + why;
  if (sp.directory && size != 0) return "a folder entry that carries data";
  return "";
}

int32_t begin_file(Walk& w, CabNotification* r) {
  const CabinetInfo& cab = w.archive->chain[w.cabinet];
  const CodePage page = w.archive->codepage;
  bool decoded;
  const std::string name = display_name(r, page, decoded);
  std::string utf8;
  if (decoded) decode_stored_name(r->text1, r->attribs, page, utf8);
  const bool chosen = selected(w, decoded ? utf8 : name);
  const unsigned folder = folder_number(cab, r->folder);
  if (w.mode == Mode::List) {
    w.listed.push_back({name, utf8, decoded, chosen, r->size, r->date, r->time, r->attribs, folder,
                        folder_type(cab, r->folder)});
    return 0;
  }
  if (w.closed_folders.count(folder)) return 0;
  w.begun_folders.insert(folder);
  if (!chosen) return 0;
  w.reached.emplace(folder, name);
  w.display = name;
  w.size = r->size;
  w.replacing = false;
  w.folder_entry = is_folder_entry(name, r->size);
  if (w.mode == Mode::Verify) {
    auto slot = std::make_unique<Slot>();
    slot->output = slot->discard = true;
    w.handle = add_slot(std::move(slot));
    return w.handle;
  }
  StoredPath sp;
  if (const std::string why = refusal(decoded, utf8, r->attribs, r->size, page, sp); !why.empty()) {
    w.problems.push_back("refusing '" + name + "': " + why);
    return 0;
  }
  auto slot = std::make_unique<Slot>();
  slot->output = true;
  if (w.tree) {
    try {
      if (sp.directory) {
        w.tree->enter(sp.components, true);
        ++w.folders_done;
        if (g_verbosity > 1) std::printf("  created %s\n", name.c_str());
        return 0;
      }
      w.path_key = written_key(sp);
      if (w.written.count(w.path_key)) {
        w.problems.push_back("'" + name + "': the cabinet lists this name again; the file " +
                             "written first is kept");
        return 0;
      }
      const std::string leaf = sp.components.back();
      sp.components.pop_back();
      w.tree->enter(sp.components, true);
      const ExistingEntry existing = w.tree->existing(leaf);
      if (const auto it = w.written_files.find(existing.identity);
          existing.kind == ExistingEntry::FILE && it != w.written_files.end()) {
        w.problems.push_back("'" + name + "': the file system takes it for '" + it->second +
                             "', written before; the file written first is kept");
        return 0;
      }
      bool replace;
      if (!settle_existing(w, existing, r, name, replace)) return 0;
      slot->out = w.tree->create(leaf, replace);
      w.replacing = replace;
    } catch (const FileExists&) {
      w.problems.push_back("'" + name + "': appeared while extracting; not replaced");
      return 0;
    } catch (const ToolError& e) {
      w.problems.push_back("'" + name + "': " + e.what());
      return 0;
    }
  } else if (sp.directory) {
    ++w.folders_done;
    return 0;
  }
  w.handle = add_slot(std::move(slot));
  return w.handle;
}

// A file that failed was written beside the one it was to replace.
const char* kept_note(const Walk& w) {
  return w.replacing ? "; the existing file is kept as it was" : "";
}

int32_t end_file(Walk& w, CabNotification* r) {
  Slot* s = slot_of(r->handle);
  const uint64_t written = s ? s->written : 0;
  bool ok = s && !s->failed && written == w.size;
  std::string failure = s ? s->error : std::string();
  if (ok && s->out) {
    std::time_t t;
    if (!dos_to_time(r->date, r->time, t)) t = std::time(nullptr);
    try {
      // A file number of 0 tells nothing (some network file systems give
      // it to every file).
      if (const FileIdentity id = s->out->finish(t, r->attribs); id.second != 0)
        w.written_files.emplace(id, w.display);
    } catch (const FileExists&) {
      ok = false;
      failure = "appeared while extracting; not replaced";
    } catch (const ToolError& e) {
      ok = false;
      failure = e.what();
    }
  }
  close_slot(r->handle);  // an unfinished output file is removed with its slot
  w.handle = -1;
  if (!ok) {
    if (failure.empty())
      failure = written == w.size ? std::string("could not be written")
                                  : "wrote " + std::to_string(written) + " of " +
                                        std::to_string(w.size) + " bytes";
    w.problems.push_back("'" + w.display + "': " + failure + kept_note(w));
    return 1;
  }
  if (g_verbosity > 1)  // with --stdout the names go to stderr, away from the bytes
    std::fprintf(w.tree || w.mode == Mode::Verify ? stdout : stderr, "  %s\n", w.display.c_str());
  if (w.tree) w.written.insert(w.path_key);
  ++(w.folder_entry ? w.folders_done : w.files_done);  // only verify decodes folder entries
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
        if (!codepage_to_utf8(r->text1, w.archive->codepage, next)) next = escape_bytes(r->text1);
        w.abort_reason =
            "cannot go on into cabinet '" + printable(next) + "': " + CabErrorText(r->lastError);
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
// Damaged data ends a walk, not the run: when verifying or extracting to
// files, the failure becomes a problem and the next walk starts again in the
// cabinet where the damage was, passing over every folder begun so far (the
// damaged one among them), since the folders after it do not depend on it.
// Damage that no file was begun in moves on to the next cabinet. Anything
// else (an abort, a write failure, damage in a listing or on standard
// output) ends the run, and so does damage in MAX_DAMAGED_FOLDERS folders:
// each walk reads its cabinet's file list again, and the work must stay
// bounded by the archive's size.
// A failure that ends the run is thrown; with `stopped` given, the walk so far
// goes there first, so that what it reached and the problems it met before
// are still reported.
Walk run_walks(Mode mode, const Archive& archive, const Options& options, ProgressBar* progress,
               OutputTree* tree = nullptr, Walk* stopped = nullptr) {
  Walk w;
  w.mode = mode;
  w.archive = &archive;
  w.options = &options;
  w.tree = tree;
  w.pattern_used.assign(options.patterns.size(), false);
  g_archive = &archive;
  g_progress = progress;
  g_bytes_out = 0;
  g_write_error.clear();
  CabErrorRecord error{};
  CabDecoder* context = CabDecoderCreate(io_alloc, io_free, io_open, io_read, io_write, io_close,
                                         io_seek, -1, &error);
  if (!context)
    throw ToolError(std::string("cannot set up the cabinet library: ") + CabErrorText(error.code));
  constexpr int MAX_DAMAGED_FOLDERS = 64;
  int damaged = 0;
  std::string failure;
  for (size_t k = 0, next = 0; k < archive.chain.size() && failure.empty(); k = next) {
    next = k + 1;
    w.cabinet = k;
    w.opened = 0;
    if (CabDecoderExtract(context, archive.chain[k].name.c_str(), "", 0, notify, nullptr,
                          reinterpret_cast<intptr_t>(&w)) != 1) {
      const std::string where =
          w.cabinet == 0 ? shown(archive.file) : shown(archive.chain[w.cabinet].path);
      failure =
          where + ": " + CabErrorText(error.code) + " (error " + std::to_string(error.code) + ")";
      if (!w.abort_reason.empty()) failure += ": " + w.abort_reason;
      if (!g_write_error.empty()) failure += ": " + g_write_error;
      const bool in_a_file = w.handle != -1;
      if (in_a_file) {
        // The library closed the file it was writing, which removed it: a
        // partial file is no use to anyone. On standard output its bytes
        // cannot be taken back.
        if (w.tree)
          failure += "; the partly written '" + w.display + "' is removed" + kept_note(w);
        else if (mode == Mode::Extract)
          failure += "; the output ends with part of '" + w.display + "'";
        else
          failure += " in '" + w.display + "'";
        w.handle = -1;
      }
      const bool damage = error.code == CAB_ERR_DAMAGED || error.code == CAB_ERR_DECODER ||
                          error.code == CAB_ERR_COMPRESSION_TYPE;
      const bool files_apart = mode == Mode::Verify || w.tree;  // not one stream on stdout
      if (files_apart && damage && w.abort_reason.empty() && g_write_error.empty()) {
        w.problems.push_back(std::move(failure));
        failure.clear();
        if (++damaged == MAX_DAMAGED_FOLDERS) {
          w.problems.push_back(std::to_string(damaged) + " damaged folders: the rest is not tried");
          break;
        }
        w.closed_folders = w.begun_folders;
        next = in_a_file ? w.cabinet : w.cabinet + 1;
      }
    }
  }
  CabDecoderDestroy(context);
  g_slots.clear();
  g_archive = nullptr;
  g_progress = nullptr;
  if (!failure.empty()) {
    if (stopped) *stopped = std::move(w);
    throw ToolError(failure);
  }
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

struct BlockScan {
  std::vector<std::string> problems;
  unsigned unchecked = 0;
  uint64_t blocks = 0;
  std::vector<uint64_t> packed, folder_blocks;  // per folder across the set
  std::vector<uint16_t> types;                  // as its first record says
};

// Reads the folders' data blocks directly, blocks that no file reaches
// included: their packed sizes, and with `check` their checksums.
BlockScan scan_blocks(const Archive& a, bool check) {
  BlockScan scan;
  for (const CabinetInfo& cab : a.chain) {
    FilePtr f = open_file(cab.path, "rb");
    if (!f) {
      scan.problems.push_back("cannot open " + shown(cab.path) + ": " + std::strerror(errno));
      continue;
    }
    std::vector<uint8_t> header(8 + cab.data_reserve), data;
    // Without `check` the data is passed over, not read: a block reaching
    // past the file's end is found by its size.
    std::error_code size_error;
    const uint64_t file_end = fs::file_size(cab.path, size_error);
    for (size_t i = 0; i < cab.folders.size(); ++i) {
      const FolderInfo& folder = cab.folders[i];
      const size_t number = cab.folder_base + i;
      if (scan.packed.size() <= number) {
        scan.packed.resize(number + 1);
        scan.folder_blocks.resize(number + 1);
        scan.types.resize(number + 1, 0xFFFF);
        scan.types[number] = folder.type;
      }
      const std::string where = shown(cab.path) + " folder " + std::to_string(i);
      if (!seek_file(f.get(), cab.offset + folder.coff_cab_start)) {
        scan.problems.push_back(where + ": data out of reach");
        continue;
      }
      const uint32_t capacity = cab_block_capacity(folder.type);
      for (unsigned b = 0; b < folder.blocks; ++b) {
        if (!read_exact(f.get(), header.data(), header.size())) {
          scan.problems.push_back(where + " block " + std::to_string(b) + ": cut short");
          break;
        }
        const uint32_t csum = le32(header.data());
        const uint16_t cb_data = le16(header.data() + 4), cb_uncomp = le16(header.data() + 6);
        scan.packed[number] += cb_data;
        if (cb_uncomp != 0) ++scan.folder_blocks[number];  // a split block counts once
        data.resize(cb_data);
        const bool present = check ? read_exact(f.get(), data.data(), data.size())
                                   : seek_file(f.get(), tell_file(f.get()) + cb_data) &&
                                         (size_error || uint64_t(tell_file(f.get())) <= file_end);
        if (!present) {
          scan.problems.push_back(where + " block " + std::to_string(b) + ": cut short");
          break;
        }
        ++scan.blocks;
        if (cb_uncomp > 32768 || (capacity && cb_data > capacity))
          scan.problems.push_back(where + " block " + std::to_string(b) + ": sizes out of range");
        if (!check) continue;
        if (csum == 0) {
          ++scan.unchecked;
          continue;
        }
        uint32_t sum = CabChecksum(data.data(), uint32_t(data.size()), 0);
        sum = CabChecksum(header.data() + 4, uint32_t(header.size() - 4), sum);
        if (sum != csum)
          scan.problems.push_back(where + " block " + std::to_string(b) + ": checksum mismatch");
      }
    }
  }
  return scan;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", c);
      out += hex;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

std::string date_text(uint16_t date, uint16_t time, char between) {
  char when[32];
  std::snprintf(when, sizeof when, "%04u-%02u-%02u%c%02u:%02u:%02u", 1980u + (date >> 9),
                (date >> 5) & 15u, date & 31u, between, unsigned(time >> 11), (time >> 5) & 63u,
                (time & 31u) * 2);
  return when;
}

// A date that is none (month 0, 30 February) is null for scripts; the table shows it as stored.
std::string modified_json(uint16_t date, uint16_t time) {
  return valid_dos_time(date, time) ? "\"" + date_text(date, time, 'T') + "\"" : "null";
}

// Patterns that selected nothing are errors of the run.
void unmatched_patterns(const Walk& w, std::vector<std::string>& problems) {
  for (size_t i = 0; i < w.pattern_used.size(); ++i)
    if (!w.pattern_used[i])
      problems.push_back("no file matches '" + printable(w.options->patterns[i]) + "'");
}

// A cabinet opened in the middle of a set lists the files continued into it
// from the cabinets before, but only the set's first cabinet reaches them.
std::string continued_from_before(const Archive& a) {
  const CabinetInfo& first = a.chain.front();
  const unsigned continued = first.file_count - first.begun;
  if (!(first.flags & 0x0001) || continued == 0) return "";
  std::string prev;
  if (!codepage_to_utf8(first.prev_name, a.codepage, prev)) prev = escape_bytes(first.prev_name);
  return shown(first.path.filename()) + " continues the set from '" + printable(prev) +
         "': " + std::to_string(continued) +
         " file(s) begun in earlier cabinets are read only from the set's first cabinet";
}

// Every file the cabinets' records list must reach the walk: a file the
// library passed over is a loss, whatever else went right.
void check_all_reported(const Archive& a, const Walk& listing, std::vector<std::string>& problems) {
  size_t listed = 0;
  for (const CabinetInfo& cab : a.chain) listed += cab.begun;
  if (listing.listed.size() != listed)
    problems.push_back("the cabinets list " + std::to_string(listed) + " files; " +
                       std::to_string(listing.listed.size()) + " were reported while reading them");
  if (std::string continued = continued_from_before(a); !continued.empty())
    problems.push_back(continued);
}

// Replacing files never reaches the cabinets being read: a package named
// setup.exe that holds a setup.exe, extracted beside itself with --overwrite,
// would otherwise replace itself (and a set's later cabinet would be read
// after being replaced). Returns the first such name, as shown; with --newer
// only one that would replace the cabinet.
std::string lands_on_a_cabinet(const Archive& a, const Options& o, const Walk& listing) {
  std::error_code ec;
  // A cabinet is replaced under its own name or, given as a link, its target's.
  std::multimap<std::string, const CabinetInfo*> names;
  for (const CabinetInfo& cab : a.chain) {
    names.emplace(fold_case(path_text(cab.path.filename())), &cab);
    const fs::path real = fs::canonical(cab.path, ec);
    if (!ec && real.filename() != cab.path.filename())
      names.emplace(fold_case(path_text(real.filename())), &cab);
  }
  std::time_t modified = 0;
  for (const ListedFile& f : listing.listed) {
    StoredPath sp;
    if (!f.selected || f.folder_entry() || !split_stored_name(f.utf8, sp).empty()) continue;
    const auto [first, end] = names.equal_range(fold_case(sp.components.back()));
    for (auto it = first; it != end; ++it) {
      const fs::path& cabinet = it->second->path;
      if (o.existing == Existing::NEWER && get_file_mtime(cabinet, modified) &&
          packed_dos(modified) >= (uint32_t(f.date) << 16 | f.time))
        continue;
      fs::path target = o.dest;
      for (const std::string& part : sp.components) target /= path_from_utf8(part);
      // Only the cabinet's own folder entry is in danger: a link to it at the
      // target is replaced as a link.
      if (fs::equivalent(target, cabinet, ec) && !fs::is_symlink(target, ec)) return shown(target);
    }
  }
  return "";
}

// Names the cabinet lists more than once, compared as Windows compares them.
std::string repeated_names(const Walk& listing) {
  std::set<std::string> seen;
  std::vector<std::string> repeated;
  for (const ListedFile& f : listing.listed) {
    StoredPath sp;
    if (!f.selected || f.folder_entry() || !split_stored_name(f.utf8, sp).empty()) continue;
    if (!seen.insert(fold_case(written_key(sp))).second) repeated.push_back(f.name);
  }
  if (repeated.empty()) return "";
  return std::to_string(repeated.size()) + " file(s) repeat a name listed before (" +
         quoted_names(repeated, 3) +
         "): extracting keeps the first file of each name (on Windows, whatever its case)";
}

// The selected files that extracting refuses by their names: name, why.
std::vector<std::pair<std::string, std::string>> refused_files(const Walk& listing, CodePage page) {
  std::vector<std::pair<std::string, std::string>> refused;
  for (const ListedFile& f : listing.listed) {
    StoredPath sp;
    if (!f.selected) continue;
    if (std::string why = refusal(f.decoded, f.utf8, f.attribs, f.size, page, sp); !why.empty())
      refused.emplace_back(f.name, std::move(why));
  }
  return refused;
}

// The same, in one line.
std::string refused_names(const Walk& listing, CodePage page) {
  const auto refused = refused_files(listing, page);
  if (refused.empty()) return "";
  std::vector<std::string> names;
  for (const auto& [name, why] : refused) names.push_back(name);
  return std::to_string(names.size()) + " file(s) cannot be extracted under their names (" +
         quoted_names(names, 3) + "); '" + names[0] + "': " + refused[0].second;
}

size_t selected_count(const Walk& listing) {
  size_t n = 0;
  for (const ListedFile& f : listing.listed) n += f.selected;
  return n;
}

// Entries of empty folders among the selected (decoded as files of no bytes).
size_t selected_folders(const Walk& listing) {
  size_t n = 0;
  for (const ListedFile& f : listing.listed) n += f.selected && f.folder_entry();
  return n;
}

uint64_t selected_size(const Walk& listing) {
  uint64_t n = 0;
  for (const ListedFile& f : listing.listed)
    if (f.selected) n += f.size;
  return n;
}

// The selected files that no walk reached, named in one problem (all of
// them with -v): damage ends a folder, and the files after the damaged one
// are never begun, so no other message names them; a failure that stopped
// the run leaves the rest of the files behind it too.
void unreached_files(const Walk& listing, const Walk& w, bool stopped,
                     std::vector<std::string>& problems) {
  std::multiset<std::pair<unsigned, std::string>> reached = w.reached;
  std::vector<std::string> missing;
  size_t folders = 0;
  for (const ListedFile& f : listing.listed) {
    if (!f.selected) continue;
    const auto it = reached.find({f.folder, f.name});
    if (it != reached.end()) {
      reached.erase(it);
    } else {
      missing.push_back(f.name);
      folders += f.folder_entry();
    }
  }
  if (missing.empty()) return;
  constexpr size_t NAMED = 10;
  const size_t named = g_verbosity > 1 ? missing.size() : std::min(missing.size(), NAMED);
  std::string text = std::to_string(missing.size() - folders) + " file(s)" + and_folders(folders) +
                     (stopped ? " not reached: " : " after the damage not reached: ") +
                     quoted_names(missing, named);
  if (named < missing.size()) text += " (-v names them all)";
  problems.push_back(std::move(text));
}

int report(const char* command, const std::vector<std::string>& problems) {
  for (const std::string& p : problems)
    std::fprintf(stderr, "cabsfx-tool: %s: %s\n", command, p.c_str());
  return problems.empty() ? 0 : 1;
}

uint32_t crc_of_region(const fs::path& file, uint64_t start, uint64_t end) {
  FilePtr f = open_file(file, "rb");
  if (!f || !seek_file(f.get(), int64_t(start)))
    throw ToolError("cannot read " + shown(file) + ": " + std::strerror(errno));
  std::vector<uint8_t> buffer(1 << 16);
  uint32_t crc = 0;
  size_t n;
  for (uint64_t at = start; at < end; at += n) {
    n = std::fread(buffer.data(), 1, size_t(std::min<uint64_t>(buffer.size(), end - at)), f.get());
    if (n == 0) break;
    crc = uint32_t(::crc32(crc, buffer.data(), uInt(n)));
  }
  if (std::ferror(f.get()))
    throw ToolError("cannot read " + shown(file) + ": " + std::strerror(errno));
  return crc;
}

// A package's own check, which the self-extractor makes at start: empty when
// the header carries no CRC-32 or the cabinet region matches it.
std::string crc_mismatch(const Archive& a) {
  if (!a.package || a.header.crc == 0) return "";
  const uint32_t crc =
      crc_of_region(a.file, uint64_t(a.image_end) + PACKAGE_HEADER_SIZE, a.crc_end);
  if (crc == a.header.crc) return "";
  char text[120];
  std::snprintf(text, sizeof text,
                "CRC-32 of the cabinet region is %08" PRIX32 ", the header says %08" PRIX32, crc,
                a.header.crc);
  return text;
}

// What list and verify say about a signed file's certificate table.
std::string certificate_note(const Archive& a) {
  if (!a.signed_file) return "";
  const bool behind = a.package && a.crc_end == a.certificates_at;
  return "Certificate table: " + std::to_string(a.certificates_size) + " bytes at " +
         std::to_string(a.certificates_at) +
         (behind      ? " (signed; the CRC region ends there)"
          : a.package ? " (not behind the header block; the CRC region runs to the end)"
                      : "");
}

}  // namespace

int command_list(const Args& args) {
  const Options o = parse_options(args, "list");
  const Archive a = open_archive(o);
  const Walk w = run_walks(Mode::List, a, o, nullptr);
  std::vector<std::string> problems;
  unmatched_patterns(w, problems);
  // Block headers only, in every form of the listing: damage they show fails it.
  const BlockScan scan = scan_blocks(a, false);
  for (const std::string& p : scan.problems) problems.push_back(p);
  if (o.json) {
    for (const ListedFile& f : w.listed) {
      if (!f.selected) continue;
      std::printf("{\"name\": %s, \"name_decoded\": %s, \"folder_entry\": %s, \"size\": %" PRIu32
                  ", \"modified\": %s, \"attributes\": \"%s\", \"folder\": %u, \"method\": "
                  "%s}\n",
                  json_string(f.name).c_str(), f.decoded ? "true" : "false",
                  f.folder_entry() ? "true" : "false", f.size,
                  modified_json(f.date, f.time).c_str(), attrib_text(f.attribs).c_str(), f.folder,
                  json_string(method_name(f.type)).c_str());
    }
    return report("list", problems);
  }
  if (g_verbosity == 0) {
    for (const ListedFile& f : w.listed)
      if (f.selected) std::printf("%s\n", f.name.c_str());
    return report("list", problems);
  }
  std::printf("Archive: %s\n", shown(o.file).c_str());
  if (a.package) print_package_header(a, a.codepage);
  if (a.signed_file) std::printf("%s\n", certificate_note(a).c_str());
  for (const CabinetInfo& cab : a.chain) {
    std::printf("Cabinet %s at %" PRId64 ": set %u, index %u, %zu folder(s), %u file record(s)\n",
                shown(cab.path.filename()).c_str(), cab.offset, unsigned(cab.set_id),
                unsigned(cab.index), cab.folders.size(), unsigned(cab.file_count));
  }
  std::printf("Names: code page %d%s\n", codepage_number(a.codepage),
              o.codepage_given      ? " (as given)"
              : a.codepage_recorded ? " (recorded in the cabinet)"
                                    : " (none recorded; the default)");
  std::printf("%12s  %-19s  %-7s  %6s  %-10s  %s\n", "Size", "Modified", "Attr", "Folder", "Method",
              "Name");
  size_t files = 0, folder_entries = 0;
  uint64_t total = 0;
  std::vector<uint64_t> unpacked;
  std::vector<size_t> members;
  for (const ListedFile& f : w.listed) {
    if (unpacked.size() <= f.folder) {
      unpacked.resize(f.folder + 1);
      members.resize(f.folder + 1);
    }
    unpacked[f.folder] += f.size;
    members[f.folder] += !f.folder_entry();
    if (!f.selected) continue;
    std::printf("%12" PRIu32 "  %-19s  %-7s  %6u  %-10s  %s\n", f.size,
                date_text(f.date, f.time, ' ').c_str(), attrib_text(f.attribs).c_str(), f.folder,
                method_name(f.type).c_str(), f.name.c_str());
    if (f.folder_entry())
      ++folder_entries;
    else
      ++files;
    total += f.size;
  }
  // A set opened in its middle: its first folder began in an earlier
  // cabinet, so its packed bytes have no unpacked size here to compare.
  const std::string continued = continued_from_before(a);
  uint64_t packed = 0;
  std::printf("\n%6s  %-10s  %7s  %6s  %14s  %14s  %6s\n", "Folder", "Method", "Blocks", "Files",
              "Packed", "Unpacked", "Ratio");
  for (size_t i = 0; i < scan.packed.size(); ++i) {
    const uint64_t in = i < unpacked.size() ? unpacked[i] : 0;
    packed += scan.packed[i];
    char ratio[16] = "     -";
    if (i > 0 || continued.empty())
      std::snprintf(ratio, sizeof ratio, "%5.1f%%",
                    in ? 100.0 * double(scan.packed[i]) / double(in) : 0.0);
    std::printf("%6zu  %-10s  %7" PRIu64 "  %6zu  %14" PRIu64 "  %14" PRIu64 "  %s\n", i,
                method_name(scan.types[i]).c_str(), scan.folder_blocks[i],
                i < members.size() ? members[i] : 0, scan.packed[i], in, ratio);
  }
  const uint64_t all = total_size(w.listed);
  std::printf("%zu file(s), %" PRIu64 " bytes", files, total);
  if (folder_entries) std::printf(", %zu folder(s)", folder_entries);
  if (continued.empty())
    std::printf("; packed %" PRIu64 " bytes of %" PRIu64 " (%.1f%%)\n", packed, all,
                all ? 100.0 * double(packed) / double(all) : 0.0);
  else
    std::printf("; packed %" PRIu64 " bytes\nnote: %s\n", packed, continued.c_str());
  if (std::string repeated = repeated_names(w); !repeated.empty())
    std::printf("note: %s\n", repeated.c_str());
  if (std::string refused = refused_names(w, a.codepage); !refused.empty())
    std::printf("note: %s\n", refused.c_str());
  return report("list", problems);
}

int command_verify(const Args& args) {
  const Options o = parse_options(args, "verify");
  const Archive a = open_archive(o);
  std::vector<std::string> problems;
  if (a.signed_file && g_verbosity > 0) std::printf("%s\n", certificate_note(a).c_str());
  if (std::string mismatch = crc_mismatch(a); !mismatch.empty())
    problems.push_back(std::move(mismatch));
  else if (a.package && a.header.crc != 0 && g_verbosity > 0)
    std::printf("CRC-32 of the cabinet region: %08" PRIX32 ", as the header says\n", a.header.crc);
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
  BlockScan scan = scan_blocks(a, true);
  for (std::string& p : scan.problems) problems.push_back(std::move(p));
  const Walk listing = run_walks(Mode::List, a, o, nullptr);
  unmatched_patterns(listing, problems);
  check_all_reported(a, listing, problems);
  if (std::string refused = refused_names(listing, a.codepage); !refused.empty())
    problems.push_back(std::move(refused));
  if (std::string repeated = repeated_names(listing); !repeated.empty())
    problems.push_back(std::move(repeated));
  const size_t wanted = selected_count(listing);
  ProgressBar bar("verify", g_verbosity > 0 ? selected_size(listing) : 0);
  Walk w;
  std::string stop;
  try {
    w = run_walks(Mode::Verify, a, o, &bar, nullptr, &w);
  } catch (const ToolError& e) {
    stop = e.what();
  }
  bar.finish();
  for (const std::string& p : w.problems) problems.push_back(p);
  if (!stop.empty()) problems.push_back(stop);
  unreached_files(listing, w, !stop.empty(), problems);
  const size_t folders = selected_folders(listing);
  if (w.files_done + w.folders_done != wanted)
    problems.push_back("decoded " + std::to_string(w.files_done) + " of " +
                       std::to_string(wanted - folders) + " files");
  if (scan.unchecked && g_verbosity > 0)
    std::printf("note: %u data block(s) carry no checksum\n", scan.unchecked);
  if (report("verify", problems) != 0) return 1;
  if (g_verbosity > 0) {
    std::printf("OK: %u file(s)%s, %" PRIu64 " bytes, %" PRIu64
                " data block(s) in %zu cabinet(s)\n",
                w.files_done, and_folders(folders).c_str(), selected_size(listing), scan.blocks,
                a.chain.size());
  }
  return 0;
}

int command_extract(const Args& args) {
  const Options o = parse_options(args, "extract");
  const Archive a = open_archive(o);
  const Walk listing = run_walks(Mode::List, a, o, nullptr);
  std::vector<std::string> problems;
  // A mismatch is reported but does not stop the run: the blocks' checksums
  // still guard the data, and the self-extractor too extracts after its
  // warning (unless the package runs a setup).
  if (std::string mismatch = crc_mismatch(a); !mismatch.empty())
    problems.push_back(mismatch + "; the package was changed or damaged after packing");
  unmatched_patterns(listing, problems);
  check_all_reported(a, listing, problems);
  // Nothing to write and something wrong (names that select nothing or only
  // names it refuses, a set opened in its middle): no destination folder is
  // left behind.
  const auto refusals = refused_files(listing, a.codepage);
  if (refusals.size() == selected_count(listing) && !(problems.empty() && refusals.empty())) {
    for (const auto& [name, why] : refusals) problems.push_back("refusing '" + name + "': " + why);
    if (!refusals.empty())
      problems.push_back("wrote 0 of " + std::to_string(refusals.size()) + " files");
    report("extract", problems);
    return 1;
  }
  if (!o.to_stdout && (o.existing == Existing::OVERWRITE || o.existing == Existing::NEWER))
    if (std::string name = lands_on_a_cabinet(a, o, listing); !name.empty()) {
      report("extract", problems);
      throw ToolError("nothing extracted: " + name +
                      " is a cabinet being read; extract it elsewhere");
    }
  std::unique_ptr<OutputTree> tree;
  if (o.to_stdout) {
    binary_stdout();
  } else {
    tree = std::make_unique<OutputTree>(o.dest);
    if (o.existing == Existing::REFUSE) {
      // Nothing is written while anything is in the way.
      std::vector<std::string> in_the_way;
      for (const ListedFile& f : listing.listed) {
        if (!f.selected || !f.decoded || f.folder_entry()) continue;
        StoredPath sp;
        if (!split_stored_name(f.utf8, sp).empty()) continue;
        const std::string leaf = sp.components.back();
        sp.components.pop_back();
        try {
          if (tree->enter(sp.components, false) &&
              tree->existing(leaf).kind != ExistingEntry::MISSING)
            in_the_way.push_back(shown(tree->shown(leaf)));
        } catch (const ToolError&) {
          // Reported when the file's turn comes.
        }
      }
      if (!in_the_way.empty()) {
        for (const std::string& p : in_the_way)
          std::fprintf(stderr, "cabsfx-tool: extract: %s exists\n", p.c_str());
        report("extract", problems);
        throw ToolError("nothing extracted: " + std::to_string(in_the_way.size()) +
                        " file(s) exist; --overwrite replaces them, --skip-existing keeps them, "
                        "--newer replaces the older ones");
      }
    }
  }
  ProgressBar bar("extract", g_verbosity > 0 ? selected_size(listing) : 0);
  Walk w;
  std::string stop;
  try {
    w = run_walks(Mode::Extract, a, o, &bar, tree.get(), &w);
  } catch (const ToolError& e) {
    stop = e.what();
  }
  bar.finish();
  for (const std::string& p : w.problems) problems.push_back(p);
  if (!stop.empty()) problems.push_back(stop);
  const size_t wanted = selected_count(listing);
  const size_t done = w.files_done + w.folders_done + w.kept;
  unreached_files(listing, w, !stop.empty(), problems);
  if (done < wanted)
    problems.push_back("wrote " + std::to_string(w.files_done) + " of " +
                       std::to_string(wanted - selected_folders(listing)) + " files");
  if (g_verbosity > 0 && !o.to_stdout) {
    std::printf("%u file(s) extracted to %s", w.files_done, shown(o.dest).c_str());
    if (w.kept) std::printf(", %u existing file(s) kept", w.kept);
    std::printf("\n");
  }
  const int status = report("extract", problems);
  return status != 0 || done < wanted ? 1 : 0;
}

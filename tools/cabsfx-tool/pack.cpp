// pack: files and folders into a package (stub, header block, cabinet), a
// plain cabinet, or a cabinet set. Everything is written under temporary
// names and renamed into place only when complete.
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <random>

#include "brand.h"
#include "interrupt.h"
#include "package/package.h"
#include "tool.h"
#include "writer/cab_writer.h"
#include "writer/codepage.h"
#include "writer/encoders.h"
#include "writer/file_io.h"
#include "writer/stored_names.h"
#include "writer/threads.h"

namespace fs = std::filesystem;

namespace {

// Folders are cut at file boundaries once they hold this much; each is
// compressed on its own, so that several can be compressed at once. Costs
// lzx:21 about 0.1 % against one folder on a mixed tree (tests/bench/pack_jobs.sh).
constexpr uint64_t DEFAULT_FOLDER_SIZE = uint64_t(16) << 20;

struct PackOptions {
  fs::path out;
  fs::path stub;
  bool stub_given = false;
  std::string destination, setup, title, text;
  bool no_confirm = false, open_folder = true, delete_after = false, no_dialog = false;
  bool require_64bit = false, crc = false, cabinet_only = false;
  std::string compress = "mszip";
  CodePage codepage = CodePage::Western1252;
  uint64_t max_cabinet_size = 0;  // 0: no set
  bool skip_special = false;
  fs::path icon;
  std::vector<std::string> version_info;
  unsigned jobs = 0;  // 0: one per processor
  uint64_t folder_size = DEFAULT_FOLDER_SIZE;
  std::optional<std::time_t> epoch;  // SOURCE_DATE_EPOCH
  std::vector<fs::path> inputs;
};

uint64_t parse_size(const std::string& text, const std::string& option) {
  size_t used = 0;
  unsigned long long value = 0;
  try {
    if (text.empty() || text[0] < '0' || text[0] > '9') throw std::invalid_argument(text);
    value = std::stoull(text, &used, 10);
  } catch (const std::exception&) {
    throw UsageError(option + ": '" + printable(text) + "' is not a size");
  }
  const std::string suffix = text.substr(used);
  uint64_t unit = 1;
  if (suffix == "k" || suffix == "K")
    unit = 1024;
  else if (suffix == "m" || suffix == "M")
    unit = 1024 * 1024;
  else if (suffix == "g" || suffix == "G")
    unit = 1024 * 1024 * 1024;
  else if (!suffix.empty())
    throw UsageError(option + ": unknown unit '" + printable(suffix) + "'");
  if (value > UINT64_MAX / unit) throw UsageError(option + ": too large");
  return value * unit;
}

// SOURCE_DATE_EPOCH, the reproducible-builds convention: seconds since
// 1970-01-01 UTC; unset or empty means none.
std::optional<std::time_t> source_date_epoch() {
  const char* text = std::getenv("SOURCE_DATE_EPOCH");
  if (!text || !*text) return std::nullopt;
  const std::string value = text;
  if (value.size() > 12 || value.find_first_not_of("0123456789") != std::string::npos)
    throw ToolError(
        "SOURCE_DATE_EPOCH must be a whole number of seconds since 1970-01-01 UTC, "
        "not '" +
        printable(value) + "'");
  return std::time_t(std::stoll(value));
}

PackOptions parse_pack_options(const Args& args) {
  PackOptions o;
  ArgReader r(args, "pack");
  while (r.next()) {
    if (r.operand()) {
      o.inputs.push_back(path_from_utf8(r.text()));
    } else if (r.is("output", "o")) {
      o.out = path_from_utf8(r.value());
    } else if (r.is("stub")) {
      o.stub = path_from_utf8(r.value());
      o.stub_given = true;
    } else if (r.is("destination")) {
      o.destination = r.value();
    } else if (r.is("setup")) {
      o.setup = r.value();
    } else if (r.is("prompt-title")) {
      o.title = r.value();
    } else if (r.is("prompt-text")) {
      o.text = r.value();
    } else if (r.is("no-confirm")) {
      o.no_confirm = true;
    } else if (r.is("open-folder")) {
      o.open_folder = true;
    } else if (r.is("no-open-folder")) {
      o.open_folder = false;
    } else if (r.is("delete-after-setup")) {
      o.delete_after = true;
    } else if (r.is("no-dialog")) {
      o.no_dialog = true;
    } else if (r.is("require-64bit")) {
      o.require_64bit = true;
    } else if (r.is("crc")) {
      o.crc = true;
    } else if (r.is("compress")) {
      o.compress = r.value();
    } else if (r.is("codepage")) {
      const std::string v = r.value();
      if (!parse_codepage(v, o.codepage))
        throw UsageError("--codepage must be 1252 or 932, not '" + printable(v) + "'");
    } else if (r.is("cabinet-only")) {
      o.cabinet_only = true;
    } else if (r.is("max-cabinet-size")) {
      o.max_cabinet_size = parse_size(r.value(), "--max-cabinet-size");
    } else if (r.is("folder-size")) {
      o.folder_size = parse_size(r.value(), "--folder-size");
      if (o.folder_size < CAB_FRAME_SIZE)
        throw UsageError("--folder-size must be at least 32K, one data block");
    } else if (r.is("jobs", "j")) {
      const std::string v = r.value();
      if (v.empty() || v.size() > 3 || v.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(v) < 1 || std::stoi(v) > 64)
        throw UsageError("--jobs must be a number from 1 to 64, not '" + printable(v) + "'");
      o.jobs = unsigned(std::stoi(v));
    } else if (r.is("skip-special")) {
      o.skip_special = true;
    } else if (r.is("icon")) {
      o.icon = path_from_utf8(r.value());
    } else if (r.is("version-info")) {
      o.version_info.push_back(r.value());
    } else {
      r.unknown();
    }
  }
  if (o.out.empty()) throw UsageError("pack needs -o OUTPUT");
  if (o.inputs.empty()) throw UsageError("pack needs at least one file or folder to pack");
  if (o.cabinet_only && (o.stub_given || !o.destination.empty() || !o.setup.empty() ||
                         !o.title.empty() || !o.text.empty() || o.no_confirm || o.delete_after ||
                         o.no_dialog || o.require_64bit || o.crc))
    throw UsageError("--cabinet-only writes no header block; header options do not apply");
  if (o.cabinet_only && (!o.icon.empty() || !o.version_info.empty()))
    throw UsageError("--cabinet-only writes no stub; --icon and --version-info do not apply");
  return o;
}

// The encoder a --compress value asks for.
std::unique_ptr<BlockEncoder> make_encoder(const std::string& method_text) {
  const size_t colon = method_text.find(':');
  const std::string method = method_text.substr(0, colon);
  const bool has_value = colon != std::string::npos;
  int value = 0;
  if (has_value) {
    const std::string digits = method_text.substr(colon + 1);
    if (digits.empty() || digits.size() > 2 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      throw UsageError("--compress: '" + method_text + "' has no valid number after ':'");
    value = std::stoi(digits);
  }
  if (method == "none" && !has_value) return make_stored_encoder();
  if (method == "mszip") {
    const int level = has_value ? value : 6;
    if (level > 9) throw UsageError("--compress mszip: level must be 0 to 9");
    return make_mszip_encoder(level, Z_DEFAULT_STRATEGY);
  }
  if (method == "lzx") {
    LzxEncoderOptions options;
    options.window_bits = has_value ? value : 21;
    if (options.window_bits < 15 || options.window_bits > 21)
      throw UsageError("--compress lzx: window bits must be 15 to 21");
    auto encoder = make_lzx_encoder(options);
    if (!encoder) throw ToolError("LZX compression is not available in this build");
    return encoder;
  }
  if (method == "quantum") {
    QuantumEncoderOptions options;
    options.window_bits = has_value ? value : 21;
    if (options.window_bits < 10 || options.window_bits > 21)
      throw UsageError("--compress quantum: window bits must be 10 to 21");
    auto encoder = make_quantum_encoder(options);
    if (!encoder) throw ToolError("Quantum compression is not available in this build");
    return encoder;
  }
  throw UsageError("--compress must be none, mszip[:LEVEL], lzx:15..21 or quantum:10..21, not '" +
                   method_text + "'");
}

struct Item {
  std::string name;  // stored name in UTF-8, '\\' separators
  fs::path source;   // empty for a folder entry
  uint64_t size = 0;
  fs::file_time_type modified{};  // as the walk found it; checked again once read
  uint16_t date = 0, time = 0, attribs = 0x20;
};

std::string reason() {
  return std::strerror(errno);
}

// Largest uncompressed folder that one cabinet can hold.
constexpr uint64_t FOLDER_LIMIT = uint64_t(CAB_MAX_FOLDER_BLOCKS) * CAB_FRAME_SIZE;

// Walks the inputs. Every entry that cannot be packed is noted, so that one
// run reports them all; nothing is written when there is any.
class Collector {
 public:
  explicit Collector(const PackOptions& o) : o_(o) {
    out_dir_ = o.out.parent_path().empty() ? fs::path(".") : o.out.parent_path();
    out_base_ = fold_case(path_text(o.out.stem()));
    out_name_ = path_text(o.out.filename());
    out_folded_ = fold_case(out_name_);
    partial_prefix_ = out_name_ + ".partial-";
    std::error_code ec;
    out_exists_ = fs::exists(o.out, ec);
  }

  void run() {
    std::error_code ec;
    for (const fs::path& input : o_.inputs) {
      const fs::file_status st = fs::status(input, ec);
      if (ec || !fs::exists(st)) {
        errors_.push_back("input " + shown(input) +
                          (fs::exists(st) || ec.value() != ENOENT
                               ? ": " + ec.message()
                               : std::string(" does not exist")));
        continue;
      }
      if (own_output(input, is_out_dir(input.parent_path()), fs::is_symlink(input, ec))) {
        errors_.push_back("the output " + shown(o_.out) + " (or its set) is also an input " +
                          shown(input) + "; choose another output name");
        continue;
      }
      if (fs::is_directory(st)) {
        walk(input, fs::path());
      } else if (fs::is_regular_file(st)) {
        add_file(input, input.filename());
      } else {
        errors_.push_back("input " + shown(input) + " is neither a file nor a folder");
      }
    }
  }

  std::vector<Item> items;
  std::vector<std::string> errors_, notes_, warnings_;

 private:
  bool is_out_dir(const fs::path& dir) const {
    std::error_code ec;
    return fs::equivalent(dir.empty() ? fs::path(".") : dir, out_dir_, ec);
  }

  // This pack's output, a continuation cabinet of it, or its temporary file;
  // `in_out_dir` tells whether the path's folder is the output's (asked once
  // per folder: a walk of many files spent a good part of its time on it).
  // The output is the folder entry that the finished file is renamed onto: a
  // link elsewhere to it would pack the file it replaces, but another name of
  // that file (a hard link, or the file an output link points to) is an input
  // like any other, since renaming onto the entry leaves it as it is.
  bool own_output(const fs::path& path, bool in_out_dir, bool is_link) const {
    std::error_code ec;
    if (is_link && out_exists_ && fs::equivalent(path, o_.out, ec)) return true;
    if (!in_out_dir) return false;
    const std::string name = path_text(path.filename());
    if (name == out_name_ || name.rfind(partial_prefix_, 0) == 0) return true;
    const std::string folded = fold_case(name);
    // Another spelling of the name finds the same entry where names ignore case.
    if (folded == out_folded_) return out_exists_ && fs::equivalent(path, o_.out, ec);
    if (folded.size() <= out_base_.size() + 4 || folded.rfind(out_base_, 0) != 0 ||
        folded.compare(folded.size() - 4, 4, ".cab") != 0)
      return false;
    const std::string number =
        folded.substr(out_base_.size(), folded.size() - out_base_.size() - 4);
    return number.find_first_not_of("0123456789") == std::string::npos && number[0] != '0' &&
           (number.size() > 1 || number[0] >= '2');
  }

  // The stored name of a relative path; empty after noting why it cannot be.
  std::string stored_name(const fs::path& relative) {
    std::string name;
    for (const fs::path& part : relative) {
      const std::string text = path_text(part);
      if (text.empty() || text == ".") continue;
      const std::string why = check_name_component(text);
      if (!why.empty()) {
        errors_.push_back("cannot store " + shown(relative) + ": the name " + why);
        return "";
      }
      if (!name.empty()) name += '\\';
      name += text;
    }
    return name;
  }

  // The file's date; with SOURCE_DATE_EPOCH, none later than it, and in UTC
  // so that the machine's time zone does not change the bytes.
  void stamp(Item& item, const fs::path& path) {
    std::time_t t;
    if (!get_file_mtime(path, t)) t = o_.epoch ? *o_.epoch : std::time(nullptr);
    if (o_.epoch && t > *o_.epoch) t = *o_.epoch;
    const int clamped = time_to_dos(t, item.date, item.time, o_.epoch.has_value());
    if (clamped)
      warnings_.push_back(shown(path) + ": its date lies " +
                          (clamped < 0 ? "before 1980; stored as 1980-01-01 00:00:00"
                                       : "after 2107; stored as 2107-12-31 23:59:58"));
  }

  void add_file(const fs::path& path, const fs::path& relative) {
    Item item;
    item.name = stored_name(relative);
    item.source = path;
    std::error_code ec;
    item.modified = fs::last_write_time(path, ec);
    if (!ec) item.size = fs::file_size(path, ec);
    if (ec) {
      errors_.push_back("cannot read " + shown(path) + ": " + ec.message());
      return;
    }
    // Opened once now, so that an unreadable file fails the pack before any work.
    if (!open_file(path, "rb")) {
      errors_.push_back("cannot read " + shown(path) + ": " + reason());
      return;
    }
    if (item.size > CAB_MAX_FOLDER_BYTES) {
      errors_.push_back(shown(path) + " is " + std::to_string(item.size) +
                        " bytes; a cabinet holds files of less than 4 GiB (at most " +
                        std::to_string(CAB_MAX_FOLDER_BYTES) + " bytes)");
      return;
    }
    const fs::perms perms = fs::status(path, ec).permissions();
    if (!ec && (perms & fs::perms::owner_write) == fs::perms::none) item.attribs |= 0x01;
    stamp(item, path);
    if (!item.name.empty()) items.push_back(item);
  }

  void unpackable(const fs::path& path, const char* what) {
    if (o_.skip_special)
      notes_.push_back("skipping " + shown(path) + ": " + what);
    else
      errors_.push_back(shown(path) + " is " + what + " (--skip-special leaves such entries out)");
  }

  void walk(const fs::path& dir, const fs::path& relative) {
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    fs::directory_iterator it(dir, ec), end;
    while (!ec && it != end) {
      entries.push_back(*it);
      it.increment(ec);
    }
    if (ec) {
      errors_.push_back("cannot read the folder " + shown(dir) + ": " + ec.message());
      return;
    }
    const size_t before = items.size();
    const bool in_out_dir = is_out_dir(dir);
    for (const fs::directory_entry& entry : entries) {
      const fs::path& path = entry.path();
      const fs::path child = relative / path.filename();
      // The type the folder listing gave, where it gave one: no stat per entry.
      // (Cleared first: an answer from the listing leaves the code as it was.)
      ec.clear();
      const bool is_link = entry.is_symlink(ec);
      const bool is_folder = !ec && !is_link && entry.is_directory(ec);
      const bool is_file = !ec && !is_link && !is_folder && entry.is_regular_file(ec);
      if (ec) {
        errors_.push_back("cannot read " + shown(path) + ": " + ec.message());
        continue;
      }
      if (own_output(path, in_out_dir, is_link)) {
        notes_.push_back("skipping " + shown(path) + ": an output of this pack");
        continue;
      }
      if (is_link) {
        const fs::file_status target = fs::status(path, ec);
        if (ec || !fs::exists(target))
          unpackable(path, "a link to nothing");
        else if (fs::is_directory(target))
          unpackable(path, "a link to a folder");
        else if (fs::is_regular_file(target))
          add_file(path, child);
        else
          unpackable(path, "a link to a special file");
      } else if (is_folder) {
        walk(path, child);
      } else if (is_file) {
        add_file(path, child);
      } else {
        unpackable(path, "a special file (device, FIFO or socket)");
      }
    }
    if (items.size() == before && !relative.empty()) {
      Item item;
      item.name = stored_name(relative);
      if (item.name.empty()) return;
      item.name += "\\";
      item.attribs = 0x10;
      stamp(item, dir);
      items.push_back(item);
    }
  }

  const PackOptions& o_;
  fs::path out_dir_;
  std::string out_base_, out_name_, out_folded_, partial_prefix_;
  bool out_exists_ = false;
};

std::string to_codepage(const std::string& utf8, CodePage page, const std::string& what) {
  std::string bytes;
  if (!utf8_to_codepage(utf8, page, bytes))
    throw ToolError(
        what + " '" + printable(utf8) + "' cannot be written in code page " +
        std::to_string(codepage_number(page)) +
        (page == CodePage::Western1252 ? " (try --codepage 932, or rename it)" : " (rename it)"));
  return bytes;
}

void put_text(char* field, size_t width, const std::string& utf8, CodePage page,
              const char* option) {
  const std::string bytes = to_codepage(utf8, page, std::string(option) + " text");
  if (bytes.size() >= width)
    throw ToolError(std::string(option) + " is " + std::to_string(bytes.size()) +
                    " bytes in code page " + std::to_string(codepage_number(page)) + "; at most " +
                    std::to_string(width - 1) + " fit");
  std::memcpy(field, bytes.data(), bytes.size());
}

std::vector<uint8_t> read_whole(const fs::path& path) {
  FilePtr f = open_file(path, "rb");
  if (!f) throw ToolError("cannot open the stub " + shown(path) + ": " + reason());
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0)
    bytes.insert(bytes.end(), buffer, buffer + n);
  if (std::ferror(f.get()))
    throw ToolError("cannot read the stub " + shown(path) + ": " + reason());
  return bytes;
}

// The stub must end where its image ends (the module looks for the header
// block there) and must not hold a cabinet signature of its own.
void check_stub(const std::vector<uint8_t>& stub, const fs::path& path) {
  const uint32_t end = image_end_from_headers(stub.data(), stub.size());
  if (end == 0)
    throw ToolError("stub " + shown(path) + " is not a self-extractor image (PE headers)");
  if (end != stub.size())
    throw ToolError("stub " + shown(path) + ": its image ends at " + std::to_string(end) +
                    " but the file has " + std::to_string(stub.size()) + " bytes");
  struct Cursor {
    const std::vector<uint8_t>* bytes;
    size_t at;
  } cursor{&stub, 0};
  const int32_t found = find_cabinet_signature(
      [](void* source, uint8_t* buffer, uint32_t count) -> int32_t {
        Cursor& c = *static_cast<Cursor*>(source);
        const size_t n = std::min<size_t>(count, c.bytes->size() - c.at);
        std::memcpy(buffer, c.bytes->data() + c.at, n);
        c.at += n;
        return int32_t(n);
      },
      &cursor);
  if (found >= 0)
    throw ToolError("stub " + shown(path) + " holds a cabinet signature at " +
                    std::to_string(found));
}

// A file pack writes under a temporary name, removed if a signal ends the run.
struct Temporary {
  explicit Temporary(fs::path p) : path(std::move(p)) { removal.arm(path); }
  fs::path path;
  RemovalOnInterrupt removal;
};

fs::path temporary_beside(const fs::path& target) {
  std::random_device random;
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".partial-%08x", unsigned(random()));
  fs::path p = target;
  p += suffix;
  return p;
}

// Writes cabinet 0 after the prefix already in the main file, the others to
// their own temporary files; keeps the CRC of cabinet 0. With `pad`, zeros
// after cabinet 0 make the main file a multiple of 8 bytes long, as a
// signing tool would before appending its certificate table: so the signer
// adds nothing, and the CRC, which stops at the table, covers what pack wrote.
class PackSink : public CabinetSink {
 public:
  PackSink(std::FILE* main, uint64_t prefix, bool pad, std::deque<Temporary>& temps,
           std::function<fs::path(unsigned)> target_of)
      : main_(main),
        main_size_(prefix),
        pad_(pad),
        temps_(temps),
        target_of_(std::move(target_of)) {}

  void begin_cabinet(unsigned index) override {
    index_ = index;
    if (index == 0) {
      current_ = main_;
      return;
    }
    // Armed before it exists: the name is this run's own.
    const fs::path& temp = temps_.emplace_back(temporary_beside(target_of_(index))).path;
    other_ = open_file(temp, "wb");
    if (!other_) throw ToolError("cannot create " + shown(target_of_(index)) + ": " + reason());
    targets_.push_back(target_of_(index));
    current_ = other_.get();
  }

  void write(std::span<const uint8_t> bytes) override {
    if (std::fwrite(bytes.data(), 1, bytes.size(), current_) != bytes.size())
      throw ToolError("cannot write " + shown(target_of_(index_)) + ": " + reason());
    if (index_ > 0) return;
    main_size_ += bytes.size();
    for (size_t at = 0; at < bytes.size(); at += 1u << 30) {
      const size_t n = std::min<size_t>(bytes.size() - at, 1u << 30);
      crc_ = uint32_t(::crc32(crc_, bytes.data() + at, uInt(n)));
    }
  }

  void end_cabinet(unsigned index) override {
    if (index == 0 && pad_ && main_size_ % 8) {
      const uint8_t zeros[8] = {};
      write(std::span<const uint8_t>(zeros, 8 - main_size_ % 8));
    }
    if (index > 0) {
      if (std::fclose(other_.release()) != 0)
        throw ToolError("cannot write " + shown(target_of_(index)) + ": " + reason());
    }
  }

  uint32_t crc() const { return crc_; }
  const std::vector<fs::path>& targets() const { return targets_; }

 private:
  std::FILE* main_;
  uint64_t main_size_;
  bool pad_;
  std::FILE* current_ = nullptr;
  FilePtr other_;
  std::deque<Temporary>& temps_;
  std::vector<fs::path> targets_;
  std::function<fs::path(unsigned)> target_of_;
  unsigned index_ = 0;
  uint32_t crc_ = 0;
};

// The stub: the one given, or the first found where the tool is installed
// or built.
std::vector<uint8_t> load_stub(const PackOptions& o, fs::path& path) {
  std::error_code ec;
  if (o.stub_given) {
    path = o.stub;
    const fs::file_status st = fs::status(path, ec);
    if (!fs::is_regular_file(st))
      throw ToolError("stub " + shown(path) + (fs::exists(st) ? " is not a file" : " not found") +
                      (ec && ec.value() != ENOENT ? ": " + ec.message() : std::string()) +
                      " (--cabinet-only writes a plain cabinet without one)");
  } else {
    const std::vector<fs::path> places = default_stub_places(tool_directory());
    std::string tried;
    for (const fs::path& p : places) {
      if (fs::is_regular_file(p, ec)) {
        path = p;
        break;
      }
      tried += "\n  " + shown(p);
    }
    if (path.empty())
      throw ToolError("no stub cabsfx.exe found; looked in:" + tried +
                      "\ngive one with --stub PATH, or write a plain cabinet with --cabinet-only");
  }
  std::vector<uint8_t> stub = read_whole(path);
  check_stub(stub, path);
  return stub;
}

std::string size_text(uint64_t bytes) {
  char text[32];
  if (bytes >= (uint64_t(1) << 30))
    std::snprintf(text, sizeof text, "%.1f GiB", double(bytes) / double(uint64_t(1) << 30));
  else
    std::snprintf(text, sizeof text, "%.1f MiB", double(bytes) / double(1 << 20));
  return text;
}

// A payload that one cabinet cannot hold whatever the compression does is
// told so before any work, with the option that splits it.
void check_fits_one_cabinet(const PackOptions& o, const std::vector<std::vector<size_t>>& folders,
                            const std::vector<Item>& items, uint64_t limit) {
  if (o.max_cabinet_size) return;
  uint64_t total = 0;
  std::string why;
  for (const auto& folder : folders) {
    uint64_t size = 0;
    for (size_t i : folder) size += items[i].size;
    total += size;
    if (folder.size() == 1 && size > FOLDER_LIMIT && why.empty())
      why = shown(items[folder[0]].source) + " needs " +
            std::to_string((size + CAB_FRAME_SIZE - 1) / CAB_FRAME_SIZE) +
            " data blocks; one cabinet holds at most 65535 of a folder";
  }
  const bool stored = o.compress == "none";
  if (why.empty() && stored && total > limit)
    why = "stored, they need more than the " + std::to_string(limit) + " bytes one cabinet holds";
  if (why.empty() && items.size() > CAB_MAX_FILES)
    why = std::to_string(items.size()) + " entries; one cabinet lists at most " +
          std::to_string(CAB_MAX_FILES);
  if (why.empty()) return;
  const uint64_t suggested = uint64_t(1) << 30;
  const uint64_t cabinets = std::max<uint64_t>((total + suggested - 1) / suggested,
                                               (items.size() + CAB_MAX_FILES - 1) / CAB_MAX_FILES);
  throw ToolError("the files (" + size_text(total) + ") cannot fit one cabinet: " + why +
                  "; write a cabinet set with --max-cabinet-size, for example "
                  "--max-cabinet-size 1G (about " +
                  std::to_string(cabinets) + " cabinets or fewer, written beside the output)");
}

// The shortest folder that a destination keyword ('%ProgramFiles%\rest')
// resolves to on the systems the self-extractor runs on (their default
// folders with a one-letter user name), followed by the rest; empty for a
// destination that is no keyword form or whose keyword is unknown.
std::string shortest_resolution(const std::string& destination) {
  static constexpr std::pair<const char*, const char*> SHORTEST[] = {
      {"Desktop", "C:\\Users\\U\\Desktop"},
      {"MyDocuments", "C:\\Users\\U\\Documents"},
      {"ProgramFiles", "C:\\Program Files"},
      {"SystemDir", "C:\\Windows\\System32"},
      {"WinDir", "C:\\Windows"},
      {"temp", "C:\\Windows\\Temp"}};
  const size_t end = destination.find('%', 1);
  if (destination.empty() || destination[0] != '%' || end == std::string::npos) return "";
  const std::string keyword = destination.substr(1, end - 1);
  for (const auto& [name, folder] : SHORTEST)
    if (keyword == name) return folder + destination.substr(end + 1);
  return "";
}

// The self-extractor writes each file at the destination folder followed by
// its stored name, at most 259 bytes, and refuses a longer path. A destination
// given as a full path (a drive or a network share) tells which names would
// not fit there, unless the user picks another folder; a keyword destination
// tells which would not fit even where its folder is the shortest it can be.
// `destination` and `stored` are as written (code page bytes), `shown_as` and
// the items' names as given (UTF-8).
void warn_long_paths(const char* destination, const std::string& shown_as,
                     const std::vector<Item>& items, const std::vector<std::string>& stored) {
  std::string dest = destination;
  const std::string resolved = shortest_resolution(dest);
  if (!resolved.empty()) dest = resolved;
  const bool full = (dest.size() >= 3 && std::isalpha(static_cast<unsigned char>(dest[0])) &&
                     dest[1] == ':' && dest[2] == '\\') ||
                    dest.rfind("\\\\", 0) == 0;
  if (!full) return;
  const size_t room = 259 - std::min<size_t>(259, dest.size() + (dest.back() == '\\' ? 0 : 1));
  std::vector<std::string> long_names;
  for (size_t i = 0; i < stored.size(); ++i)
    if (stored[i].size() > room) long_names.push_back(printable(items[i].name));
  if (long_names.empty()) return;
  std::fprintf(stderr,
               "cabsfx-tool: pack: warning: %zu name(s) longer than %zu bytes: at the destination "
               "'%s'%s their paths pass 259 bytes, which the self-extractor refuses: %s\n",
               long_names.size(), room, printable(shown_as).c_str(),
               resolved.empty() ? "" : (" (at least '" + printable(resolved) + "')").c_str(),
               quoted_names(long_names, 3).c_str());
}

// Whether the setup text starts with a packed file's name (then the end or a
// space and its parameters), in either case and with either separator.
bool packed_setup(const std::vector<Item>& items, std::string setup) {
  std::replace(setup.begin(), setup.end(), '/', '\\');
  const std::string wanted = fold_case(setup);
  for (const Item& item : items) {
    if (item.source.empty()) continue;  // a folder
    const std::string name = fold_case(item.name);
    if (wanted.compare(0, name.size(), name) == 0 &&
        (wanted.size() == name.size() || wanted[name.size()] == ' '))
      return true;
  }
  return false;
}

}  // namespace

int command_pack(const Args& args) {
  PackOptions o = parse_pack_options(args);
  o.epoch = source_date_epoch();
  const CodePage page = o.codepage;
  make_encoder(o.compress);  // a bad --compress is a usage error before anything else
  const Branding branding = load_branding(o.icon, o.version_info);

  // Everything that can be refused is checked before anything is written.
  PackageHeader header{};
  std::memcpy(header.magic, PACKAGE_MAGIC, sizeof header.magic);
  header.mode = o.require_64bit ? PACKAGE_MODE_64BIT : PACKAGE_MODE_ANY;
  put_text(header.destination, sizeof header.destination, o.destination, page, "--destination");
  put_text(header.setup_file, sizeof header.setup_file, o.setup, page, "--setup");
  put_text(header.prompt_title, sizeof header.prompt_title, o.title, page, "--prompt-title");
  put_text(header.prompt_text, sizeof header.prompt_text, o.text, page, "--prompt-text");
  header.no_confirm = o.no_confirm;
  header.open_folder = o.open_folder;
  header.delete_after_setup = o.delete_after;
  header.no_destination_dialog = o.no_dialog;
  if (!o.cabinet_only && o.setup.empty() && g_verbosity > 0) {
    if (o.require_64bit)
      std::fprintf(stderr,
                   "cabsfx-tool: pack: note: --require-64bit has no effect without --setup\n");
    if (o.delete_after)
      std::fprintf(stderr,
                   "cabsfx-tool: pack: note: --delete-after-setup has no effect without --setup\n");
  }

  std::vector<uint8_t> stub;
  fs::path stub_path;
  if (!o.cabinet_only) stub = load_stub(o, stub_path);
  // Files the pack reads besides its inputs are never its output.
  for (const fs::path& read : {stub_path, o.icon}) {
    std::error_code same_error;
    if (!read.empty() && fs::equivalent(read, o.out, same_error))
      throw ToolError("the output " + shown(o.out) + " is " +
                      (read == stub_path ? "the stub it appends to" : "the icon it puts in") +
                      "; choose another output name");
  }
  if (!branding.empty()) {
    stub = brand_stub(stub, branding, stub_path);
    check_stub(stub, stub_path);
  }
  const uint64_t prefix = o.cabinet_only ? 0 : stub.size() + PACKAGE_HEADER_SIZE;
  if (prefix >= CAB_MAX_CABINET) throw ToolError("the stub is too large");

  // The output is written beside its name and renamed onto it, which would
  // put a file in the place of a device such as /dev/null, or of a link to
  // one such as /dev/stdout.
  std::error_code out_ec;
  const fs::file_status out_status = fs::status(o.out, out_ec);
  if (fs::is_directory(out_status)) throw ToolError("the output " + shown(o.out) + " is a folder");
  if (fs::exists(out_status) && !fs::is_regular_file(out_status))
    throw ToolError("the output " + shown(o.out) +
                    " is a device, pipe or socket; pack writes only to files");

  Collector collector(o);
  collector.run();
  std::vector<Item>& items = collector.items;
  std::sort(items.begin(), items.end(),
            [](const Item& a, const Item& b) { return a.name < b.name; });
  std::vector<std::string>& errors = collector.errors_;

  // Stored names: in the code page when it holds them, otherwise UTF-8.
  std::vector<std::string> stored(items.size());
  size_t utf8_names = 0;
  std::vector<std::pair<std::string, size_t>> folded;
  for (size_t i = 0; i < items.size(); ++i) {
    Item& item = items[i];
    if (!utf8_to_codepage(item.name, page, stored[i])) {
      stored[i] = item.name;
      item.attribs |= 0x80;
      ++utf8_names;
    }
    if (stored[i].size() > CAB_MAX_NAME)
      errors.push_back("cannot store '" + printable(item.name) +
                       "': " + std::to_string(stored[i].size()) + " bytes" +
                       ((item.attribs & 0x80)
                            ? " in UTF-8"
                            : " in code page " + std::to_string(codepage_number(page))) +
                       "; at most 255 fit");
    folded.emplace_back(fold_case(item.name), i);
  }
  std::sort(folded.begin(), folded.end());
  for (size_t i = 1; i < folded.size(); ++i)
    if (folded[i].first == folded[i - 1].first)
      errors.push_back("two inputs would be stored under the same name '" +
                       printable(items[folded[i].second].name) +
                       "': " + shown(items[folded[i - 1].second].source) + " and " +
                       shown(items[folded[i].second].source) +
                       " (names that differ only in case are the same on Windows)");
  if (g_verbosity > 0)
    for (const std::string& note : collector.notes_)
      std::fprintf(stderr, "cabsfx-tool: pack: note: %s\n", note.c_str());
  for (const std::string& warning : collector.warnings_)
    std::fprintf(stderr, "cabsfx-tool: pack: warning: %s\n", warning.c_str());
  if (!errors.empty()) {
    for (const std::string& error : errors)
      std::fprintf(stderr, "cabsfx-tool: pack: %s\n", error.c_str());
    throw ToolError("nothing written: " + std::to_string(errors.size()) +
                    (errors.size() == 1 ? " entry" : " entries") + " cannot be packed");
  }
  if (items.empty()) throw ToolError("nothing to pack: the inputs hold no files or folders");
  if (!o.cabinet_only) warn_long_paths(header.destination, o.destination, items, stored);
  if (!o.cabinet_only && !o.setup.empty() && !packed_setup(items, o.setup))
    std::fprintf(stderr,
                 "cabsfx-tool: pack: warning: --setup '%s': no packed file has that name; the "
                 "self-extractor starts it from the destination folder after extracting\n",
                 printable(o.setup).c_str());
  // The self-extractor writes names through the system's ANSI code page, so
  // it refuses a UTF-8 name that the user's code page cannot hold: for a
  // package that is a file some users will not get, worth a warning.
  if (utf8_names && (!o.cabinet_only || g_verbosity > 0))
    std::fprintf(stderr,
                 "cabsfx-tool: pack: %s: %zu name(s) stored in UTF-8 (attribute 0x80): code "
                 "page %d cannot hold them%s\n",
                 o.cabinet_only ? "note" : "warning", utf8_names, codepage_number(page),
                 o.cabinet_only ? ""
                                : "; the self-extractor writes such a name only on systems "
                                  "whose ANSI code page holds it, and refuses it elsewhere");

  // Folders of at most --folder-size (and 65535 blocks and files), cut between
  // files in the order of their names: the same cut whatever the number of jobs.
  const uint64_t folder_size = std::min(o.folder_size, FOLDER_LIMIT);
  std::vector<std::vector<size_t>> plan(1);
  uint64_t in_folder = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    if (!plan.back().empty() &&
        (in_folder + items[i].size > folder_size || plan.back().size() == CAB_MAX_FILES)) {
      plan.emplace_back();
      in_folder = 0;
    }
    plan.back().push_back(i);
    in_folder += items[i].size;
  }
  check_fits_one_cabinet(o, plan, items, CAB_MAX_CABINET - prefix);
  std::vector<CabFolderInput> folders;
  for (const auto& members : plan) {
    CabFolderInput folder;
    // Checked above: making it again cannot fail.
    folder.encoder = make_deferred_encoder([method = o.compress] { return make_encoder(method); });
    for (size_t i : members) {
      const Item& item = items[i];
      CabEntry e;
      e.name = stored[i];
      e.source = item.source;
      e.size = item.size;
      e.source_time = item.modified;
      e.date = item.date;
      e.time = item.time;
      e.attribs = item.attribs;
      folder.entries.push_back(std::move(e));
    }
    folders.push_back(std::move(folder));
  }

  // Cabinet names of a set: the output's own name, then OUTBASE2.cab, ...
  const fs::path out_dir = o.out.parent_path().empty() ? fs::path(".") : o.out.parent_path();
  const std::string base = path_text(o.out.stem());
  auto target_of = [&](unsigned n) {
    return n == 0 ? o.out : out_dir / path_from_utf8(base + std::to_string(n + 1) + ".cab");
  };
  CabWriterOptions options;
  options.set_id_from_content = true;
  options.jobs = o.jobs ? o.jobs : processor_count();
  options.header_reserve_bytes = codepage_record(page);
  options.header_reserve = uint16_t(options.header_reserve_bytes.size());
  options.spool_dir = out_dir;
  options.max_cabinet_size = CAB_MAX_CABINET - prefix;
  if (o.max_cabinet_size) {
    if (o.max_cabinet_size < 65536)
      throw ToolError(
          "--max-cabinet-size must be at least 64K, so that a data block and its "
          "file list fit in one cabinet");
    options.max_cabinet_size = std::min<uint64_t>(o.max_cabinet_size, options.max_cabinet_size);
    options.allow_set = true;
    const std::string first = to_codepage(path_text(o.out.filename()), page, "the output name");
    to_codepage(base, page, "the output name");
    options.cabinet_name = [&, first](unsigned n) {
      if (n == 0) return first;
      std::string bytes;
      utf8_to_codepage(path_text(target_of(n).filename()), page, bytes);
      return bytes;
    };
    options.disk_name = [](unsigned n) { return "Disk " + std::to_string(n + 1); };
  }
  uint64_t total_in = 0;
  for (const Item& item : items) total_in += item.size;
  if (g_verbosity > 1)
    for (size_t i = 0; i < items.size(); ++i)
      std::printf("  %s\n", printable(items[i].name).c_str());
  ProgressBar bar("pack", g_verbosity > 0 ? total_in : 0);
  options.progress = [&bar](uint64_t done, uint64_t) { bar.update(done); };

  std::deque<Temporary> temps;
  const fs::path main_temp = temporary_beside(o.out);
  try {
    temps.emplace_back(main_temp);
    FilePtr main = open_file(main_temp, "w+b");
    if (!main) throw ToolError("cannot create " + shown(o.out) + ": " + reason());
    if (!o.cabinet_only) {
      if (std::fwrite(stub.data(), 1, stub.size(), main.get()) != stub.size() ||
          std::fwrite(&header, 1, sizeof header, main.get()) != sizeof header)
        throw ToolError("cannot write " + shown(o.out) + ": " + reason());
    }
    PackSink sink(main.get(), prefix, !o.cabinet_only, temps, target_of);
    CabWriteSummary summary;
    try {
      summary = write_cabinets(folders, options, sink);
    } catch (const CabWriterTooLarge& e) {
      throw ToolError(std::string(e.what()) +
                      "; write a cabinet set with --max-cabinet-size, for example "
                      "--max-cabinet-size 1G");
    } catch (const CabWriterError& e) {
      throw ToolError(e.what());
    }
    bar.finish();
    if (o.crc) {
      const uint32_t crc = sink.crc();
      uint8_t le[4] = {uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)};
      if (!seek_file(main.get(), int64_t(stub.size() + offsetof(PackageHeader, crc))) ||
          std::fwrite(le, 1, 4, main.get()) != 4)
        throw ToolError("cannot write " + shown(o.out) + ": " + reason());
    }
    if (std::fclose(main.release()) != 0)
      throw ToolError("cannot write " + shown(o.out) + ": " + reason());
    // A continuation may replace a cabinet (of an earlier pack, as a rule),
    // never another file that happens to have its name.
    for (const fs::path& target : sink.targets()) {
      std::error_code ec;
      const fs::file_status st = fs::symlink_status(target, ec);
      if (!fs::exists(st) || fs::is_symlink(st)) continue;
      char magic[4] = {};
      FilePtr f = fs::is_regular_file(st) ? open_file(target, "rb") : nullptr;
      if (!f || std::fread(magic, 1, 4, f.get()) != 4 || std::memcmp(magic, "MSCF", 4) != 0)
        throw ToolError("nothing written: " + shown(target) +
                        " exists and is not a cabinet, and the set needs its name (move it "
                        "away, or choose another output name)");
    }
    // Continuations first, the output last: a present output means a whole set.
    for (size_t i = 1; i < temps.size(); ++i) {
      std::error_code ec;
      fs::rename(temps[i].path, sink.targets()[i - 1], ec);
      if (ec) throw ToolError("cannot write " + shown(sink.targets()[i - 1]) + ": " + ec.message());
    }
    std::error_code ec;
    fs::rename(main_temp, o.out, ec);
    if (ec) throw ToolError("cannot write " + shown(o.out) + ": " + ec.message());
    temps.clear();  // all in place
    uint64_t total_out = 0;
    for (uint64_t size : summary.cabinet_sizes) total_out += size;
    if (g_verbosity > 0) {
      const size_t folders = size_t(std::count_if(
          items.begin(), items.end(), [](const Item& item) { return item.source.empty(); }));
      std::printf("%s: %zu file(s)%s, %" PRIu64 " bytes packed into %" PRIu64 " bytes of cabinet",
                  shown(o.out).c_str(), items.size() - folders, and_folders(folders).c_str(),
                  total_in, total_out);
      if (summary.cabinet_sizes.size() > 1)
        std::printf(" in %zu cabinets (%s ... %s)", summary.cabinet_sizes.size(),
                    shown(o.out.filename()).c_str(),
                    shown(sink.targets().back().filename()).c_str());
      if (o.crc) std::printf(", CRC-32 %08" PRIX32, sink.crc());
      if (!o.cabinet_only && g_verbosity > 1) std::printf(", stub %s", shown(stub_path).c_str());
      std::printf("\n");
    }
    // Cabinets of an earlier, longer set under the names that follow stay as
    // they are (nothing says they are ours), but they must not be shipped
    // with this set.
    const unsigned written = unsigned(summary.cabinet_sizes.size());
    unsigned after = written;
    while (after <= CAB_MAX_SET_INDEX && fs::exists(fs::symlink_status(target_of(after), ec)))
      ++after;
    if (after == written + 1)
      std::fprintf(stderr,
                   "cabsfx-tool: pack: warning: %s beside the output is not part of this set "
                   "(left as it was)\n",
                   shown(target_of(written).filename()).c_str());
    else if (after > written)
      std::fprintf(stderr,
                   "cabsfx-tool: pack: warning: %s ... %s beside the output are not part of this "
                   "set (left as they were)\n",
                   shown(target_of(written).filename()).c_str(),
                   shown(target_of(after - 1).filename()).c_str());
  } catch (...) {
    bar.finish();
    for (const Temporary& t : temps) {
      std::error_code ec;
      fs::remove(t.path, ec);
    }
    throw;
  }
  return 0;
}

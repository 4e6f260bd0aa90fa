// pack: files and folders into a package (stub, header block, cabinet), a
// plain cabinet, or a cabinet set. Everything is written under temporary
// names and renamed into place only when complete.
#include <zlib.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <random>

#include "package/crc32.h"
#include "package/package.h"
#include "tool.h"
#include "writer/cab_writer.h"
#include "writer/codepage.h"
#include "writer/encoders.h"
#include "writer/file_io.h"
#include "writer/stored_names.h"

namespace fs = std::filesystem;

namespace {

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
  std::vector<fs::path> inputs;
};

uint64_t parse_size(const std::string& text) {
  size_t used = 0;
  unsigned long long value = 0;
  try {
    value = std::stoull(text, &used, 10);
  } catch (const std::exception&) {
    throw UsageError("--max-cabinet-size: '" + text + "' is not a size");
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
    throw UsageError("--max-cabinet-size: unknown unit '" + suffix + "'");
  if (value > UINT64_MAX / unit) throw UsageError("--max-cabinet-size: too large");
  return value * unit;
}

PackOptions parse_pack_options(const Args& args) {
  PackOptions o;
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
      return args[++i];
    };
    if (options_done || a.empty() || a[0] != '-' || a == "-") {
      o.inputs.push_back(path_from_utf8(a));
    } else if (a == "--") {
      options_done = true;
    } else if (a == "-o" || a == "--output") {
      o.out = path_from_utf8(value());
    } else if (a == "--stub") {
      o.stub = path_from_utf8(value());
      o.stub_given = true;
    } else if (a == "--destination") {
      o.destination = value();
    } else if (a == "--setup") {
      o.setup = value();
    } else if (a == "--prompt-title") {
      o.title = value();
    } else if (a == "--prompt-text") {
      o.text = value();
    } else if (a == "--no-confirm") {
      o.no_confirm = true;
    } else if (a == "--open-folder") {
      o.open_folder = true;
    } else if (a == "--no-open-folder") {
      o.open_folder = false;
    } else if (a == "--delete-after-setup") {
      o.delete_after = true;
    } else if (a == "--no-dialog") {
      o.no_dialog = true;
    } else if (a == "--require-64bit") {
      o.require_64bit = true;
    } else if (a == "--crc") {
      o.crc = true;
    } else if (a == "--compress") {
      o.compress = value();
    } else if (a == "--codepage") {
      if (!parse_codepage(value(), o.codepage))
        throw UsageError("--codepage must be 1252 or 932, not '" + args[i] + "'");
    } else if (a == "--cabinet-only") {
      o.cabinet_only = true;
    } else if (a == "--max-cabinet-size") {
      o.max_cabinet_size = parse_size(value());
    } else {
      throw UsageError("unknown option for pack: " + a);
    }
  }
  if (o.out.empty()) throw UsageError("pack needs -o OUTPUT");
  if (o.inputs.empty()) throw UsageError("pack needs at least one file or folder to pack");
  if (o.cabinet_only && (o.stub_given || !o.destination.empty() || !o.setup.empty() ||
                         !o.title.empty() || !o.text.empty() || o.no_confirm || o.delete_after ||
                         o.no_dialog || o.require_64bit || o.crc))
    throw UsageError("--cabinet-only writes no header block; header options do not apply");
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
  std::string name;  // stored name in UTF-8, '\' separators
  fs::path source;   // empty for a folder entry
  uint64_t size = 0;
  uint16_t date = 0, time = 0, attribs = 0x20;
};

std::string joined_name(const fs::path& relative) {
  std::string name;
  for (const fs::path& part : relative) {
    const std::string text = path_text(part);
    if (text.empty() || text == ".") continue;
    const std::string why = check_name_component(text);
    if (!why.empty())
      throw ToolError("cannot store '" + path_text(relative) + "': the name " + why);
    if (!name.empty()) name += '\\';
    name += text;
  }
  return name;
}

void stamp(Item& item, const fs::path& path) {
  std::time_t t;
  if (!get_file_mtime(path, t)) t = std::time(nullptr);
  time_to_dos(t, item.date, item.time);
}

Item file_item(const fs::path& path, const std::string& name) {
  Item item;
  item.name = name;
  item.source = path;
  std::error_code ec;
  item.size = fs::file_size(path, ec);
  if (ec) throw ToolError("cannot read the size of " + path_text(path) + ": " + ec.message());
  const fs::perms perms = fs::status(path, ec).permissions();
  if (!ec && (perms & fs::perms::owner_write) == fs::perms::none) item.attribs |= 0x01;
  stamp(item, path);
  return item;
}

bool same_file(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec);
}

void collect(const PackOptions& o, std::vector<Item>& items) {
  for (const fs::path& input : o.inputs) {
    std::error_code ec;
    const fs::file_status st = fs::status(input, ec);
    if (!fs::exists(st)) throw ToolError("input " + path_text(input) + " does not exist");
    if (fs::is_regular_file(st)) {
      items.push_back(file_item(input, joined_name(input.filename())));
      continue;
    }
    if (!fs::is_directory(st))
      throw ToolError("input " + path_text(input) + " is neither a file nor a folder");
    fs::recursive_directory_iterator it(input, fs::directory_options::none, ec), end;
    if (ec) throw ToolError("cannot read the folder " + path_text(input) + ": " + ec.message());
    for (; it != end; it.increment(ec)) {
      if (ec) throw ToolError("cannot read the folder " + path_text(input) + ": " + ec.message());
      const fs::path path = it->path();
      const fs::path relative = path.lexically_relative(input);
      const fs::file_status link = it->symlink_status(ec);
      const fs::file_status target = it->status(ec);
      if (same_file(path, o.out)) continue;
      if (fs::is_directory(link)) {
        if (fs::is_empty(path, ec)) {
          Item item;
          item.name = joined_name(relative) + "\\";
          item.attribs = 0x10;
          stamp(item, path);
          items.push_back(item);
        }
      } else if (fs::is_regular_file(target)) {
        items.push_back(file_item(path, joined_name(relative)));
      } else {
        std::fprintf(
            stderr, "cabsfx-tool: pack: skipping %s: %s\n", path_text(path).c_str(),
            fs::is_symlink(link) ? "a link to a folder or to nothing" : "not a regular file");
      }
    }
  }
  if (items.empty()) throw ToolError("nothing to pack: the inputs hold no files or folders");
  std::sort(items.begin(), items.end(),
            [](const Item& a, const Item& b) { return a.name < b.name; });
}

std::string to_codepage(const std::string& utf8, CodePage page, const std::string& what) {
  std::string bytes;
  if (!utf8_to_codepage(utf8, page, bytes))
    throw ToolError(
        what + " '" + utf8 + "' cannot be written in code page " +
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
  if (!f) throw ToolError("cannot open the stub " + path_text(path));
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0)
    bytes.insert(bytes.end(), buffer, buffer + n);
  if (std::ferror(f.get())) throw ToolError("cannot read the stub " + path_text(path));
  return bytes;
}

// The stub must end where its image ends (the module looks for the header
// block there) and must not hold a cabinet signature of its own.
void check_stub(const std::vector<uint8_t>& stub, const fs::path& path) {
  const uint32_t end = image_end_from_headers(stub.data(), stub.size());
  if (end == 0)
    throw ToolError("stub " + path_text(path) + " is not a self-extractor image (PE headers)");
  if (end != stub.size())
    throw ToolError("stub " + path_text(path) + ": its image ends at " + std::to_string(end) +
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
    throw ToolError("stub " + path_text(path) + " holds a cabinet signature at " +
                    std::to_string(found));
}

fs::path temporary_beside(const fs::path& target) {
  std::random_device random;
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".partial-%08x", unsigned(random()));
  fs::path p = target;
  p += suffix;
  return p;
}

// Writes cabinet 0 after the prefix already in the main file, the others to
// their own temporary files; keeps the CRC of cabinet 0.
class PackSink : public CabinetSink {
 public:
  PackSink(std::FILE* main, std::vector<fs::path>& temps,
           std::function<fs::path(unsigned)> target_of)
      : main_(main), temps_(temps), target_of_(std::move(target_of)) {}

  void begin_cabinet(unsigned index) override {
    index_ = index;
    if (index == 0) {
      current_ = main_;
      return;
    }
    const fs::path temp = temporary_beside(target_of_(index));
    other_ = open_file(temp, "wb");
    if (!other_) throw ToolError("cannot create " + path_text(temp));
    temps_.push_back(temp);
    targets_.push_back(target_of_(index));
    current_ = other_.get();
  }

  void write(std::span<const uint8_t> bytes) override {
    if (std::fwrite(bytes.data(), 1, bytes.size(), current_) != bytes.size())
      throw ToolError("write error (disk full?)");
    if (index_ == 0) crc_ = crc32_of(bytes.data(), bytes.size(), crc_);
  }

  void end_cabinet(unsigned index) override {
    if (index > 0) {
      if (std::fclose(other_.release()) != 0) throw ToolError("write error (disk full?)");
    }
  }

  uint32_t crc() const { return crc_; }
  const std::vector<fs::path>& targets() const { return targets_; }

 private:
  std::FILE* main_;
  std::FILE* current_ = nullptr;
  FilePtr other_;
  std::vector<fs::path>& temps_;
  std::vector<fs::path> targets_;
  std::function<fs::path(unsigned)> target_of_;
  unsigned index_ = 0;
  uint32_t crc_ = 0;
};

}  // namespace

int command_pack(const Args& args) {
  const PackOptions o = parse_pack_options(args);
  const CodePage page = o.codepage;
  std::unique_ptr<BlockEncoder> encoder = make_encoder(o.compress);

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
  if (!o.cabinet_only && o.setup.empty()) {
    if (o.require_64bit)
      std::fprintf(stderr,
                   "cabsfx-tool: pack: note: --require-64bit has no effect without --setup\n");
    if (o.delete_after)
      std::fprintf(stderr,
                   "cabsfx-tool: pack: note: --delete-after-setup has no effect without --setup\n");
  }

  std::vector<uint8_t> stub;
  if (!o.cabinet_only) {
    const fs::path stub_path = o.stub_given ? o.stub : tool_directory() / "cabsfx.exe";
    std::error_code ec;
    if (!fs::is_regular_file(stub_path, ec))
      throw ToolError("stub " + path_text(stub_path) + " not found (give one with --stub PATH)");
    stub = read_whole(stub_path);
    check_stub(stub, stub_path);
  }
  const uint64_t prefix = o.cabinet_only ? 0 : stub.size() + PACKAGE_HEADER_SIZE;
  if (prefix >= CAB_MAX_CABINET) throw ToolError("the stub is too large");

  std::vector<Item> items;
  collect(o, items);
  CabFolderInput folder;
  folder.encoder = std::move(encoder);
  std::vector<std::string> stored_lower;
  for (const Item& item : items) {
    CabEntry e;
    e.name = to_codepage(item.name, page, "the name");
    if (e.name.size() > CAB_MAX_NAME)
      throw ToolError("cannot store '" + item.name + "': " + std::to_string(e.name.size()) +
                      " bytes in code page " + std::to_string(codepage_number(page)) +
                      "; at most 255 fit");
    std::string lower = e.name;
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    stored_lower.push_back(lower);
    e.source = item.source;
    e.size = item.size;
    e.date = item.date;
    e.time = item.time;
    e.attribs = item.attribs;
    folder.entries.push_back(std::move(e));
  }
  {
    std::vector<std::string> sorted = stored_lower;
    std::sort(sorted.begin(), sorted.end());
    const auto dup = std::adjacent_find(sorted.begin(), sorted.end());
    if (dup != sorted.end())
      throw ToolError("two inputs would be stored under the same name '" + *dup +
                      "' (names differ only in case, or the same name was given twice)");
  }

  // Cabinet names of a set: the output's own name, then OUTBASE2.cab, ...
  const fs::path out_dir = o.out.parent_path().empty() ? fs::path(".") : o.out.parent_path();
  const std::string base = path_text(o.out.stem());
  auto target_of = [&](unsigned n) {
    return n == 0 ? o.out : out_dir / path_from_utf8(base + std::to_string(n + 1) + ".cab");
  };
  CabWriterOptions options;
  {
    std::random_device random;
    options.set_id = uint16_t(random());
  }
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
  ProgressBar bar("pack", total_in);
  options.progress = [&bar](uint64_t done, uint64_t) { bar.update(done); };

  std::vector<fs::path> temps;
  const fs::path main_temp = temporary_beside(o.out);
  try {
    FilePtr main = open_file(main_temp, "w+b");
    if (!main) throw ToolError("cannot create " + path_text(main_temp));
    temps.push_back(main_temp);
    if (!o.cabinet_only) {
      if (std::fwrite(stub.data(), 1, stub.size(), main.get()) != stub.size() ||
          std::fwrite(&header, 1, sizeof header, main.get()) != sizeof header)
        throw ToolError("write error (disk full?)");
    }
    std::vector<CabFolderInput> folders;
    folders.push_back(std::move(folder));
    PackSink sink(main.get(), temps, target_of);
    CabWriteSummary summary;
    try {
      summary = write_cabinets(folders, options, sink);
    } catch (const CabWriterError& e) {
      throw ToolError(e.what());
    }
    bar.finish();
    if (o.crc) {
      const uint32_t crc = sink.crc();
      uint8_t le[4] = {uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)};
      if (!seek_file(main.get(), int64_t(stub.size() + offsetof(PackageHeader, crc))) ||
          std::fwrite(le, 1, 4, main.get()) != 4)
        throw ToolError("write error while storing the CRC");
    }
    if (std::fclose(main.release()) != 0) throw ToolError("write error (disk full?)");
    // Continuations first, the output last: a present output means a whole set.
    for (size_t i = 1; i < temps.size(); ++i) {
      std::error_code ec;
      fs::rename(temps[i], sink.targets()[i - 1], ec);
      if (ec)
        throw ToolError("cannot rename to " + path_text(sink.targets()[i - 1]) + ": " +
                        ec.message());
    }
    std::error_code ec;
    fs::rename(main_temp, o.out, ec);
    if (ec) throw ToolError("cannot rename to " + path_text(o.out) + ": " + ec.message());
    uint64_t total_out = 0;
    for (uint64_t s : summary.cabinet_sizes) total_out += s;
    std::printf("%s: %zu file(s), %" PRIu64 " bytes packed into %" PRIu64 " bytes of cabinet",
                path_text(o.out).c_str(), items.size(), total_in, total_out);
    if (summary.cabinet_sizes.size() > 1)
      std::printf(" in %zu cabinets (%s ... %s)", summary.cabinet_sizes.size(),
                  path_text(o.out.filename()).c_str(),
                  path_text(sink.targets().back().filename()).c_str());
    if (o.crc) std::printf(", CRC-32 %08" PRIX32, sink.crc());
    std::printf("\n");
  } catch (...) {
    bar.finish();
    for (const fs::path& t : temps) {
      std::error_code ec;
      fs::remove(t, ec);
    }
    throw;
  }
  return 0;
}

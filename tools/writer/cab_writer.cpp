#include "writer/cab_writer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <random>

#include "cabinet/cab.h"
#include "writer/file_io.h"
#include "writer/threads.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr uint16_t IFOLDER_FROM_PREV = 0xFFFD;
constexpr uint16_t IFOLDER_TO_NEXT = 0xFFFE;
constexpr uint16_t IFOLDER_BOTH = 0xFFFF;
constexpr size_t MAX_FOLDERS_PER_CABINET = 0xFFFC;  // iFolder values above are continuations

void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, uint16_t(v));
  put16(out, uint16_t(v >> 16));
}

void put_string(std::vector<uint8_t>& out, const std::string& s) {
  out.insert(out.end(), s.begin(), s.end());
  out.push_back(0);
}

std::string describe_name(const std::string& name) {
  std::string shown;
  for (unsigned char c : name.substr(0, 60)) shown += (c < 0x20 || c == 0x7F) ? '?' : char(c);
  if (name.size() > 60) shown += "...";
  return "'" + shown + "'";
}

// Memory that the spools of one write share; beyond it they go to files.
struct SpoolBudget {
  std::atomic<uint64_t> used{0};
};

// Holds one folder's compressed blocks until its cabinet is written: in memory
// while the writer's budget lasts, then in a temporary file of the spool
// folder.
class Spool {
 public:
  Spool(const fs::path& dir, SpoolBudget& budget) : dir_(dir), budget_(budget) {}
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;
  ~Spool() {
    budget_.used.fetch_sub(memory_.size());
    file_.reset();
    if (!path_.empty()) {
      std::error_code ignored;
      fs::remove(path_, ignored);
    }
  }

  void append(const uint8_t* bytes, size_t count) {
    if (!file_ && !dir_.empty() && budget_.used.load() + count > MEMORY_LIMIT) spill();
    if (file_) {
      if (std::fwrite(bytes, 1, count, file_.get()) != count) fail("write");
    } else {
      memory_.insert(memory_.end(), bytes, bytes + count);
      budget_.used.fetch_add(count);
    }
  }

  // Called once everything is appended.
  void finish() {
    if (file_ && std::fflush(file_.get()) != 0) fail("write");
  }

  void read_at(uint64_t offset, uint8_t* out, size_t count) {
    if (!file_) {
      std::memcpy(out, memory_.data() + offset, count);
      return;
    }
    if (!seek_file(file_.get(), int64_t(offset)) || std::fread(out, 1, count, file_.get()) != count)
      fail("read back");
  }

 private:
  static constexpr uint64_t MEMORY_LIMIT = uint64_t(16) << 20;

  void spill() {
#ifdef O_TMPFILE
    // A file without a name cannot outlive the run, however the run ends.
    const int fd = open(dir_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 && !(file_ = FilePtr(fdopen(fd, "w+b")))) close(fd);
#endif
    std::random_device random;
    for (int attempt = 0; attempt < 16 && !file_; ++attempt) {
      char name[40];
      std::snprintf(name, sizeof name, "cabsfx-spool-%08x.tmp", unsigned(random()));
      fs::path candidate = dir_ / name;
      std::error_code ec;
      if (fs::exists(candidate, ec)) continue;
      file_ = open_file(candidate, "w+b");
#ifndef _WIN32
      // Read back through the open stream only: once its name is gone, it
      // cannot outlive the run.
      if (file_) fs::remove(candidate, ec);
#else
      if (file_) path_ = candidate;
#endif
    }
    if (!file_) fail("create");
    if (!memory_.empty() &&
        std::fwrite(memory_.data(), 1, memory_.size(), file_.get()) != memory_.size())
      fail("write");
    budget_.used.fetch_sub(memory_.size());
    memory_.clear();
    memory_.shrink_to_fit();
  }

  // The spool's own name means nothing to the user; its folder does.
  [[noreturn]] void fail(const char* what) const {
    throw CabWriterError(std::string("cannot ") + what + " a temporary file in " + path_text(dir_) +
                         ": " + std::strerror(errno));
  }

  fs::path dir_;
  SpoolBudget& budget_;
  fs::path path_;
  FilePtr file_;
  std::vector<uint8_t> memory_;
};

// Feeds a folder's uncompressed stream from its entries, file after file.
class FolderStream {
 public:
  explicit FolderStream(const std::vector<CabEntry>& entries) : entries_(entries) {}

  // Fills up to `count` bytes; returns the count filled (short only at the end).
  size_t read(uint8_t* out, size_t count) {
    size_t filled = 0;
    while (filled < count && index_ < entries_.size()) {
      const CabEntry& entry = entries_[index_];
      if (done_in_entry_ == entry.size) {
        finish_entry();
        continue;
      }
      const size_t want = size_t(std::min<uint64_t>(count - filled, entry.size - done_in_entry_));
      if (entry.source.empty()) {
        std::memcpy(out + filled, entry.data.data() + done_in_entry_, want);
      } else {
        if (!file_) {
          file_ = open_file(entry.source, "rb");
          if (!file_)
            throw CabWriterError("cannot open " + path_text(entry.source) + ": " +
                                 std::strerror(errno));
        }
        errno = 0;
        const size_t got = std::fread(out + filled, 1, want, file_.get());
        if (got != want) {
          throw CabWriterError(path_text(entry.source) +
                               (std::ferror(file_.get())
                                    ? std::string(": cannot read: ") + std::strerror(errno)
                                    : std::string(": file became shorter while packing")));
        }
      }
      filled += want;
      done_in_entry_ += want;
    }
    return filled;
  }

 private:
  void finish_entry() {
    const CabEntry& entry = entries_[index_];
    if (file_) {
      if (std::fgetc(file_.get()) != EOF)
        throw CabWriterError(path_text(entry.source) + ": file grew while packing");
      file_.reset();
    } else if (!entry.source.empty() && entry.size == 0) {
      // An empty source is still checked for existence and size.
      FilePtr f = open_file(entry.source, "rb");
      if (!f)
        throw CabWriterError("cannot open " + path_text(entry.source) + ": " +
                             std::strerror(errno));
      if (std::fgetc(f.get()) != EOF)
        throw CabWriterError(path_text(entry.source) + ": file grew while packing");
    }
    // Written to while it was read, or after its date was taken: what was
    // read may mix old and new bytes, and the stored date is not theirs.
    std::error_code ec;
    if (entry.source_time != fs::file_time_type{} &&
        fs::last_write_time(entry.source, ec) != entry.source_time)
      throw CabWriterError(path_text(entry.source) + ": file changed while packing");
    ++index_;
    done_in_entry_ = 0;
  }

  const std::vector<CabEntry>& entries_;
  size_t index_ = 0;
  uint64_t done_in_entry_ = 0;
  FilePtr file_;
};

struct FolderPlan {
  uint16_t type_word = 0;
  uint32_t capacity = 0;
  std::vector<uint64_t> offsets;  // uoffFolderStart of every entry
  uint64_t total = 0;
};

// A folder's data block as its encoder made it.
struct BlockRecord {
  uint32_t size;          // compressed bytes
  uint16_t uncompressed;  // bytes of the folder's stream
  uint32_t sum;           // checksum of the compressed bytes alone
};

struct FolderOutput {
  std::vector<BlockRecord> blocks;
  std::unique_ptr<Spool> store;  // the blocks' bytes, one after the other
};

// A CFDATA of a cabinet: a whole block, or one of the two pieces of a block
// split between two cabinets.
struct Piece {
  size_t folder;
  uint64_t store_at;  // where its bytes lie in the folder's store
  uint32_t size;
  uint16_t uncompressed;  // 0 for the first piece of a split block
  bool whole;
  uint32_t sum;  // of the bytes alone, for a whole block
};

struct FolderInCabinet {
  size_t folder;           // index among the writer's folders
  uint64_t data_start;     // where its first block lies among the cabinet's data
  uint32_t blocks = 0;     // CFDATA pieces in this cabinet
  bool continued = false;  // began in the previous cabinet
};

struct FileInCabinet {
  size_t folder;
  size_t entry;
  bool from_prev;
};

struct OpenCabinet {
  unsigned index = 0;
  std::vector<FolderInCabinet> folders;
  std::vector<FileInCabinet> files;
  uint64_t list_bytes = 0;  // folder records and file records
  std::vector<Piece> pieces;
  uint64_t data_bytes = 0;  // data blocks with their headers
  bool opened = false;
};

class Writer {
 public:
  Writer(std::vector<CabFolderInput>& folders, const CabWriterOptions& options, CabinetSink& sink)
      : inputs_(folders), options_(options), sink_(sink) {}

  // Every folder is compressed first (several at once when asked), then laid
  // out into cabinets and written: the layout depends only on the blocks, so
  // the output is the same however many folders were compressed together.
  CabWriteSummary run() {
    validate();
    compress_all();
    set_id_ = options_.set_id_from_content ? content_set_id() : options_.set_id;
    open_cabinet();
    for (size_t f = 0; f < inputs_.size(); ++f) {
      begin_folder(f);
      uint64_t offset = 0, store_at = 0;
      for (const BlockRecord& block : outputs_[f].blocks) {
        place_block(f, offset, block, store_at);
        offset += block.uncompressed;
        store_at += block.size;
      }
    }
    close_cabinet(true, std::nullopt);
    summary_.uncompressed_bytes = grand_total_;
    return summary_;
  }

 private:
  uint32_t data_header_size() const { return 8u + options_.data_reserve; }
  uint32_t folder_record_size() const { return 8u + options_.folder_reserve; }
  bool reserve_flag() const {
    return options_.reserve_flag || options_.header_reserve || options_.folder_reserve ||
           options_.data_reserve;
  }

  std::string name_of(unsigned index) const {
    return options_.cabinet_name ? options_.cabinet_name(index) : std::string();
  }
  std::string disk_of(unsigned index) const {
    return options_.disk_name ? options_.disk_name(index) : std::string();
  }

  void check_chain_name(const std::string& s, const char* what) const {
    if (s.size() > CAB_MAX_NAME)
      throw CabWriterError(std::string(what) + " " + describe_name(s) +
                           " is longer than 255 bytes");
    if (s.find('\0') != std::string::npos)
      throw CabWriterError(std::string(what) + " contains a NUL byte");
  }

  uint64_t fixed_header_size(unsigned index, bool with_next) const {
    uint64_t size = 36;
    if (reserve_flag()) size += 4 + options_.header_reserve;
    if (index > 0) size += name_of(index - 1).size() + 1 + disk_of(index - 1).size() + 1;
    if (with_next) size += name_of(index + 1).size() + 1 + disk_of(index + 1).size() + 1;
    return size;
  }

  uint64_t current_size() const {
    return fixed_header_size(cab_.index, options_.allow_set) + cab_.list_bytes + cab_.data_bytes;
  }

  uint64_t file_record_size(const CabEntry& e) const { return 16 + e.name.size() + 1; }

  void validate() {
    if (options_.max_cabinet_size == 0 || options_.max_cabinet_size > CAB_MAX_CABINET)
      throw CabWriterError("cabinet size limit must lie between 1 and 2147483647 bytes");
    if (options_.header_reserve_bytes.size() > options_.header_reserve)
      throw CabWriterError("header reserve bytes exceed the header reserve size");
    if (options_.allow_set && !options_.cabinet_name)
      throw CabWriterError("a cabinet set needs names for its cabinets");
    if (inputs_.empty()) throw CabWriterError("a cabinet needs at least one folder");
    size_t all_files = 0;
    plans_.resize(inputs_.size());
    for (size_t f = 0; f < inputs_.size(); ++f) {
      const CabFolderInput& in = inputs_[f];
      FolderPlan& plan = plans_[f];
      if (!in.encoder) throw CabWriterError("folder " + std::to_string(f) + " has no encoder");
      plan.type_word = in.encoder->type_word();
      plan.capacity = cab_block_capacity(plan.type_word);
      if (plan.capacity == 0)
        throw CabWriterError("folder " + std::to_string(f) + ": unknown compression type word " +
                             std::to_string(plan.type_word));
      if (in.entries.size() > CAB_MAX_FILES)
        throw CabWriterError("folder " + std::to_string(f) + " has " +
                             std::to_string(in.entries.size()) +
                             " files; a cabinet holds at most 65535");
      for (const CabEntry& e : in.entries) {
        if (e.name.empty()) throw CabWriterError("a file has an empty stored name");
        if (e.name.size() > CAB_MAX_NAME)
          throw CabWriterError("stored name " + describe_name(e.name) + " is " +
                               std::to_string(e.name.size()) + " bytes; at most 255 fit");
        if (e.name.find('\0') != std::string::npos)
          throw CabWriterError("stored name " + describe_name(e.name) + " contains a NUL byte");
        if (e.source.empty() && e.size != e.data.size())
          throw CabWriterError("file " + describe_name(e.name) + ": size differs from its data");
        if (e.size > 0xFFFFFFFFull)
          throw CabWriterError("file " + describe_name(e.name) +
                               " is larger than the format's 4 GiB - 1 bytes");
        plan.offsets.push_back(plan.total);
        plan.total += e.size;
        if (plan.total > CAB_MAX_FOLDER_BYTES)
          throw CabWriterError("folder " + std::to_string(f) +
                               ": uncompressed size exceeds the format's 32-bit offsets");
      }
      all_files += in.entries.size();
      grand_total_ += plan.total;
    }
    if (!options_.allow_set) {
      if (all_files > CAB_MAX_FILES)
        throw CabWriterError(std::to_string(all_files) + " files; a cabinet holds at most 65535");
      if (inputs_.size() > MAX_FOLDERS_PER_CABINET)
        throw CabWriterError("too many folders for one cabinet");
    }
  }

  // Reads folder f's files and has its encoder turn them into blocks.
  // `stop` ends the work early when another folder failed.
  void compress_folder(size_t f, const std::function<void(uint64_t)>& done,
                       const std::atomic<bool>& stop) {
    const FolderPlan& plan = plans_[f];
    FolderOutput& out = outputs_[f];
    out.store = std::make_unique<Spool>(options_.spool_dir, budget_);
    FolderStream stream(inputs_[f].entries);
    BlockEncoder& encoder = *inputs_[f].encoder;
    // Groups always start at the folder's start, whatever else varies.
    const size_t group = size_t{std::max(encoder.group_frames(), 1u)} * CAB_FRAME_SIZE;
    std::vector<uint8_t> frames(group);
    std::vector<std::vector<uint8_t>> blocks;
    encoder.expect_stream_size(plan.total);
    uint64_t offset = 0;
    while (offset < plan.total) {
      if (stop.load()) return;
      size_t want = size_t(std::min<uint64_t>(group, plan.total - offset));
      if (stream.read(frames.data(), want) != want)
        throw CabWriterError("folder " + std::to_string(f) + ": input ended early");
      const bool last = offset + want == plan.total;
      blocks.clear();
      std::string error;
      if (!encoder.encode_frames(std::span<const uint8_t>(frames.data(), want), last, blocks,
                                 error))
        throw CabWriterError("folder " + std::to_string(f) + ": " + error);
      if (blocks.size() != (want + CAB_FRAME_SIZE - 1) / CAB_FRAME_SIZE)
        throw CabWriterError("folder " + std::to_string(f) + ": encoder gave " +
                             std::to_string(blocks.size()) + " data blocks for " +
                             std::to_string(want) + " bytes");
      for (const std::vector<uint8_t>& block : blocks) {
        const size_t n = std::min<size_t>(CAB_FRAME_SIZE, want);
        check_block(f, n, block.size());
        out.blocks.push_back({uint32_t(block.size()), uint16_t(n),
                              CabChecksum(block.data(), uint32_t(block.size()), 0)});
        out.store->append(block.data(), block.size());
        want -= n;
        offset += n;
        done(n);
      }
    }
    // Entries are all consumed (zero-length tail files are checked too).
    uint8_t extra;
    if (stream.read(&extra, 1) != 0)
      throw CabWriterError("folder " + std::to_string(f) + ": more input than announced");
    out.store->finish();
  }

  void compress_all() {
    const size_t count = inputs_.size();
    outputs_.resize(count);
    std::atomic<bool> stop{false};
    const unsigned jobs = unsigned(std::min<size_t>(std::max(options_.jobs, 1u), count));
    if (jobs == 1) {
      for (size_t f = 0; f < count; ++f)
        compress_folder(
            f,
            [this](uint64_t bytes) {
              done_ += bytes;
              if (options_.progress) options_.progress(done_, grand_total_);
            },
            stop);
      return;
    }
    // Each thread takes the next folder not yet begun; a failure stops the
    // others, and the failure of the lowest folder is the one reported.
    std::atomic<size_t> next{0};
    std::atomic<uint64_t> done{0};
    std::vector<std::exception_ptr> errors(count);
    auto work = [&] {
      for (size_t f; !stop.load() && (f = next.fetch_add(1)) < count;) {
        try {
          compress_folder(
              f, [&done](uint64_t bytes) { done.fetch_add(bytes); }, stop);
        } catch (...) {
          errors[f] = std::current_exception();
          stop.store(true);
        }
      }
    };
    auto tick = [&] {
      const uint64_t now = done.load();
      if (options_.progress && now != done_) options_.progress(now, grand_total_);
      done_ = now;
    };
    run_threads(jobs, work, tick);
    for (const std::exception_ptr& e : errors)
      if (e) std::rethrow_exception(e);
  }

  // A set ID that the cabinets' contents decide: a hash of every file record,
  // every block (sizes and checksum) and the reserve areas.
  uint16_t content_set_id() const {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    auto mix = [&hash](uint64_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) {
        hash ^= (value >> (8 * i)) & 0xFF;
        hash *= 1099511628211ull;
      }
    };
    mix(options_.header_reserve, 2);
    mix(options_.folder_reserve, 1);
    mix(options_.data_reserve, 1);
    for (uint8_t b : options_.header_reserve_bytes) mix(b, 1);
    for (size_t f = 0; f < inputs_.size(); ++f) {
      mix(plans_[f].type_word, 2);
      for (const CabEntry& e : inputs_[f].entries) {
        for (char c : e.name) mix(uint8_t(c), 1);
        mix(0, 1);
        mix(e.size, 8);
        mix(uint64_t(e.date) | uint64_t(e.time) << 16 | uint64_t(e.attribs) << 32, 6);
      }
      for (const BlockRecord& b : outputs_[f].blocks) {
        mix(b.size, 4);
        mix(b.uncompressed, 2);
        mix(b.sum, 4);
      }
    }
    return uint16_t(hash ^ hash >> 16 ^ hash >> 32 ^ hash >> 48);
  }

  void check_block(size_t f, size_t uncompressed, size_t compressed) const {
    const FolderPlan& plan = plans_[f];
    if (compressed > plan.capacity)
      throw CabWriterError("folder " + std::to_string(f) + ": encoder produced a block of " +
                           std::to_string(compressed) + " bytes; the limit is " +
                           std::to_string(plan.capacity));
    if ((plan.type_word & 0xF) == 0 && compressed != uncompressed)
      throw CabWriterError("folder " + std::to_string(f) + ": stored block size mismatch");
  }

  void open_cabinet() {
    if (cab_.opened) cab_.index += 1;
    if (uint32_t(options_.first_cabinet_index) + cab_.index > CAB_MAX_SET_INDEX)
      throw CabWriterError("cabinet set too long: iCabinet would pass 65535");
    cab_.folders.clear();
    cab_.files.clear();
    cab_.list_bytes = 0;
    cab_.pieces.clear();
    cab_.data_bytes = 0;
    cab_.opened = true;
    if (cab_.index > 0) {
      check_chain_name(name_of(cab_.index - 1), "cabinet name");
      check_chain_name(disk_of(cab_.index - 1), "disk name");
    }
    if (options_.allow_set) {
      check_chain_name(name_of(cab_.index + 1), "cabinet name");
      check_chain_name(disk_of(cab_.index + 1), "disk name");
    }
    if (current_size() > options_.max_cabinet_size)
      throw CabWriterError("the cabinet size limit is smaller than a cabinet header");
  }

  std::string limit_text() const { return std::to_string(options_.max_cabinet_size) + " bytes"; }

  void begin_folder(size_t f) {
    const FolderPlan& plan = plans_[f];
    const auto& entries = inputs_[f].entries;
    uint64_t overhead = folder_record_size();
    for (const CabEntry& e : entries) overhead += file_record_size(e);
    const uint64_t want = overhead + (plan.total > 0 ? data_header_size() + 1 : 0);
    const bool crowded = cab_.folders.size() + 1 > MAX_FOLDERS_PER_CABINET ||
                         cab_.files.size() + entries.size() > CAB_MAX_FILES ||
                         current_size() + want > options_.max_cabinet_size;
    if (crowded && !cab_.folders.empty()) {
      if (!options_.allow_set) {
        throw CabWriterTooLarge("folder " + std::to_string(f) + " does not fit within " +
                                limit_text() + " (the cabinet would be too large)");
      }
      close_cabinet(false, std::nullopt);
      open_cabinet();
    }
    if (current_size() + overhead > options_.max_cabinet_size)
      throw CabWriterError("the file list of folder " + std::to_string(f) +
                           " does not fit in a cabinet of " + limit_text());
    cab_.folders.push_back({f, cab_.data_bytes, 0, false});
    cab_.list_bytes += folder_record_size();
    for (size_t i = 0; i < entries.size(); ++i) {
      cab_.files.push_back({f, i, false});
      cab_.list_bytes += file_record_size(entries[i]);
    }
  }

  void add_piece(const Piece& piece) {
    cab_.pieces.push_back(piece);
    cab_.data_bytes += data_header_size() + piece.size;
    cab_.folders.back().blocks += 1;
  }

  // Adds a block of folder f that begins at `offset` of its stream; begins a
  // new cabinet (splitting the block when part of it fits) when it does not fit.
  void place_block(size_t f, uint64_t offset, const BlockRecord& block, uint64_t store_at) {
    const uint64_t need = data_header_size() + block.size;
    const bool room_for_block = cab_.folders.back().blocks < CAB_MAX_FOLDER_BLOCKS;
    if (room_for_block && current_size() + need <= options_.max_cabinet_size) {
      add_piece({f, store_at, block.size, block.uncompressed, true, block.sum});
      return;
    }
    if (!options_.allow_set) {
      if (!room_for_block)
        throw CabWriterTooLarge("folder " + std::to_string(f) +
                                " needs more than 65535 data blocks in one cabinet");
      throw CabWriterTooLarge("the cabinet would be larger than " + limit_text());
    }
    uint32_t first = 0;
    const uint64_t size = current_size() + data_header_size();
    if (room_for_block && size < options_.max_cabinet_size)
      first = uint32_t(std::min<uint64_t>(options_.max_cabinet_size - size, block.size));
    if (first > 0 && first < block.size)
      add_piece({f, store_at, first, 0, false, 0});
    else
      first = 0;
    close_cabinet(false, offset);
    open_cabinet();
    // The folder goes on as folder 0, with the files that still need bytes.
    cab_.folders.push_back({f, 0, 0, true});
    cab_.list_bytes += folder_record_size();
    const auto& entries = inputs_[f].entries;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].size > 0 && plans_[f].offsets[i] + entries[i].size > offset) {
        cab_.files.push_back({f, i, true});
        cab_.list_bytes += file_record_size(entries[i]);
      }
    }
    if (cab_.files.size() > CAB_MAX_FILES)
      throw CabWriterError("more than 65535 continued files in one cabinet");
    const uint32_t rest = block.size - first;
    if (current_size() + data_header_size() + rest > options_.max_cabinet_size)
      throw CabWriterError("a cabinet of " + limit_text() +
                           " cannot hold a data block with its file list; raise the size limit");
    add_piece({f, store_at + first, rest, block.uncompressed, first == 0, block.sum});
  }

  // The cabinet's data blocks, each with its header, read from the folders'
  // stores and handed to the sink in runs of about 1 MiB.
  void write_pieces() {
    std::vector<uint8_t> out, header, bytes;
    for (const Piece& piece : cab_.pieces) {
      bytes.resize(piece.size);
      outputs_[piece.folder].store->read_at(piece.store_at, bytes.data(), bytes.size());
      header.clear();
      put32(header, 0);
      put16(header, uint16_t(piece.size));
      put16(header, piece.uncompressed);
      header.resize(data_header_size(), 0);
      uint32_t sum = piece.whole ? piece.sum : CabChecksum(bytes.data(), uint32_t(bytes.size()), 0);
      sum = CabChecksum(header.data() + 4, uint32_t(header.size() - 4), sum);
      header[0] = uint8_t(sum);
      header[1] = uint8_t(sum >> 8);
      header[2] = uint8_t(sum >> 16);
      header[3] = uint8_t(sum >> 24);
      out.insert(out.end(), header.begin(), header.end());
      out.insert(out.end(), bytes.begin(), bytes.end());
      if (out.size() >= (1u << 20)) {
        sink_.write(out);
        out.clear();
      }
    }
    if (!out.empty()) sink_.write(out);
  }

  // `boundary`: when the cabinet's last folder goes on in the next cabinet, the
  // offset in its stream up to which its data are complete here.
  void close_cabinet(bool last, std::optional<uint64_t> boundary) {
    const bool has_next = !last;
    const bool has_prev = cab_.index > 0;
    if (cab_.files.size() > CAB_MAX_FILES)
      throw CabWriterError(std::to_string(cab_.files.size()) +
                           " files in one cabinet; at most 65535 fit");
    if (cab_.folders.size() > MAX_FOLDERS_PER_CABINET)
      throw CabWriterError("too many folders in one cabinet");

    struct Record {
      const FileInCabinet* file;
      uint16_t ifolder;
      bool to_next;
    };
    std::vector<Record> records;
    records.reserve(cab_.files.size());
    const size_t last_folder = cab_.folders.empty() ? SIZE_MAX : cab_.folders.back().folder;
    for (const FileInCabinet& file : cab_.files) {
      const CabEntry& e = inputs_[file.folder].entries[file.entry];
      const uint64_t end = plans_[file.folder].offsets[file.entry] + e.size;
      const bool to_next = boundary && file.folder == last_folder && e.size > 0 && end > *boundary;
      size_t local = 0;
      while (cab_.folders[local].folder != file.folder) ++local;
      uint16_t ifolder = uint16_t(local);
      if (file.from_prev && to_next)
        ifolder = IFOLDER_BOTH;
      else if (file.from_prev)
        ifolder = IFOLDER_FROM_PREV;
      else if (to_next)
        ifolder = IFOLDER_TO_NEXT;
      records.push_back({&file, ifolder, to_next});
    }
    // Files that go on into the next cabinet come last, in stream order: the
    // reader leaves this cabinet's list at the first of them that it extracts,
    // and the next cabinet's list begins with them.
    std::stable_partition(records.begin(), records.end(),
                          [](const Record& r) { return !r.to_next; });

    std::vector<uint8_t> head;
    const uint16_t flags =
        uint16_t((has_prev ? 0x0001 : 0) | (has_next ? 0x0002 : 0) | (reserve_flag() ? 0x0004 : 0));
    const uint64_t header_size = fixed_header_size(cab_.index, has_next);
    const uint64_t folders_size = uint64_t(cab_.folders.size()) * folder_record_size();
    uint64_t files_size = 0;
    for (const Record& r : records)
      files_size += file_record_size(inputs_[r.file->folder].entries[r.file->entry]);
    const uint64_t data_start = header_size + folders_size + files_size;
    const uint64_t total = data_start + cab_.data_bytes;
    if (total > options_.max_cabinet_size)
      throw CabWriterError("the cabinet would be larger than " + limit_text());

    put32(head, 0x4643534D);  // "MSCF"
    put32(head, 0);
    put32(head, uint32_t(total));
    put32(head, 0);
    put32(head, uint32_t(header_size + folders_size));
    put32(head, 0);
    head.push_back(3);
    head.push_back(1);
    put16(head, uint16_t(cab_.folders.size()));
    put16(head, uint16_t(records.size()));
    put16(head, flags);
    put16(head, set_id_);
    put16(head, uint16_t(options_.first_cabinet_index + cab_.index));
    if (reserve_flag()) {
      put16(head, options_.header_reserve);
      head.push_back(options_.folder_reserve);
      head.push_back(options_.data_reserve);
      const size_t at = head.size();
      head.resize(at + options_.header_reserve, 0);
      std::copy(options_.header_reserve_bytes.begin(), options_.header_reserve_bytes.end(),
                head.begin() + at);
    }
    if (has_prev) {
      put_string(head, name_of(cab_.index - 1));
      put_string(head, disk_of(cab_.index - 1));
    }
    if (has_next) {
      put_string(head, name_of(cab_.index + 1));
      put_string(head, disk_of(cab_.index + 1));
    }
    for (const FolderInCabinet& folder : cab_.folders) {
      put32(head, uint32_t(data_start + folder.data_start));
      put16(head, uint16_t(folder.blocks));
      put16(head, plans_[folder.folder].type_word);
      head.resize(head.size() + options_.folder_reserve, 0);
    }
    for (const Record& r : records) {
      const CabEntry& e = inputs_[r.file->folder].entries[r.file->entry];
      put32(head, uint32_t(e.size));
      put32(head, uint32_t(plans_[r.file->folder].offsets[r.file->entry]));
      put16(head, r.ifolder);
      put16(head, e.date);
      put16(head, e.time);
      put16(head, e.attribs);
      put_string(head, e.name);
    }
    if (head.size() != data_start) throw CabWriterError("internal error: cabinet header size");
    sink_.begin_cabinet(cab_.index);
    sink_.write(head);
    write_pieces();
    sink_.end_cabinet(cab_.index);
    summary_.cabinet_sizes.push_back(total);
  }

  std::vector<CabFolderInput>& inputs_;
  const CabWriterOptions& options_;
  CabinetSink& sink_;
  std::vector<FolderPlan> plans_;
  SpoolBudget budget_;  // outlives the stores of outputs_
  std::vector<FolderOutput> outputs_;
  uint16_t set_id_ = 0;
  OpenCabinet cab_;
  uint64_t grand_total_ = 0;
  uint64_t done_ = 0;
  CabWriteSummary summary_;
};

class MemorySink : public CabinetSink {
 public:
  std::vector<std::vector<uint8_t>> cabinets;
  void begin_cabinet(unsigned) override { cabinets.emplace_back(); }
  void write(std::span<const uint8_t> bytes) override {
    cabinets.back().insert(cabinets.back().end(), bytes.begin(), bytes.end());
  }
  void end_cabinet(unsigned) override {}
};

}  // namespace

CabEntry make_memory_entry(std::string name, std::vector<uint8_t> data, uint16_t date,
                           uint16_t time, uint16_t attribs) {
  CabEntry e;
  e.name = std::move(name);
  e.size = data.size();
  e.data = std::move(data);
  e.date = date;
  e.time = time;
  e.attribs = attribs;
  return e;
}

CabWriteSummary write_cabinets(std::vector<CabFolderInput>& folders,
                               const CabWriterOptions& options, CabinetSink& sink) {
  Writer writer(folders, options, sink);
  return writer.run();
}

std::vector<std::vector<uint8_t>> write_cabinets_to_memory(std::vector<CabFolderInput>& folders,
                                                           const CabWriterOptions& options) {
  MemorySink sink;
  write_cabinets(folders, options, sink);
  return std::move(sink.cabinets);
}

uint32_t cab_block_capacity(uint16_t type_word) {
  switch (type_word & 0xF) {
    case 0:
      return CAB_FRAME_SIZE;
    case 1:
      return CAB_FRAME_SIZE + 12;
    case 2:
      return CAB_FRAME_SIZE + 10240;
    case 3:
      return CAB_FRAME_SIZE + 6144;
    default:
      return 0;
  }
}

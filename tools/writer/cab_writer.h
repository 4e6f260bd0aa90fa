// Cabinet writer: lays files out in folders, cuts each folder's uncompressed
// stream into 32 KiB frames, has the folder's encoder turn every frame into a
// data block and writes one cabinet or a cabinet set.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "writer/encoder.h"

// Every refusal and I/O failure of the writer.
class CabWriterError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The data do not fit within the cabinet size limit (and no set is allowed).
class CabWriterTooLarge : public CabWriterError {
 public:
  using CabWriterError::CabWriterError;
};

constexpr size_t CAB_MAX_NAME = 255;              // stored names and set-chaining names, in bytes
constexpr uint64_t CAB_MAX_CABINET = 0x7FFFFFFF;  // offsets are signed 32-bit to the reader
// Most files one cabinet lists; a folder's files are all listed in the cabinet
// where it begins, so a folder holds no more either.
constexpr size_t CAB_MAX_FILES = 0xFFFF;
// Most data blocks of one folder in one cabinet (the folder record counts them
// in 16 bits).
constexpr size_t CAB_MAX_FOLDER_BLOCKS = 0xFFFF;
// Highest index of a cabinet in its set (iCabinet is 16 bits).
constexpr unsigned CAB_MAX_SET_INDEX = 0xFFFF;
// Largest uncompressed folder stream whose block offsets stay inside 32 bits.
constexpr uint64_t CAB_MAX_FOLDER_BYTES = 0xFFFFFFFFull - CAB_FRAME_SIZE + 1;

struct CabEntry {
  std::string name;              // stored name, bytes as they go into the cabinet
  std::filesystem::path source;  // read from this file when not empty...
  std::vector<uint8_t> data;     // ...otherwise these bytes
  uint64_t size = 0;             // the file's size; a source must still have it when read
  uint16_t date = 0;             // MS-DOS date and time
  uint16_t time = 0;
  uint16_t attribs = 0;
  // When set, the source's last-write time, which it must still have once read.
  std::filesystem::file_time_type source_time{};
};

// Bytes entry with its size taken from the data.
CabEntry make_memory_entry(std::string name, std::vector<uint8_t> data, uint16_t date = 0x5821,
                           uint16_t time = 0x6000, uint16_t attribs = 0x20);

struct CabFolderInput {
  std::unique_ptr<BlockEncoder> encoder;
  std::vector<CabEntry> entries;
};

struct CabWriterOptions {
  // Size limit of every cabinet, at most CAB_MAX_CABINET. Without `allow_set`
  // data that do not fit are refused; with it a new cabinet is begun.
  uint64_t max_cabinet_size = CAB_MAX_CABINET;
  bool allow_set = false;
  uint16_t set_id = 0;
  // Derive the set ID from the cabinets' contents (file records, blocks,
  // reserves) instead of taking `set_id`: the same input, the same ID.
  bool set_id_from_content = false;
  uint16_t first_cabinet_index = 0;
  // Reserve areas; flag 0x0004 is written when any size is not 0 or when
  // `reserve_flag` asks for it.
  uint16_t header_reserve = 0;
  uint8_t folder_reserve = 0;
  uint8_t data_reserve = 0;
  bool reserve_flag = false;
  std::vector<uint8_t> header_reserve_bytes;  // start of the header reserve, rest zero
  // Names of cabinet n of this set (0 = the first) for szCabinetPrev/Next and
  // szDiskPrev/Next. Required when a set may be written.
  std::function<std::string(unsigned)> cabinet_name;
  std::function<std::string(unsigned)> disk_name;
  // Compressed blocks wait here until every folder is done and the cabinets
  // are laid out; beyond 16 MiB in all they go to temporary files in this
  // folder. Empty: kept in memory.
  std::filesystem::path spool_dir;
  // Called on the calling thread with the uncompressed bytes done and in
  // total: after every frame with one job, about every 50 ms with more.
  std::function<void(uint64_t done, uint64_t total)> progress;
  // Folders compressed at the same time, each by its own encoder on its own
  // thread. The output is the same for every value.
  unsigned jobs = 1;
};

// Receives the finished cabinets, one after the other, each as a run of writes.
class CabinetSink {
 public:
  virtual ~CabinetSink() = default;
  virtual void begin_cabinet(unsigned index) = 0;
  virtual void write(std::span<const uint8_t> bytes) = 0;
  virtual void end_cabinet(unsigned index) = 0;
};

struct CabWriteSummary {
  std::vector<uint64_t> cabinet_sizes;
  uint64_t uncompressed_bytes = 0;
};

// Writes the folders (their entries in the given order) as a cabinet or a set.
// Throws CabWriterError on anything the format cannot hold or on I/O failure.
CabWriteSummary write_cabinets(std::vector<CabFolderInput>& folders,
                               const CabWriterOptions& options, CabinetSink& sink);

// The same into memory, one byte vector per cabinet.
std::vector<std::vector<uint8_t>> write_cabinets_to_memory(std::vector<CabFolderInput>& folders,
                                                           const CabWriterOptions& options = {});

// Largest compressed block for the type word's compression type, 0 if unknown.
uint32_t cab_block_capacity(uint16_t type_word);

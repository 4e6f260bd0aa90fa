// In-memory callbacks for the cabinet library, for tests.
//
// A VirtualDisk holds cabinets as named byte buffers and captures output files
// by handle. The callbacks are plain function pointers, so they work on the
// disk made current for this thread by a DiskScope (extract_all sets one up
// itself). Allocation, read, write and close failures can be injected.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cabinet/cab.h"

namespace memcab {

using Bytes = std::vector<uint8_t>;

struct Faults {
  int64_t fail_alloc_number = -1;          // this allocation (1-based) returns null
  uint32_t fail_alloc_above = UINT32_MAX;  // allocations larger than this return null
  int64_t fail_read_number = -1;           // this read call on a cabinet returns -1
  int64_t fail_write_number = -1;          // this write call returns -1
  int64_t short_write_number = -1;         // this write call writes one byte less
  int32_t cabinet_close_result = 0;        // what closing a cabinet handle returns
  bool poison_allocations = true;          // fill new memory with 0xA5, as a heap might leave it
};

struct Stats {
  int64_t allocations = 0;
  int64_t frees = 0;
  int64_t reads = 0;   // read calls on cabinet handles
  int64_t writes = 0;  // write calls on output handles
  int64_t seeks = 0;
  int64_t bytes_read = 0;
  uint32_t largest_read_request = 0;
  int32_t open_cabinets = 0;
  int32_t max_open_cabinets = 0;
  int32_t last_open_flags = 0;
  int32_t last_open_mode = 0;
};

struct OutputFile {
  std::string name;
  Bytes data;
  int32_t closes = 0;  // times its handle was closed through the close callback
};

class VirtualDisk {
 public:
  std::map<std::string, Bytes> files;  // cabinets, by the exact path the library opens
  Faults faults;
  Stats stats;
  std::vector<std::string> opened_paths;  // every path passed to open, in order

  // A new output buffer; the handle is never 0 or -1.
  int32_t create_output(const std::string& name);
  OutputFile* output(int32_t handle);
  const std::map<int32_t, OutputFile>& outputs() const { return outputs_; }
  // Allocations not yet freed (pointer → size).
  const std::map<const void*, uint32_t>& live_allocations() const { return live_; }

  // Used by the callbacks.
  void* allocate(uint32_t size);
  void release(void* memory);
  int32_t open(const char* path, int32_t flags, int32_t mode);
  int32_t read(int32_t handle, void* buffer, uint32_t count);
  int32_t write(int32_t handle, const void* buffer, uint32_t count);
  int32_t close(int32_t handle);
  int32_t seek(int32_t handle, int32_t offset, int32_t origin);

 private:
  struct OpenCabinet {
    std::string path;
    int64_t position = 0;
  };
  int32_t next_handle_ = 100;
  std::map<int32_t, OpenCabinet> cabinets_;
  std::map<int32_t, OutputFile> outputs_;
  std::map<const void*, uint32_t> live_;
};

// Makes a disk current for the callbacks on this thread while it lives.
class DiskScope {
 public:
  explicit DiskScope(VirtualDisk& disk);
  ~DiskScope();
  DiskScope(const DiskScope&) = delete;
  DiskScope& operator=(const DiskScope&) = delete;

 private:
  VirtualDisk* previous_;
};
VirtualDisk* current_disk();

// The seven callbacks over the current disk.
void* mem_alloc(uint32_t size);
void mem_free(void* memory);
int32_t mem_open(const char* path, int32_t flags, int32_t mode);
int32_t mem_read(int32_t handle, void* buffer, uint32_t count);
int32_t mem_write(int32_t handle, const void* buffer, uint32_t count);
int32_t mem_close(int32_t handle);
int32_t mem_seek(int32_t handle, int32_t offset, int32_t origin);

// CabDecoderCreate with the callbacks above (a disk must be current).
CabDecoder* create_decoder(CabErrorRecord* error, int32_t processor_type = -1);

struct ExtractedFile {
  std::string name;
  Bytes data;
  uint16_t date = 0;
  uint16_t time = 0;
  uint16_t attribs = 0;  // as reported at the file's end (0x40 cleared)
  bool run_after = false;
  uint16_t folder = 0;
};

// One notification as the helper saw it.
struct Event {
  int32_t kind;
  std::string text1;
  uint32_t size;
  uint16_t folder;
  uint16_t set_id;
  uint16_t cabinet_index;
  int32_t last_error;
};

struct ExtractOptions {
  std::string path;  // cabinet path, prefixed to every cabinet name as it is
  // Called first for every notification; a value is the answer and skips the
  // helper's own handling of that notification.
  std::function<std::optional<int32_t>(int32_t kind, CabNotification* record)> on_notify;
  // CAB_NOTIFY_NEED_CABINET calls answered with 0 before the helper answers -1.
  int max_need_cabinet = 4;
  CabBlockHookFn hook = nullptr;
  // Extract with this context instead of a fresh one (kept, not destroyed);
  // its failures go to the record given when it was created, not to
  // ExtractResult::error.
  CabDecoder* context = nullptr;
};

struct ExtractResult {
  bool ok = false;
  CabErrorRecord error{};
  std::vector<ExtractedFile> files;  // in the order their ends were reported
  std::vector<Event> events;
  const ExtractedFile* find(const std::string& name) const;
  std::vector<int32_t> kinds() const;
};

// Runs one CabDecoderExtract over the disk (made current for the call) and
// collects the files written. Without options.context the decoder is created
// and destroyed around the call; creation failure gives ok = false and the
// error record of CabDecoderCreate.
ExtractResult extract_all(VirtualDisk& disk, const std::string& cabinet_name,
                          const ExtractOptions& options = {});

}  // namespace memcab

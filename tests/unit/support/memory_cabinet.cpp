#include "support/memory_cabinet.h"

#include <cstdlib>
#include <cstring>

namespace memcab {

namespace {
thread_local VirtualDisk* active_disk = nullptr;
}  // namespace

int32_t VirtualDisk::create_output(const std::string& name) {
  const int32_t handle = next_handle_++;
  outputs_[handle].name = name;
  return handle;
}

OutputFile* VirtualDisk::output(int32_t handle) {
  auto it = outputs_.find(handle);
  return it == outputs_.end() ? nullptr : &it->second;
}

void* VirtualDisk::allocate(uint32_t size) {
  ++stats.allocations;
  if (stats.allocations == faults.fail_alloc_number || size > faults.fail_alloc_above) {
    return nullptr;
  }
  void* memory = std::malloc(size ? size : 1);
  if (memory && faults.poison_allocations) std::memset(memory, 0xA5, size);
  if (memory) live_[memory] = size;
  return memory;
}

void VirtualDisk::release(void* memory) {
  ++stats.frees;
  if (!memory) return;
  live_.erase(memory);
  std::free(memory);
}

int32_t VirtualDisk::open(const char* path, int32_t flags, int32_t mode) {
  opened_paths.push_back(path);
  stats.last_open_flags = flags;
  stats.last_open_mode = mode;
  if (files.find(path) == files.end()) return -1;
  const int32_t handle = next_handle_++;
  cabinets_[handle].path = path;
  ++stats.open_cabinets;
  if (stats.open_cabinets > stats.max_open_cabinets) stats.max_open_cabinets = stats.open_cabinets;
  return handle;
}

int32_t VirtualDisk::read(int32_t handle, void* buffer, uint32_t count) {
  auto it = cabinets_.find(handle);
  if (it == cabinets_.end()) return -1;
  ++stats.reads;
  if (count > stats.largest_read_request) stats.largest_read_request = count;
  if (stats.reads == faults.fail_read_number) return -1;
  const Bytes& bytes = files[it->second.path];
  const int64_t position = it->second.position;
  const int64_t available = position < static_cast<int64_t>(bytes.size())
                                ? static_cast<int64_t>(bytes.size()) - position
                                : 0;
  const int64_t n = available < count ? available : count;
  if (n > 0) std::memcpy(buffer, bytes.data() + position, static_cast<size_t>(n));
  it->second.position += n;
  stats.bytes_read += n;
  return static_cast<int32_t>(n);
}

int32_t VirtualDisk::write(int32_t handle, const void* buffer, uint32_t count) {
  OutputFile* file = output(handle);
  if (!file) return -1;
  ++stats.writes;
  if (stats.writes == faults.fail_write_number) return -1;
  uint32_t n = count;
  if (stats.writes == faults.short_write_number && n > 0) --n;
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  file->data.insert(file->data.end(), bytes, bytes + n);
  return static_cast<int32_t>(n);
}

int32_t VirtualDisk::close(int32_t handle) {
  if (cabinets_.erase(handle)) {
    --stats.open_cabinets;
    return faults.cabinet_close_result;
  }
  if (OutputFile* file = output(handle)) {
    ++file->closes;
    return 0;
  }
  return -1;
}

int32_t VirtualDisk::seek(int32_t handle, int32_t offset, int32_t origin) {
  auto it = cabinets_.find(handle);
  if (it == cabinets_.end()) return -1;
  ++stats.seeks;
  int64_t base = 0;
  if (origin == 1) {
    base = it->second.position;
  } else if (origin == 2) {
    base = static_cast<int64_t>(files[it->second.path].size());
  } else if (origin != 0) {
    return -1;
  }
  const int64_t target = base + offset;
  if (target < 0 || target > INT32_MAX) return -1;
  it->second.position = target;
  return static_cast<int32_t>(target);
}

DiskScope::DiskScope(VirtualDisk& disk) : previous_(active_disk) {
  active_disk = &disk;
}
DiskScope::~DiskScope() {
  active_disk = previous_;
}
VirtualDisk* current_disk() {
  return active_disk;
}

void* mem_alloc(uint32_t size) {
  return active_disk->allocate(size);
}
void mem_free(void* memory) {
  active_disk->release(memory);
}
int32_t mem_open(const char* path, int32_t flags, int32_t mode) {
  return active_disk->open(path, flags, mode);
}
int32_t mem_read(int32_t handle, void* buffer, uint32_t count) {
  return active_disk->read(handle, buffer, count);
}
int32_t mem_write(int32_t handle, const void* buffer, uint32_t count) {
  return active_disk->write(handle, buffer, count);
}
int32_t mem_close(int32_t handle) {
  return active_disk->close(handle);
}
int32_t mem_seek(int32_t handle, int32_t offset, int32_t origin) {
  return active_disk->seek(handle, offset, origin);
}

CabDecoder* create_decoder(CabErrorRecord* error, int32_t processor_type) {
  return CabDecoderCreate(mem_alloc, mem_free, mem_open, mem_read, mem_write, mem_close, mem_seek,
                          processor_type, error);
}

const ExtractedFile* ExtractResult::find(const std::string& name) const {
  for (const ExtractedFile& file : files) {
    if (file.name == name) return &file;
  }
  return nullptr;
}

std::vector<int32_t> ExtractResult::kinds() const {
  std::vector<int32_t> kinds;
  for (const Event& event : events) kinds.push_back(event.kind);
  return kinds;
}

namespace {

struct Session {
  VirtualDisk* disk;
  const ExtractOptions* options;
  ExtractResult* result;
  int need_cabinet_calls = 0;
};

int32_t notify(int32_t kind, CabNotification* record) {
  Session* session = reinterpret_cast<Session*>(record->user);
  Event event{kind, "", record->size, record->folder, record->setId, record->cabinetIndex, 0};
  if (kind != CAB_NOTIFY_LIST_POSITION && record->text1) event.text1 = record->text1;
  if (kind == CAB_NOTIFY_NEED_CABINET) event.last_error = record->lastError;
  session->result->events.push_back(event);

  if (session->options->on_notify) {
    if (std::optional<int32_t> answer = session->options->on_notify(kind, record)) return *answer;
  }
  switch (kind) {
    case CAB_NOTIFY_FILE_BEGIN:
      return session->disk->create_output(record->text1);
    case CAB_NOTIFY_FILE_END: {
      OutputFile* output = session->disk->output(record->handle);
      if (!output) return 0;
      ++output->closes;
      ExtractedFile file;
      file.name = record->text1;
      file.data = output->data;
      file.date = record->date;
      file.time = record->time;
      file.attribs = record->attribs;
      file.run_after = record->size != 0;
      file.folder = record->folder;
      session->result->files.push_back(std::move(file));
      return 1;
    }
    case CAB_NOTIFY_NEED_CABINET:
      return ++session->need_cabinet_calls > session->options->max_need_cabinet ? -1 : 0;
    default:
      return 0;
  }
}

}  // namespace

ExtractResult extract_all(VirtualDisk& disk, const std::string& cabinet_name,
                          const ExtractOptions& options) {
  DiskScope scope(disk);
  ExtractResult result;
  Session session{&disk, &options, &result};
  CabDecoder* context = options.context;
  if (!context) {
    context = create_decoder(&result.error);
    if (!context) return result;
  }
  result.ok = CabDecoderExtract(context, cabinet_name.c_str(), options.path.c_str(), 0, notify,
                                options.hook, reinterpret_cast<intptr_t>(&session)) == 1;
  if (!options.context) CabDecoderDestroy(context);
  return result;
}

}  // namespace memcab

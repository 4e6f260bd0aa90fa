// Output files after they are created. The notification handler creates each
// file itself (an existing one is found and settled at once, in order); its
// bytes, its date and its closing are done here: on a thread of their own
// while the worker runs, so that writing one file overlaps decoding the next,
// or at once when no such thread runs (the handler driven directly, or a
// thread that could not be started).
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "extract/extract.h"
#include "startup/globals.h"
#include "startup/paths.h"

namespace {

// A ring of records that the worker appends and the writer takes: a 16-byte
// head and the payload rounded up to 16 bytes. A record never wraps; the end
// of the ring is filled with a PAD record instead. A power of two, so that
// positions counted from the start stay right when they wrap at 2^32.
constexpr uint32_t RING_BYTES = 4u << 20;
constexpr uint32_t RECORD_HEAD = 16;
constexpr uint32_t LARGEST_PIECE = 64 * 1024;

enum : uint32_t { RECORD_PAD, RECORD_OPEN, RECORD_DATA, RECORD_CLOSE };

struct RecordHead {
  uint32_t kind;
  uint32_t size;    // payload bytes
  uint32_t first;   // OPEN: the file's handle; CLOSE: DOS date << 16 | time
  uint32_t second;  // OPEN: the attributes of the file it replaces, else 0;
                    // CLOSE: attributes | complete << 16
};

// Declared from Vista on; older systems ignore the flag.
constexpr DWORD IGNORE_ACL_ERRORS = 0x4;  // REPLACEFILE_IGNORE_ACL_ERRORS

// Attributes that are cleared (a read-only file cannot be replaced) and put
// back on the old file.
constexpr DWORD KEPT_BY_OLD_FILE =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// SetFileInformationByHandle (Vista on) with FileBasicInfo: attributes set
// through a handle; times of 0 are left as they are. Without it (XP) the
// attributes of a file whose name was replaced stay cleared.
struct BasicInfo {
  LARGE_INTEGER times[4];
  DWORD attributes;
};
using SetInfoFn = BOOL(WINAPI*)(HANDLE, int, void*, DWORD);

SetInfoFn set_info;  // looked up at the first use (on the writer's side only)

void set_file_attributes(HANDLE file, DWORD attributes) {
  if (!set_info) {
    set_info = reinterpret_cast<SetInfoFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetFileInformationByHandle")));
  }
  BasicInfo info = {};
  info.attributes = attributes;
  if (set_info) set_info(file, 0, &info, sizeof info);
}

uint8_t* ring;
volatile LONG ring_head;  // bytes appended since the start, by the worker
volatile LONG ring_tail;  // bytes the writer has done with
volatile LONG writer_stopping;
HANDLE writer;
uint64_t bytes_given;  // to the current file, on the worker's side

// The file being written, on the writer's side.
HANDLE file = INVALID_HANDLE_VALUE;
// Its path, then PATH_BUFFER bytes on, the name it has when done: its own,
// or that of the existing file that it replaces once whole.
char file_path[2 * PATH_BUFFER];
const char* const final_path = file_path + PATH_BUFFER;
DWORD replaced_attributes;  // the replaced file's attributes (0 for a new file)
bool file_failed;           // a write failed: the file is removed at its end

void perform_open(HANDLE handle, const char* paths, DWORD replaced) {
  file = handle;
  memcpy(file_path, paths, sizeof file_path);
  replaced_attributes = replaced;
  file_failed = false;
}

void perform_write(const void* bytes, uint32_t count) {
  if (file == INVALID_HANDLE_VALUE || file_failed) return;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes, count, &written, nullptr);
  if (!ok || written != count) {
    // A short write is a full disk as much as a failed one.
    fail_output(ok ? ERROR_DISK_FULL : GetLastError(), final_path);
    file_failed = true;
  }
}

void perform_close(uint32_t stamp, uint16_t attributes, bool complete) {
  if (file == INVALID_HANDLE_VALUE) return;
  complete = complete && !file_failed;
  // Stamped through the open handle: opening the file again by name would
  // cost as much as writing a small file.
  FILETIME utc;
  if (complete && dos_to_file_time(uint16_t(stamp >> 16), uint16_t(stamp), &utc)) {
    SetFileTime(file, &utc, nullptr, &utc);
  }
  CloseHandle(file);
  file = INVALID_HANDLE_VALUE;
  if (complete && replaced_attributes != 0) {
    // The whole new file takes the old one's name, security and creation
    // time. A read-only old file cannot be replaced, so its attributes are
    // cleared first; they belong to the file, not the name, so they are put
    // back through a handle that follows it: for its other names (hard
    // links) once replaced, or for this one when it could not be.
    HANDLE old = INVALID_HANDLE_VALUE;
    if (replaced_attributes & KEPT_BY_OLD_FILE) {
      old = CreateFileA(final_path, FILE_WRITE_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, 0, nullptr);
      SetFileAttributesA(final_path, FILE_ATTRIBUTE_NORMAL);
    }
    // ERROR_UNABLE_TO_MOVE_REPLACEMENT: the old file is gone already and
    // the new one still has its own name; it must not be lost as well.
    if (!ReplaceFileA(final_path, file_path, nullptr,
                      REPLACEFILE_IGNORE_MERGE_ERRORS | IGNORE_ACL_ERRORS, nullptr, nullptr) &&
        !(GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT && MoveFileA(file_path, final_path))) {
      fail_output(GetLastError(), final_path);
      complete = false;
    }
    if (old != INVALID_HANDLE_VALUE) {
      set_file_attributes(old, replaced_attributes);
      CloseHandle(old);
    }
  }
  if (!complete) {
    DeleteFileA(file_path);
  } else if (replaced_attributes != 0 || attributes != FILE_ATTRIBUTE_ARCHIVE) {
    // A new file starts with the archive attribute alone.
    SetFileAttributesA(final_path, attributes);
  }
}

void perform(const RecordHead* head) {
  const char* payload = reinterpret_cast<const char*>(head + 1);
  switch (head->kind) {
    case RECORD_OPEN:
      perform_open(reinterpret_cast<HANDLE>(uintptr_t(head->first)), payload, head->second);
      break;
    case RECORD_DATA:
      perform_write(payload, head->size);
      break;
    case RECORD_CLOSE:
      perform_close(head->first, uint16_t(head->second), (head->second >> 16) != 0);
      break;
    default:
      break;
  }
}

uint32_t load(volatile LONG* value) {
  return uint32_t(InterlockedCompareExchange(value, 0, 0));
}

uint32_t record_bytes(uint32_t payload) {
  return RECORD_HEAD + ((payload + 15) & ~15u);
}

// Waiting on either side polls with Sleep(1): under Wine every event
// signalled or waited for is a request to its server, as costly as a file
// operation, and the ring holds enough for the writer to wake up late.
DWORD WINAPI write_records(LPVOID) {
  for (;;) {
    const uint32_t tail = uint32_t(ring_tail);
    if (load(&ring_head) == tail) {
      // The worker appends its last record before it asks the writer to stop.
      if (load(&writer_stopping) && load(&ring_head) == tail) return 0;
      Sleep(1);
      continue;
    }
    const RecordHead* head = reinterpret_cast<const RecordHead*>(ring + tail % RING_BYTES);
    perform(head);
    InterlockedExchange(&ring_tail, LONG(tail + record_bytes(head->size)));
  }
}

// Room for a record with `payload` bytes, once the writer has made it.
RecordHead* reserve(uint32_t payload) {
  const uint32_t need = record_bytes(payload);
  for (;;) {
    const uint32_t head = uint32_t(ring_head);
    const uint32_t at = head % RING_BYTES;
    const uint32_t pad = need <= RING_BYTES - at ? 0 : RING_BYTES - at;
    if (RING_BYTES - (head - load(&ring_tail)) >= pad + need) {
      if (pad != 0) {
        RecordHead* filler = reinterpret_cast<RecordHead*>(ring + at);
        filler->kind = RECORD_PAD;
        filler->size = pad - RECORD_HEAD;
        InterlockedExchange(&ring_head, LONG(head + pad));
      }
      return reinterpret_cast<RecordHead*>(ring + (head + pad) % RING_BYTES);
    }
    Sleep(1);
  }
}

void append(uint32_t kind, uint32_t first, uint32_t second, const void* payload, uint32_t size) {
  RecordHead* head = reserve(size);
  head->kind = kind;
  head->size = size;
  head->first = first;
  head->second = second;
  if (size != 0) std::memcpy(head + 1, payload, size);
  InterlockedExchangeAdd(&ring_head, LONG(record_bytes(size)));
}

}  // namespace

bool output_start() {
  if (!ring) ring = static_cast<uint8_t*>(malloc(RING_BYTES));  // kept for the process
  if (!ring) return false;
  ring_head = 0;
  ring_tail = 0;
  writer_stopping = 0;
  writer = CreateThread(nullptr, 0, write_records, nullptr, 0, nullptr);
  return writer != nullptr;
}

void output_flush() {
  while (writer && load(&ring_tail) != uint32_t(ring_head)) Sleep(1);
}

void output_finish() {
  if (writer) {
    InterlockedExchange(&writer_stopping, 1);
    WaitForSingleObject(writer, INFINITE);
    CloseHandle(writer);
    writer = nullptr;
  }
  // A file begun but not ended (the walk failed or was cancelled while it
  // was written) does not stay under its name.
  perform_close(0, 0, false);
}

void output_begin(HANDLE handle, const char* paths, DWORD replaced) {
  bytes_given = 0;
  if (!writer) return perform_open(handle, paths, replaced);
  append(RECORD_OPEN, uint32_t(uintptr_t(handle)), replaced, paths, 2 * PATH_BUFFER);
}

bool output_write(const void* bytes, uint32_t count) {
  bytes_given += count;
  if (!writer) {
    perform_write(bytes, count);
    return !file_failed;
  }
  for (const char* piece = static_cast<const char*>(bytes); count != 0;) {
    const uint32_t n = count < LARGEST_PIECE ? count : LARGEST_PIECE;
    append(RECORD_DATA, 0, 0, piece, n);
    piece += n;
    count -= n;
  }
  return true;
}

uint64_t output_length() {
  return bytes_given;
}

void output_end(uint16_t date, uint16_t time, uint16_t attributes, bool complete) {
  const uint32_t stamp = uint32_t(date) << 16 | time;
  if (!writer) return perform_close(stamp, attributes, complete);
  append(RECORD_CLOSE, stamp, attributes | uint32_t(complete) << 16, nullptr, 0);
}

// Cabinet decoding library: context, callbacks, notifications and errors.
// Portable C++: no platform headers. Everything the library reads, writes or
// allocates goes through the caller's callbacks.
#pragma once
#include <cstdint>

// Callback shapes. Handles are 32-bit integers; -1 is never a valid handle.
typedef void* (*CabAllocFn)(uint32_t size);
typedef void (*CabFreeFn)(void* memory);
typedef int32_t (*CabOpenFn)(const char* path, int32_t flags, int32_t mode);
typedef int32_t (*CabReadFn)(int32_t handle, void* buffer, uint32_t count);
typedef int32_t (*CabWriteFn)(int32_t handle, const void* buffer, uint32_t count);
typedef int32_t (*CabCloseFn)(int32_t handle);
typedef int32_t (*CabSeekFn)(int32_t handle, int32_t offset, int32_t origin);

// Open flags and mode the library passes (runtime library values).
constexpr int32_t CAB_OPEN_READ_BINARY = 0x8000;
constexpr int32_t CAB_OPEN_MODE = 0x180;

struct CabErrorRecord {
  int32_t code;    // CAB_ERR_*
  int32_t detail;  // version word for CAB_ERR_VERSION, else 0
  int32_t failed;  // 1 together with every code
};

enum : int32_t {
  CAB_ERR_NONE = 0,
  CAB_ERR_CABINET_MISSING = 1,
  CAB_ERR_NOT_CABINET = 2,
  CAB_ERR_VERSION = 3,
  CAB_ERR_DAMAGED = 4,
  CAB_ERR_NO_MEMORY = 5,
  CAB_ERR_COMPRESSION_TYPE = 6,
  CAB_ERR_DECODER = 7,
  CAB_ERR_OUTPUT = 8,
  CAB_ERR_RESERVE_SIZE = 9,
  CAB_ERR_WRONG_CABINET = 10,
  CAB_ERR_ABORTED = 11,
};

enum : int32_t {
  CAB_NOTIFY_CABINET_OPENED = 0,
  CAB_NOTIFY_CONTINUED_FILE = 1,
  CAB_NOTIFY_FILE_BEGIN = 2,
  CAB_NOTIFY_FILE_END = 3,
  CAB_NOTIFY_NEED_CABINET = 4,
  CAB_NOTIFY_LIST_POSITION = 5,
};

// One record per context, refilled per notification; fields a kind does not
// use hold stale values.
struct CabNotification {
  uint32_t size;
  char* text1;
  char* text2;
  char* text3;
  intptr_t user;
  int32_t handle;
  uint16_t date;
  uint16_t time;
  uint16_t attribs;
  uint16_t setId;
  uint16_t cabinetIndex;
  uint16_t folder;
  int32_t lastError;
};

typedef int32_t (*CabNotifyFn)(int32_t kind, CabNotification* record);

enum : int32_t {
  CAB_HOOK_CABINET = 0,
  CAB_HOOK_FOLDER = 1,
  CAB_HOOK_DATA_BLOCK = 2,
};

struct CabBlockHookRecord {
  int32_t kind;
  intptr_t user;
  uint8_t* reserve;  // null when the area is empty
  uint16_t reserveSize;
  // CAB_HOOK_CABINET
  uint16_t setId;
  uint32_t cabinetIndex;
  // CAB_HOOK_FOLDER
  uint16_t folderIndex;
  // CAB_HOOK_DATA_BLOCK
  uint8_t* data;
  uint16_t dataSize;
  uint32_t split;
  uint16_t carried;
};

typedef int32_t (*CabBlockHookFn)(CabBlockHookRecord* record);

// Compression type word (CFFOLDER typeCompress), low 4 bits.
enum : uint16_t {
  COMPRESSION_NONE = 0,
  COMPRESSION_MSZIP = 1,
  COMPRESSION_QUANTUM = 2,
  COMPRESSION_LZX = 3,
  COMPRESSION_UNSET = 15,
};

struct CabDecoder;

CabDecoder* CabDecoderCreate(CabAllocFn alloc, CabFreeFn free, CabOpenFn open, CabReadFn read,
                             CabWriteFn write, CabCloseFn close, CabSeekFn seek,
                             int32_t processor_type, CabErrorRecord* error);

// Opens cabinet_path immediately followed by cabinet_name (no separator added).
int32_t CabDecoderExtract(CabDecoder* context, const char* cabinet_name, const char* cabinet_path,
                          int32_t flags, CabNotifyFn notify, CabBlockHookFn hook, intptr_t user);

int32_t CabDecoderDestroy(CabDecoder* context);

// XOR of the little-endian words, then the tail read as a big-endian number.
uint32_t CabChecksum(const void* bytes, uint32_t length, uint32_t seed);

// Short English description of a CAB_ERR_* code (for tools and logs).
const char* CabErrorText(int32_t code);

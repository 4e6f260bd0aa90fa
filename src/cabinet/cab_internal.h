// Internal layout of the decoding context and the operations shared by the
// context, the engine and the decoder dispatch. Not part of the public API.
#pragma once
#include <cstdint>

#include "cabinet/cab.h"

// Sizes of the fixed structures of the format.
constexpr uint32_t CAB_HEADER_SIZE = 36;
constexpr uint32_t CAB_FILE_RECORD_SIZE = 16;
constexpr uint32_t CAB_FOLDER_FIXED_SIZE = 8;
constexpr uint32_t CAB_DATA_FIXED_SIZE = 8;
// A string of the format: at most 255 characters and the NUL; the buffers
// hold one more byte so that a caller-edited path always fits with its NUL.
constexpr uint32_t CAB_STRING_BUFFER = 257;
constexpr uint32_t CAB_FULL_PATH_BUFFER = 258;
// Longest cabinet path, and longest path plus name, the context can hold.
constexpr uint32_t CAB_MAX_PATH_CHARS = 256;
constexpr uint32_t CAB_MAX_FULL_PATH_CHARS = 257;

// Largest folder record and data header: the fixed part and a 255-byte reserve.
constexpr uint32_t CAB_MAX_RECORD_SIZE = 8 + 255;

constexpr uint16_t CAB_NO_FOLDER = 0xFFFF;
constexpr uint16_t CAB_NOTHING_EXPECTED = 0xFFFF;

// A folder may be decoded again from its start (a file listed before the
// block in hand, or a folder visited again) only while the blocks decoded a
// second time stay within this many times the blocks decoded for the first
// time, plus a small allowance: the work of a walk stays linear in the data.
constexpr uint32_t CAB_REDECODE_FACTOR = 4;
constexpr uint32_t CAB_REDECODE_ALLOWANCE = 64;

struct CabDecoder {
  CabErrorRecord* error;
  CabFreeFn free;
  CabAllocFn alloc;
  CabOpenFn open;
  CabReadFn read;
  CabWriteFn write;
  CabCloseFn close;
  CabSeekFn seek;
  int32_t processor_type;
  CabNotifyFn notify;
  CabBlockHookFn hook;
  uint32_t folder_array_position;
  uint32_t block_start;  // folder stream offset of the block in the uncompressed buffer
  void* decoder;         // MszipDecoder*, QuantumDecoder* or LzxDecoder* by type_word
  intptr_t user;
  uint8_t* compressed;      // compressed_capacity bytes
  uint8_t* uncompressed;    // block_size bytes; the decoders' history, never cleared
  uint8_t* folder_record;   // CAB_MAX_RECORD_SIZE bytes
  uint8_t* data_header;     // CAB_MAX_RECORD_SIZE bytes
  uint8_t* header_reserve;  // header_reserve_capacity bytes
  uint8_t header[CAB_HEADER_SIZE];
  uint8_t file_record[CAB_FILE_RECORD_SIZE];
  int32_t data_handle;
  int32_t list_handle;
  int32_t output_handle;
  uint16_t current_folder;
  uint32_t block_size;
  uint32_t compressed_capacity;
  // The block held in the buffers: compressed bytes (both pieces of a split
  // block together) and the uncompressed size its header announced.
  uint32_t block_compressed_size;
  uint32_t block_uncompressed_size;
  bool continuing;
  int32_t last_error;  // code of the latest failure, kept even without a record
  // Reserve sizes of the cabinet open now (each cabinet has its own).
  uint16_t header_reserve_size;
  uint16_t header_reserve_capacity;
  uint16_t folder_record_size;
  uint16_t data_header_size;
  uint16_t files_left;
  // Records read from this cabinet's list that continue into the next one:
  // the next cabinet's list begins with them again.
  uint16_t spanning_read;
  uint16_t blocks_left;
  // Files of this walk's listing that a move to the next cabinet left behind:
  // `files_lost` could no longer be offered at all, `continued_owed` are still
  // due from the next cabinet's list. Either left at the end fails the walk.
  uint32_t files_lost;
  uint32_t continued_owed;
  // Linear-work bound: blocks fetched in the current folder, the first block
  // (folder << 32 | index) not decoded yet in this walk, and the counts of
  // blocks decoded for the first time and again.
  uint32_t folder_blocks;
  uint64_t frontier;
  uint32_t blocks_first;
  uint32_t blocks_again;
  uint16_t type_word;
  char file_name[CAB_STRING_BUFFER];
  char prev_cabinet[CAB_STRING_BUFFER];
  char prev_disk[CAB_STRING_BUFFER];
  char next_cabinet[CAB_STRING_BUFFER];
  char next_disk[CAB_STRING_BUFFER];
  char cabinet_path[CAB_STRING_BUFFER];
  char full_path[CAB_FULL_PATH_BUFFER];
  CabNotification notification;
  CabBlockHookRecord hook_record;
};

// Records a failure in the caller's error record; always returns 0 so that
// callers can write `return CabFail(context, code);`.
int32_t CabFail(CabDecoder* context, int32_t code, int32_t detail = 0);

// Decoder dispatch. Each returns 1, or 0 after recording the error.
int32_t CabSelectDecoder(CabDecoder* context, uint16_t type_word);
int32_t CabResetDecoder(CabDecoder* context);
// expected_size in: the block's cbUncomp; out: the number of bytes produced.
int32_t CabDecodeBlock(CabDecoder* context, uint16_t* expected_size);

inline uint16_t CabGet16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t CabGet32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Package layout: the executable image, a 512-byte header block, a cabinet.
// Portable: shared by the module and cabsfx-tool.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint32_t PACKAGE_HEADER_SIZE = 512;
constexpr char PACKAGE_MAGIC[6] = {'K', 'E', 'S', 'T', 'R', 'A'};
constexpr char PACKAGE_MODE_ANY = '3';
constexpr char PACKAGE_MODE_64BIT = '6';

// The header block; also the layout of the run's settings in memory.
struct PackageHeader {
  char magic[6];
  char mode;
  char reserved;
  char destination[260];
  char setup_file[128];
  int32_t no_confirm;
  int32_t open_folder;
  int32_t delete_after_setup;
  int32_t no_destination_dialog;
  uint32_t crc;
  char prompt_title[32];
  char prompt_text[64];
};

static_assert(sizeof(PackageHeader) == PACKAGE_HEADER_SIZE, "header block is 512 bytes");
static_assert(offsetof(PackageHeader, mode) == 6, "mode");
static_assert(offsetof(PackageHeader, destination) == 8, "destination");
static_assert(offsetof(PackageHeader, setup_file) == 268, "setup_file");
static_assert(offsetof(PackageHeader, no_confirm) == 396, "no_confirm");
static_assert(offsetof(PackageHeader, open_folder) == 400, "open_folder");
static_assert(offsetof(PackageHeader, delete_after_setup) == 404, "delete_after_setup");
static_assert(offsetof(PackageHeader, no_destination_dialog) == 408, "no_destination_dialog");
static_assert(offsetof(PackageHeader, crc) == 412, "crc");
static_assert(offsetof(PackageHeader, prompt_title) == 416, "prompt_title");
static_assert(offsetof(PackageHeader, prompt_text) == 448, "prompt_text");

// True when the block starts with the six letters "KESTRA".
bool package_header_recognised(const void* block, size_t length);

// Where the executable image ends, walked over the section headers of a PE
// image held in memory (the mapped module or the file's first bytes).
// `image_size` bounds every read; returns 0 when the headers do not fit or the
// image is not one this walk handles (fewer than two sections).
uint32_t image_end_from_headers(const uint8_t* image, size_t image_size);

// How much of a package's PE headers the module reads: the first page of its
// mapped image.
constexpr size_t PACKAGE_HEADER_SPAN = 4096;

// The certificate table a signing tool appends to a PE32 image, as its
// security directory (data directory 4) gives it: a file offset and a size.
// False when the headers within `image_size` hold no such entry.
bool pe_certificate_table(const uint8_t* image, size_t image_size, uint32_t& offset,
                          uint32_t& size);

// Where the package CRC stops. The region begins at `region_start` (image end
// + 512) and runs to the end of the file, except in a signed package: its
// certificate table, appended after the cabinet, is not part of the region.
// A security directory that points anywhere but behind the header block
// leaves the region as it is.
uint64_t package_crc_end(const uint8_t* image, size_t image_size, uint64_t region_start,
                         uint64_t file_length);

// The 8-byte cabinet signature "MSCF" 0 0 0 0.
constexpr uint8_t CABINET_SIGNATURE[8] = {'M', 'S', 'C', 'F', 0, 0, 0, 0};
constexpr uint32_t CABINET_SEARCH_BLOCK = 32768;

// Reads up to `count` bytes; returns the count read, 0 at the end, -1 on error.
typedef int32_t (*PackageReadFn)(void* source, uint8_t* buffer, uint32_t count);

// Where the search for the cabinet starts in a file whose first `head_size`
// bytes are `head` and that is `file_size` bytes long: behind the header
// block (image end + 512) when the file is a package, that is a PE image
// this walk handles with a block at its image end that `read_block` (512
// bytes at the given offset; false when they cannot be read) shows to be a
// header block. 0 for anything else, a plain cabinet included. A header
// text field may hold the cabinet signature, so the search must not start
// inside the block.
typedef bool (*PackageReadBlockFn)(void* source, uint32_t offset, uint8_t* block);
uint32_t cabinet_search_start(const uint8_t* head, size_t head_size, uint64_t file_size,
                              PackageReadBlockFn read_block, void* source);

// Searches a stream from its current position in blocks of 32 KiB for the
// first cabinet signature (one that spans two blocks included). Returns its
// offset from where the search began, or -1.
int32_t find_cabinet_signature(PackageReadFn read, void* source);

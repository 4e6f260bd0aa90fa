// A raw cabinet composer for hand-made and deliberately damaged cabinets in
// tests: it lays out the structures byte by byte and knows nothing of
// compression. Every computed field can be overridden.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cabbytes {

using Bytes = std::vector<uint8_t>;

struct Block {
  Bytes data;                              // the bytes stored in this CFDATA
  std::optional<uint16_t> uncompressed{};  // cbUncomp; default data.size()
  std::optional<uint16_t> data_size{};     // cbData field; default data.size()
  std::optional<uint32_t> csum{};          // default: computed; 0 means unchecked
  Bytes reserve{};                         // padded or cut to the cabinet's data reserve
};

struct Folder {
  uint16_t type = 0;  // typeCompress
  std::vector<Block> blocks{};
  Bytes reserve{};  // padded or cut to the cabinet's folder reserve
  std::optional<uint32_t> coff_cab_start{};
  std::optional<uint16_t> block_count{};  // cCFData
};

struct File {
  std::string name;  // written as is, followed by one NUL
  uint32_t size = 0;
  uint32_t offset = 0;  // uoffFolderStart
  uint16_t folder = 0;  // iFolder
  uint16_t date = 0x5A21;
  uint16_t time = 0x6000;
  uint16_t attribs = 0x20;
};

struct Cabinet {
  std::string signature = "MSCF";  // first four bytes
  uint16_t version = 0x0103;       // minor in the low byte
  uint16_t set_id = 0;
  uint16_t index = 0;
  // Flags are computed from what is present (names, reserves); extra_flags
  // are ORed in, and flags replaces the lot.
  uint16_t extra_flags = 0;
  std::optional<uint16_t> flags;
  bool reserve_present = false;
  Bytes header_reserve;
  std::optional<uint16_t> header_reserve_size;  // cbCFHeader field; default the area's size
  uint8_t folder_reserve = 0;                   // cbCFFolder
  uint8_t data_reserve = 0;                     // cbCFData
  std::optional<std::string> prev_cabinet, prev_disk, next_cabinet, next_disk;
  std::vector<Folder> folders;
  std::vector<File> files;
  std::optional<uint32_t> coff_files;
  std::optional<uint16_t> folder_count;
  std::optional<uint16_t> file_count;
};

Bytes build(const Cabinet& cabinet);

// The checksum of a CFDATA: the data bytes, then cbData, cbUncomp and the
// reserve area. Written independently of the library's.
uint32_t block_checksum(const Bytes& data, uint16_t data_size, uint16_t uncompressed,
                        const Bytes& reserve);

// One folder of stored blocks of at most block_size bytes holding the files
// one after another.
Cabinet stored(const std::vector<std::pair<std::string, Bytes>>& files,
               uint32_t block_size = 32768);

// Deterministic filler bytes.
Bytes pattern(size_t size, uint32_t seed = 1);

}  // namespace cabbytes

#include "support/cab_bytes.h"

namespace cabbytes {

namespace {

void put16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}
void put32(Bytes& out, uint32_t value) {
  put16(out, static_cast<uint16_t>(value));
  put16(out, static_cast<uint16_t>(value >> 16));
}
void set32(Bytes& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
void put_string(Bytes& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}
Bytes sized(const Bytes& bytes, size_t size) {
  Bytes result(bytes);
  result.resize(size, 0);
  return result;
}

}  // namespace

uint32_t block_checksum(const Bytes& data, uint16_t data_size, uint16_t uncompressed,
                        const Bytes& reserve) {
  // The whole little-endian words of a run XORed, then its tail as a
  // big-endian number; the header part is summed as a second run.
  auto run = [](const uint8_t* p, size_t n, uint32_t sum) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      sum ^= static_cast<uint32_t>(p[i]) | static_cast<uint32_t>(p[i + 1]) << 8 |
             static_cast<uint32_t>(p[i + 2]) << 16 | static_cast<uint32_t>(p[i + 3]) << 24;
    }
    uint32_t tail = 0;
    for (; i < n; ++i) tail = (tail << 8) | p[i];
    return sum ^ tail;
  };
  Bytes header;
  put16(header, data_size);
  put16(header, uncompressed);
  header.insert(header.end(), reserve.begin(), reserve.end());
  const uint32_t sum = run(data.data(), data.size(), 0);
  return run(header.data(), header.size(), sum);
}

Bytes build(const Cabinet& cab) {
  uint16_t flags = cab.extra_flags;
  if (cab.prev_cabinet || cab.prev_disk) flags |= 0x0001;
  if (cab.next_cabinet || cab.next_disk) flags |= 0x0002;
  if (cab.reserve_present) flags |= 0x0004;
  if (cab.flags) flags = *cab.flags;

  Bytes out;
  for (size_t i = 0; i < 4; ++i) out.push_back(i < cab.signature.size() ? cab.signature[i] : 0);
  put32(out, 0);  // reserved1
  put32(out, 0);  // cbCabinet, patched below
  put32(out, 0);  // reserved2
  put32(out, 0);  // coffFiles, patched below
  put32(out, 0);  // reserved3
  put16(out, cab.version);
  put16(out, cab.folder_count ? *cab.folder_count : static_cast<uint16_t>(cab.folders.size()));
  put16(out, cab.file_count ? *cab.file_count : static_cast<uint16_t>(cab.files.size()));
  put16(out, flags);
  put16(out, cab.set_id);
  put16(out, cab.index);
  if (flags & 0x0004) {
    put16(out, cab.header_reserve_size ? *cab.header_reserve_size
                                       : static_cast<uint16_t>(cab.header_reserve.size()));
    out.push_back(cab.folder_reserve);
    out.push_back(cab.data_reserve);
    out.insert(out.end(), cab.header_reserve.begin(), cab.header_reserve.end());
  }
  if (flags & 0x0001) {
    put_string(out, cab.prev_cabinet.value_or(""));
    put_string(out, cab.prev_disk.value_or(""));
  }
  if (flags & 0x0002) {
    put_string(out, cab.next_cabinet.value_or(""));
    put_string(out, cab.next_disk.value_or(""));
  }

  const size_t folder_reserve = (flags & 0x0004) ? cab.folder_reserve : 0;
  const size_t data_reserve = (flags & 0x0004) ? cab.data_reserve : 0;
  std::vector<size_t> start_fields;
  for (const Folder& folder : cab.folders) {
    start_fields.push_back(out.size());
    put32(out, 0);
    put16(out,
          folder.block_count ? *folder.block_count : static_cast<uint16_t>(folder.blocks.size()));
    put16(out, folder.type);
    Bytes reserve = sized(folder.reserve, folder_reserve);
    out.insert(out.end(), reserve.begin(), reserve.end());
  }

  set32(out, 16, cab.coff_files ? *cab.coff_files : static_cast<uint32_t>(out.size()));
  for (const File& file : cab.files) {
    put32(out, file.size);
    put32(out, file.offset);
    put16(out, file.folder);
    put16(out, file.date);
    put16(out, file.time);
    put16(out, file.attribs);
    put_string(out, file.name);
  }

  for (size_t f = 0; f < cab.folders.size(); ++f) {
    const Folder& folder = cab.folders[f];
    set32(out, start_fields[f],
          folder.coff_cab_start ? *folder.coff_cab_start : static_cast<uint32_t>(out.size()));
    for (const Block& block : folder.blocks) {
      const uint16_t data_size =
          block.data_size ? *block.data_size : static_cast<uint16_t>(block.data.size());
      const uint16_t uncompressed =
          block.uncompressed ? *block.uncompressed : static_cast<uint16_t>(block.data.size());
      const Bytes reserve = sized(block.reserve, data_reserve);
      put32(out, block.csum ? *block.csum
                            : block_checksum(block.data, data_size, uncompressed, reserve));
      put16(out, data_size);
      put16(out, uncompressed);
      out.insert(out.end(), reserve.begin(), reserve.end());
      out.insert(out.end(), block.data.begin(), block.data.end());
    }
  }
  set32(out, 8, static_cast<uint32_t>(out.size()));
  return out;
}

Cabinet stored(const std::vector<std::pair<std::string, Bytes>>& files, uint32_t block_size) {
  Cabinet cab;
  Folder folder;
  Bytes stream;
  for (const auto& [name, data] : files) {
    File file;
    file.name = name;
    file.size = static_cast<uint32_t>(data.size());
    file.offset = static_cast<uint32_t>(stream.size());
    cab.files.push_back(file);
    stream.insert(stream.end(), data.begin(), data.end());
  }
  for (size_t at = 0; at < stream.size(); at += block_size) {
    const size_t n = stream.size() - at < block_size ? stream.size() - at : block_size;
    Block block;
    block.data.assign(stream.begin() + static_cast<std::ptrdiff_t>(at),
                      stream.begin() + static_cast<std::ptrdiff_t>(at + n));
    folder.blocks.push_back(std::move(block));
  }
  cab.folders.push_back(std::move(folder));
  return cab;
}

Bytes pattern(size_t size, uint32_t seed) {
  Bytes bytes(size);
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

}  // namespace cabbytes

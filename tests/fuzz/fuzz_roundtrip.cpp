// Writer to reader: files made from the fuzz input are packed by our writer
// with options taken from the input (method, level or window, folders, set
// size, reserves, dates and attributes) and extracted again through the
// library, one walk per cabinet as the tool does. Every file must come back
// once, byte for byte, with its date, time and attributes. A writer refusal
// (options the format cannot hold) is no finding.
//
// Input: method byte, parameter byte, folders byte, set-size byte, reserve
// bytes (header, folder, data), file count byte, then per file 2 size bytes
// and 1 attribute byte; the rest is material for the files' contents.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cabinet/cab.h"
#include "writer/cab_writer.h"
#include "writer/encoders.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t MAX_TOTAL = 72 * 1024;

std::vector<Bytes> cabinets;
struct Handle {
  int cabinet;
  int64_t position;
};
std::map<int32_t, Handle> opened;
std::map<int32_t, Bytes> outputs;
int32_t next_handle = 1;

void* m_alloc(uint32_t size) {
  return malloc(size ? size : 1);
}
void m_free(void* p) {
  free(p);
}
int32_t m_open(const char* path, int32_t, int32_t) {
  // "c<index>"
  if (path[0] != 'c') return -1;
  const int index = atoi(path + 1);
  if (index < 0 || index >= static_cast<int>(cabinets.size())) return -1;
  opened[next_handle] = {index, 0};
  return next_handle++;
}
int32_t m_read(int32_t h, void* buffer, uint32_t count) {
  auto it = opened.find(h);
  if (it == opened.end()) abort();
  const Bytes& c = cabinets[it->second.cabinet];
  const int64_t at = it->second.position;
  if (at >= static_cast<int64_t>(c.size())) return 0;
  const size_t n = std::min<size_t>(count, c.size() - static_cast<size_t>(at));
  memcpy(buffer, c.data() + at, n);
  it->second.position += static_cast<int64_t>(n);
  return static_cast<int32_t>(n);
}
int32_t m_write(int32_t h, const void* buffer, uint32_t count) {
  auto it = outputs.find(h);
  if (it == outputs.end()) abort();  // writes go only to handles given out
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  it->second.insert(it->second.end(), p, p + count);
  return static_cast<int32_t>(count);
}
int32_t m_close(int32_t h) {
  if (opened.erase(h) == 0 && outputs.count(h) == 0) abort();
  return 0;
}
int32_t m_seek(int32_t h, int32_t offset, int32_t origin) {
  auto it = opened.find(h);
  if (it == opened.end()) abort();
  const int64_t base = origin == 0   ? 0
                       : origin == 1 ? it->second.position
                                     : static_cast<int64_t>(cabinets[it->second.cabinet].size());
  if (base + offset < 0) return -1;
  it->second.position = base + offset;
  return static_cast<int32_t>(it->second.position);
}

struct Extracted {
  Bytes data;
  uint16_t date, time, attribs;
  int count = 0;
};
std::map<std::string, Extracted> extracted;

int32_t notify(int32_t kind, CabNotification* n) {
  switch (kind) {
    case CAB_NOTIFY_FILE_BEGIN: {
      const int32_t h = 0x10000 + next_handle++;
      outputs[h].clear();
      return h;
    }
    case CAB_NOTIFY_FILE_END: {
      Extracted& e = extracted[n->text1];
      e.data = std::move(outputs[n->handle]);
      outputs.erase(n->handle);
      e.date = n->date;
      e.time = n->time;
      e.attribs = static_cast<uint16_t>(n->attribs | (n->size ? 0x40 : 0));
      ++e.count;
      return 1;
    }
    default:
      return 0;
  }
}

std::unique_ptr<BlockEncoder> encoder_for(uint8_t method, uint8_t parameter) {
  switch (method % 4) {
    case 0:
      return make_stored_encoder();
    case 1: {
      static const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE,
                                       Z_FIXED};
      return make_mszip_encoder(parameter % 10, strategies[(parameter / 10) % 5]);
    }
    case 2: {
      LzxEncoderOptions o;
      o.window_bits = 15 + parameter % 7;
      return make_lzx_encoder(o);
    }
    default:
      return make_quantum_encoder(QuantumEncoderOptions{10 + parameter % 12});
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const uint8_t method = data[0], parameter = data[1], folder_byte = data[2], set_byte = data[3];
  CabWriterOptions options;
  options.header_reserve = data[4] < 200 ? 0 : static_cast<uint16_t>((data[4] - 200) * 37);
  options.folder_reserve = data[5] < 200 ? 0 : static_cast<uint8_t>(data[5] - 200);
  options.data_reserve = data[6] < 200 ? 0 : static_cast<uint8_t>(data[6] - 200);
  options.reserve_flag = (folder_byte & 0x80) != 0;
  const size_t file_count = 1 + data[7] % 8;
  size_t at = 8;
  if (size < at + 3 * file_count) return 0;
  const uint8_t* layout = data + at;
  at += 3 * file_count;
  const uint8_t* material = data + at;
  const size_t material_size = size - at;

  // Contents: the material itself for the first file, then runs of it mixed
  // with pseudo-random bytes, so that both compressible and random data occur.
  // At most 72 KiB in all: two whole frames and a short one, and beyond the
  // smaller windows; more only slows every run down.
  std::vector<CabFolderInput> folders(1 + (folder_byte & 3) % 3);
  std::vector<std::pair<std::string, CabEntry>> wanted;
  uint32_t seed = 0x9E3779B9u ^ static_cast<uint32_t>(material_size);
  size_t total = 0;
  for (size_t i = 0; i < file_count; ++i) {
    size_t length = layout[3 * i] | layout[3 * i + 1] << 8;
    if (i == 0) length = material_size;
    length = std::min<size_t>(length * (1 + (folder_byte >> 4 & 3)), MAX_TOTAL - total);
    total += length;
    Bytes content(length);
    for (size_t k = 0; k < length; ++k) {
      seed = seed * 1103515245u + 12345u;
      const bool copy = material_size && (i == 0 || (seed >> 28) < 12);
      content[k] = copy ? material[k % material_size] : static_cast<uint8_t>(seed >> 16);
    }
    const uint8_t a = layout[3 * i + 2];
    CabEntry e = make_memory_entry("f" + std::to_string(i), std::move(content),
                                   static_cast<uint16_t>(0x2000 + a * 67),
                                   static_cast<uint16_t>(a * 131), static_cast<uint16_t>(a & 0x67));
    folders[(i * folders.size()) / file_count].entries.push_back(e);
    wanted.emplace_back(e.name, e);
  }
  // Made when each folder's turn comes, as pack makes them.
  for (CabFolderInput& f : folders) {
    f.encoder = make_deferred_encoder([=] { return encoder_for(method, parameter); });
  }
  if (set_byte) {
    options.allow_set = true;
    options.max_cabinet_size = 4096 + static_cast<uint64_t>(set_byte) * 512;
    options.set_id = set_byte;
    options.cabinet_name = [](unsigned n) { return "c" + std::to_string(n); };
    options.disk_name = [](unsigned n) { return "d" + std::to_string(n); };
  }
  try {
    cabinets = write_cabinets_to_memory(folders, options);
  } catch (const CabWriterError&) {
    return 0;
  }

  extracted.clear();
  static CabErrorRecord error{};
  static CabDecoder* context =
      CabDecoderCreate(m_alloc, m_free, m_open, m_read, m_write, m_close, m_seek, -1, &error);
  if (!context) abort();
  for (size_t k = 0; k < cabinets.size(); ++k) {
    const std::string name = "c" + std::to_string(k);
    if (CabDecoderExtract(context, name.c_str(), "", 0, notify, nullptr, 0) != 1) abort();
    if (!opened.empty()) abort();
  }
  if (extracted.size() != wanted.size()) abort();
  for (const auto& [name, entry] : wanted) {
    const Extracted& e = extracted.at(name);
    if (e.count != 1 || e.data != entry.data || e.date != entry.date || e.time != entry.time ||
        e.attribs != entry.attribs) {
      abort();
    }
  }
  return 0;
}

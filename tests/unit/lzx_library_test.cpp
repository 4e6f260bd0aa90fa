// LZX through the whole library: cabinets from our writer with LZX folders of
// several window sizes and block types, extracted by the cabinet engine.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/memory_cabinet.h"
#include "writer/cab_writer.h"
#include "writer/encoders.h"
#include "writer/lzx_internal.h"

namespace {

using memcab::Bytes;

uint32_t seed = 99;
uint32_t next_random() {
  seed = seed * 1103515245u + 12345u;
  return seed >> 8;
}

Bytes mixed_bytes(size_t n) {
  static const char* words[] = {"cabinet ", "folder ", "frame\n", "window ", "slot ", "tree "};
  Bytes b;
  while (b.size() < n) {
    if (next_random() % 8 == 0) {
      for (int i = 0; i < 40; ++i) b.push_back(static_cast<uint8_t>(next_random()));
    } else {
      const char* w = words[next_random() % 6];
      b.insert(b.end(), w, w + std::strlen(w));
    }
  }
  b.resize(n);
  return b;
}

Bytes code_bytes(size_t n) {
  Bytes b = {'M', 'Z'};
  while (b.size() < n) {
    b.push_back(0xE8);
    uint32_t target = (next_random() % 512) * 16 - static_cast<uint32_t>(b.size());
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(target >> (8 * i)));
    b.insert(b.end(), {0x8B, 0x45, 0x08, 0x89, 0x04, 0x24});
  }
  b.resize(n);
  return b;
}

LzxEncoderTuning quick() {
  LzxEncoderTuning t;
  t.search_depth = 8;
  t.passes = 1;
  return t;
}

TEST(LzxLibrary, FoldersOfEveryKindComeBack) {
  struct FolderCase {
    int window_bits;
    int block_type;
    int translation;
    uint32_t block_bytes;
  };
  // Two folders with window 16 in a row share a decoder (reset between them);
  // the others change the window and so the decoder.
  const FolderCase cases[] = {{16, 0, -1, 0},    {16, 3, 0, 0},     {21, 1, 1, 0},
                              {15, 2, 0, 10001}, {18, 3, 0, 40001}, {20, 0, -1, 777}};
  std::vector<CabFolderInput> folders;
  std::vector<std::pair<std::string, Bytes>> expected;
  int index = 0;
  for (const FolderCase& s : cases) {
    CabFolderInput folder;
    LzxEncoderOptions o;
    o.window_bits = s.window_bits;
    o.force_block_type = s.block_type;
    o.call_translation = s.translation;
    LzxEncoderTuning t = quick();
    t.block_bytes = s.block_bytes;
    folder.encoder = make_lzx_encoder_tuned(o, t);
    ASSERT_NE(folder.encoder, nullptr);
    EXPECT_EQ(folder.encoder->type_word(), 3 | (s.window_bits << 8));
    for (size_t size : {size_t{70001}, size_t{0}, size_t{1}, size_t{32768}, size_t{5000}}) {
      std::string name = "f" + std::to_string(index) + "_" + std::to_string(size);
      Bytes data = index % 3 == 2 ? code_bytes(size) : mixed_bytes(size);
      folder.entries.push_back(make_memory_entry(name, data));
      expected.emplace_back(name, data);
    }
    folders.push_back(std::move(folder));
    ++index;
  }
  const auto cabs = write_cabinets_to_memory(folders);
  ASSERT_EQ(cabs.size(), 1u);
  memcab::VirtualDisk disk;
  disk.files["lzx.cab"] = cabs[0];
  const auto result = memcab::extract_all(disk, "lzx.cab");
  ASSERT_TRUE(result.ok) << result.error.code;
  ASSERT_EQ(result.files.size(), expected.size());
  for (const auto& [name, data] : expected) {
    const auto* f = result.find(name);
    ASSERT_NE(f, nullptr) << name;
    EXPECT_TRUE(f->data == data) << name;
  }
  EXPECT_TRUE(disk.live_allocations().empty());
}

// An encoder that claims a window the decoder cannot use.
class BadWindowEncoder : public BlockEncoder {
 public:
  explicit BadWindowEncoder(int bits) : bits_(bits) {}
  uint16_t type_word() const override { return static_cast<uint16_t>(3 | (bits_ << 8)); }
  bool encode_block(std::span<const uint8_t> frame, bool, std::vector<uint8_t>& out,
                    std::string&) override {
    out.assign(frame.begin(), frame.end());
    return true;
  }

 private:
  int bits_;
};

TEST(LzxLibrary, UnusableWindowIsReportedAsNoMemory) {
  for (int bits : {14, 22, 0}) {
    std::vector<CabFolderInput> folders(1);
    folders[0].encoder = std::make_unique<BadWindowEncoder>(bits);
    folders[0].entries.push_back(make_memory_entry("a", Bytes(100, 'a')));
    const auto cabs = write_cabinets_to_memory(folders);
    memcab::VirtualDisk disk;
    disk.files["bad.cab"] = cabs[0];
    const auto result = memcab::extract_all(disk, "bad.cab");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error.code, CAB_ERR_NO_MEMORY) << bits;
    EXPECT_TRUE(disk.live_allocations().empty());
  }
}

TEST(LzxLibrary, DamagedLzxDataIsADecoderError) {
  std::vector<CabFolderInput> folders(1);
  LzxEncoderOptions o;
  o.window_bits = 16;
  folders[0].encoder = make_lzx_encoder_tuned(o, quick());
  Bytes data = mixed_bytes(100000);
  folders[0].entries.push_back(make_memory_entry("a", data));
  auto cabs = write_cabinets_to_memory(folders);
  Bytes& cab = cabs[0];
  // First CFDATA: its checksum cleared (so it is not checked) and its first
  // data bytes made an invalid block type (0).
  uint32_t data_at = cab[36] | (cab[37] << 8) | (cab[38] << 16) | (cab[39] << 24);
  std::memset(&cab[data_at], 0, 4);
  cab[data_at + 8] = 0x00;
  cab[data_at + 9] = 0x00;
  memcab::VirtualDisk disk;
  disk.files["damaged.cab"] = cab;
  const auto result = memcab::extract_all(disk, "damaged.cab");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error.code, CAB_ERR_DECODER);
  EXPECT_TRUE(disk.live_allocations().empty());
}

}  // namespace

// Quantum folders through the whole library: cabinets written by our writer
// with the Quantum compressor, extracted through the in-memory callbacks.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "support/memory_cabinet.h"
#include "writer/cab_writer.h"
#include "writer/encoders.h"

namespace {

using memcab::Bytes;

Bytes sample(size_t n, uint32_t seed) {
  static const char* words[] = {"setup ", "file ", "quantum ", "the ", "data\r\n", "block "};
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    if (rng() % 8 == 0) {
      for (int k = 0; k < 40; ++k) b.push_back(static_cast<uint8_t>(rng()));
    } else {
      const char* w = words[rng() % 6];
      b.insert(b.end(), w, w + strlen(w));
    }
  }
  b.resize(n);
  return b;
}

// Passes frames through but claims another window size in the type word.
class RelabelledEncoder : public BlockEncoder {
 public:
  RelabelledEncoder(std::unique_ptr<BlockEncoder> inner, uint16_t word)
      : inner_(std::move(inner)), word_(word) {}
  uint16_t type_word() const override { return word_; }
  bool encode_block(std::span<const uint8_t> frame, bool last, std::vector<uint8_t>& out,
                    std::string& error) override {
    return inner_->encode_frame(frame, last, out, error);
  }

 private:
  std::unique_ptr<BlockEncoder> inner_;
  uint16_t word_;
};

struct Folder {
  int bits;
  std::vector<std::pair<std::string, Bytes>> files;
};

std::vector<Bytes> write(const std::vector<Folder>& wanted) {
  std::vector<CabFolderInput> folders;
  for (const Folder& f : wanted) {
    CabFolderInput in;
    in.encoder = make_quantum_encoder(QuantumEncoderOptions{f.bits});
    for (const auto& [name, data] : f.files) in.entries.push_back(make_memory_entry(name, data));
    folders.push_back(std::move(in));
  }
  return write_cabinets_to_memory(folders);
}

TEST(QuantumLibrary, FoldersOfSeveralWindowsExtract) {
  std::vector<Folder> wanted;
  uint32_t seed = 1;
  // Two folders with the same type word: the second reuses the decoder after a reset.
  for (int bits : {10, 15, 15, 21}) {
    Folder f{bits, {}};
    for (size_t n :
         {size_t{0}, size_t{1}, size_t{32767}, size_t{32768}, size_t{32769}, size_t{1} << 20}) {
      f.files.emplace_back("w" + std::to_string(bits) + "_" + std::to_string(seed) + ".bin",
                           sample(n, seed));
      ++seed;
    }
    wanted.push_back(std::move(f));
  }
  const auto cabs = write(wanted);
  ASSERT_EQ(cabs.size(), 1u);
  memcab::VirtualDisk disk;
  disk.files["q.cab"] = cabs[0];
  const auto result = memcab::extract_all(disk, "q.cab");
  ASSERT_TRUE(result.ok) << CabErrorText(result.error.code);
  size_t i = 0;
  for (const Folder& f : wanted) {
    for (const auto& [name, data] : f.files) {
      ASSERT_LT(i, result.files.size());
      EXPECT_EQ(result.files[i].name, name);
      EXPECT_TRUE(result.files[i].data == data) << name;
      ++i;
    }
  }
  EXPECT_EQ(i, result.files.size());
  EXPECT_TRUE(disk.live_allocations().empty());
}

TEST(QuantumLibrary, WindowOutsideTheRangeIsADecoderError) {
  for (uint16_t bits : {9, 22}) {
    std::vector<CabFolderInput> folders(1);
    folders[0].encoder = std::make_unique<RelabelledEncoder>(
        make_quantum_encoder(QuantumEncoderOptions{10}), static_cast<uint16_t>(2 | bits << 8));
    folders[0].entries.push_back(make_memory_entry("a.txt", sample(5000, 9)));
    const auto cabs = write_cabinets_to_memory(folders);
    memcab::VirtualDisk disk;
    disk.files["q.cab"] = cabs[0];
    const auto result = memcab::extract_all(disk, "q.cab");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error.code, CAB_ERR_DECODER) << bits;
  }
}

TEST(QuantumLibrary, NoWindowAndNoSpillFileIsOutOfMemory) {
  const auto cabs = write({Folder{21, {{"a.txt", sample(100000, 3)}}}});
  memcab::VirtualDisk disk;
  disk.files["q.cab"] = cabs[0];
  disk.faults.fail_alloc_above = 1 << 20;  // the 2 MiB window; "*" is no file here
  const auto result = memcab::extract_all(disk, "q.cab");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error.code, CAB_ERR_NO_MEMORY);
  EXPECT_TRUE(disk.live_allocations().empty());
}

}  // namespace

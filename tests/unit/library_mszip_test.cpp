// MSZIP conformance through the whole library: a varied corpus deflated by
// zlib at every level and with every strategy, written by our writer, must
// come back byte for byte from the library's MSZIP decoder.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <random>

#include "support/memory_cabinet.h"
#include "support/sample_data.h"
#include "writer/cab_writer.h"
#include "writer/encoders.h"

namespace {

using memcab::Bytes;

using sample::random_bytes;

// English-like text with a skewed word distribution.
Bytes text_bytes(size_t n, uint32_t seed) {
  static const char* words[] = {"the ",     "cabinet ", "of ",     "folder ",   "a ",
                                "block ",   "and ",     "to ",     "window\n",  "history ",
                                "deflate ", "match ",   "length ", "distance, "};
  std::mt19937 rng(seed);
  Bytes b;
  b.reserve(n + 16);
  while (b.size() < n) {
    const unsigned r = rng() % 100;
    const char* w = words[r < 40 ? r % 4 : r % 14];
    b.insert(b.end(), w, w + std::strlen(w));
  }
  b.resize(n);
  return b;
}

// Machine code and data from a binary on this machine, repeated as needed.
Bytes binary_bytes(size_t n) {
  static Bytes source = [] {
    for (const char* path : {"/proc/self/exe", "/bin/sh", "/usr/bin/env"}) {
      std::ifstream in(path, std::ios::binary);
      Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (b.size() > 65536) return b;
    }
    return random_bytes(1 << 20, 77);
  }();
  Bytes b;
  while (b.size() < n)
    b.insert(b.end(), source.begin(), source.begin() + std::min(source.size(), n - b.size()));
  return b;
}

Bytes repetitive_bytes(size_t n, int kind) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = kind == 0 ? 0 : uint8_t("abc"[i % 3] + (i / 50000) % 2);
  return b;
}

struct Sample {
  std::string name;
  Bytes data;
};

std::vector<Sample> small_corpus() {
  std::vector<Sample> corpus;
  const size_t sizes[] = {0, 1, 32767, 32768, 32769, 100000};
  for (size_t size : sizes) {
    const std::string n = std::to_string(size);
    corpus.push_back({"text" + n, text_bytes(size, uint32_t(size))});
    corpus.push_back({"binary" + n, binary_bytes(size)});
    corpus.push_back({"random" + n, random_bytes(size, uint32_t(size) + 1)});
    corpus.push_back({"zeros" + n, repetitive_bytes(size, 0)});
    corpus.push_back({"period3_" + n, repetitive_bytes(size, 1)});
  }
  return corpus;
}

// Several MiB mixing the kinds, so that blocks change character mid-folder.
Bytes large_mix() {
  Bytes b;
  for (int round = 0; round < 3; ++round) {
    for (const Bytes& part : {text_bytes(700000, round), binary_bytes(600000),
                              random_bytes(300000, round + 5), repetitive_bytes(400000, round % 2)})
      b.insert(b.end(), part.begin(), part.end());
  }
  return b;
}

const char* strategy_name(int strategy) {
  switch (strategy) {
    case Z_FILTERED:
      return "filtered";
    case Z_HUFFMAN_ONLY:
      return "huffman";
    case Z_RLE:
      return "rle";
    case Z_FIXED:
      return "fixed";
    default:
      return "default";
  }
}

// Writes one cabinet with one MSZIP folder per level, each holding the whole
// corpus, and checks every file the library extracts.
void check_levels(const std::vector<Sample>& corpus, int strategy, std::vector<int> levels) {
  std::vector<CabFolderInput> folders;
  for (int level : levels) {
    CabFolderInput folder;
    folder.encoder = make_mszip_encoder(level, strategy);
    ASSERT_NE(folder.encoder, nullptr);
    for (const Sample& s : corpus)
      folder.entries.push_back(
          make_memory_entry("L" + std::to_string(level) + "\\" + s.name, s.data));
    folders.push_back(std::move(folder));
  }
  const auto cabs = write_cabinets_to_memory(folders);
  ASSERT_EQ(cabs.size(), 1u);
  memcab::VirtualDisk disk;
  disk.files["mszip.cab"] = cabs[0];
  const auto result = memcab::extract_all(disk, "mszip.cab");
  ASSERT_TRUE(result.ok) << strategy_name(strategy) << ": " << CabErrorText(result.error.code);
  ASSERT_EQ(result.files.size(), corpus.size() * levels.size());
  size_t i = 0;
  for (int level : levels) {
    for (const Sample& s : corpus) {
      const auto& f = result.files[i++];
      EXPECT_EQ(f.name, "L" + std::to_string(level) + "\\" + s.name);
      EXPECT_TRUE(f.data == s.data)
          << s.name << " at level " << level << ", strategy " << strategy_name(strategy);
    }
  }
}

class LibraryMszip : public ::testing::TestWithParam<int> {};

TEST_P(LibraryMszip, SmallCorpusAtEveryLevel) {
  static const std::vector<Sample> corpus = small_corpus();
  check_levels(corpus, GetParam(), {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
}

TEST_P(LibraryMszip, SeveralMegabytes) {
  static const std::vector<Sample> corpus = {{"mix", large_mix()}};
  if (GetParam() == Z_DEFAULT_STRATEGY) {
    check_levels(corpus, GetParam(), {0, 1, 6, 9});
  } else {
    check_levels(corpus, GetParam(), {6});
  }
}

INSTANTIATE_TEST_SUITE_P(Strategies, LibraryMszip,
                         ::testing::Values(Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE,
                                           Z_FIXED),
                         [](const auto& info) { return std::string(strategy_name(info.param)); });

}  // namespace

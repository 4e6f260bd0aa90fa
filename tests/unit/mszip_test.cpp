// MSZIP decoder: conformance against zlib-made blocks over a varied corpus,
// and hand-assembled bit streams for the format's corner cases.
#include "codecs/mszip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kBlock = 32768;

// ---------------------------------------------------------------------------
// Allocation callbacks with counters and an optional failure.

int g_allocs = 0;
int g_frees = 0;
int g_fail_at = -1;  // fail the allocation with this index (0-based)

void* CountingAlloc(uint32_t size) {
  if (g_allocs++ == g_fail_at) return nullptr;
  return std::malloc(size);
}
void CountingFree(void* p) {
  ++g_frees;
  std::free(p);
}

struct Decoder {
  MszipDecoder* handle = nullptr;
  explicit Decoder(uint32_t maximum = kBlock) {
    uint32_t max = maximum, maxCompressed = 0;
    EXPECT_EQ(MszipCreate(&max, CountingAlloc, CountingFree, &maxCompressed, &handle), CODEC_OK);
  }
  ~Decoder() {
    if (handle) {
      EXPECT_EQ(MszipDestroy(handle), CODEC_OK);
    }
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
};

// Decodes one block from an exactly sized heap copy, so that any read past
// the input is caught by the sanitizers.
int32_t Decode(MszipDecoder* handle, const Bytes& block, uint8_t* window, uint32_t* size) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[block.size() ? block.size() : 1]);
  if (!block.empty()) std::memcpy(copy.get(), block.data(), block.size());
  return MszipDecompress(handle, copy.get(), static_cast<uint32_t>(block.size()), window, size);
}

// ---------------------------------------------------------------------------
// zlib-made MSZIP blocks: "CK" + a raw deflate stream ended per block, with
// the previous 32 KiB as the dictionary.

std::vector<Bytes> MakeBlocks(const Bytes& data, int level, int strategy) {
  std::vector<Bytes> blocks;
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 9, strategy), Z_OK);
  for (size_t offset = 0; offset < data.size(); offset += kBlock) {
    const size_t n = std::min<size_t>(kBlock, data.size() - offset);
    EXPECT_EQ(deflateReset(&z), Z_OK);
    if (offset > 0) {
      EXPECT_EQ(deflateSetDictionary(&z, data.data() + offset - kBlock, kBlock), Z_OK);
    }
    Bytes out(2 + deflateBound(&z, n) + 16);
    out[0] = 'C';
    out[1] = 'K';
    z.next_in = const_cast<uint8_t*>(data.data() + offset);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = out.data() + 2;
    z.avail_out = static_cast<uInt>(out.size() - 2);
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(out.size() - z.avail_out);
    blocks.push_back(std::move(out));
  }
  deflateEnd(&z);
  return blocks;
}

// Decodes every block into one persistent 32 KiB buffer and compares.
void ExpectRoundTrip(const Bytes& data, const std::vector<Bytes>& blocks, const std::string& what) {
  Decoder decoder;
  std::unique_ptr<uint8_t[]> window(new uint8_t[kBlock]);
  std::memset(window.get(), 0xA5, kBlock);
  size_t offset = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    ASSERT_LE(blocks[i].size(), kBlock + 12) << what << " block " << i;
    uint32_t size = kBlock;
    ASSERT_EQ(Decode(decoder.handle, blocks[i], window.get(), &size), CODEC_OK)
        << what << " block " << i;
    const size_t expected = std::min<size_t>(kBlock, data.size() - offset);
    ASSERT_EQ(size, expected) << what << " block " << i;
    ASSERT_EQ(std::memcmp(window.get(), data.data() + offset, expected), 0)
        << what << " block " << i;
    offset += expected;
  }
  EXPECT_EQ(offset, data.size()) << what;
}

}  // namespace

TEST(MszipSanity, SmallText) {
  Bytes data;
  const char* text = "hello hello hello world, this is a test of the MSZIP decoder. ";
  for (int i = 0; i < 3000; ++i) data.insert(data.end(), text, text + std::strlen(text));
  for (int level = 0; level <= 9; ++level) {
    ExpectRoundTrip(data, MakeBlocks(data, level, Z_DEFAULT_STRATEGY), "text");
  }
}

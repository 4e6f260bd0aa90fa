// Decoder selection: buffers and decoders are made only when the type word
// changes, start out zeroed, and decoder results become library errors.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>

#include "cabinet/cab_internal.h"
#include "support/cab_bytes.h"
#include "support/memory_cabinet.h"

namespace {

using cabbytes::Bytes;
using cabbytes::Cabinet;
using cabbytes::pattern;

// MSZIP blocks made with zlib: "CK" and a raw deflate stream per 32 KiB
// block, each primed with the previous block as its dictionary.
std::vector<cabbytes::Block> mszip_blocks(const Bytes& data) {
  std::vector<cabbytes::Block> blocks;
  for (size_t at = 0; at < data.size(); at += 32768) {
    const size_t n = std::min<size_t>(32768, data.size() - at);
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    if (at) deflateSetDictionary(&z, data.data() + at - 32768, 32768);
    Bytes out(40000);
    out[0] = 'C';
    out[1] = 'K';
    z.next_in = const_cast<Bytef*>(data.data() + at);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = out.data() + 2;
    z.avail_out = static_cast<uInt>(out.size() - 2);
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(2 + z.total_out);
    deflateEnd(&z);
    cabbytes::Block block;
    block.data = out;
    block.uncompressed = static_cast<uint16_t>(n);
    blocks.push_back(block);
  }
  return blocks;
}

// Text-like data with long repeats across block boundaries.
Bytes repetitive(size_t size) {
  Bytes phrase = pattern(3000, 5);
  Bytes data;
  while (data.size() < size) data.insert(data.end(), phrase.begin(), phrase.end());
  data.resize(size);
  return data;
}

TEST(CabinetDispatch, MszipFoldersDecodeWithHistoryAcrossBlocks) {
  const Bytes data = repetitive(100000);
  Cabinet cab = cabbytes::stored({{"a", data}});
  cab.folders[0].type = COMPRESSION_MSZIP;
  cab.folders[0].blocks = mszip_blocks(data);
  // A second folder of the same type and a later file of the first folder.
  Cabinet other = cab;
  cab.folders.push_back(other.folders[0]);
  cab.files = {{"a", 100000, 0, 0}, {"b", 50000, 40000, 1}, {"c", 1000, 99000, 0}};
  memcab::VirtualDisk disk;
  disk.files["x.cab"] = cabbytes::build(cab);
  memcab::ExtractResult r = memcab::extract_all(disk, "x.cab");
  ASSERT_TRUE(r.ok) << r.error.code;
  EXPECT_EQ(r.files[0].data, data);
  EXPECT_EQ(r.files[1].data, Bytes(data.begin() + 40000, data.begin() + 90000));
  EXPECT_EQ(r.files[2].data, Bytes(data.begin() + 99000, data.end()));
  EXPECT_TRUE(disk.live_allocations().empty());

  // Damaged compressed data under an unchecked block is the decoder's to find.
  cab.folders[0].blocks[1].data[0] = 'X';
  cab.folders[0].blocks[1].csum = 0;
  disk.files["x.cab"] = cabbytes::build(cab);
  EXPECT_EQ(memcab::extract_all(disk, "x.cab").error.code, CAB_ERR_DECODER);
}

class DispatchContext : public ::testing::Test {
 protected:
  void SetUp() override {
    context = memcab::create_decoder(&error);
    ASSERT_NE(context, nullptr);
  }
  void TearDown() override {
    CabDecoderDestroy(context);
    EXPECT_TRUE(disk.live_allocations().empty());
  }
  static bool all_zero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
  }
  memcab::VirtualDisk disk;
  memcab::DiskScope scope{disk};
  CabErrorRecord error{};
  CabDecoder* context = nullptr;
};

TEST_F(DispatchContext, BuffersAreMadeOncePerTypeWordAndStartZeroed) {
  const size_t base = disk.live_allocations().size();
  ASSERT_EQ(CabSelectDecoder(context, COMPRESSION_MSZIP), 1);
  EXPECT_EQ(context->block_size, 32768u);
  EXPECT_EQ(context->compressed_capacity, 32780u);
  // The allocator poisons new memory; the history must read as zeros.
  EXPECT_TRUE(all_zero(context->uncompressed, context->block_size));
  const uint8_t* history = context->uncompressed;
  const int64_t allocations = disk.stats.allocations;
  ASSERT_EQ(CabSelectDecoder(context, COMPRESSION_MSZIP), 1);
  EXPECT_EQ(disk.stats.allocations, allocations);
  EXPECT_EQ(context->uncompressed, history);
  context->uncompressed[100] = 7;  // as a decoded block would leave it
  EXPECT_EQ(CabResetDecoder(context), 1);
  EXPECT_TRUE(all_zero(context->uncompressed, context->block_size));

  // Another window is another decoder: the old one and its buffers go back.
  ASSERT_EQ(CabSelectDecoder(context, COMPRESSION_QUANTUM | 10 << 8), 1);
  EXPECT_EQ(context->compressed_capacity, 43008u);
  const size_t quantum_live = disk.live_allocations().size();
  const int64_t frees = disk.stats.frees;
  ASSERT_EQ(CabSelectDecoder(context, COMPRESSION_QUANTUM | 12 << 8), 1);
  EXPECT_GT(disk.stats.frees, frees + 2);
  EXPECT_EQ(disk.live_allocations().size(), quantum_live);

  ASSERT_EQ(CabSelectDecoder(context, COMPRESSION_NONE), 1);
  EXPECT_EQ(context->compressed_capacity, 32768u);
  EXPECT_EQ(disk.live_allocations().size(), base + 2);
  EXPECT_EQ(context->decoder, nullptr);

  ASSERT_EQ(CabSelectDecoder(context, COMPRESSION_UNSET), 1);
  EXPECT_EQ(disk.live_allocations().size(), base);
  EXPECT_EQ(context->compressed, nullptr);
}

TEST_F(DispatchContext, CreationFailuresLeaveNoDecoder) {
  ASSERT_EQ(CabSelectDecoder(context, COMPRESSION_NONE), 1);
  const size_t base = disk.live_allocations().size() - 2;
  EXPECT_EQ(CabSelectDecoder(context, 7), 0);
  EXPECT_EQ(error.code, CAB_ERR_COMPRESSION_TYPE);
  EXPECT_EQ(context->type_word, COMPRESSION_UNSET);
  EXPECT_EQ(disk.live_allocations().size(), base);

  // The second buffer cannot be had: the first is returned.
  disk.faults.fail_alloc_number = disk.stats.allocations + 2;
  EXPECT_EQ(CabSelectDecoder(context, COMPRESSION_MSZIP), 0);
  EXPECT_EQ(error.code, CAB_ERR_NO_MEMORY);
  EXPECT_EQ(disk.live_allocations().size(), base);
  // The decoder itself cannot be had: both buffers are returned.
  disk.faults.fail_alloc_number = disk.stats.allocations + 3;
  EXPECT_EQ(CabSelectDecoder(context, COMPRESSION_MSZIP), 0);
  EXPECT_EQ(error.code, CAB_ERR_NO_MEMORY);
  EXPECT_EQ(context->type_word, COMPRESSION_UNSET);
  EXPECT_EQ(disk.live_allocations().size(), base);
}

TEST_F(DispatchContext, BlocksThatDoNotFitAreRefused) {
  ASSERT_EQ(CabSelectDecoder(context, COMPRESSION_NONE), 1);
  context->block_compressed_size = 100;
  uint16_t size = 100;
  EXPECT_EQ(CabDecodeBlock(context, &size), 1);
  EXPECT_EQ(size, 100);
  size = 40000;  // more than the uncompressed buffer holds
  EXPECT_EQ(CabDecodeBlock(context, &size), 0);
  EXPECT_EQ(error.code, CAB_ERR_DECODER);
  context->block_compressed_size = 32769;
  size = 100;
  EXPECT_EQ(CabDecodeBlock(context, &size), 0);
  EXPECT_EQ(error.code, CAB_ERR_DAMAGED);
}

}  // namespace

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
constexpr uint32_t BLOCK_SIZE = 32768;

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
  explicit Decoder(uint32_t maximum = BLOCK_SIZE) {
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
  for (size_t offset = 0; offset < data.size(); offset += BLOCK_SIZE) {
    const size_t n = std::min<size_t>(BLOCK_SIZE, data.size() - offset);
    EXPECT_EQ(deflateReset(&z), Z_OK);
    if (offset > 0) {
      EXPECT_EQ(deflateSetDictionary(&z, data.data() + offset - BLOCK_SIZE, BLOCK_SIZE), Z_OK);
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
  std::unique_ptr<uint8_t[]> window(new uint8_t[BLOCK_SIZE]);
  std::memset(window.get(), 0xA5, BLOCK_SIZE);
  size_t offset = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    ASSERT_LE(blocks[i].size(), BLOCK_SIZE + 12) << what << " block " << i;
    uint32_t size = BLOCK_SIZE;
    ASSERT_EQ(Decode(decoder.handle, blocks[i], window.get(), &size), CODEC_OK)
        << what << " block " << i;
    const size_t expected = std::min<size_t>(BLOCK_SIZE, data.size() - offset);
    ASSERT_EQ(size, expected) << what << " block " << i;
    ASSERT_EQ(std::memcmp(window.get(), data.data() + offset, expected), 0)
        << what << " block " << i;
    offset += expected;
  }
  EXPECT_EQ(offset, data.size()) << what;
}

// ---------------------------------------------------------------------------
// Corpus.

uint32_t Next(uint64_t& seed) {
  seed = seed * 6364136223846793005ull + 1442695040888963407ull;
  return static_cast<uint32_t>(seed >> 33);
}

Bytes TextCorpus(size_t size) {
  static const char* const WORDS[] = {
      "the",      "cabinet", "folder", "of",      "data",   "block", "and",     "a",
      "window",   "history", "match",  "literal", "length", "to",    "decoder", "stream",
      "Huffman",  "code",    "table",  "in",      "is",     "bits",  "\n",      "extract",
      "compress", "file",    "MSZIP",  "with",    "for",    "setup", "1996",    "0x4349"};
  uint64_t seed = 1;
  std::string text;
  while (text.size() < size) {
    text += WORDS[Next(seed) % (sizeof WORDS / sizeof *WORDS)];
    text += (Next(seed) % 9 == 0) ? ". " : " ";
  }
  return Bytes(text.begin(), text.begin() + static_cast<ptrdiff_t>(size));
}

Bytes RandomCorpus(size_t size) {
  uint64_t seed = 7;
  Bytes data(size);
  for (auto& b : data) b = static_cast<uint8_t>(Next(seed) >> 7);
  return data;
}

// Runs, short periods and slowly changing patterns: long matches, distance 1
// to small distances, overlapping copies.
Bytes RepetitiveCorpus(size_t size) {
  uint64_t seed = 3;
  Bytes data;
  while (data.size() < size) {
    const uint32_t kind = Next(seed) % 4;
    const size_t run = 50 + Next(seed) % 5000;
    if (kind == 0) {
      data.insert(data.end(), run, static_cast<uint8_t>(Next(seed)));
    } else if (kind == 1) {
      const size_t period = 2 + Next(seed) % 7;
      Bytes unit(period);
      for (auto& b : unit) b = static_cast<uint8_t>(Next(seed));
      for (size_t i = 0; i < run; ++i) data.push_back(unit[i % period]);
    } else if (kind == 2 && data.size() > 40000) {
      // Repeat from far back, up to the whole window.
      const size_t from = data.size() - 1 - Next(seed) % 32768;
      for (size_t i = 0; i < run; ++i) data.push_back(data[from + i]);
    } else {
      for (size_t i = 0; i < run; ++i) data.push_back(static_cast<uint8_t>('a' + i / 100 % 26));
    }
  }
  data.resize(size);
  return data;
}

Bytes ReadFile(const char* path, size_t limit) {
  Bytes data;
  if (FILE* f = std::fopen(path, "rb")) {
    data.resize(limit);
    data.resize(std::fread(data.data(), 1, limit, f));
    std::fclose(f);
  }
  return data;
}

// Programs of this machine, falling back to this test's own executable.
Bytes BinaryCorpus(size_t size) {
  static const char* const PATHS[] = {"/usr/bin/cmake",   "/usr/bin/gdb", "/usr/bin/perl",
                                      "/usr/bin/python3", "/bin/bash",    "/proc/self/exe"};
  Bytes data;
  for (const char* path : PATHS) {
    if (data.size() >= size) break;
    Bytes part = ReadFile(path, std::min<size_t>(size - data.size(), 1 << 20));
    data.insert(data.end(), part.begin(), part.end());
  }
  // Keep the size even on a bare machine.
  while (data.size() < size) data.push_back(static_cast<uint8_t>(data.size() * 31 >> 3));
  return data;
}

struct Sample {
  std::string name;
  Bytes data;
};

// Every kind at the sizes around one block, plus several MiB of all kinds mixed.
const std::vector<Sample>& Corpus() {
  static const std::vector<Sample> corpus = [] {
    const Bytes text = TextCorpus(40000), binary = BinaryCorpus(40000);
    const Bytes random = RandomCorpus(40000), repetitive = RepetitiveCorpus(40000);
    std::vector<Sample> samples;
    for (const auto& [name, source] : {std::pair{"text", &text},
                                       {"binary", &binary},
                                       {"random", &random},
                                       {"repetitive", &repetitive}}) {
      for (size_t size : {0, 1, 32767, 32768, 32769}) {
        samples.push_back({std::string(name) + "/" + std::to_string(size),
                           Bytes(source->begin(), source->begin() + static_cast<ptrdiff_t>(size))});
      }
    }
    Bytes mixed;
    const Bytes t = TextCorpus(900000), b = BinaryCorpus(1200000), r = RandomCorpus(300000),
                p = RepetitiveCorpus(700000);
    for (size_t i = 0; i < 6; ++i) {
      for (const Bytes* part : {&t, &b, &r, &p}) {
        const size_t slice = part->size() / 6;
        mixed.insert(mixed.end(), part->begin() + static_cast<ptrdiff_t>(i * slice),
                     part->begin() + static_cast<ptrdiff_t>((i + 1) * slice));
      }
    }
    samples.push_back({"mixed/" + std::to_string(mixed.size()), std::move(mixed)});
    return samples;
  }();
  return corpus;
}

// ---------------------------------------------------------------------------
// Hand-assembled deflate streams.

class BitWriter {
 public:
  BitWriter() : bytes_{'C', 'K'} {}
  // Value bits least significant first (headers, extra bits, LEN/NLEN).
  void Bits(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) Bit((value >> i) & 1);
  }
  // Huffman codes go most significant bit first.
  void Code(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) Bit((code >> i) & 1);
  }
  void Align() {
    while (used_ != 0) Bit(0);
  }
  void Byte(uint8_t b) { Bits(b, 8); }
  size_t BitCount() const { return (bytes_.size() - 2) * 8 - (used_ ? 8 - used_ : 0); }
  Bytes Finish() const { return bytes_; }

 private:
  void Bit(uint32_t bit) {
    if (used_ == 0) bytes_.push_back(0);
    bytes_.back() = static_cast<uint8_t>(bytes_.back() | (bit << used_));
    used_ = (used_ + 1) & 7;
  }
  Bytes bytes_;
  int used_ = 0;
};

constexpr uint16_t LENGTH_BASE[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t DIST_BASE[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// A canonical code from its lengths.
struct Code {
  std::vector<uint8_t> lengths;
  std::vector<uint32_t> codes;
  explicit Code(std::vector<uint8_t> l) : lengths(std::move(l)), codes(lengths.size()) {
    uint32_t count[16] = {}, next[16] = {};
    for (uint8_t len : lengths) ++count[len];
    count[0] = 0;
    for (int len = 1, code = 0; len < 16; ++len) {
      code = (code + count[len - 1]) << 1;
      next[len] = code;
    }
    for (size_t s = 0; s < lengths.size(); ++s) {
      if (lengths[s]) codes[s] = next[lengths[s]]++;
    }
  }
  void Put(BitWriter& w, uint32_t symbol) const {
    EXPECT_NE(lengths.at(symbol), 0) << "symbol " << symbol << " has no code";
    w.Code(codes[symbol], lengths[symbol]);
  }
};

Code FixedLiterals() {
  std::vector<uint8_t> l(288);
  for (int i = 0; i < 288; ++i) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  return Code(l);
}
Code FixedDistances() {
  return Code(std::vector<uint8_t>(32, 5));
}

void PutMatch(BitWriter& w, const Code& lit, const Code& dist, uint32_t length, uint32_t distance) {
  int ls = 28;
  while (LENGTH_BASE[ls] > length) --ls;
  lit.Put(w, 257 + ls);
  w.Bits(length - LENGTH_BASE[ls], LENGTH_EXTRA[ls]);
  int ds = 29;
  while (DIST_BASE[ds] > distance) --ds;
  dist.Put(w, ds);
  w.Bits(distance - DIST_BASE[ds], DIST_EXTRA[ds]);
}

// Dynamic block header: all 19 code-length lengths given, then every length
// as a plain code-length symbol (or the caller's own sequence).
const Code& CodeLengthCode() {
  // 13 codes of 4 bits and 6 of 5 bits: complete.
  static const Code code([] {
    std::vector<uint8_t> l(19, 4);
    for (int i = 13; i < 19; ++i) l[i] = 5;
    return l;
  }());
  return code;
}

void PutDynamicHeader(BitWriter& w, bool final, uint32_t hlit, uint32_t hdist,
                      const std::vector<uint32_t>& symbols, const Code& cl = CodeLengthCode()) {
  static const int ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  w.Bits(final, 1);
  w.Bits(2, 2);
  w.Bits(hlit - 257, 5);
  w.Bits(hdist - 1, 5);
  w.Bits(15, 4);
  for (int i = 0; i < 19; ++i) w.Bits(cl.lengths[ORDER[i]], 3);
  for (uint32_t s : symbols) {
    if (s < 19) {
      cl.Put(w, s);
    } else {
      w.Bits(s >> 8, (s & 0xFF) - 19);  // raw extra bits: (value << 8) | (19 + count)
    }
  }
}
uint32_t Extra(uint32_t value, uint32_t bits) {
  return value << 8 | (19 + bits);
}

void PutDynamic(BitWriter& w, bool final, const Code& lit, const Code& dist) {
  std::vector<uint32_t> symbols(lit.lengths.begin(), lit.lengths.end());
  symbols.insert(symbols.end(), dist.lengths.begin(), dist.lengths.end());
  PutDynamicHeader(w, final, static_cast<uint32_t>(lit.lengths.size()),
                   static_cast<uint32_t>(dist.lengths.size()), symbols);
}

// Lengths for a dynamic literal/length code over the literals 'a'..'h',
// end of block and length symbols 257..264 and 284: all complete.
std::vector<uint8_t> SmallLiteralLengths() {
  std::vector<uint8_t> l(285, 0);
  for (int c = 'a'; c <= 'h'; ++c) l[c] = 4;  // 8/16
  l[256] = 4;                                 // 1/16
  for (int s = 257; s <= 263; ++s) l[s] = 4;  // 7/16
  return l;
}

struct Window {
  std::unique_ptr<uint8_t[]> bytes{new uint8_t[BLOCK_SIZE]};
  Window() { std::memset(bytes.get(), 0, BLOCK_SIZE); }
  uint8_t* get() { return bytes.get(); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Conformance: zlib at every level and strategy, decoded block by block.

class MszipConformance : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(MszipConformance, DecodesZlibBlocks) {
  const auto [level, strategy] = GetParam();
  for (const Sample& sample : Corpus()) {
    ExpectRoundTrip(sample.data, MakeBlocks(sample.data, level, strategy), sample.name);
    if (HasFatalFailure()) return;
  }
}

std::string ParamName(const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
  static const char* const NAMES[] = {"default", "filtered", "huffman", "rle", "fixed"};
  return "level" + std::to_string(std::get<0>(info.param)) + "_" + NAMES[std::get<1>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(LevelsAndStrategies, MszipConformance,
                         ::testing::Combine(::testing::Range(0, 10),
                                            ::testing::Values(Z_DEFAULT_STRATEGY, Z_FILTERED,
                                                              Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED)),
                         ParamName);

// The output limit may fall anywhere, also inside a match: the decoder stops
// exactly there and the bytes before it are right.
TEST(MszipConformance, StopsAtAnyOutputLimit) {
  const Bytes data = RepetitiveCorpus(BLOCK_SIZE);
  const Bytes block = MakeBlocks(data, 6, Z_DEFAULT_STRATEGY).at(0);
  Decoder decoder;
  Window window;
  for (uint32_t limit : {1u, 2u, 3u, 100u, 257u, 258u, 259u, 4099u, 20001u, 32767u}) {
    uint32_t size = limit;
    ASSERT_EQ(Decode(decoder.handle, block, window.get(), &size), CODEC_OK) << limit;
    ASSERT_EQ(size, limit);
    ASSERT_EQ(std::memcmp(window.get(), data.data(), limit), 0) << limit;
  }
}

// ---------------------------------------------------------------------------
// The four operations.

TEST(MszipInterface, SizeQueryClampsTheBlockSize) {
  const int allocs = g_allocs;
  for (auto [in, out] : {std::pair{0u, 32768u},
                         {40000u, 32768u},
                         {32769u, 32768u},
                         {1000u, 1000u},
                         {32768u, 32768u}}) {
    uint32_t max = in, maxCompressed = 0;
    EXPECT_EQ(MszipCreate(&max, CountingAlloc, CountingFree, &maxCompressed, nullptr), CODEC_OK);
    EXPECT_EQ(max, out);
    EXPECT_EQ(maxCompressed, out + 12);
  }
  EXPECT_EQ(g_allocs, allocs);
}

TEST(MszipInterface, CreateAndDestroyGoThroughTheCallbacks) {
  const int allocs = g_allocs, frees = g_frees;
  uint32_t max = 0, maxCompressed = 0;
  MszipDecoder* handle = nullptr;
  ASSERT_EQ(MszipCreate(&max, CountingAlloc, CountingFree, &maxCompressed, &handle), CODEC_OK);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(g_allocs - allocs, 2);
  EXPECT_EQ(std::memcmp(handle, "MDIC", 4), 0);
  EXPECT_EQ(MszipReset(handle), CODEC_OK);
  EXPECT_EQ(MszipDestroy(handle), CODEC_OK);
  EXPECT_EQ(g_frees - frees, 2);
}

TEST(MszipInterface, AllocationFailureReportsNoMemory) {
  for (int failing = 0; failing < 2; ++failing) {
    const int allocs = g_allocs, frees = g_frees;
    g_fail_at = g_allocs + failing;
    uint32_t max = 0, maxCompressed = 0;
    MszipDecoder* handle = reinterpret_cast<MszipDecoder*>(&max);
    EXPECT_EQ(MszipCreate(&max, CountingAlloc, CountingFree, &maxCompressed, &handle),
              CODEC_NO_MEMORY);
    g_fail_at = -1;
    EXPECT_EQ(handle, nullptr);
    // Whatever was allocated before the failure is given back.
    EXPECT_EQ(g_frees - frees, (g_allocs - allocs) - 1);
  }
}

TEST(MszipInterface, BadHandleAndMissingPointersAreRefused) {
  alignas(16) uint8_t fake[64] = {'L', 'D', 'I', 'C'};
  auto* wrong = reinterpret_cast<MszipDecoder*>(fake);
  const Bytes input = {'C', 'K', 0x03, 0x00};
  Window window;
  for (MszipDecoder* handle : {static_cast<MszipDecoder*>(nullptr), wrong}) {
    uint32_t size = BLOCK_SIZE;
    EXPECT_EQ(Decode(handle, input, window.get(), &size), CODEC_BAD_HANDLE);
    EXPECT_EQ(size, BLOCK_SIZE);
    EXPECT_EQ(MszipReset(handle), CODEC_BAD_HANDLE);
    EXPECT_EQ(MszipDestroy(handle), CODEC_BAD_HANDLE);
  }
  // Missing pointers are bad parameters, never dereferenced.
  uint32_t max = 0, maxCompressed = 0;
  MszipDecoder* handle = nullptr;
  EXPECT_EQ(MszipCreate(nullptr, CountingAlloc, CountingFree, &maxCompressed, &handle),
            CODEC_BAD_PARAMETER);
  EXPECT_EQ(MszipCreate(&max, nullptr, CountingFree, &maxCompressed, &handle), CODEC_BAD_PARAMETER);
  EXPECT_EQ(handle, nullptr);
  Decoder decoder;
  uint32_t size = BLOCK_SIZE;
  EXPECT_EQ(MszipDecompress(decoder.handle, input.data(), 4, window.get(), nullptr),
            CODEC_BAD_PARAMETER);
  EXPECT_EQ(MszipDecompress(decoder.handle, input.data(), 4, nullptr, &size), CODEC_BAD_PARAMETER);
  EXPECT_EQ(MszipDecompress(decoder.handle, nullptr, 4, window.get(), &size), CODEC_BAD_PARAMETER);
}

TEST(MszipInterface, InputSizeLimitIsBlockPlusTwelve) {
  // One stored block of 32768 bytes is 32775 bytes with "CK"; pad to the limit.
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(0, 2);
  w.Align();
  w.Bits(BLOCK_SIZE, 16);
  w.Bits(~BLOCK_SIZE & 0xFFFF, 16);
  for (uint32_t i = 0; i < BLOCK_SIZE; ++i) w.Byte(static_cast<uint8_t>(i * 7));
  Bytes input = w.Finish();
  input.resize(32780, 0xEE);
  Decoder decoder;
  Window window;
  uint32_t size = BLOCK_SIZE;
  ASSERT_EQ(Decode(decoder.handle, input, window.get(), &size), CODEC_OK);
  EXPECT_EQ(size, BLOCK_SIZE);
  EXPECT_EQ(window.get()[12345], static_cast<uint8_t>(12345 * 7));
  input.push_back(0);
  size = BLOCK_SIZE;
  EXPECT_EQ(Decode(decoder.handle, input, window.get(), &size), CODEC_BAD_PARAMETER);
  EXPECT_EQ(size, BLOCK_SIZE);

  // A smaller maximum lowers the limit with it.
  BitWriter v;
  v.Bits(1, 1);
  v.Bits(0, 2);
  v.Align();
  v.Bits(1000, 16);
  v.Bits(~1000u & 0xFFFF, 16);
  for (uint32_t i = 0; i < 1000; ++i) v.Byte(static_cast<uint8_t>(i));
  input = v.Finish();
  input.resize(1013, 0xEE);
  Decoder small(1000);
  EXPECT_EQ(Decode(small.handle, input, window.get(), &size), CODEC_BAD_PARAMETER);
  input.resize(1012);
  size = BLOCK_SIZE;
  ASSERT_EQ(Decode(small.handle, input, window.get(), &size), CODEC_OK);
  EXPECT_EQ(size, 1000u);
}

TEST(MszipInterface, RequiresTheCkSignature) {
  Decoder decoder;
  Window window;
  for (const Bytes& input :
       {Bytes{'K', 'C', 0x03, 0x00}, Bytes{'C', 'k', 0x03, 0x00}, Bytes{'C'}, Bytes{}}) {
    uint32_t size = BLOCK_SIZE;
    EXPECT_EQ(Decode(decoder.handle, input, window.get(), &size), CODEC_DATA_ERROR);
    EXPECT_EQ(size, BLOCK_SIZE);  // not touched on failure
  }
  // "CK" and nothing else reads zero bits: a stored block with a bad NLEN.
  uint32_t size = BLOCK_SIZE;
  EXPECT_EQ(Decode(decoder.handle, Bytes{'C', 'K'}, window.get(), &size), CODEC_DATA_ERROR);
}

TEST(MszipInterface, ZeroOutputAllowedDecodesNothing) {
  Decoder decoder;
  Window window;
  uint32_t size = 0;
  EXPECT_EQ(Decode(decoder.handle, Bytes{'C', 'K', 0xFF, 0xFF}, window.get(), &size), CODEC_OK);
  EXPECT_EQ(size, 0u);
}

// ---------------------------------------------------------------------------
// Blocks.

TEST(MszipBlocks, EmptyFixedBlockYieldsNothing) {
  const Code lit = FixedLiterals();
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(1, 2);
  lit.Put(w, 256);
  Decoder decoder;
  Window window;
  uint32_t size = BLOCK_SIZE;
  ASSERT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_OK);
  EXPECT_EQ(size, 0u);
}

TEST(MszipBlocks, StoredBlockChecksLenAgainstNlenAndInput) {
  Decoder decoder;
  Window window;
  auto stored = [](uint32_t len, uint32_t nlen, size_t bytes) {
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(0, 2);
    w.Align();
    w.Bits(len, 16);
    w.Bits(nlen, 16);
    for (size_t i = 0; i < bytes; ++i) w.Byte(static_cast<uint8_t>('0' + i));
    return w.Finish();
  };
  uint32_t size = BLOCK_SIZE;
  ASSERT_EQ(Decode(decoder.handle, stored(5, 0xFFFA, 5), window.get(), &size), CODEC_OK);
  ASSERT_EQ(size, 5u);
  EXPECT_EQ(std::memcmp(window.get(), "01234", 5), 0);
  size = BLOCK_SIZE;
  EXPECT_EQ(Decode(decoder.handle, stored(5, 0xFFFB, 5), window.get(), &size), CODEC_DATA_ERROR);
  // LEN one past the bytes that remain.
  EXPECT_EQ(Decode(decoder.handle, stored(5, 0xFFFA, 4), window.get(), &size), CODEC_DATA_ERROR);
  // NLEN lies past the end: zero bits, not the complement.
  EXPECT_EQ(Decode(decoder.handle, Bytes{'C', 'K', 0x01, 0x05, 0x00}, window.get(), &size),
            CODEC_DATA_ERROR);
  // An output limit inside the stored bytes ends the call there.
  size = 3;
  ASSERT_EQ(Decode(decoder.handle, stored(5, 0xFFFA, 5), window.get(), &size), CODEC_OK);
  EXPECT_EQ(size, 3u);
}

// A stored block after a long coded block: the bytes the bit reader has
// fetched ahead must go back to the input at the byte boundary.
TEST(MszipBlocks, StoredBlockAfterCodedBlockStartsAtTheNextByte) {
  const Code lit = FixedLiterals();
  for (uint32_t literals : {0u, 1u, 2u, 7u, 300u, 1001u}) {
    BitWriter w;
    w.Bits(0, 1);
    w.Bits(1, 2);
    for (uint32_t i = 0; i < literals; ++i) lit.Put(w, 'a' + i % 26);
    lit.Put(w, 256);
    w.Bits(0, 1);
    w.Bits(0, 2);
    w.Align();
    w.Bits(6, 16);
    w.Bits(~6u & 0xFFFF, 16);
    for (char ch : std::string("stored")) w.Byte(static_cast<uint8_t>(ch));
    // Then a final fixed block with one literal.
    w.Bits(1, 1);
    w.Bits(1, 2);
    lit.Put(w, '!');
    lit.Put(w, 256);
    Decoder decoder;
    Window window;
    uint32_t size = BLOCK_SIZE;
    ASSERT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_OK) << literals;
    ASSERT_EQ(size, literals + 7);
    EXPECT_EQ(std::memcmp(window.get() + literals, "stored!", 7), 0) << literals;
  }
}

TEST(MszipBlocks, BlockTypeThreeIsAnError) {
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(3, 2);
  w.Bits(0, 13);
  Decoder decoder;
  Window window;
  uint32_t size = BLOCK_SIZE;
  EXPECT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_DATA_ERROR);
}

// A stream that would produce more than a block yields exactly the allowed
// bytes, stopping inside a match, and succeeds.
TEST(MszipBlocks, OutputStopsAtTheLimitInsideAMatch) {
  const Code lit = FixedLiterals(), dist = FixedDistances();
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(1, 2);
  lit.Put(w, 'x');
  for (int i = 0; i < 200; ++i) PutMatch(w, lit, dist, 258, 1);  // 51601 bytes in all
  lit.Put(w, 'y');
  lit.Put(w, 256);
  const Bytes input = w.Finish();
  Decoder decoder;
  Window window;
  for (uint32_t limit : {BLOCK_SIZE, 1000u, 259u, 1u}) {
    std::memset(window.get(), 0, BLOCK_SIZE);
    uint32_t size = limit;
    ASSERT_EQ(Decode(decoder.handle, input, window.get(), &size), CODEC_OK);
    ASSERT_EQ(size, limit);
    EXPECT_EQ(std::count(window.get(), window.get() + limit, 'x'), limit);
    if (limit < BLOCK_SIZE) {
      EXPECT_EQ(window.get()[limit], 0) << "wrote past the limit";
    }
  }
  // A decoder created with a smaller maximum caps the caller's limit.
  Decoder small(1000);
  uint32_t size = BLOCK_SIZE;
  ASSERT_EQ(Decode(small.handle, input, window.get(), &size), CODEC_OK);
  EXPECT_EQ(size, 1000u);
}

// Decodes a stored block of 32768 bytes into the window (the history of the
// next block) and returns them.
Bytes FillWithFullBlock(MszipDecoder* handle, uint8_t* window) {
  Bytes first(BLOCK_SIZE);
  for (uint32_t i = 0; i < BLOCK_SIZE; ++i) first[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
  BitWriter s;
  s.Bits(1, 1);
  s.Bits(0, 2);
  s.Align();
  s.Bits(BLOCK_SIZE, 16);
  s.Bits(~BLOCK_SIZE & 0xFFFF, 16);
  for (uint8_t b : first) s.Byte(b);
  uint32_t size = BLOCK_SIZE;
  EXPECT_EQ(Decode(handle, s.Finish(), window, &size), CODEC_OK);
  EXPECT_EQ(size, BLOCK_SIZE);
  return first;
}

// After a full block, distance 100 at the start of the next block reads the
// previous block's last 100 bytes and wraps to offset 0 after 32767.
TEST(MszipBlocks, MatchReachesIntoThePreviousBlockAndWraps) {
  Decoder decoder;
  Window window;
  const Bytes first = FillWithFullBlock(decoder.handle, window.get());
  ASSERT_EQ(MszipReset(decoder.handle), CODEC_OK);  // changes nothing

  const Code lit = FixedLiterals(), dist = FixedDistances();
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(1, 2);
  PutMatch(w, lit, dist, 150, 100);    // 100 old bytes, then 50 of its own
  lit.Put(w, 'Z');                     // at 150
  PutMatch(w, lit, dist, 10, 32768);   // the byte at 151.. of the previous block
  PutMatch(w, lit, dist, 258, 30000);  // from 32768 - 30000 + 161
  lit.Put(w, 256);
  uint32_t size = BLOCK_SIZE;
  ASSERT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_OK);
  ASSERT_EQ(size, 150u + 1 + 10 + 258);
  Bytes expected(first.end() - 100, first.end());
  for (int i = 0; i < 50; ++i) expected.push_back(expected[i]);
  expected.push_back('Z');
  for (uint32_t i = 151; i < 161; ++i) expected.push_back(first[i]);
  for (uint32_t i = 0; i < 258; ++i) expected.push_back(first[BLOCK_SIZE - 30000 + 161 + i]);
  EXPECT_EQ(Bytes(window.get(), window.get() + size), expected);
}

// Matches of every short distance and of lengths around each copy width, far
// from the ends (the fast loop) and near them (the careful one), some reaching
// into the previous block, between single literals: the bytes zlib gives for
// the same stream with the previous block as its dictionary, also when the
// output stops inside any of the last matches.
TEST(MszipBlocks, MatchesOfEveryShortDistanceAgreeWithZlib) {
  Decoder decoder;
  Window window;
  const Bytes first = FillWithFullBlock(decoder.handle, window.get());
  const Code lit = FixedLiterals(), dist = FixedDistances();
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(1, 2);
  PutMatch(w, lit, dist, 19, 32768);
  for (uint32_t d :
       {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 15u, 16u, 17u, 31u, 300u, 32768u}) {
    for (uint32_t len : {3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 33u, 258u}) {
      lit.Put(w, 'a' + d % 26);
      PutMatch(w, lit, dist, len, d);
    }
  }
  lit.Put(w, 256);
  const Bytes block = w.Finish();
  Bytes expected(BLOCK_SIZE);
  z_stream z{};
  ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
  ASSERT_EQ(inflateSetDictionary(&z, first.data(), BLOCK_SIZE), Z_OK);
  z.next_in = const_cast<Bytef*>(block.data() + 2);
  z.avail_in = static_cast<uInt>(block.size() - 2);
  z.next_out = expected.data();
  z.avail_out = BLOCK_SIZE;
  EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
  inflateEnd(&z);
  expected.resize(BLOCK_SIZE - z.avail_out);
  const uint32_t total = static_cast<uint32_t>(expected.size());
  for (uint32_t limit : {total, total - 1, total - 130, total - 258, total - 300, 5000u}) {
    ASSERT_EQ(MszipReset(decoder.handle), CODEC_OK);
    FillWithFullBlock(decoder.handle, window.get());
    uint32_t size = limit;
    ASSERT_EQ(Decode(decoder.handle, block, window.get(), &size), CODEC_OK) << limit;
    ASSERT_EQ(size, limit);
    EXPECT_EQ(std::memcmp(window.get(), expected.data(), limit), 0) << limit;
  }
}

// The final code's lookup asks for more bits than the input has left; zero
// bits stand in for them.
TEST(MszipBlocks, ZeroBitsArePastTheEndOfTheInput) {
  const Code lit = FixedLiterals();
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(1, 2);
  for (int i = 0; i < 6; ++i) lit.Put(w, 200 + i);  // 9-bit codes: 3 + 54 + 7 = 64 bits
  lit.Put(w, 256);
  ASSERT_EQ(w.BitCount(), 64u);
  Decoder decoder;
  Window window;
  uint32_t size = BLOCK_SIZE;
  ASSERT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_OK);
  ASSERT_EQ(size, 6u);
  EXPECT_EQ(window.get()[5], 205);

  // Zero bits may be looked at but not used: without its end-of-block code
  // (43 bits in 6 bytes) the block would end on a code made of them.
  BitWriter cut;
  cut.Bits(1, 1);
  cut.Bits(1, 2);
  for (int i = 0; i < 5; ++i) lit.Put(cut, 'k');
  size = BLOCK_SIZE;
  EXPECT_EQ(Decode(decoder.handle, cut.Finish(), window.get(), &size), CODEC_DATA_ERROR);
  // Nor may a block cut in half decode to its full size.
  const Bytes whole = MakeBlocks(TextCorpus(BLOCK_SIZE), 6, Z_DEFAULT_STRATEGY).at(0);
  size = BLOCK_SIZE;
  EXPECT_EQ(Decode(decoder.handle, Bytes(whole.begin(), whole.begin() + whole.size() / 2),
                   window.get(), &size),
            CODEC_DATA_ERROR);
}

TEST(MszipBlocks, FixedCodesRejectInvalidSymbols) {
  const Code lit = FixedLiterals(), dist = FixedDistances();
  Decoder decoder;
  Window window;
  for (int distanceCode : {30, 31}) {
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(1, 2);
    lit.Put(w, 'a');
    lit.Put(w, 257);
    dist.Put(w, distanceCode);
    lit.Put(w, 256);
    uint32_t size = BLOCK_SIZE;
    EXPECT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_DATA_ERROR);
  }
  for (int symbol : {286, 287}) {
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(1, 2);
    lit.Put(w, 'a');
    lit.Put(w, symbol);
    dist.Put(w, 0);
    lit.Put(w, 256);
    uint32_t size = BLOCK_SIZE;
    EXPECT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_DATA_ERROR);
  }
}

TEST(MszipDynamic, HeaderCountsAreLimited) {
  Decoder decoder;
  Window window;
  for (auto [hlit, hdist] : {std::pair{287u, 30u}, {288u, 1u}, {257u, 31u}, {257u, 32u}}) {
    BitWriter w;
    std::vector<uint32_t> lengths(hlit + hdist, 0);
    lengths[256] = 1;
    lengths[0] = 1;
    PutDynamicHeader(w, true, hlit, hdist, lengths);
    uint32_t size = BLOCK_SIZE;
    EXPECT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_DATA_ERROR)
        << hlit << " " << hdist;
  }
  // The largest counts that are allowed.
  std::vector<uint8_t> litLengths(286, 0);
  litLengths['q'] = 1;
  litLengths[256] = 1;
  const Code lit(litLengths), dist(std::vector<uint8_t>(30, 0));
  BitWriter w;
  PutDynamic(w, true, lit, dist);
  lit.Put(w, 'q');
  lit.Put(w, 256);
  uint32_t size = BLOCK_SIZE;
  ASSERT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_OK);
  EXPECT_EQ(size, 1u);
}

// One distance code of length 1 is complete enough; its unused twin is invalid.
TEST(MszipDynamic, SingleDistanceCodeOfLengthOne) {
  std::vector<uint8_t> distLengths(5, 0);
  distLengths[4] = 1;  // distances 5..6
  const Code lit(SmallLiteralLengths()), dist(distLengths);
  Decoder decoder;
  Window window;
  BitWriter w;
  PutDynamic(w, true, lit, dist);
  for (char ch : std::string("abcdef")) lit.Put(w, ch);
  PutMatch(w, lit, dist, 4, 6);
  lit.Put(w, 256);
  uint32_t size = BLOCK_SIZE;
  ASSERT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_OK);
  EXPECT_EQ(std::string(window.get(), window.get() + size), "abcdefabcd");

  BitWriter bad;
  PutDynamic(bad, true, lit, dist);
  lit.Put(bad, 'a');
  lit.Put(bad, 257);
  bad.Code(1, 1);  // the left-over code
  lit.Put(bad, 256);
  size = BLOCK_SIZE;
  EXPECT_EQ(Decode(decoder.handle, bad.Finish(), window.get(), &size), CODEC_DATA_ERROR);
}

// No distance codes at all: literals decode, a length symbol is an error.
TEST(MszipDynamic, EmptyDistanceCode) {
  const Code lit(SmallLiteralLengths()), dist(std::vector<uint8_t>{0});
  Decoder decoder;
  Window window;
  BitWriter w;
  PutDynamic(w, true, lit, dist);
  lit.Put(w, 'h');
  lit.Put(w, 256);
  uint32_t size = BLOCK_SIZE;
  ASSERT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_OK);
  EXPECT_EQ(size, 1u);
  BitWriter bad;
  PutDynamic(bad, true, lit, dist);
  lit.Put(bad, 'h');
  lit.Put(bad, 257);
  bad.Bits(0, 8);
  lit.Put(bad, 256);
  size = BLOCK_SIZE;
  EXPECT_EQ(Decode(decoder.handle, bad.Finish(), window.get(), &size), CODEC_DATA_ERROR);
}

TEST(MszipDynamic, CodeLengthRepeats) {
  Decoder decoder;
  Window window;
  // 'a' and end of block with one bit each. A leading 16 repeats zeros; the
  // last repeat fills the distance lengths exactly, or runs one past them.
  auto tiny = [](const std::vector<uint32_t>& symbols, uint32_t hdist) {
    BitWriter w;
    PutDynamicHeader(w, true, 257, hdist, symbols);
    w.Code(0, 1);  // 'a'
    w.Code(1, 1);  // end of block
    return w.Finish();
  };
  const std::vector<uint32_t> zerosFirst = {16, Extra(3, 2),   18, Extra(80, 7),  // 6 + 91 zeros
                                            1,                                    // 'a' = 97
                                            18, Extra(127, 7), 17, Extra(7, 3),
                                            17, Extra(7, 3),   // 158 zeros
                                            1,                 // end of block = 256
                                            17, Extra(0, 3)};  // 3 distance lengths 0
  uint32_t size = BLOCK_SIZE;
  ASSERT_EQ(Decode(decoder.handle, tiny(zerosFirst, 3), window.get(), &size), CODEC_OK);
  ASSERT_EQ(size, 1u);
  EXPECT_EQ(window.get()[0], 'a');
  size = BLOCK_SIZE;
  EXPECT_EQ(Decode(decoder.handle, tiny(zerosFirst, 2), window.get(), &size), CODEC_DATA_ERROR);

  // 16 after a non-zero length repeats it: the small code again.
  const std::vector<uint32_t> repeated = {18,          Extra(86, 7),
                                          4,           16,
                                          Extra(3, 2), 4,  // 97 zeros, 'a'..'h'
                                          18,          Extra(127, 7),
                                          17,          Extra(7, 3),
                                          17,          Extra(0, 3),  // 151 zeros
                                          4,           4,
                                          16,          Extra(3, 2),   // 256..263
                                          18,          Extra(10, 7),  // 264..284
                                          2,           16,
                                          Extra(0, 2)};  // 4 distance codes
  const Code lit(SmallLiteralLengths()), dist(std::vector<uint8_t>{2, 2, 2, 2});
  BitWriter w;
  PutDynamicHeader(w, true, 285, 4, repeated);
  for (char ch : std::string("hgfedcba")) lit.Put(w, ch);
  PutMatch(w, lit, dist, 3, 1);
  lit.Put(w, 256);
  size = BLOCK_SIZE;
  ASSERT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_OK);
  EXPECT_EQ(std::string(window.get(), window.get() + size), "hgfedcbaaaa");
}

TEST(MszipDynamic, OverSubscribedAndIncompleteCodesAreErrors) {
  Decoder decoder;
  Window window;
  std::vector<uint8_t> lengths = SmallLiteralLengths();
  lengths['z'] = 4;  // one code too many
  uint32_t size = BLOCK_SIZE;
  {
    std::vector<uint32_t> symbols(lengths.begin(), lengths.end());
    symbols.push_back(1);
    BitWriter w;
    PutDynamicHeader(w, true, static_cast<uint32_t>(lengths.size()), 1, symbols);
    w.Bits(0, 16);
    EXPECT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_DATA_ERROR);
  }
  lengths['z'] = 0;
  lengths['h'] = 0;  // one code missing
  {
    std::vector<uint32_t> symbols(lengths.begin(), lengths.end());
    symbols.push_back(1);
    BitWriter w;
    PutDynamicHeader(w, true, static_cast<uint32_t>(lengths.size()), 1, symbols);
    w.Bits(0, 16);
    EXPECT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_DATA_ERROR);
  }
  // An incomplete distance code is an error too.
  {
    const std::vector<uint8_t> small = SmallLiteralLengths();
    std::vector<uint32_t> symbols(small.begin(), small.end());
    for (uint32_t l : {1u, 2u}) symbols.push_back(l);
    BitWriter w;
    PutDynamicHeader(w, true, 285, 2, symbols);
    w.Bits(0, 16);
    EXPECT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_DATA_ERROR);
  }
}

// Codes whose long-code prefixes need many sub-tables. `subTables` - 1
// prefixes of 64 codes of 15 bits need 64 entries each.
std::vector<uint8_t> AreaTestLengths(int subTables) {
  std::vector<uint8_t> multiset;
  const int rootPrefixes = 512 - subTables;
  for (int length = 1; length <= 9; ++length) {
    if (rootPrefixes & (1 << (9 - length))) multiset.push_back(static_cast<uint8_t>(length));
  }
  for (int length : {10, 11, 12, 13, 14, 15, 15}) multiset.push_back(static_cast<uint8_t>(length));
  multiset.insert(multiset.end(), 64 * (subTables - 1), 15);
  std::vector<uint8_t> lengths(286, 0);
  lengths[256] = multiset[0];
  for (size_t i = 1, symbol = 0; i < multiset.size(); ++i, ++symbol) {
    if (symbol == 256) ++symbol;
    lengths[symbol] = multiset[i];
  }
  return lengths;
}

// Codes with counts[k] codes of length k + 1, longest first from symbol 0.
std::vector<uint8_t> FromCounts(const std::vector<int>& counts) {
  std::vector<uint8_t> lengths;
  for (int k = static_cast<int>(counts.size()); k >= 1; --k)
    lengths.insert(lengths.end(), counts[k - 1], k);
  return lengths;
}

// Every complete code decodes, however many table entries it needs; the two
// codes that need the most (852 literal/length, 154 distance entries) too.
// zlib decodes the same streams to the same bytes.
TEST(MszipDynamic, TableAreasHoldEveryCompleteCode) {
  const std::vector<uint8_t> worstLiterals =
      FromCounts({1, 1, 1, 0, 0, 0, 0, 0, 0, 117, 1, 17, 17, 1, 130});
  const std::vector<uint8_t> worstDistances =
      FromCounts({1, 1, 1, 0, 0, 0, 13, 5, 1, 1, 1, 0, 3, 1, 2});
  const std::pair<std::vector<uint8_t>, std::vector<uint8_t>> cases[] = {
      {AreaTestLengths(4), {1}},
      {AreaTestLengths(5), {1}},
      {worstLiterals, {1}},
      {worstLiterals, worstDistances}};
  Decoder decoder;
  Window window;
  for (const auto& [literals, distances] : cases) {
    const Code lit(literals), dist(distances);
    int deepest = 0;
    for (int s = 0; s < 256; ++s) deepest = literals[s] > literals[deepest] ? s : deepest;
    BitWriter w;
    PutDynamic(w, true, lit, dist);
    lit.Put(w, deepest);
    lit.Put(w, 0);
    if (literals[257]) PutMatch(w, lit, dist, 3, 1);  // distance 1: the longest code
    lit.Put(w, 256);
    const Bytes block = w.Finish();
    uint32_t size = BLOCK_SIZE;
    ASSERT_EQ(Decode(decoder.handle, block, window.get(), &size), CODEC_OK) << literals.size();
    uint8_t expected[16];
    z_stream z{};
    ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
    z.next_in = const_cast<Bytef*>(block.data() + 2);
    z.avail_in = static_cast<uInt>(block.size() - 2);
    z.next_out = expected;
    z.avail_out = sizeof expected;
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    inflateEnd(&z);
    ASSERT_EQ(size, sizeof expected - z.avail_out);
    EXPECT_EQ(std::memcmp(window.get(), expected, size), 0);
  }
}

// A failed block leaves the handle usable; the next block starts afresh.
TEST(MszipDecoderState, FailureLeavesTheHandleUsable) {
  const Code lit = FixedLiterals(), dist = FixedDistances();
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(1, 2);
  for (int i = 0; i < 500; ++i) lit.Put(w, 'a' + i % 26);
  lit.Put(w, 257);
  dist.Put(w, 31);
  Decoder decoder;
  Window window;
  uint32_t size = BLOCK_SIZE;
  EXPECT_EQ(Decode(decoder.handle, w.Finish(), window.get(), &size), CODEC_DATA_ERROR);
  EXPECT_EQ(size, BLOCK_SIZE);
  const Bytes data = TextCorpus(1000);
  size = BLOCK_SIZE;
  ASSERT_EQ(
      Decode(decoder.handle, MakeBlocks(data, 9, Z_DEFAULT_STRATEGY).at(0), window.get(), &size),
      CODEC_OK);
  ASSERT_EQ(size, 1000u);
  EXPECT_EQ(std::memcmp(window.get(), data.data(), 1000), 0);
}

// Quantum decoder: interface results, model tables and adaptation, and the
// failures a damaged frame must give.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/quantum.h"
#include "codecs/quantum_model.h"
#include "writer/quantum_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

int live_allocations = 0;
void* counting_alloc(uint32_t size) {
  ++live_allocations;
  return malloc(size);
}
void counting_free(void* p) {
  if (p) --live_allocations;
  free(p);
}

int32_t create(uint32_t bits, QuantumDecoder** handle, uint32_t* max_un = nullptr,
               uint32_t* max_c = nullptr) {
  uint32_t un = max_un ? *max_un : 0, c = 0;
  QuantumParameters p{bits, 0};
  const int32_t r = QuantumCreate(&un, &p, counting_alloc, counting_free, &c, handle, nullptr,
                                  nullptr, nullptr, nullptr, nullptr);
  if (max_un) *max_un = un;
  if (max_c) *max_c = c;
  return r;
}

// A spill file in memory; the window allocation is refused, so create pages
// the window through it.
Bytes spill_file;
int64_t spill_at = 0;
void* no_window_alloc(uint32_t size) {
  return size >= 16384 ? nullptr : counting_alloc(size);
}
int32_t spill_create(uint32_t bits, QuantumDecoder** handle) {
  uint32_t un = 0, c = 0;
  QuantumParameters p{bits, 0};
  spill_file.clear();
  return QuantumCreate(
      &un, &p, no_window_alloc, counting_free, &c, handle,
      [](const char*, int32_t, int32_t) { return 5; },
      [](int32_t, void* b, uint32_t n) {
        if (spill_at + n > static_cast<int64_t>(spill_file.size())) return -1;
        memcpy(b, spill_file.data() + spill_at, n);
        spill_at += n;
        return static_cast<int32_t>(n);
      },
      [](int32_t, const void* b, uint32_t n) {
        if (static_cast<int64_t>(spill_file.size()) < spill_at + n) spill_file.resize(spill_at + n);
        memcpy(spill_file.data() + spill_at, b, n);
        spill_at += n;
        return static_cast<int32_t>(n);
      },
      [](int32_t) { return 0; },
      [](int32_t, int32_t at, int32_t) { return static_cast<int32_t>(spill_at = at); });
}

int32_t decompress(QuantumDecoder* h, const Bytes& in, Bytes& out, uint32_t size) {
  out.assign(size, 0xAA);
  uint32_t s = size;
  const int32_t r =
      QuantumDecompress(h, in.data(), static_cast<uint32_t>(in.size()), out.data(), &s);
  EXPECT_EQ(s, size) << "the output size is never changed";
  return r;
}

TEST(QuantumInterface, CreateSizesAndWindowLimits) {
  uint32_t un = 0, c = 0;
  QuantumParameters p{9, 0};
  // Out-of-range windows are refused even for the size query.
  EXPECT_EQ(QuantumCreate(&un, &p, nullptr, nullptr, &c, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr),
            CODEC_BAD_WINDOW);
  p.window_bits = 22;
  EXPECT_EQ(QuantumCreate(&un, &p, nullptr, nullptr, &c, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr),
            CODEC_BAD_WINDOW);
  QuantumDecoder* h = reinterpret_cast<QuantumDecoder*>(1);
  EXPECT_EQ(create(22, &h), CODEC_BAD_WINDOW);
  for (uint32_t bits : {10u, 21u}) {
    p.window_bits = bits;
    for (uint32_t asked : {0u, 40000u}) {
      un = asked;
      EXPECT_EQ(QuantumCreate(&un, &p, nullptr, nullptr, &c, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr),
                CODEC_OK);
      EXPECT_EQ(un, 32768u);
      EXPECT_EQ(c, 43008u);
    }
  }
  un = 1000;
  EXPECT_EQ(create(10, nullptr, &un, &c), CODEC_OK);
  EXPECT_EQ(c, 11240u);
  EXPECT_EQ(live_allocations, 0);
}

TEST(QuantumInterface, HandlesSignaturesAndOneDecoderAtATime) {
  QuantumDecoder* h = nullptr;
  ASSERT_EQ(create(15, &h), CODEC_OK);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(h), 0x43494451u);
  EXPECT_EQ(live_allocations, 2);  // handle and window

  QuantumDecoder* second = nullptr;
  EXPECT_EQ(create(15, &second), CODEC_NO_MEMORY);
  EXPECT_EQ(second, nullptr);

  Bytes out(32769);
  uint32_t size = 32769;
  Bytes in(100, 0);
  EXPECT_EQ(QuantumDecompress(h, in.data(), 100, out.data(), &size), CODEC_BAD_PARAMETER);
  EXPECT_EQ(size, 32769u);

  uint32_t fake[16] = {0x12345678};
  auto* bad = reinterpret_cast<QuantumDecoder*>(fake);
  size = 10;
  EXPECT_EQ(QuantumDecompress(bad, in.data(), 100, out.data(), &size), CODEC_BAD_HANDLE);
  EXPECT_EQ(QuantumReset(bad), CODEC_BAD_HANDLE);
  EXPECT_EQ(QuantumDestroy(bad), CODEC_BAD_HANDLE);
  EXPECT_EQ(QuantumReset(nullptr), CODEC_BAD_HANDLE);

  EXPECT_EQ(QuantumDestroy(h), CODEC_OK);
  EXPECT_EQ(live_allocations, 0);
  // A new decoder may exist once the old one is gone.
  ASSERT_EQ(create(10, &h), CODEC_OK);
  EXPECT_EQ(QuantumDestroy(h), CODEC_OK);
  EXPECT_EQ(live_allocations, 0);
}

TEST(QuantumModels, SlotTablesAndPositionModelSizes) {
  const uint32_t pos_bases[] = {0, 1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48};
  for (uint32_t s = 0; s < 12; ++s) EXPECT_EQ(quantum::POSITION.base[s], pos_bases[s]);
  EXPECT_EQ(quantum::POSITION.base[40], 1048576u);
  EXPECT_EQ(quantum::POSITION.base[41], 1572864u);
  const uint32_t len_bases[] = {0,  1,  2,  3,  4,  5,  6,  8,   10,  12,  14,  18,  22, 26,
                                30, 38, 46, 54, 62, 78, 94, 110, 126, 158, 190, 222, 254};
  for (uint32_t s = 0; s < 27; ++s) EXPECT_EQ(quantum::LENGTH.base[s], len_bases[s]) << s;
  EXPECT_EQ(quantum::LENGTH.extra[26], 0);

  quantum::Models models;
  quantum::models_init(models, 10);
  EXPECT_EQ(models.m[quantum::MODEL_POSITION4].symbols, 20u);
  EXPECT_EQ(models.m[quantum::MODEL_POSITION5].symbols, 20u);
  EXPECT_EQ(models.m[quantum::MODEL_POSITION6].symbols, 20u);
  quantum::models_init(models, 21);
  EXPECT_EQ(models.m[quantum::MODEL_POSITION4].symbols, 24u);
  EXPECT_EQ(models.m[quantum::MODEL_POSITION5].symbols, 36u);
  EXPECT_EQ(models.m[quantum::MODEL_POSITION6].symbols, 42u);
  EXPECT_EQ(models.m[quantum::MODEL_SELECTOR].symbols, 7u);
  EXPECT_EQ(models.m[quantum::MODEL_LENGTH].symbols, 27u);

  // Every value maps to the slot whose range holds it.
  for (uint32_t v = 0; v < (1u << 21); v += 1 + v / 7) {
    const uint32_t s = quantum::position_slot(v);
    ASSERT_LE(quantum::POSITION.base[s], v);
    ASSERT_LT(v - quantum::POSITION.base[s], 1u << quantum::POSITION.extra[s]);
  }
  for (uint32_t v = 0; v <= 254; ++v) {
    const uint32_t s = quantum::length_slot(v);
    ASSERT_LE(quantum::LENGTH.base[s], v);
    ASSERT_LT(v - quantum::LENGTH.base[s], 1u << quantum::LENGTH.extra[s]);
  }
}

TEST(QuantumModels, AdaptationAndRescaleSequence) {
  quantum::Model m;
  quantum::model_init(m, 7);
  EXPECT_EQ(m.cum[0], 7u);
  quantum::model_update(m, 2);
  EXPECT_EQ(m.cum[0], 15u);
  EXPECT_EQ(m.cum[2], 13u);
  EXPECT_EQ(m.cum[3], 4u);

  // Drive symbol 6 (last entry) until the total passes 3800, four times over.
  quantum::model_init(m, 7);
  auto feed_until_rescale = [&](uint32_t entry) {
    const uint32_t counter = m.rescale_counter;
    while (m.rescale_counter == counter) quantum::model_update(m, entry);
  };
  feed_until_rescale(6);
  // First rescale halves 3807, 3806, ... 3801 and keeps every entry above the
  // next: entry 4 halves to 1901 = entry 5 and becomes 1902, and so on up.
  EXPECT_EQ(m.rescale_counter, 3u);
  const uint32_t halved[] = {1906, 1905, 1904, 1903, 1902, 1901, 1900, 0};
  for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(m.cum[i], halved[i]) << i;
  EXPECT_EQ(m.symbol[6], 6);
  feed_until_rescale(6);
  feed_until_rescale(6);
  EXPECT_EQ(m.rescale_counter, 1u);
  EXPECT_EQ(m.symbol[0], 0) << "halving keeps the order";
  feed_until_rescale(6);
  // The fourth is a rebuild: symbol 6 now dominates and moves to the front.
  EXPECT_EQ(m.rescale_counter, 50u);
  EXPECT_EQ(m.symbol[0], 6);
  EXPECT_EQ(m.cum[7], 0u);
  for (uint32_t i = 0; i < 7; ++i) EXPECT_GE(m.cum[i] - m.cum[i + 1], 1u);
  const uint32_t freq0 = m.cum[0] - m.cum[1];
  for (uint32_t i = 1; i < 7; ++i) EXPECT_GE(freq0, m.cum[i] - m.cum[i + 1]);
  // Then 49 halvings before the next rebuild.
  for (int k = 0; k < 49; ++k) feed_until_rescale(3);
  EXPECT_EQ(m.rescale_counter, 1u);
  EXPECT_EQ(m.symbol[0], 6);
  feed_until_rescale(3);
  EXPECT_EQ(m.rescale_counter, 50u);
  EXPECT_NE(m.symbol[0], 6);
}

TEST(QuantumModels, RebuildIsAnExchangeSort) {
  // Frequencies 2,5,5,9 (cum 21,19,14,9,0): the exchange sort swaps entry 0
  // with 1, then with 3, giving symbols 3,0,2,1 with halved frequencies.
  quantum::Model m;
  quantum::model_init(m, 4);
  const uint32_t cum[] = {21 * 2, 19 * 2, 14 * 2, 9 * 2, 0};
  for (int i = 0; i < 5; ++i) m.cum[i] = cum[i];
  m.rescale_counter = 1;
  quantum::model_rescale(m);
  // freq = (2d + 1) >> 1 = d: 2, 5, 5, 9 for symbols 0..3.
  // i=0: j=1 (5>2) swap → 5,2,5,9 [1,0,2,3]; j=3 (9>5) swap → 9,2,5,5 [3,0,2,1].
  // i=1: j=2 (5>2) swap → 9,5,2,5 [3,2,0,1]; j=3 (5>2) swap → 9,5,5,2 [3,2,1,0].
  const uint16_t final_order[] = {3, 2, 1, 0};
  const uint32_t final_freq[] = {9, 5, 5, 2};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(m.symbol[i], final_order[i]) << i;
    EXPECT_EQ(m.cum[i] - m.cum[i + 1], final_freq[i]) << i;
  }
}

TEST(QuantumModels, CompressorKeepsOffsetsInsideThePositionModels) {
  EXPECT_TRUE(QuantumStreamEncoder::match_fits(21, 4095, 3));
  EXPECT_FALSE(QuantumStreamEncoder::match_fits(21, 4096, 3));
  EXPECT_TRUE(QuantumStreamEncoder::match_fits(21, 262143, 4));
  EXPECT_FALSE(QuantumStreamEncoder::match_fits(21, 262144, 4));
  EXPECT_TRUE(QuantumStreamEncoder::match_fits(21, (1u << 21) - 1, 259));
  EXPECT_FALSE(QuantumStreamEncoder::match_fits(21, 1u << 21, 5));
  EXPECT_TRUE(QuantumStreamEncoder::match_fits(10, 1023, 3));
  EXPECT_FALSE(QuantumStreamEncoder::match_fits(10, 1024, 4));
  EXPECT_FALSE(QuantumStreamEncoder::match_fits(16, 0, 5));
  EXPECT_FALSE(QuantumStreamEncoder::match_fits(16, 10, 2));
  EXPECT_FALSE(QuantumStreamEncoder::match_fits(16, 10, 260));
}

// Frames built item by item, for the failures.
struct Stream {
  QuantumStreamEncoder coder;
  explicit Stream(uint32_t bits) : coder(bits) {}
  Bytes frame() {
    Bytes out;
    coder.end_frame(out);
    return out;
  }
};

TEST(QuantumFrames, DamagedFramesAreDataErrors) {
  QuantumDecoder* h = nullptr;
  ASSERT_EQ(create(16, &h), CODEC_OK);
  Bytes out;

  // One byte cannot fill the 16-bit code register.
  EXPECT_EQ(decompress(h, Bytes{0x55}, out, 1), CODEC_DATA_ERROR);
  EXPECT_EQ(decompress(h, Bytes{}, out, 0), CODEC_DATA_ERROR);
  ASSERT_EQ(QuantumReset(h), CODEC_OK);

  // A last match longer than the bytes due.
  Stream s(16);
  for (int i = 0; i < 10; ++i) s.coder.literal(static_cast<uint8_t>('a' + i));
  ASSERT_TRUE(s.coder.match(10, 20));
  const Bytes f = s.frame();
  EXPECT_EQ(decompress(h, f, out, 30), CODEC_OK);
  ASSERT_EQ(QuantumReset(h), CODEC_OK);
  EXPECT_EQ(decompress(h, f, out, 29), CODEC_DATA_ERROR);
  ASSERT_EQ(QuantumReset(h), CODEC_OK);

  // Data that end before the decoder has taken its last bit: all bytes may be
  // produced, and still the frame fails.
  Stream t(16);
  Bytes data;
  for (int i = 0; i < 2000; ++i) {
    const uint8_t b = static_cast<uint8_t>((i * 37) ^ (i >> 3));
    t.coder.literal(b);
    data.push_back(b);
  }
  const Bytes whole = t.frame();
  ASSERT_EQ(decompress(h, whole, out, 2000), CODEC_OK);
  EXPECT_EQ(out, data);
  for (size_t cut = 1; cut <= 3; ++cut) {
    ASSERT_EQ(QuantumReset(h), CODEC_OK);
    Bytes shorter(whole.begin(), whole.end() - static_cast<std::ptrdiff_t>(cut));
    EXPECT_EQ(decompress(h, shorter, out, 2000), CODEC_DATA_ERROR) << cut;
  }
  EXPECT_EQ(QuantumDestroy(h), CODEC_OK);
  EXPECT_EQ(live_allocations, 0);
}

// The same in a spill file: pages written before a reset stay readable.
TEST(QuantumFrames, ResetRenewsModelsButKeepsTheWindow) {
  for (bool spill : {false, true}) {
    QuantumDecoder* h = nullptr;
    ASSERT_EQ(spill ? spill_create(14, &h) : create(14, &h), CODEC_OK);
    Bytes out;

    Stream first(14);
    for (int i = 0; i < 9000; ++i) first.coder.literal(static_cast<uint8_t>(i * 7));
    ASSERT_EQ(decompress(h, first.frame(), out, 9000), CODEC_OK);
    const Bytes before = out;

    ASSERT_EQ(QuantumReset(h), CODEC_OK);
    // Fresh models (a new coder) and an offset reaching 100 bytes before the
    // reset: the window wraps to its end, never-written space: zeros.
    Stream second(14);
    second.coder.literal(1);
    ASSERT_TRUE(second.coder.match(101, 50));
    ASSERT_EQ(decompress(h, second.frame(), out, 51), CODEC_OK);
    for (int k = 0; k < 50; ++k) EXPECT_EQ(out[1 + k], 0) << k;

    // Within the old data: position 0 after the reset, offset 16384 - 200
    // reaches window position 200, which holds the byte decoded 200th before
    // the reset; in a spill file that page was saved and read back.
    ASSERT_EQ(QuantumReset(h), CODEC_OK);
    Stream third(14);
    ASSERT_TRUE(third.coder.match(16384 - 200, 60));
    ASSERT_EQ(decompress(h, third.frame(), out, 60), CODEC_OK);
    for (int k = 0; k < 60; ++k) EXPECT_EQ(out[k], before[200 + k]) << spill << " " << k;

    // Without a reset the models would not match the fresh coder's.
    Stream fourth(14);
    for (int i = 0; i < 200; ++i) fourth.coder.literal(static_cast<uint8_t>(i));
    const Bytes f = fourth.frame();
    Bytes wrong;
    const int32_t r = decompress(h, f, wrong, 200);
    bool same = r == CODEC_OK;
    for (int i = 0; same && i < 200; ++i) same = wrong[i] == i;
    EXPECT_FALSE(same);
    ASSERT_EQ(QuantumReset(h), CODEC_OK);
    ASSERT_EQ(decompress(h, f, out, 200), CODEC_OK);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(out[i], i);

    EXPECT_EQ(QuantumDestroy(h), CODEC_OK);
  }
  EXPECT_EQ(live_allocations, 0);
}

}  // namespace

// LZX decoder on hand-built bit streams: block layouts, tree coding, limits,
// call translation, and the interface's refusals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/lzx.h"
#include "writer/lzx_internal.h"

namespace {

using Bytes = std::vector<uint8_t>;

int live_allocations = 0;
int allocations_until_failure = -1;
void* counting_alloc(uint32_t size) {
  if (allocations_until_failure == 0) return nullptr;
  if (allocations_until_failure > 0) --allocations_until_failure;
  ++live_allocations;
  return std::malloc(size);
}
void counting_free(void* p) {
  --live_allocations;
  std::free(p);
}

// Bits most significant first, in 16-bit little-endian words; raw bytes only
// at word boundaries.
class Stream {
 public:
  Stream& bits(uint32_t value, int n) {
    for (int i = n - 1; i >= 0; --i) {
      word_ = static_cast<uint16_t>((word_ << 1) | ((value >> i) & 1));
      if (++count_ == 16) {
        out_.push_back(static_cast<uint8_t>(word_));
        out_.push_back(static_cast<uint8_t>(word_ >> 8));
        count_ = 0;
        word_ = 0;
      }
    }
    return *this;
  }
  Stream& flush() {
    if (count_) bits(0, 16 - count_);
    return *this;
  }
  Stream& raw(const Bytes& b) {
    EXPECT_EQ(count_, 0);
    out_.insert(out_.end(), b.begin(), b.end());
    return *this;
  }
  Stream& u32(uint32_t v) {
    return raw({static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)});
  }
  Stream& header(int type, uint32_t size) { return bits(type, 3).bits(size, 24); }
  // Pretree with symbols 0-11 of 4 bits and 12-19 of 5 bits (a complete code).
  Stream& pretree() {
    for (int s = 0; s < 20; ++s) bits(s < 12 ? 4 : 5, 4);
    return *this;
  }
  Stream& pre(int symbol) { return symbol < 12 ? bits(symbol, 4) : bits(24 + symbol - 12, 5); }
  // A whole list coded one length at a time against previous lengths of 0.
  Stream& list(const Bytes& lengths) {
    pretree();
    for (uint8_t l : lengths) pre((17 - l) % 17);
    return *this;
  }
  Bytes take() {
    flush();
    return out_;
  }

 private:
  Bytes out_;
  uint16_t word_ = 0;
  int count_ = 0;
};

struct Decoder {
  LzxDecoder* handle = nullptr;
  explicit Decoder(int window_bits) {
    uint32_t max = 32768, compressed = 0;
    LzxParameters p{1u << window_bits};
    EXPECT_EQ(LzxCreate(&max, &p, counting_alloc, counting_free, &compressed, &handle, nullptr,
                        nullptr, nullptr, nullptr, nullptr),
              CODEC_OK);
  }
  ~Decoder() {
    if (handle) LzxDestroy(handle);
  }
  // Decodes a frame of `size` bytes from exactly `in` (nothing readable past it).
  int32_t run(const Bytes& in, uint32_t size, Bytes* out = nullptr) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[in.size() + 1]);
    if (!in.empty()) std::memcpy(exact.get(), in.data(), in.size());
    Bytes buffer(size + 1);
    uint32_t n = size;
    int32_t r =
        LzxDecompress(handle, exact.get(), static_cast<uint32_t>(in.size()), buffer.data(), &n);
    if (r != CODEC_OK) {
      EXPECT_EQ(n, 0u);
    } else {
      EXPECT_EQ(n, size);
    }
    buffer.resize(n);
    if (out) *out = buffer;
    return r;
  }
};

Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// Main tree for a 2^15 window (496 symbols) giving `symbols` length `len` each.
Bytes main_lengths(std::initializer_list<int> symbols, uint8_t len, int count = 496) {
  Bytes l(count, 0);
  for (int s : symbols) l[s] = len;
  return l;
}

// Verbatim block: header, main tree (two lists), length tree of zeros.
Stream& verbatim(Stream& s, uint32_t size, const Bytes& main) {
  s.header(1, size);
  s.list(Bytes(main.begin(), main.begin() + 256));
  s.list(Bytes(main.begin() + 256, main.end()));
  return s.list(Bytes(249, 0));
}

TEST(LzxDecoder, UncompressedFiveBytesThenVerbatimBlock) {
  // Translation flag, type and size take 28 bits: 4 bits of the second word
  // are dropped; R0-R2 are bytes 4-15, the data bytes 16-20, padding 21.
  Stream s;
  s.bits(0, 1).header(3, 5).flush();
  Bytes start = s.take();
  ASSERT_EQ(start.size(), 4u);
  Stream body;
  body.u32(6).u32(2).u32(3).raw(text("HELLO")).raw({0xAA});
  // Verbatim block: 'A', then an R0 match (R0 = 6 from the header) of 9.
  verbatim(body, 10, main_lengths({'A', 256 + 7}, 1)).bits(0, 1).bits(1, 1);
  Bytes in = start;
  Bytes rest = body.take();
  in.insert(in.end(), rest.begin(), rest.end());
  EXPECT_EQ(in[21], 0xAA);
  Decoder d(15);
  Bytes out;
  ASSERT_EQ(d.run(in, 15, &out), CODEC_OK);
  EXPECT_EQ(out, text("HELLOAHELLOAHEL"));
}

TEST(LzxDecoder, HeaderEndingOnAWordBoundaryIsFollowedByAPaddingWord) {
  // A zero-size verbatim block with all-zero trees, sized so that the next
  // (uncompressed) block header ends exactly on a word boundary (752 bits):
  // its R0-R2 then start one whole word later.
  auto stream = [](bool padding_word) {
    Stream s;
    s.bits(0, 1).header(1, 0);
    s.pretree();
    for (int i = 0; i < 6; ++i) s.pre(18).bits(31, 5);  // 256 of 306
    s.pretree();
    for (int i = 0; i < 5; ++i) s.pre(18).bits(31, 5);  // 240 of 255
    s.pretree();
    for (int i = 0; i < 3; ++i) s.pre(18).bits(31, 5);  // 153 + 19 + 77 = 249
    s.pre(17).bits(15, 4);
    for (int i = 0; i < 77; ++i) s.pre(0);
    s.header(3, 3);
    if (padding_word) s.bits(0, 16);
    s.u32(1).u32(1).u32(1).raw(text("abc"));
    return s.take();
  };
  Bytes in = stream(true);
  ASSERT_EQ(in.size(), 94u + 2 + 12 + 3);
  Decoder d(15);
  Bytes out;
  ASSERT_EQ(d.run(in, 3, &out), CODEC_OK);
  EXPECT_EQ(out, text("abc"));
  Decoder e(15);
  // Without it the bytes would be taken two bytes late, past the data.
  EXPECT_EQ(e.run(stream(false), 3, &out), CODEC_DATA_ERROR);
}

TEST(LzxDecoder, PretreeRunsAreCutAtTheListEnd) {
  // 'A' and 'B' of length 1; zeros by runs of 18 that overshoot every list.
  Stream s;
  s.bits(0, 1).header(1, 4);
  s.pretree();
  s.pre(18).bits(31, 5).pre(17).bits(10, 4);          // 51 + 14 = 65 zeros
  s.pre(16).pre(16);                                  // 'A', 'B': (0 - 1) mod 17
  for (int i = 0; i < 4; ++i) s.pre(18).bits(31, 5);  // 189 zeros left: cut at 256
  s.pretree();
  for (int i = 0; i < 5; ++i) s.pre(18).bits(31, 5);  // 240 match symbols: cut
  s.pretree();
  for (int i = 0; i < 5; ++i) s.pre(18).bits(31, 5);  // 249 lengths: cut
  s.bits(0b0110, 4);
  Decoder d(15);
  Bytes out;
  ASSERT_EQ(d.run(s.take(), 4, &out), CODEC_OK);
  EXPECT_EQ(out, text("ABBA"));
}

TEST(LzxDecoder, PretreeCode19RepeatsOneLength) {
  Stream s;
  s.bits(0, 1).header(1, 4);
  s.pretree();
  s.pre(18).bits(31, 5).pre(18).bits(26, 5);  // 51 + 46 = 97 zeros
  s.pre(19).bits(0, 1).pre(15);               // 4 x length 2 for 'a'..'d'
  for (int i = 0; i < 4; ++i) s.pre(18).bits(31, 5);
  s.list(Bytes(240, 0));
  s.list(Bytes(249, 0));
  s.bits(3, 2).bits(2, 2).bits(1, 2).bits(0, 2);
  Decoder d(15);
  Bytes out;
  ASSERT_EQ(d.run(s.take(), 4, &out), CODEC_OK);
  EXPECT_EQ(out, text("dcba"));

  // The symbol after a 19 must be a length difference (0-16).
  Stream bad;
  bad.bits(0, 1).header(1, 4).pretree().pre(19).bits(0, 1).pre(17);
  Decoder e(15);
  EXPECT_EQ(e.run(bad.take(), 4), CODEC_DATA_ERROR);
}

TEST(LzxDecoder, IncompleteAndOversubscribedTreesAreRefused) {
  for (Bytes lengths : {main_lengths({'A'}, 1), main_lengths({'A', 'B', 'C'}, 1),
                        main_lengths({'A', 'B', 'C'}, 2)}) {
    Stream s;
    s.bits(0, 1);
    verbatim(s, 4, lengths).bits(0, 16);
    Decoder d(15);
    EXPECT_EQ(d.run(s.take(), 4), CODEC_DATA_ERROR);
  }
  // A pretree with one symbol of length 1 is incomplete too.
  Stream p;
  p.bits(0, 1).header(1, 4).bits(1, 4);
  for (int i = 1; i < 20; ++i) p.bits(0, 4);
  p.bits(0, 32);
  Decoder d(15);
  EXPECT_EQ(d.run(p.take(), 4), CODEC_DATA_ERROR);
  // An aligned-offset tree that is not complete.
  Stream a;
  a.bits(0, 1).header(2, 4);
  for (int i = 0; i < 8; ++i) a.bits(i == 0 ? 1 : 0, 3);
  a.bits(0, 32);
  Decoder e(15);
  EXPECT_EQ(e.run(a.take(), 4), CODEC_DATA_ERROR);
}

TEST(LzxDecoder, CodesLongerThanTheTablesDecode) {
  // Main: a match symbol of 1 bit, 'b'..'o' of 2..15 bits, literal 0 and 'p'
  // of 16; length tree: symbol i of i + 1 bits, 15 and 16 of 16. A code of n
  // bits is n - 1 ones and a zero, the last one 16 ones.
  Bytes main(496, 0), lengths(249, 0);
  main[256 + 7] = 1;
  for (int i = 0; i < 14; ++i) main['b' + i] = static_cast<uint8_t>(2 + i);
  main[0] = main['p'] = 16;
  for (int i = 0; i < 17; ++i) lengths[i] = static_cast<uint8_t>(std::min(i + 1, 16));
  Stream s;
  s.bits(0, 1).header(1, 22).list(Bytes(main.begin(), main.begin() + 256));
  s.list(Bytes(main.begin() + 256, main.end())).list(lengths);
  s.bits(0xFFFE, 16).bits(0xFFFF, 16).bits(0xFFE, 12).bits(0x7FE, 11);  // 0, 'p', 'l', 'k'
  s.bits(0, 1).bits(0x3FE, 10).bits(0, 32);  // an R0 match of 7 + 9 + 2 bytes
  Decoder d(15);
  Bytes out, want(22, 'k');
  want[0] = 0, want[1] = 'p', want[2] = 'l';
  ASSERT_EQ(d.run(s.take(), 22, &out), CODEC_OK);
  EXPECT_EQ(out, want);

  // A pretree whose symbol 9 (length 8 against 0) takes 9 bits, all ones:
  // 256 literals of 8 bits, then "abcd".
  Stream t;
  t.bits(0, 1).header(1, 4);
  for (int i = 0; i < 20; ++i) t.bits(i < 9 ? i + 1 : i == 9 ? 9 : 0, 4);
  for (int i = 0; i < 256; ++i) t.bits(0x1FF, 9);
  t.list(Bytes(240, 0)).list(Bytes(249, 0));
  for (char c : std::string("abcd")) t.bits(static_cast<uint8_t>(c), 8);
  Decoder e(15);
  ASSERT_EQ(e.run(t.bits(0, 32).take(), 4, &out), CODEC_OK);
  EXPECT_EQ(out, text("abcd"));
}

TEST(LzxDecoder, BlockTypesZeroAndFourToSevenAreRefused) {
  for (int type : {0, 4, 5, 6, 7}) {
    Stream s;
    s.bits(0, 1).header(type, 100).bits(0, 32);
    Decoder d(15);
    EXPECT_EQ(d.run(s.take(), 100), CODEC_DATA_ERROR) << type;
  }
}

TEST(LzxDecoder, MatchesMayNotCrossTheFrameOrBlockEnd) {
  // 'X' then an R0 match of 9: 10 bytes. As a frame of 10 it decodes; a
  // frame of 5 inside a block of 10 is crossed by the match.
  auto stream = [](uint32_t block) {
    Stream s;
    s.bits(0, 1);
    verbatim(s, block, main_lengths({'X', 256 + 7}, 1)).bits(0, 1).bits(1, 1);
    return s.take();
  };
  {
    Decoder d(15);
    Bytes out;
    ASSERT_EQ(d.run(stream(10), 10, &out), CODEC_OK);
    EXPECT_EQ(out, Bytes(10, 'X'));  // R0 = 1 after a reset
  }
  {
    Decoder d(15);
    EXPECT_EQ(d.run(stream(10), 5), CODEC_DATA_ERROR);
  }
  {
    Decoder d(15);  // block of 5 inside a frame of 10
    EXPECT_EQ(d.run(stream(5), 10), CODEC_DATA_ERROR);
  }
}

TEST(LzxDecoder, ShortMatchKeepsTheHistoryJustAheadOfIt) {
  // A full window of history, then 300 'L', a 2-byte match (R0 = 100) and an
  // 8-byte match (R1 = window - 12) that reads the history 12 bytes ahead,
  // which the first match's copy may not have changed.
  Bytes history(32768);
  for (size_t i = 0; i < history.size(); ++i) history[i] = static_cast<uint8_t>(i * 7 + i / 256);
  Stream first;
  first.bits(0, 1).header(3, 32768).flush();
  first.u32(100).u32(32768 - 12).u32(1).raw(history);
  Bytes lengths = main_lengths({'L'}, 1);
  lengths[256] = lengths[256 + 8 + 6] = 2;
  Stream second;
  verbatim(second, 310, lengths);
  for (int i = 0; i < 10; ++i) second.bits(0, 30);  // 'L' is code 0
  second.bits(0b10, 2).bits(0b11, 2);
  for (int i = 0; i < 8; ++i) second.bits(0, 32);  // input to spare, as in long frames
  Decoder d(15);
  Bytes out;
  ASSERT_EQ(d.run(first.take(), 32768, &out), CODEC_OK);
  ASSERT_EQ(d.run(second.take(), 310, &out), CODEC_OK);
  Bytes expected(310, 'L');
  std::copy(history.begin() + 314, history.begin() + 322, expected.begin() + 302);
  EXPECT_EQ(out, expected);
}

TEST(LzxDecoder, ResetRestoresRepeatedOffsetsAndTreeHistory) {
  // After a first stream the decoder is reset; the same stream must decode
  // the same way (R0 = 1, previous lengths 0, translation header due).
  Stream s;
  s.bits(0, 1);
  verbatim(s, 10, main_lengths({'X', 256 + 7}, 1)).bits(0, 1).bits(1, 1);
  Bytes in = s.take();
  Decoder d(15);
  Bytes first, second;
  ASSERT_EQ(d.run(in, 10, &first), CODEC_OK);
  EXPECT_EQ(LzxReset(d.handle), CODEC_OK);
  ASSERT_EQ(d.run(in, 10, &second), CODEC_OK);
  EXPECT_EQ(first, second);
}

TEST(LzxDecoder, PositionSlotsFollowTheWindowSize) {
  // Window 2^21: 50 slots, 656 main symbols; the highest slot (49) is valid
  // and reaches into the zero-filled window. Window 2^15: 30 slots.
  for (int bits : {15, 21}) {
    const int count = bits == 15 ? 496 : 656;
    const int top = 256 + 8 * ((bits == 15 ? 30 : 50) - 1);
    Stream s;
    s.bits(0, 1);
    verbatim(s, 12, main_lengths({'Z', top + 1}, 1, count));
    s.bits(0, 1).bits(0, 1).bits(1, 1);
    s.bits(0, bits == 15 ? 13 : 17);  // extra bits of the top slot
    Decoder d(bits);
    Bytes out;
    ASSERT_EQ(d.run(s.take(), 5, &out), CODEC_OK) << bits;
    EXPECT_EQ(out, Bytes({'Z', 'Z', 0, 0, 0}));
  }
}

// Translation on (size 2^24), one uncompressed block carrying `frames`.
Bytes translated_stream(uint32_t block_size, const Bytes& data) {
  Stream s;
  s.bits(1, 1).bits(0x0100, 16).bits(0, 16).header(3, block_size).flush();
  s.u32(1).u32(1).u32(1).raw(data);
  return s.take();
}

Bytes call(uint32_t v) {
  return {0xE8, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
}

TEST(LzxDecoder, CallTranslationCases) {
  const uint32_t size = 1u << 24;
  // Position 100 with v = 0xFFFFFFF0: -v = 16 <= 100, becomes v + size; at
  // position 8 it is left alone. v = 150 < size: becomes 150 - position.
  Bytes data(120, 0x90);
  auto put = [&](size_t at, const Bytes& b) { std::copy(b.begin(), b.end(), data.begin() + at); };
  put(8, call(0xFFFFFFF0u));
  put(100, call(0xFFFFFFF0u));
  put(40, call(150));
  // 0xE8 at n - 7 (its operand lies in the restored bytes) and at n - 6.
  put(113, {0xE8, 1, 2, 3, 4, 5, 0xE8});
  Decoder d(15);
  Bytes out;
  ASSERT_EQ(d.run(translated_stream(120, data), 120, &out), CODEC_OK);
  Bytes expect = data;
  auto put_expect = [&](size_t at, const Bytes& b) {
    std::copy(b.begin(), b.end(), expect.begin() + at);
  };
  put_expect(100, call(0xFFFFFFF0u + size));
  put_expect(40, call(150 - 40));
  EXPECT_EQ(out, expect);
}

TEST(LzxDecoder, ShortFramesAndTheFrameLimit) {
  // A frame of 5 bytes is left alone but moves the position by 5; the next
  // frame's call at its offset 0 is at position 5.
  Bytes data = call(10);
  Bytes second = call(10);
  second.resize(12, 0x90);
  Bytes all = data;
  all.insert(all.end(), second.begin(), second.end());
  Bytes stream = translated_stream(static_cast<uint32_t>(all.size()), data);
  Decoder d(15);
  Bytes out;
  ASSERT_EQ(d.run(stream, 5, &out), CODEC_OK);
  EXPECT_EQ(out, data);
  ASSERT_EQ(d.run(second, 12, &out), CODEC_OK);
  EXPECT_EQ(out[1], 5);  // 10 - 5

  // Frames are counted by calls: empty frames reach the 32768th quickly.
  // Frame 32767 is still translated, frame 32768 is not.
  Decoder e(15);
  Bytes block = call(20);
  block.resize(11, 0x90);
  ASSERT_EQ(e.run(translated_stream(3 * 11, Bytes(11, 0x90)), 11, &out), CODEC_OK);
  for (int i = 1; i < 32767; ++i) ASSERT_EQ(e.run({}, 0), CODEC_OK);
  ASSERT_EQ(e.run(block, 11, &out), CODEC_OK);  // frame 32767, position 11
  EXPECT_EQ(out[1], 9);
  ASSERT_EQ(e.run(block, 11, &out), CODEC_OK);  // frame 32768
  EXPECT_EQ(out[1], 20);
}

TEST(LzxDecoder, EncodedCallsDecodeBackAtEveryOffset) {
  // Our compressor's inverse transform through the decoder's translation,
  // with calls at every offset of a 40-byte frame (near its end too) and
  // values on the edges of the translated ranges.
  const uint32_t size = 1u << 24;
  const uint32_t position = 100;
  for (uint32_t k = 0; k < 40; ++k) {
    for (uint32_t v : {0u, 5u, 99u, 100u, 0xFFFFFFF0u, 0xFFFFFF9Cu, size - 101, size - 100,
                       size - 1, size, 0x7FFFFFFFu, 0x80000000u}) {
      Bytes frame(40, 0x90);
      Bytes c = call(v);
      for (uint32_t i = 0; i < 5 && k + i < 40; ++i) frame[k + i] = c[i];
      Bytes encoded = frame;
      lzx_encode_calls(encoded, position, size);
      Bytes first(100, 0);
      Bytes all = first;
      all.insert(all.end(), encoded.begin(), encoded.end());
      Decoder d(15);
      Bytes out;
      ASSERT_EQ(d.run(translated_stream(140, first), 100, &out), CODEC_OK);
      ASSERT_EQ(d.run(encoded, 40, &out), CODEC_OK);
      ASSERT_EQ(out, frame) << "offset " << k << " value " << v;
    }
  }
}

TEST(LzxDecoder, UncompressedBlocksNeedTheirBytes) {
  // Fewer than 12 bytes for R0-R2.
  Stream s;
  s.bits(0, 1).header(3, 4).flush().raw({1, 0, 0, 0, 1});
  Decoder d(15);
  EXPECT_EQ(d.run(s.take(), 4), CODEC_DATA_ERROR);
  // Data bytes missing beyond the 4 the format tolerates.
  Stream t;
  t.bits(0, 1).header(3, 20).flush().u32(1).u32(1).u32(1).raw(text("0123456789"));
  Decoder e(15);
  EXPECT_EQ(e.run(t.take(), 20), CODEC_DATA_ERROR);
}

TEST(LzxDecoder, TruncatedVerbatimDataFails) {
  Stream s;
  s.bits(0, 1);
  verbatim(s, 5000, main_lengths({'A', 'B'}, 1));
  for (int i = 0; i < 100; ++i) s.bits(0x5555, 16);  // 1600 symbols, not 5000
  Decoder d(15);
  EXPECT_EQ(d.run(s.take(), 5000), CODEC_DATA_ERROR);
}

TEST(LzxDecoder, FrameCrossingTheWindowEndIsRefused) {
  Stream s;
  s.bits(0, 1).header(3, 40000).flush().u32(1).u32(1).u32(1).raw(Bytes(100, 7));
  Decoder d(15);
  ASSERT_EQ(d.run(s.take(), 100), CODEC_OK);
  EXPECT_EQ(d.run(Bytes(32768, 7), 32768), CODEC_DATA_ERROR);
}

TEST(LzxDecoder, InterfaceRefusals) {
  // Window sizes: only powers of two from 2^15 to 2^21.
  for (uint32_t window : {0u, 1u << 14, 1u << 22, 3u << 15, (1u << 15) + 1}) {
    uint32_t max = 32768, compressed = 0;
    LzxDecoder* h = reinterpret_cast<LzxDecoder*>(1);
    LzxParameters p{window};
    EXPECT_EQ(LzxCreate(&max, &p, counting_alloc, counting_free, &compressed, &h, nullptr, nullptr,
                        nullptr, nullptr, nullptr),
              CODEC_NO_MEMORY);
    EXPECT_EQ(h, nullptr);
  }
  EXPECT_EQ(live_allocations, 0);
  // Size query.
  uint32_t max = 32768, compressed = 0;
  LzxParameters p{1u << 21};
  EXPECT_EQ(LzxCreate(&max, &p, nullptr, nullptr, &compressed, nullptr, nullptr, nullptr, nullptr,
                      nullptr, nullptr),
            CODEC_OK);
  EXPECT_EQ(compressed, 32768u + 6144u);
  EXPECT_EQ(max, 32768u);
  // Every allocation failing in turn frees what came before.
  for (int fail = 0; fail < 3; ++fail) {
    allocations_until_failure = fail;
    LzxDecoder* h = nullptr;
    EXPECT_EQ(LzxCreate(&max, &p, counting_alloc, counting_free, &compressed, &h, nullptr, nullptr,
                        nullptr, nullptr, nullptr),
              CODEC_NO_MEMORY);
    EXPECT_EQ(live_allocations, 0);
  }
  allocations_until_failure = -1;
  // Signature checks and the size limit.
  uint32_t fake[64] = {};
  auto* bad = reinterpret_cast<LzxDecoder*>(fake);
  uint8_t buffer[16];
  uint32_t n = 4;
  EXPECT_EQ(LzxDecompress(bad, buffer, 0, buffer, &n), CODEC_BAD_HANDLE);
  EXPECT_EQ(LzxReset(bad), CODEC_BAD_HANDLE);
  EXPECT_EQ(LzxDestroy(bad), CODEC_BAD_HANDLE);
  {
    Decoder d(15);
    Bytes big(32769);
    n = 32769;
    EXPECT_EQ(LzxDecompress(d.handle, buffer, 0, big.data(), &n), CODEC_BAD_PARAMETER);
  }
  EXPECT_EQ(live_allocations, 0);
}

}  // namespace

// Our LZX compressor against our LZX decoder, frame by frame: every window
// size, every block type, blocks across frames and inside frames, call
// translation, awkward sizes, random and repetitive data.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/lzx.h"
#include "support/sample_data.h"
#include "writer/encoders.h"
#include "writer/lzx_internal.h"
#include "writer/threads.h"

namespace {

struct Frame {
  std::vector<uint8_t> bytes;
  uint32_t size;
};

void* test_alloc(uint32_t size) {
  return std::malloc(size);
}
void test_free(void* p) {
  std::free(p);
}

// Low effort keeps the tests quick; the format is the same at any effort.
LzxEncoderTuning quick() {
  LzxEncoderTuning t;
  t.search_depth = 8;
  t.passes = 1;
  return t;
}

std::vector<Frame> encode(const std::vector<uint8_t>& data, const LzxEncoderOptions& options,
                          const LzxEncoderTuning& tuning = quick(), uint64_t size_hint = 0) {
  auto encoder = make_lzx_encoder_tuned(options, tuning);
  EXPECT_NE(encoder, nullptr);
  if (size_hint) encoder->expect_stream_size(size_hint);
  std::vector<std::vector<uint8_t>> blocks;
  std::string error;
  EXPECT_TRUE(encode_stream(*encoder, data, blocks, error)) << error;
  std::vector<Frame> frames;
  for (size_t i = 0; i < blocks.size(); ++i)
    frames.push_back({std::move(blocks[i]), stream_frame_size(data.size(), i)});
  return frames;
}

struct Decoder {
  LzxDecoder* handle = nullptr;
  explicit Decoder(int window_bits) {
    uint32_t max = 32768, compressed = 0;
    LzxParameters p{1u << window_bits};
    EXPECT_EQ(LzxCreate(&max, &p, test_alloc, test_free, &compressed, &handle, nullptr, nullptr,
                        nullptr, nullptr, nullptr),
              CODEC_OK);
  }
  ~Decoder() {
    if (handle) LzxDestroy(handle);
  }
  // Decodes one frame; the input is copied so that exactly 4 readable bytes
  // follow it, as the decoder's contract asks.
  int32_t frame(const std::vector<uint8_t>& in, uint32_t size, std::vector<uint8_t>& out) {
    std::vector<uint8_t> padded(in);
    padded.resize(in.size() + 4, 0);
    out.assign(size, 0);
    uint32_t n = size;
    int32_t r =
        LzxDecompress(handle, padded.data(), static_cast<uint32_t>(in.size()), out.data(), &n);
    if (r == CODEC_OK) {
      EXPECT_EQ(n, size);
    }
    return r;
  }
};

std::vector<uint8_t> decode_all(const std::vector<Frame>& frames, int window_bits) {
  Decoder d(window_bits);
  std::vector<uint8_t> result, out;
  for (size_t i = 0; i < frames.size(); ++i) {
    int32_t r = d.frame(frames[i].bytes, frames[i].size, out);
    EXPECT_EQ(r, CODEC_OK) << "frame " << i;
    if (r != CODEC_OK) break;
    result.insert(result.end(), out.begin(), out.end());
  }
  return result;
}

size_t compressed_size(const std::vector<Frame>& frames) {
  size_t n = 0;
  for (const auto& f : frames) n += f.bytes.size();
  return n;
}

uint32_t rng_state = 12345;
uint32_t next_random() {
  rng_state = rng_state * 1103515245u + 12345u;
  return rng_state >> 8;
}

std::vector<uint8_t> random_bytes(size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(next_random());
  return v;
}

// Words from a small vocabulary with numbers: compressible like text.
std::vector<uint8_t> text_like(size_t n) {
  static const char* words[] = {"cabinet", "folder", "frame", "window", "offset", "length", "tree",
                                "block",   "the",    "of",    "and",    "LZX",    "data",   "\n"};
  std::vector<uint8_t> v;
  while (v.size() < n) {
    const char* w = words[next_random() % 14];
    v.insert(v.end(), w, w + std::strlen(w));
    if (next_random() % 5 == 0) {
      std::string num = std::to_string(next_random() % 100000);
      v.insert(v.end(), num.begin(), num.end());
    }
    v.push_back(' ');
  }
  v.resize(n);
  return v;
}

// Bytes that look like x86 code: many E8 calls with near targets.
std::vector<uint8_t> code_like(size_t n) {
  std::vector<uint8_t> v;
  while (v.size() < n) {
    switch (next_random() % 4) {
      case 0: {
        v.push_back(0xE8);
        int32_t target = static_cast<int32_t>(next_random() % 4096) * 16 -
                         static_cast<int32_t>(v.size() % 65536);
        for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(target >> (8 * i)));
        break;
      }
      case 1:
        v.insert(v.end(), {0x55, 0x89, 0xE5, 0x83, 0xEC, 0x18});
        break;
      case 2:
        v.insert(v.end(), {0x8B, 0x45, static_cast<uint8_t>(next_random() % 32), 0x89, 0x04, 0x24});
        break;
      default:
        v.push_back(static_cast<uint8_t>(next_random()));
        break;
    }
  }
  v.resize(n);
  return v;
}

void expect_round_trip(const std::vector<uint8_t>& data, const LzxEncoderOptions& options,
                       const LzxEncoderTuning& tuning = quick()) {
  auto frames = encode(data, options, tuning);
  auto back = decode_all(frames, options.window_bits);
  ASSERT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data) << "window " << options.window_bits << " type "
                            << options.force_block_type;
}

TEST(LzxRoundTrip, EveryWindowSizeAndBlockType) {
  auto data = text_like(70000);
  auto tail = random_bytes(10000);
  data.insert(data.end(), tail.begin(), tail.end());
  data.insert(data.end(), data.begin(), data.begin() + 40000);  // far repeats
  auto short_matches = sample::short_copies(20000, 9, 80);      // 2- and 3-byte matches only
  data.insert(data.end(), short_matches.begin(), short_matches.end());
  // 4- and 5-byte strings copied from far back, each behind a string that
  // shares only its first 3 bytes: matches shorter than the trees' keys, from
  // the tables of the nearest 4- and 5-byte strings.
  std::vector<uint8_t> distant = random_bytes(40000);
  while (distant.size() < 100000) {
    uint8_t copy[5];
    const size_t n = 4 + next_random() % 2, from = distant.size() - 1000 - next_random() % 30000;
    std::copy(distant.begin() + from, distant.begin() + from + n, copy);
    distant.insert(distant.end(), {copy[0], copy[1], copy[2], static_cast<uint8_t>(copy[3] ^ 1)});
    distant.insert(distant.end(), copy, copy + n);
    distant.push_back(static_cast<uint8_t>(next_random()));
  }
  for (int bits = 15; bits <= 21; ++bits) {
    for (int type = 0; type <= 3; ++type) {
      LzxEncoderOptions o;
      o.window_bits = bits;
      o.force_block_type = type;
      o.call_translation = 0;
      // Full effort for the largest and smallest windows, with a second
      // pass per block for the smallest.
      LzxEncoderTuning full;
      full.passes = bits == 15 ? 2 : 1;
      const bool use_full = type == 0 && (bits == 15 || bits == 21);
      expect_round_trip(data, o, use_full ? full : quick());
      if (use_full) {
        // With the stream's size told, as the writer does.
        const auto a = encode(data, o, full, data.size()), b = encode(data, o, full, data.size());
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i)
          EXPECT_EQ(a[i].bytes, b[i].bytes) << "the same input must give the same bytes";
        // An encoder takes over the tables an earlier one on its thread left;
        // a new thread's encoder makes fresh ones. Both give the same bytes.
        std::vector<Frame> fresh;
        const auto encode_fresh = [&] { fresh = encode(data, o, full, data.size()); };
        run_threads(1, encode_fresh, [] {});
        ASSERT_EQ(fresh.size(), a.size());
        for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(fresh[i].bytes, a[i].bytes);
        const auto short_far = encode(distant, o, full);
        EXPECT_EQ(decode_all(short_far, bits), distant);
        EXPECT_LT(compressed_size(short_far), distant.size() * 9 / 10) << "window " << bits;
        // Tables sized for a far shorter stream only collide more.
        EXPECT_EQ(decode_all(encode(data, o, full, 1), bits), data) << "window " << bits;
      }
    }
  }
}

TEST(LzxRoundTrip, SizesAroundFrameBoundaries) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{5}, size_t{32767}, size_t{32768},
                   size_t{32769}, size_t{65536 + 3}}) {
    for (int type = 0; type <= 3; ++type) {
      LzxEncoderOptions o;
      o.window_bits = 16;
      o.force_block_type = type;
      expect_round_trip(text_like(n), o);
      expect_round_trip(random_bytes(n), o);
    }
  }
}

TEST(LzxRoundTrip, OnlyTheLastFrameMayBeShort) {
  // A short frame in the middle would leave later frames straddling the
  // window's end, which the decoder refuses: the compressor refuses first.
  auto encoder = make_lzx_encoder(LzxEncoderOptions{});
  ASSERT_NE(encoder, nullptr);
  std::vector<uint8_t> data = text_like(32769), out;
  std::string error;
  EXPECT_FALSE(encoder->encode_frame(data, false, out, error));
  EXPECT_FALSE(error.empty());
  error.clear();
  EXPECT_TRUE(encoder->encode_frame({data.data(), 100}, false, out, error)) << error;
  EXPECT_FALSE(encoder->encode_frame({data.data(), 100}, true, out, error));
  EXPECT_FALSE(error.empty());
  // Nor does any frame follow the one marked last (its tables are freed).
  std::unique_ptr<BlockEncoder> finished[] = {make_lzx_encoder(LzxEncoderOptions{}),
                                              make_quantum_encoder(QuantumEncoderOptions{}),
                                              make_mszip_encoder(6, Z_DEFAULT_STRATEGY)};
  for (auto& e : finished) {
    error.clear();
    EXPECT_TRUE(e->encode_frame({data.data(), 32768}, true, out, error)) << error;
    EXPECT_FALSE(e->encode_frame({data.data(), 32768}, true, out, error));
    EXPECT_FALSE(error.empty());
  }
  LzxEncoderOptions bad;
  bad.window_bits = 22;
  EXPECT_EQ(make_lzx_encoder(bad), nullptr);
  bad.window_bits = 14;
  EXPECT_EQ(make_lzx_encoder(bad), nullptr);
}

TEST(LzxRoundTrip, BlocksSpanningFramesAndSharingFrames) {
  auto data = text_like(90000);
  auto noise = random_bytes(30001);
  data.insert(data.begin() + 50000, noise.begin(), noise.end());
  // Odd sizes put uncompressed blocks' padding bytes mid-frame and at the
  // start of the next frame; small sizes put several blocks in one frame.
  for (uint32_t block : {5u, 1001u, 5000u, 32767u, 32768u, 32769u, 65537u, 100000u}) {
    for (int type = 0; type <= 3; ++type) {
      LzxEncoderOptions o;
      o.window_bits = 16;
      o.force_block_type = type;
      LzxEncoderTuning t = quick();
      t.block_bytes = block;
      // Tiny blocks: just enough data to cross a frame boundary.
      std::vector<uint8_t> part(data.begin(), data.begin() + (block < 1000 ? 33001 : data.size()));
      expect_round_trip(part, o, t);
    }
  }
  // Blocks chosen in groups of frames: a frame of noise among text is an
  // uncompressed block of its own, whose repeated offsets the text after it
  // goes on with.
  std::vector<uint8_t> grouped = text_like(32768);
  for (int i = 0; i < 32768; ++i) grouped.push_back(static_cast<uint8_t>(next_random() >> 16));
  grouped.insert(grouped.end(), grouped.begin(), grouped.begin() + 40000);
  const auto frames = encode(grouped, LzxEncoderOptions{});
  EXPECT_EQ(decode_all(frames, 21), grouped);
  EXPECT_GT(frames.at(1).bytes.size(), 32768u + 12);
  EXPECT_LT(frames.at(2).bytes.size(), 1000u);
}

TEST(LzxRoundTrip, UncompressedBlockOfOddSizeEndingAtFrameEnd) {
  // Block of 32768 + 32767 bytes: it ends one byte before the second frame's
  // end, so the next block's header and the padding byte share that frame;
  // block of 3 * 32768 - 1 + ... covers whole frames with odd totals.
  auto data = text_like(5 * 32768 + 100);
  for (uint32_t block : {65535u, 98303u, 32769u * 3}) {
    LzxEncoderOptions o;
    o.force_block_type = 3;
    LzxEncoderTuning t = quick();
    t.block_bytes = block;
    expect_round_trip(data, o, t);
  }
}

TEST(LzxRoundTrip, CallTranslation) {
  auto code = code_like(120000);
  for (int translate : {0, 1, -1}) {
    for (int type = 0; type <= 3; ++type) {
      LzxEncoderOptions o;
      o.call_translation = translate;
      o.force_block_type = type;
      expect_round_trip(code, o);
    }
  }
  // Short last frames, calls in the frames' last bytes.
  for (size_t n : {size_t{6}, size_t{7}, size_t{11}, size_t{32768 + 10}}) {
    std::vector<uint8_t> d(n, 0xE8);
    LzxEncoderOptions o;
    o.call_translation = 1;
    expect_round_trip(d, o);
  }
  LzxEncoderOptions o;
  o.call_translation = 1;
  auto translated = encode(code, o);
  o.call_translation = 0;
  auto plain = encode(code, o);
  EXPECT_LT(compressed_size(translated), compressed_size(plain));
}

TEST(LzxRoundTrip, SeveralMegabytesRandomAndRepetitive) {
  std::vector<uint8_t> data = random_bytes(1 << 20);
  std::vector<uint8_t> rep(2 << 20);
  for (size_t i = 0; i < rep.size(); ++i) rep[i] = static_cast<uint8_t>("abcabd"[i % 6]);
  data.insert(data.end(), rep.begin(), rep.end());
  auto more = text_like(1 << 19);
  data.insert(data.end(), more.begin(), more.end());
  LzxEncoderOptions o;
  auto frames = encode(data, o, LzxEncoderTuning{});
  EXPECT_EQ(decode_all(frames, 21), data);
  // Random data costs little more than itself; repeats almost nothing.
  EXPECT_LT(compressed_size(frames), (1u << 20) + (1u << 20) / 2);
}

}  // namespace

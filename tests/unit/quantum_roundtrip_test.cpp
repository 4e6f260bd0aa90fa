// Quantum compressor → decoder round trips, frame by frame, with the window in
// memory and in a spill file paged through as few as three page buffers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codecs/quantum.h"
#include "support/sample_data.h"
#include "writer/encoders.h"
#include "writer/quantum_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- allocation and spill-file callbacks with injectable limits ----

struct Env {
  bool refuse_window = false;  // allocations of the window size fail
  uint32_t window_size = 0;
  int page_buffer_limit = -1;  // page-sized allocations allowed, -1 = any
  int page_buffers = 0;
  int live = 0;
  int open_calls = 0;
  int32_t last_flags = 0, last_mode = 0;
  uint32_t spill_name_size = 0;
  int fail_write_after = -1;  // spill writes that succeed before they fail
  int fail_read_after = -1;
  int writes = 0, reads = 0;
};
Env env;

void* test_alloc(uint32_t size) {
  if (env.refuse_window && size == env.window_size) return nullptr;
  if (size > 4096 && size <= 4200) {  // a page buffer: 4 KiB and its header
    if (env.page_buffer_limit >= 0 && env.page_buffers >= env.page_buffer_limit) return nullptr;
    ++env.page_buffers;
  }
  ++env.live;
  return malloc(size);
}
void test_free(void* p) {
  if (p) --env.live;
  ::free(p);
}
int32_t test_open(const char* name, int32_t flags, int32_t mode) {
  ++env.open_calls;
  env.last_flags = flags;
  env.last_mode = mode;
  if (strcmp(name, "*") != 0) return -1;
  memcpy(&env.spill_name_size, name + 2, 4);
  char path[] = "/tmp/quantum-spill-XXXXXX";
  const int fd = mkstemp(path);
  if (fd >= 0) unlink(path);
  return fd;
}
int32_t test_read(int32_t h, void* b, uint32_t n) {
  if (env.fail_read_after >= 0 && env.reads >= env.fail_read_after) return -1;
  ++env.reads;
  return static_cast<int32_t>(::read(h, b, n));
}
int32_t test_write(int32_t h, const void* b, uint32_t n) {
  if (env.fail_write_after >= 0 && env.writes >= env.fail_write_after) return -1;
  ++env.writes;
  return static_cast<int32_t>(::write(h, b, n));
}
int32_t test_close(int32_t h) {
  return ::close(h);
}
int32_t test_seek(int32_t h, int32_t off, int32_t origin) {
  return static_cast<int32_t>(::lseek(h, off, origin));
}

struct Decoder {
  QuantumDecoder* h = nullptr;
  int32_t create_result;
  explicit Decoder(uint32_t bits) {
    uint32_t max_un = 0, max_c = 0;
    QuantumParameters params{bits, 0};
    env.window_size = 1u << bits;
    create_result = QuantumCreate(&max_un, &params, test_alloc, test_free, &max_c, &h, test_open,
                                  test_read, test_write, test_close, test_seek);
  }
  ~Decoder() {
    if (h) QuantumDestroy(h);
  }
  int32_t frame(const Bytes& in, uint8_t* out, uint32_t size) {
    uint32_t s = size;
    return QuantumDecompress(h, in.data(), static_cast<uint32_t>(in.size()), out, &s);
  }
};

struct Encoded {
  std::vector<Bytes> frames;
  std::vector<uint32_t> sizes;
  size_t total = 0;
};

Encoded encode(const Bytes& data, int bits, uint64_t size_hint = 0) {
  Encoded e;
  auto enc = make_quantum_encoder(QuantumEncoderOptions{bits});
  EXPECT_NE(enc, nullptr);
  if (size_hint) enc->expect_stream_size(size_hint);
  EXPECT_EQ(enc->type_word(), 2 | bits << 8);
  size_t pos = 0;
  do {
    const size_t n = std::min<size_t>(32768, data.size() - pos);
    Bytes out;
    std::string error;
    EXPECT_TRUE(
        enc->encode_frame(std::span(data).subspan(pos, n), pos + n == data.size(), out, error))
        << error;
    e.total += out.size();
    e.frames.push_back(std::move(out));
    e.sizes.push_back(static_cast<uint32_t>(n));
    pos += n;
  } while (pos < data.size());
  return e;
}

// Decodes every frame; the first failing frame's result, or 0 with `out` filled.
int32_t decode(Decoder& d, const Encoded& e, Bytes& out) {
  out.clear();
  Bytes block(32768);
  for (size_t i = 0; i < e.frames.size(); ++i) {
    const int32_t r = d.frame(e.frames[i], block.data(), e.sizes[i]);
    if (r != CODEC_OK) return r;
    out.insert(out.end(), block.begin(), block.begin() + e.sizes[i]);
  }
  return CODEC_OK;
}

using sample::random_bytes;

// Text-like data: words from a small vocabulary, with long repeats now and then.
Bytes text_bytes(size_t n, uint32_t seed) {
  static const char* words[] = {"cabinet ", "folder ", "quantum ", "window ", "the ",    "a ",
                                "frame\n",  "model ",  "slot ",    "length ", "offset ", "of "};
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    if (b.size() > 1000 && rng() % 50 == 0) {
      const size_t from = rng() % (b.size() - 600);
      b.insert(b.end(), b.begin() + from, b.begin() + from + 300 + rng() % 300);
    } else {
      const char* w = words[rng() % 12];
      b.insert(b.end(), w, w + strlen(w));
    }
  }
  b.resize(n);
  return b;
}

// Mixed: text, noise, runs of one byte, and copies from far back.
Bytes mixed_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    switch (rng() % 4) {
      case 0: {
        Bytes t = text_bytes(1000 + rng() % 20000, rng());
        b.insert(b.end(), t.begin(), t.end());
        break;
      }
      case 1: {
        Bytes t = random_bytes(100 + rng() % 5000, rng());
        b.insert(b.end(), t.begin(), t.end());
        break;
      }
      case 2:
        b.insert(b.end(), 1 + rng() % 3000, static_cast<uint8_t>(rng()));
        break;
      default:
        if (b.size() > 70000) {
          const size_t len = 1000 + rng() % 30000;
          const size_t from = rng() % (b.size() - len);
          b.insert(b.end(), b.begin() + from, b.begin() + from + len);
        }
    }
  }
  b.resize(n);
  return b;
}

class QuantumRoundTrip : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { env = Env{}; }
  void TearDown() override { EXPECT_EQ(env.live, 0) << "allocations left behind"; }
};

TEST_P(QuantumRoundTrip, EdgeSizesRandomAndText) {
  const int bits = GetParam();
  for (size_t n : {size_t{0}, size_t{1}, size_t{32767}, size_t{32768}, size_t{32769}}) {
    for (int kind = 0; kind < 3; ++kind) {
      // Kind 2: 3-byte matches on both sides of the 4096-byte limit.
      const Bytes data = kind == 2   ? sample::short_copies(n, 5 + n, 4100)
                         : kind == 1 ? text_bytes(n, 7 + n)
                                     : random_bytes(n, 3 + n);
      const Encoded e = encode(data, bits);
      // The same input gives the same bytes.
      EXPECT_EQ(encode(data, bits).frames, e.frames) << "size " << n << " kind " << kind;
      Decoder d(bits);
      ASSERT_EQ(d.create_result, CODEC_OK);
      Bytes out;
      ASSERT_EQ(decode(d, e, out), CODEC_OK) << "size " << n << " kind " << kind;
      EXPECT_EQ(out, data) << "size " << n << " kind " << kind;
    }
  }
}

TEST_P(QuantumRoundTrip, SeveralMebibytesMixed) {
  const int bits = GetParam();
  const Bytes data = mixed_bytes(3 << 20, 100 + bits);
  // Odd windows: a hash table sized for a far shorter stream.
  const Encoded e = encode(data, bits, bits % 2);
  Decoder d(bits);
  ASSERT_EQ(d.create_result, CODEC_OK);
  Bytes out;
  ASSERT_EQ(decode(d, e, out), CODEC_OK);
  ASSERT_EQ(out.size(), data.size());
  EXPECT_TRUE(out == data);
  // A larger window must find at least some of the far copies.
  EXPECT_LT(e.total, data.size() * 3 / 4);
}

INSTANTIATE_TEST_SUITE_P(WindowBits, QuantumRoundTrip, ::testing::Range(10, 22));

// Spill mode: the window allocation is refused, so the window lives in a file.
class QuantumSpill : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { env = Env{}; }
  void TearDown() override { EXPECT_EQ(env.live, 0) << "allocations left behind"; }
};

TEST_P(QuantumSpill, ThreePageBuffersRoundTrip) {
  const int bits = GetParam();
  const Bytes data = mixed_bytes(bits >= 18 ? (3 << 20) : (1 << 20), 200 + bits);
  const Encoded e = encode(data, bits);
  env.refuse_window = true;
  env.page_buffer_limit = 3;
  Decoder d(bits);
  ASSERT_EQ(d.create_result, CODEC_OK);
  EXPECT_EQ(env.open_calls, 1);
  EXPECT_EQ(env.last_flags, 0x8102);
  EXPECT_EQ(env.last_mode, 0x180);
  EXPECT_EQ(env.spill_name_size, 1u << bits);
  EXPECT_EQ(env.page_buffers, 3);
  Bytes out;
  ASSERT_EQ(decode(d, e, out), CODEC_OK);
  EXPECT_TRUE(out == data);
  // Pages went out to the file and came back many times.
  EXPECT_GT(env.writes, 200);
  EXPECT_GT(env.reads, 100);
}

TEST_P(QuantumSpill, AllPagesBufferedRoundTrip) {
  const int bits = GetParam();
  const Bytes data = mixed_bytes(1 << 20, 300 + bits);
  const Encoded e = encode(data, bits);
  env.refuse_window = true;
  Decoder d(bits);
  ASSERT_EQ(d.create_result, CODEC_OK);
  EXPECT_EQ(env.page_buffers, (1 << bits) / 4096);
  Bytes out;
  ASSERT_EQ(decode(d, e, out), CODEC_OK);
  EXPECT_TRUE(out == data);
}

INSTANTIATE_TEST_SUITE_P(WindowBits, QuantumSpill, ::testing::Range(14, 22));

TEST(QuantumSpillSetup, RefusedWhenItCannotWork) {
  env = Env{};
  env.refuse_window = true;
  {
    // Windows below four pages are not paged.
    Decoder d(13);
    EXPECT_EQ(d.create_result, CODEC_NO_MEMORY);
    EXPECT_EQ(d.h, nullptr);
    EXPECT_EQ(env.open_calls, 0);
  }
  {
    env.page_buffer_limit = 2;
    Decoder d(16);
    EXPECT_EQ(d.create_result, CODEC_NO_MEMORY);
    EXPECT_EQ(d.h, nullptr);
  }
  {
    QuantumDecoder* h = nullptr;
    uint32_t a = 0, b = 0;
    QuantumParameters p{16, 0};
    env.page_buffer_limit = -1;
    EXPECT_EQ(QuantumCreate(&a, &p, test_alloc, test_free, &b, &h, nullptr, nullptr, nullptr,
                            nullptr, nullptr),
              CODEC_NO_MEMORY);
  }
  EXPECT_EQ(env.live, 0);
}

TEST(QuantumSpillSetup, FileFailuresAreDataErrors) {
  const Bytes data = mixed_bytes(1 << 20, 77);
  const Encoded e = encode(data, 16);
  for (int which = 0; which < 2; ++which) {
    env = Env{};
    env.refuse_window = true;
    env.page_buffer_limit = 3;
    (which ? env.fail_read_after : env.fail_write_after) = 5;
    Decoder d(16);
    ASSERT_EQ(d.create_result, CODEC_OK);
    Bytes out;
    EXPECT_EQ(decode(d, e, out), CODEC_DATA_ERROR) << (which ? "read" : "write");
    // The failure sticks until the next reset.
    Bytes block(32768);
    EXPECT_EQ(d.frame(e.frames[0], block.data(), e.sizes[0]), CODEC_DATA_ERROR);
    // Once the file works again, a reset recovers.
    env.fail_read_after = env.fail_write_after = -1;
    EXPECT_EQ(QuantumReset(d.h), CODEC_OK);
    EXPECT_EQ(d.frame(e.frames[0], block.data(), e.sizes[0]), CODEC_OK);
    EXPECT_TRUE(std::equal(block.begin(), block.begin() + e.sizes[0], data.begin()));
  }
}

// Items chosen at random over every selector, literal range, length slot and
// position slot, so that every model rescales and rebuilds many times.
TEST(QuantumItems, EveryModelThroughManyRebuilds) {
  env = Env{};
  const uint32_t bits = 21;
  QuantumStreamEncoder coder(bits);
  std::mt19937 rng(5);
  Bytes expected;
  std::vector<Bytes> frames;
  std::vector<uint32_t> sizes;
  for (int f = 0; f < 120; ++f) {
    const uint32_t n = 32768;
    uint32_t done = 0;
    while (done < n) {
      const uint32_t left = n - done;
      const uint32_t kind = rng() % 8;
      // Skewed choices so that a rebuild reorders the entries.
      const uint32_t skew = (rng() % 4 == 0) ? rng() : (rng() % 8);
      uint32_t len = kind < 4 ? 0 : kind == 4 ? 3 : kind == 5 ? 4 : 5 + skew % 255;
      if (len > left) len = 0;
      const uint32_t have = static_cast<uint32_t>(expected.size());
      uint32_t limit = std::min<uint32_t>(have, len == 3   ? 4095
                                                : len == 4 ? 262143
                                                           : (1u << bits) - 1);
      if (len && limit == 0) len = 0;
      if (!len) {
        const uint8_t byte = static_cast<uint8_t>(kind * 64 + skew % 64);
        coder.literal(byte);
        expected.push_back(byte);
        ++done;
        continue;
      }
      // Offsets spread over the slots: a random bit length, then a value under it.
      const uint32_t top = 1 + rng() % 21;
      uint32_t offset = 1 + (rng() & ((1u << top) - 1));
      if (offset > limit) offset = 1 + offset % limit;
      ASSERT_TRUE(coder.match(offset, len)) << offset << " " << len;
      for (uint32_t k = 0; k < len; ++k) {
        const uint8_t byte = expected[expected.size() - offset];
        expected.push_back(byte);
      }
      done += len;
    }
    Bytes out;
    coder.end_frame(out);
    frames.push_back(std::move(out));
    sizes.push_back(n);
  }
  for (uint32_t m = 0; m < quantum::MODEL_COUNT; ++m) {
    const quantum::Model& model = coder.models().m[m];
    bool reordered = false;
    for (uint32_t i = 0; i < model.symbols; ++i) reordered |= model.symbol[i] != i;
    EXPECT_TRUE(reordered) << "model " << m << " never rebuilt";
  }
  Decoder d(bits);
  ASSERT_EQ(d.create_result, CODEC_OK);
  Bytes block(32768);
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(d.frame(frames[i], block.data(), sizes[i]), CODEC_OK) << "frame " << i;
    ASSERT_TRUE(std::equal(block.begin(), block.end(), expected.begin() + i * 32768))
        << "frame " << i;
  }
}

// The coder's interval as the decoder follows it: narrows by one symbol of m
// and normalises; false when a bit settles. `run` counts straddle steps
// since the last settled bit.
struct Interval {
  uint32_t low = 0, high = 0xFFFF, run = 0;
  bool narrow(const quantum::Model& m, uint32_t symbol) {
    uint32_t i = 0;
    while (m.symbol[i] != symbol) ++i;
    const uint32_t range = high - low + 1, total = m.cum[0];
    const uint32_t from = low;
    low = (from + m.cum[i + 1] * range / total) & 0xFFFF;
    high = (from + m.cum[i] * range / total - 1) & 0xFFFF;
    bool settled = false;
    for (;; low = (low << 1) & 0xFFFF, high = ((high << 1) | 1) & 0xFFFF) {
      if (((low ^ high) & 0x8000) == 0) {
        settled = true;
        run = 0;
      } else if ((low & 0x4000) && !(high & 0x4000)) {
        ++run;
        low &= 0x3FFF;
        high |= 0x4000;
      } else {
        break;
      }
    }
    return !settled;
  }
};

// Literals picked so that the interval keeps straddling its middle: the
// deferred bits pile up far past one 32-bit write before a bit settles.
TEST(QuantumItems, LongStraddleRuns) {
  QuantumStreamEncoder coder(16);
  Interval at;
  uint32_t longest_run = 0;
  Bytes expected;
  for (int k = 0; k < 30000; ++k) {
    const quantum::Models& models = coder.models();
    uint32_t pick = 0;
    for (uint32_t b = 0; b < 256; ++b) {
      Interval next = at;
      const bool straddles = next.narrow(models.m[quantum::MODEL_SELECTOR], b >> 6) &&
                             next.narrow(models.m[quantum::MODEL_LITERAL0 + (b >> 6)], b & 63);
      if (straddles) {
        pick = b;
        break;
      }
    }
    at.narrow(models.m[quantum::MODEL_SELECTOR], pick >> 6);
    at.narrow(models.m[quantum::MODEL_LITERAL0 + (pick >> 6)], pick & 63);
    longest_run = std::max(longest_run, at.run);
    coder.literal(static_cast<uint8_t>(pick));
    expected.push_back(static_cast<uint8_t>(pick));
  }
  EXPECT_GT(longest_run, 100u);
  Bytes frame;
  coder.end_frame(frame);
  Decoder d(16);
  ASSERT_EQ(d.create_result, CODEC_OK);
  Bytes out(expected.size());
  ASSERT_EQ(d.frame(frame, out.data(), static_cast<uint32_t>(out.size())), CODEC_OK);
  EXPECT_EQ(out, expected);
}

}  // namespace

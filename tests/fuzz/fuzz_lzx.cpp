// libFuzzer target for the LZX decoder, and for our compressor against it.
//
// Input, first byte: bits 0-2 pick the window (2^15 + n % 7), bit 7 selects
// the round-trip mode.
//   Decoder mode, then records: flags (bit 0: reset first), output size
//   (16-bit LE, taken modulo 32769), input size (16-bit LE), input bytes.
//   Every frame is decoded from a buffer of exactly its size.
//   Round-trip mode, then: options byte (block type, translation), block
//   size byte, and the data, which must come back unchanged.
// Seeds: when the corpus folder given on the command line is empty, a few
// streams made by our compressor are written into it at start-up.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "codecs/lzx.h"
#include "writer/encoders.h"
#include "writer/lzx_internal.h"

namespace {

void* fuzz_alloc(uint32_t size) {
  return std::malloc(size);
}
void fuzz_free(void* p) {
  std::free(p);
}

// One decoder per window size, created once and reset for every input: its
// window keeps earlier inputs' bytes instead of being allocated and cleared
// again each time.
LzxDecoder* create(uint32_t window) {
  static LzxDecoder* decoders[22] = {};
  const int bits = __builtin_ctz(window);
  LzxDecoder*& h = decoders[bits];
  if (!h) {
    uint32_t max = 32768, compressed = 0;
    LzxParameters p{window};
    if (LzxCreate(&max, &p, fuzz_alloc, fuzz_free, &compressed, &h, nullptr, nullptr, nullptr,
                  nullptr, nullptr) != CODEC_OK)
      return nullptr;
  }
  if (LzxReset(h) != CODEC_OK) __builtin_trap();
  return h;
}

struct Frame {
  std::vector<uint8_t> bytes;
  uint32_t size;
};

std::vector<Frame> compress(const uint8_t* data, size_t size, int window_bits, int type,
                            int translation, uint32_t block_bytes) {
  LzxEncoderOptions o;
  o.window_bits = window_bits;
  o.force_block_type = type;
  o.call_translation = translation;
  LzxEncoderTuning t;
  t.search_depth = 8;
  t.passes = 1;
  t.block_bytes = block_bytes;
  auto encoder = make_lzx_encoder_tuned(o, t);
  encoder->expect_stream_size(size);
  std::vector<std::vector<uint8_t>> blocks;
  std::string error;
  if (!encode_stream(*encoder, {data, size}, blocks, error)) __builtin_trap();
  std::vector<Frame> frames;
  for (size_t i = 0; i < blocks.size(); ++i)
    frames.push_back({std::move(blocks[i]), stream_frame_size(size, i)});
  return frames;
}

int32_t decode_exact(LzxDecoder* h, const uint8_t* in, size_t in_size, uint8_t* out,
                     uint32_t* out_size) {
  // A heap copy of exactly the input, so that any read past it is caught.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[in_size ? in_size : 1]);
  if (in_size) std::memcpy(exact.get(), in, in_size);
  return LzxDecompress(h, exact.get(), static_cast<uint32_t>(in_size), out, out_size);
}

void round_trip(const uint8_t* data, size_t size, int window_bits) {
  if (size < 2) return;
  const int type = data[0] & 3;
  const int translation = ((data[0] >> 2) % 3) - 1;
  const uint32_t block_bytes = data[1] < 128 ? 0 : (data[1] - 127u) * 97u;
  data += 2;
  size -= 2;
  auto frames = compress(data, size, window_bits, type, translation, block_bytes);
  LzxDecoder* h = create(1u << window_bits);
  static std::vector<uint8_t> out(32768);
  size_t pos = 0;
  for (const Frame& f : frames) {
    uint32_t n = f.size;
    if (decode_exact(h, f.bytes.data(), f.bytes.size(), out.data(), &n) != CODEC_OK ||
        n != f.size || (n && std::memcmp(out.data(), data + pos, n) != 0))
      __builtin_trap();
    pos += n;
  }
}

void decode_records(const uint8_t* data, size_t size, uint32_t window) {
  LzxDecoder* h = create(window);
  if (!h) __builtin_trap();
  static std::vector<uint8_t> out(32768);
  while (size >= 5) {
    const uint8_t flags = data[0];
    uint32_t out_size = (data[1] | (data[2] << 8)) % 32769;
    size_t in_size = data[3] | (data[4] << 8);
    data += 5;
    size -= 5;
    if (in_size > size) in_size = size;
    if (flags & 1) LzxReset(h);
    uint32_t n = out_size;
    int32_t r = decode_exact(h, data, in_size, out.data(), &n);
    if ((r == CODEC_OK && n != out_size) || (r != CODEC_OK && (r != CODEC_DATA_ERROR || n != 0)))
      __builtin_trap();
    data += in_size;
    size -= in_size;
  }
}

void put16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

// Seeds in the decoder format from our compressor.
void write_seeds(const std::filesystem::path& dir) {
  std::vector<uint8_t> text;
  const char* words[] = {"cabinet ", "frame ", "window\n", "tree ", "slot "};
  uint32_t r = 7;
  while (text.size() < 50000) {
    r = r * 1103515245u + 12345u;
    const char* w = words[(r >> 8) % 5];
    text.insert(text.end(), w, w + std::strlen(w));
    if ((r >> 20) % 7 == 0)
      for (int i = 0; i < 9; ++i) text.push_back(static_cast<uint8_t>(r >> (i % 3 * 8)));
  }
  int index = 0;
  for (int type = 0; type <= 3; ++type) {
    for (uint32_t block : {0u, 3001u}) {
      auto frames = compress(text.data(), text.size(), 16, type, type == 1 ? 1 : 0, block);
      std::vector<uint8_t> seed = {1};  // window 2^16
      for (const Frame& f : frames) {
        seed.push_back(0);
        put16(seed, f.size);
        put16(seed, static_cast<uint32_t>(f.bytes.size()));
        seed.insert(seed.end(), f.bytes.begin(), f.bytes.end());
      }
      std::ofstream(dir / ("lzx_seed_" + std::to_string(index++)), std::ios::binary)
          .write(reinterpret_cast<const char*>(seed.data()),
                 static_cast<std::streamsize>(seed.size()));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i) {
    const char* arg = (*argv)[i];
    if (arg[0] == '-') continue;
    std::error_code ec;
    std::filesystem::path dir(arg);
    if (std::filesystem::is_directory(dir, ec) && std::filesystem::is_empty(dir, ec))
      write_seeds(dir);
    break;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int bits = 15 + (data[0] & 7) % 7;
  if (data[0] & 0x80) {
    round_trip(data + 1, std::min<size_t>(size - 1, 100000), bits < 17 ? bits : 15);
  } else {
    decode_records(data + 1, size - 1, 1u << bits);
  }
  return 0;
}

// Feeds data blocks to the MSZIP decoder with one persistent 32 KiB output
// buffer, and checks every block that zlib decodes completely (raw inflate,
// the buffer's previous contents as the dictionary) against zlib's bytes.
//
// Input: one flag byte, two bytes of output limit, two of decoder maximum,
// then blocks of [2-byte length][bytes]. Flag bit 0 puts "CK" before each
// block; bit 1 uses the given output limit instead of 32768; bit 2 the given
// maximum instead of 32768.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codecs/mszip.h"

namespace {

constexpr uint32_t BLOCK_SIZE = 32768;

void* Alloc(uint32_t size) {
  return std::malloc(size);
}
void Free(void* p) {
  std::free(p);
}

uint32_t Read16(const uint8_t*& data, size_t& size) {
  uint32_t value = 0;
  for (int i = 0; i < 2 && size > 0; ++i, ++data, --size) value |= uint32_t{*data} << (8 * i);
  return value;
}

// zlib's view of the same block: true when the deflate stream ends within
// the input; `produced` then holds at most `room` bytes.
bool ZlibDecode(const uint8_t* stream, size_t size, const uint8_t* dictionary, uint8_t* out,
                uint32_t room, uint32_t* produced) {
  // One inflate state for the whole run, reset for every block.
  static z_stream z{};
  static bool ready = inflateInit2(&z, -15) == Z_OK;
  if (!ready || inflateReset(&z) != Z_OK) return false;
  inflateSetDictionary(&z, dictionary, BLOCK_SIZE);
  z.next_in = const_cast<uint8_t*>(stream);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out;
  z.avail_out = room;
  int status = inflate(&z, Z_FINISH);
  // Past the caller's limit keep decoding into scratch to learn whether the
  // stream is valid to its end.
  static uint8_t scratch[1 << 16];
  for (int rounds = 0; status == Z_BUF_ERROR && z.avail_out == 0 && rounds < 16; ++rounds) {
    z.next_out = scratch;
    z.avail_out = sizeof scratch;
    status = inflate(&z, Z_FINISH);
  }
  *produced = z.total_out < room ? static_cast<uint32_t>(z.total_out) : room;
  return status == Z_STREAM_END;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint8_t flags = *data++;
  --size;
  const uint32_t limit = (flags & 2) ? Read16(data, size) : BLOCK_SIZE;
  uint32_t maximum = (flags & 4) ? Read16(data, size) : BLOCK_SIZE;
  if (!(flags & 2)) Read16(data, size);
  if (!(flags & 4)) Read16(data, size);

  // The decoder for the usual maximum is kept from input to input.
  static MszipDecoder* shared = nullptr;
  uint32_t maxCompressed = 0;
  if (!shared) {
    uint32_t usual = BLOCK_SIZE;
    if (MszipCreate(&usual, Alloc, Free, &maxCompressed, &shared) != CODEC_OK) __builtin_trap();
  }
  MszipDecoder* handle = shared;
  if (maximum != BLOCK_SIZE &&
      MszipCreate(&maximum, Alloc, Free, &maxCompressed, &handle) != CODEC_OK) {
    __builtin_trap();
  }
  static uint8_t window[BLOCK_SIZE], before[BLOCK_SIZE], expected[BLOCK_SIZE];
  std::memset(window, 0, BLOCK_SIZE);

  while (size > 0) {
    uint32_t length = Read16(data, size);
    if (length > size + 2) length = static_cast<uint32_t>(size) + 2;
    // An exactly sized copy, so that any read past the block is caught.
    std::unique_ptr<uint8_t[]> block(new uint8_t[length + 1]);
    uint32_t filled = 0;
    if (flags & 1) {
      for (; filled < 2 && filled < length; ++filled) block[filled] = "CK"[filled];
    }
    const uint32_t rest = length - filled;
    const uint32_t taken = rest < size ? rest : static_cast<uint32_t>(size);
    std::memcpy(block.get() + filled, data, taken);
    data += taken;
    size -= taken;
    length = filled + taken;

    std::memcpy(before, window, BLOCK_SIZE);
    uint32_t produced = limit;
    const int32_t result = MszipDecompress(handle, block.get(), length, window, &produced);
    if (result == CODEC_OK && produced > (limit < maximum ? limit : maximum)) __builtin_trap();

    const bool checkable = length >= 2 && length <= maximum + 12 && block[0] == 'C' &&
                           block[1] == 'K' && (limit < maximum ? limit : maximum) > 0;
    uint32_t zlibProduced = 0;
    if (checkable && ZlibDecode(block.get() + 2, length - 2, before, expected,
                                limit < maximum ? limit : maximum, &zlibProduced)) {
      // A complete, valid stream: same bytes, same count.
      if (result != CODEC_OK) __builtin_trap();
      if (produced != zlibProduced) __builtin_trap();
      if (std::memcmp(window, expected, produced) != 0) __builtin_trap();
    }
  }
  if (MszipReset(handle) != CODEC_OK) __builtin_trap();
  if (handle != shared && MszipDestroy(handle) != CODEC_OK) __builtin_trap();
  return 0;
}

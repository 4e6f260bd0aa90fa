// LZX decoder. One stream per folder; every call decodes one frame (data
// block) of at most 32768 bytes into the sliding window and copies it out.
//
// Bit input: 16-bit little-endian words, bits taken from the top of each word.
// The reader below keeps up to 64 bits ahead, but every decision that depends
// on how far the input has been read (the end check before each symbol, the
// overrun flag of the tree reads, where an uncompressed block's bytes begin)
// is computed from the number of bits consumed, as if the buffer held only the
// two words the format's 32-bit reader would have loaded.
#include "codecs/lzx.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codecs/lzx_format.h"

namespace {

using namespace lzx;

constexpr uint32_t SIGNATURE = 0x4349444C;  // "LDIC"
constexpr int LENGTH_BITS = 8;
constexpr int PRETREE_BITS = 8;
constexpr int ALIGNED_BITS = 7;
constexpr int MAIN_BITS = 11;
constexpr uint32_t MIRROR = 257;  // window bytes 0..256 are repeated past the end
// Table entries are symbol << 6 | length, up to this value; from it on, an
// entry leads to node (entry - LONG_ENTRY) of a longer code's tree.
constexpr uint32_t LONG_ENTRY = MAIN_MAX << 6;
// The decoding loop's second form, for the bulk of a frame, pays where the
// 64-bit bit buffer sits in one register; a 32-bit build (the module) would
// only grow by it.
constexpr bool FAST_LOOP = sizeof(void*) == 8;
// Mirror, spare for a match overrunning its run, and 16 bytes a chunked match
// copy may read or put back past its end.
constexpr uint32_t WINDOW_EXTRA = 277;

enum : uint8_t { HEADER_DUE = 1, IN_BLOCK = 2 };

}  // namespace

struct LzxState {
  uint8_t* window;
  uint32_t window_size;
  uint32_t window_mask;
  uint32_t r0, r1, r2;
  // Decoding tables: symbol << 6 | length for the codes that fit (so that
  // one compare finds a short literal in the main table, and a shift by the
  // entry as x86 counts it, modulo 64, skips the code); for a longer code,
  // LONG_ENTRY + the first node of its tree in the nodes below.
  uint16_t main_table[1 << MAIN_BITS];
  uint16_t length_table[1 << LENGTH_BITS];
  uint8_t main_lengths[MAIN_MAX];
  uint8_t length_lengths[LENGTH_SYMBOLS];
  uint16_t aligned_table[1 << ALIGNED_BITS];  // the codes fit
  uint8_t aligned_lengths[ALIGNED_SYMBOLS];
  int16_t main_nodes[2 * MAIN_MAX];
  int16_t length_nodes[2 * LENGTH_SYMBOLS];
  uint16_t pretree_table[1 << PRETREE_BITS];
  int16_t pretree_nodes[2 * PRETREE_SYMBOLS];
  uint8_t pretree_lengths[PRETREE_SYMBOLS];
  uint8_t previous_main[MAIN_MAX];
  uint8_t previous_length[LENGTH_SYMBOLS];
  uint8_t slots;
  bool translation_pending;
  bool overrun;
  uint32_t window_pos;
  uint32_t translation_size;
  uint32_t translation_pos;
  uint32_t frames;
  uint32_t block_size;
  uint32_t block_remaining;
  uint8_t block_type;
  uint8_t block_state;
  CabAllocFn alloc;
  CabFreeFn free;
};

struct LzxDecoder {
  uint32_t signature;
  CabAllocFn alloc;
  CabFreeFn free;
  CabOpenFn open;
  CabReadFn read;
  CabWriteFn write;
  CabCloseFn close;
  CabSeekFn seek;
  uint32_t max_uncompressed;
  LzxState* state;
};

namespace {

// Reader over one frame's input. Offsets are absolute within the input. The
// format's input end lies 4 bytes past the data (its reader loads two words
// ahead); those 4 bytes are never read here and count as zeros, so the caller
// needs no readable bytes beyond the data.
struct BitReader {
  const uint8_t* input;
  uint32_t input_size;
  uint32_t input_end;  // input size + 4
  uint32_t word_end;   // words are loaded from offsets below this; past it they read as 0
  uint32_t pos;        // next byte offset to load
  uint64_t buffer;     // unread bits, most significant first
  int bits;            // number of unread bits in buffer
  uint32_t stream_start;
  uint32_t symbol_limit;   // consumed bits at which the format's pointer reaches the input end
  uint32_t overrun_limit;  // consumed bits at which the format's reader overruns
};

inline uint32_t consumed(const BitReader& r) {
  return r.pos * 8 - static_cast<uint32_t>(r.bits);
}

inline uint32_t byte_at(const BitReader& r, uint32_t offset) {
  return offset < r.input_size ? r.input[offset] : 0;
}

inline void refill(BitReader& r) {
  while (r.bits <= 48) {
    uint32_t w = 0;
    if (r.pos + 2 <= r.word_end) w = byte_at(r, r.pos) | (byte_at(r, r.pos + 1) << 8);
    r.buffer |= static_cast<uint64_t>(w) << (48 - r.bits);
    r.bits += 16;
    r.pos += 2;
  }
}

// Refill variant for the hot loop: two words at once when they are there.
inline uint32_t peek(const BitReader& r, int n) {
  return static_cast<uint32_t>(r.buffer >> (64 - n));
}
inline void skip(BitReader& r, int n) {
  r.buffer <<= n;
  r.bits -= n;
}
inline uint32_t take(BitReader& r, int n) {
  if (r.bits < n) refill(r);
  uint32_t v = peek(r, n);
  skip(r, n);
  return v;
}

// Starts a word stream at byte offset `start`: the format loads two words here.
void start_stream(BitReader& r, uint32_t start) {
  r.stream_start = start;
  int64_t avail = static_cast<int64_t>(r.input_end) - start;
  if (avail < 0) avail = 0;
  r.word_end = start + static_cast<uint32_t>(avail & ~int64_t{1});
  r.pos = start;
  r.buffer = 0;
  r.bits = 0;
  refill(r);
  // The format's pointer sits at start + 4 + 2 * (consumed / 16); the check
  // before a symbol fails once it reaches the input end.
  int64_t d = avail - 4;
  r.symbol_limit = start * 8 + (d <= 0 ? 0 : static_cast<uint32_t>(16 * ((d + 1) / 2)));
  // A refill for word j (j >= 1) overruns when the word does not fit before the end.
  int64_t j = avail / 2 - 1;
  if (j < 1) j = 1;
  r.overrun_limit = start * 8 + static_cast<uint32_t>(16 * j);
}

inline void note_overrun(LzxState* st, const BitReader& r) {
  if (consumed(r) >= r.overrun_limit) st->overrun = true;
}

// Out-of-line forms for the rare paths of the decoding loop, which keeps its
// state in registers better without them (the pretree reads share the tree
// walk).
__attribute__((noinline)) void refill_cold(BitReader& r) {
  refill(r);
}
// A code longer than its table of `bits` index bits, whose entry there led to
// a node: down the tree (children are symbols, or -node) to the symbol the
// next bits lead to. The caller made sure that at least 16 bits are buffered.
__attribute__((noinline)) int decode_long(BitReader& r, uint32_t entry, int bits,
                                          const int16_t* nodes, int n, const uint8_t* lengths) {
  uint64_t mask = uint64_t{1} << (63 - bits);
  int e = -static_cast<int>(entry - LONG_ENTRY);  // the node, as a child names it
  do {
    e = nodes[2 * (-e - n) + ((r.buffer & mask) ? 1 : 0)];
    mask >>= 1;
  } while (e < 0);
  skip(r, lengths[e]);
  return e;
}

// A decoding table of `bits` index bits (at most 15), entries symbol << 6 |
// length, from `n` code lengths in one pass over them; false unless they form
// a complete prefix code or none at all (then every lookup is symbol 0 of
// length 0). Codes are canonical: by length, then by symbol. Longer codes
// follow all short ones, so their prefixes fill the end of the table, each
// the root (LONG_ENTRY + node) of a tree of nodes numbered from n upward (at
// most max_nodes).
bool build_table(const uint8_t* lengths, int n, int bits, uint16_t* table, int16_t* nodes,
                 int max_nodes) {
  const uint32_t size = 1u << bits;
  uint32_t count[17] = {};
  for (int i = 0; i < n; ++i) count[lengths[i]]++;
  count[0] = 0;
  uint32_t next[17] = {};
  uint32_t code = 0, space = 0, long_start = 0;
  for (int k = 1; k <= 16; ++k) {
    code = (code + count[k - 1]) << 1;
    next[k] = code;
    space += count[k] << (16 - k);
    if (k <= bits) long_start += count[k] << (bits - k);
  }
  if (space != 65536) {
    if (space != 0) return false;
    for (uint32_t i = 0; i < size; ++i) table[i] = 0;
    return true;
  }
  // A complete code keeps every entry written below inside the table.
  for (uint32_t i = long_start; i < size; ++i) table[i] = 0;
  int next_node = n;
  for (int s = 0; s < n; ++s) {
    const int k = lengths[s];
    if (k == 0) continue;
    const uint32_t c = next[k]++;
    if (k <= bits) {
      const uint32_t first = c << (bits - k);
      const uint32_t span = 1u << (bits - k);
      const uint16_t entry = static_cast<uint16_t>(s << 6 | k);
      if (span >= 4) {
        const uint64_t four = entry * 0x0001000100010001ull;
        for (uint32_t i = 0; i < span; i += 4) std::memcpy(table + first + i, &four, 8);
      } else {
        for (uint32_t i = 0; i < span; ++i) table[first + i] = entry;
      }
      continue;
    }
    // A longer code: its first `bits` bits pick the entry, each further bit a
    // node's child. Empty slots read 0 (a leaf, symbol 0 among them, is never
    // passed through again in a prefix code).
    auto new_node = [&]() -> int {  // -1: no node left
      if (next_node - n >= max_nodes) return -1;
      nodes[2 * (next_node - n)] = 0;
      nodes[2 * (next_node - n) + 1] = 0;
      return next_node++;
    };
    auto node_in = [&](int16_t& slot) -> int {  // -1: a leaf or no node left
      if (slot == 0) {
        const int node = new_node();
        if (node >= 0) slot = static_cast<int16_t>(-node);
        return node;
      }
      return slot < 0 ? -slot : -1;
    };
    uint16_t& root = table[c >> (k - bits)];
    int node = -1;  // a leaf there stays -1
    if (root == 0) {
      node = new_node();
      if (node >= 0) root = static_cast<uint16_t>(LONG_ENTRY + node);
    } else if (root >= LONG_ENTRY) {
      node = root - LONG_ENTRY;
    }
    for (int b = k - bits - 1; b > 0 && node >= 0; --b)
      node = node_in(nodes[2 * (node - n) + ((c >> b) & 1)]);
    if (node < 0) return false;
    nodes[2 * (node - n) + (c & 1)] = static_cast<int16_t>(s);
  }
  return true;
}

// Decodes a pretree symbol; the caller made sure at least 16 bits are buffered.
inline int decode_pretree(const LzxState* st, BitReader& r) {
  const uint32_t e = st->pretree_table[peek(r, PRETREE_BITS)];
  if (e >= LONG_ENTRY) {
    return decode_long(r, e, PRETREE_BITS, st->pretree_nodes, PRETREE_SYMBOLS, st->pretree_lengths);
  }
  skip(r, e & 31);
  return static_cast<int>(e >> 6);
}

// Reads `count` code lengths coded as differences from `previous`.
bool read_lengths(LzxState* st, BitReader& r, uint8_t* lengths, const uint8_t* previous,
                  int count) {
  for (int i = 0; i < PRETREE_SYMBOLS; ++i)
    st->pretree_lengths[i] = static_cast<uint8_t>(take(r, 4));
  note_overrun(st, r);
  if (st->overrun) return false;
  if (!build_table(st->pretree_lengths, PRETREE_SYMBOLS, PRETREE_BITS, st->pretree_table,
                   st->pretree_nodes, PRETREE_SYMBOLS))
    return false;
  int i = 0;
  while (i < count) {
    refill(r);
    int sym = decode_pretree(st, r);
    if (sym <= 16) {
      // Lengths stay within 0..16, so one wrap is enough.
      const int v = previous[i] - sym;
      lengths[i] = static_cast<uint8_t>(v < 0 ? v + 17 : v);
      ++i;
    } else if (sym == 17 || sym == 18) {
      int run = sym == 17 ? 4 + static_cast<int>(take(r, 4)) : 20 + static_cast<int>(take(r, 5));
      run = std::min(run, count - i);
      std::memset(lengths + i, 0, static_cast<size_t>(run));
      i += run;
    } else {
      int run = 4 + static_cast<int>(take(r, 1));
      refill(r);
      int next = decode_pretree(st, r);
      if (next > 16) return false;
      uint8_t value = static_cast<uint8_t>((previous[i] + 17 - next) % 17);
      for (; run > 0 && i < count; --run) lengths[i++] = value;
    }
    note_overrun(st, r);
    if (st->overrun) return false;
  }
  return true;
}

bool read_block_header(LzxState* st, BitReader& r, bool& bit_mode, uint32_t& byte_pos) {
  if (st->block_type == UNCOMPRESSED) {
    if ((st->block_size & 1) && byte_pos < r.input_end) ++byte_pos;
    st->block_type = 0;
    start_stream(r, byte_pos);
    bit_mode = true;
  }
  if (st->translation_pending) {
    st->translation_pending = false;
    if (take(r, 1)) {
      uint32_t high = take(r, 16);
      st->translation_size = (high << 16) | take(r, 16);
    } else {
      st->translation_size = 0;
    }
  }
  st->block_type = static_cast<uint8_t>(take(r, 3));
  uint32_t size = take(r, 8) << 16;
  size |= take(r, 8) << 8;
  size |= take(r, 8);
  st->block_size = size;
  st->block_remaining = size;
  switch (st->block_type) {
    case ALIGNED:
      for (int i = 0; i < ALIGNED_SYMBOLS; ++i)
        st->aligned_lengths[i] = static_cast<uint8_t>(take(r, 3));
      // Lengths of 0..7 fit the table: no nodes.
      if (!build_table(st->aligned_lengths, ALIGNED_SYMBOLS, ALIGNED_BITS, st->aligned_table,
                       nullptr, 0))
        return false;
      [[fallthrough]];
    case VERBATIM: {
      const int main_count = 256 + 8 * st->slots;
      std::memcpy(st->previous_main, st->main_lengths, sizeof st->main_lengths);
      std::memcpy(st->previous_length, st->length_lengths, sizeof st->length_lengths);
      if (!read_lengths(st, r, st->main_lengths, st->previous_main, 256)) return false;
      if (!read_lengths(st, r, st->main_lengths + 256, st->previous_main + 256, main_count - 256))
        return false;
      if (!build_table(st->main_lengths, main_count, MAIN_BITS, st->main_table, st->main_nodes,
                       MAIN_MAX))
        return false;
      if (!read_lengths(st, r, st->length_lengths, st->previous_length, LENGTH_SYMBOLS))
        return false;
      if (!build_table(st->length_lengths, LENGTH_SYMBOLS, LENGTH_BITS, st->length_table,
                       st->length_nodes, LENGTH_SYMBOLS))
        return false;
      break;
    }
    case UNCOMPRESSED: {
      // The bytes begin at the first word boundary after the header bits: the
      // format's pointer stepped back over the last word loaded.
      note_overrun(st, r);
      uint32_t c = consumed(r) - r.stream_start * 8;
      int64_t at = static_cast<int64_t>(r.stream_start) + 2 + 2 * (c / 16);
      if (static_cast<int64_t>(r.input_size) - at < 12) return false;
      uint32_t value[3];
      for (int i = 0; i < 3; ++i) {
        const uint32_t o = static_cast<uint32_t>(at) + 4 * i;
        value[i] = byte_at(r, o) | (byte_at(r, o + 1) << 8) | (byte_at(r, o + 2) << 16) |
                   (byte_at(r, o + 3) << 24);
      }
      st->r0 = value[0];
      st->r1 = value[1];
      st->r2 = value[2];
      byte_pos = static_cast<uint32_t>(at) + 12;
      bit_mode = false;
      break;
    }
    default:
      return false;
  }
  st->block_state = IN_BLOCK;
  return true;
}

// Copies a match of `length` bytes from `src` to `dst` inside the window, with
// the result of a copy one byte after the other (overlaps repeat the pattern).
// Bytes past dst + length may still be read as old history by a later match,
// so they keep their values; both ranges may extend 8 bytes past `length`.
inline void copy_match(uint8_t* dst, const uint8_t* src, uint32_t length) {
  const std::ptrdiff_t dist = dst - src;
  // Chunks of w bytes (each load before its store) give the byte-by-byte
  // result when the distance is at least w either way.
  if (dist >= 8 || dist <= -8) {
    // Two chunks at once, more only for a match longer than 16 bytes: they
    // overshoot by up to 15 bytes, and the 16 bytes after the match are saved
    // first and put back, so no branch on a short length is needed.
    uint64_t keep0, keep1, v0, v1;
    std::memcpy(&keep0, dst + length, 8);
    std::memcpy(&keep1, dst + length + 8, 8);
    std::memcpy(&v0, src, 8);
    std::memcpy(dst, &v0, 8);
    std::memcpy(&v1, src + 8, 8);
    std::memcpy(dst + 8, &v1, 8);
    for (uint32_t i = 16; i < length; i += 8) {
      std::memcpy(&v0, src + i, 8);
      std::memcpy(dst + i, &v0, 8);
    }
    std::memcpy(dst + length, &keep0, 8);
    std::memcpy(dst + length + 8, &keep1, 8);
    return;
  }
  if (length >= 4 && (dist >= 4 || dist <= -4)) {
    uint32_t v;
    for (uint32_t i = 0; i + 4 <= length; i += 4) {
      std::memcpy(&v, src + i, 4);
      std::memcpy(dst + i, &v, 4);
    }
    std::memcpy(&v, src + length - 4, 4);
    std::memcpy(dst + length - 4, &v, 4);
    return;
  }
  if (length <= 3 && (dist >= 2 || dist <= -2)) {
    uint16_t v;
    std::memcpy(&v, src, 2);
    std::memcpy(dst, &v, 2);
    if (length == 3) dst[2] = src[2];
    return;
  }
  if (dist == 1) {
    std::memset(dst, src[0], length);
    return;
  }
  if (dist == 0) return;
  for (uint32_t i = 0; i < length; ++i) dst[i] = src[i];
}

// Four 16-bit little-endian words, the first in the top bits.
inline uint64_t load_words(const uint8_t* at) {
#if defined(__SSE2__) && defined(__x86_64__)
  const __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at));
  return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_shufflelo_epi16(x, 0x1B)));
#else
  uint64_t v;
  std::memcpy(&v, at, 8);
  v = __builtin_bswap64(v);
  return ((v >> 8) & 0x00FF00FF00FF00FFull) | ((v & 0x00FF00FF00FF00FFull) << 8);
#endif
}

// Decodes `run` bytes of a verbatim or aligned block at the window position.
CABSFX_HOT bool decode_run(LzxState* st, BitReader& r, uint32_t run) {
  // The bit buffer lives in locals here: window stores through a byte pointer
  // could otherwise alias it and force reloads after every byte.
  uint8_t* const window = st->window;
  const uint32_t size = st->window_size;
  const uint32_t mask = st->window_mask;
  const int main_count = 256 + 8 * st->slots;
  // Offsets with this many extra bits or more end in an aligned code: from 3
  // in an aligned block, never (more than 17) in a verbatim one. One compare,
  // where `aligned && extra >= 3` let GCC test the count first, a branch as
  // random as the data in every block.
  const int aligned_from = st->block_type == ALIGNED ? 3 : 18;
  const uint16_t* const main_table = st->main_table;
  const uint16_t* const length_table = st->length_table;
  const uint16_t* const aligned_table = st->aligned_table;
  const uint8_t* const input = r.input;
  const uint32_t input_size = r.input_size;
  const uint32_t symbol_limit = r.symbol_limit;
  // The end check before a symbol cannot fail while the loads stay below this
  // byte. Once they reach it, refill_below exceeds any bit count and every
  // symbol takes the refill branch with the check; until then a symbol pays
  // for that branch only.
  const uint32_t check_from = symbol_limit / 8;
  // From below fast_pos, two 8-byte loads (a symbol's refill, then its
  // match's), each keeping at most 6 bytes, can neither reach check_from nor
  // read past the data.
  const uint32_t near_end = std::min(check_from, input_size);
  const uint32_t fast_pos = near_end > 14 ? near_end - 14 : 0;
  uint64_t buf = r.buffer;
  int bits = r.bits;
  uint32_t pos = r.pos;
  uint32_t p = st->window_pos;
  const uint32_t end = p + run;
  uint32_t r0 = st->r0, r1 = st->r1, r2 = st->r2;
  int refill_below = pos >= check_from ? 65 : 16;

  auto sync_out = [&]() __attribute__((always_inline)) {
    r.buffer = buf;
    r.bits = bits;
    r.pos = pos;
  };
  auto sync_in = [&]() __attribute__((always_inline)) {
    buf = r.buffer;
    bits = r.bits;
    pos = r.pos;
  };
  // Whole words from pos into the buffer, which then holds 48 to 63 bits
  // (fewer than 64 before). Bits of a partial word may land below the counted
  // ones; they are the stream's own bits and the next load ors the same
  // values over them.
  auto load = [&]() __attribute__((always_inline)) {
    const uint64_t v = load_words(input + pos);
    buf |= v >> bits;
    const int words = (63 - bits) >> 4;
    pos += 2 * static_cast<uint32_t>(words);
    bits += 16 * words;
  };
  // Leaves more than 48 bits buffered: one 8-byte load while far from the end.
  auto fill = [&]() __attribute__((always_inline)) {
    if (bits > 48) return;
    if (pos + 8 <= input_size) {
      const uint64_t v = load_words(input + pos);
      buf |= v >> bits;
      const int words = (64 - bits) >> 4;
      pos += 2 * static_cast<uint32_t>(words);
      bits += 16 * words;
    } else {
      sync_out();
      refill_cold(r);
      sync_in();
    }
    if (pos >= check_from) refill_below = 65;
  };
  // Skips the code of table entry e. Its length is all of the entry's low 6
  // bits, so the shift can take e & 63, which x86 shifts compute themselves:
  // nothing between the table load and the shift that the next lookup waits
  // for. The bit count takes e & 31, the same value, apart from it.
  auto drop_entry = [&](uint32_t e) __attribute__((always_inline)) {
    buf <<= e & 63;
    bits -= static_cast<int>(e & 31);
  };
  auto get = [&](int n) __attribute__((always_inline))->uint32_t {  // n from 1
    const uint32_t v = static_cast<uint32_t>(buf >> (64 - n));
    buf <<= n;
    bits -= n;
    return v;
  };

  // The rest of a match after its main code (sym - 256): returns the length
  // and leaves the offset in `offset`, the repeated offsets brought up to date.
  uint32_t offset = 0;
  auto match = [&](uint32_t sym) __attribute__((always_inline))->uint32_t {
    uint32_t length = sym & 7;
    const uint32_t slot = sym >> 3;
    if (length == 7) {
      const uint32_t e = length_table[buf >> (64 - LENGTH_BITS)];
      if (e < LONG_ENTRY) {
        drop_entry(e);
        length += e >> 6;
      } else {
        sync_out();
        length += static_cast<uint32_t>(
            decode_long(r, e, LENGTH_BITS, st->length_nodes, LENGTH_SYMBOLS, st->length_lengths));
        sync_in();
      }
    }
    length += 2;
    if (slot < 3) {
      // R0 trades places with the offset used, by masks rather than
      // branches: which of the three comes is as random as the data.
      const uint32_t is1 = 0u - (slot == 1), is2 = 0u - (slot == 2);
      offset = r0 ^ ((r0 ^ r1) & is1) ^ ((r0 ^ r2) & is2);
      r1 ^= (r1 ^ r0) & is1;
      r2 ^= (r2 ^ r0) & is2;
      r0 = offset;
    } else {
      // SLOTS.extra[slot], computed: the bit count is on the path from one
      // symbol to the next, a table load would lengthen it.
      const int half = static_cast<int>(slot >> 1) - 1;
      const int extra = half < 17 ? half : 17;
      uint32_t value = 0;
      if (extra >= aligned_from) {
        if (extra > 3) value = get(extra - 3) << 3;
        if (bits < 16) fill();
        const uint32_t a = aligned_table[buf >> (64 - ALIGNED_BITS)];
        drop_entry(a);
        value += a >> 6;
      } else if (extra > 0) {
        value = get(extra);
      }
      offset = SLOTS.base[slot] - 2 + value;
      r2 = r1;
      r1 = r0;
      r0 = offset;
    }
    return length;
  };

  bool ok = true;
  while (p < end) {
    if (FAST_LOOP && p >= MIRROR && pos < fast_pos) {
      // Away from both ends of the input and from the window's start: no end
      // check and no mirror bytes; a load before each match's length and
      // offset covers them.
      for (;;) {
        if (bits < 16) {
          if (pos >= fast_pos) break;
          load();
        }
        const uint32_t e = main_table[buf >> (64 - MAIN_BITS)];
        if (e < (256u << 6)) {
          drop_entry(e);
          window[p++] = static_cast<uint8_t>(e >> 6);
          if (p == end) break;
          continue;
        }
        if (e >= LONG_ENTRY) break;  // a code longer than the fast table: below
        drop_entry(e);               // at least 1 bit: fewer than 64 left
        load();
        const uint32_t length = match((e >> 6) - 256);
        copy_match(window + p, window + ((p - offset) & mask), length);
        p += length;
        if (p >= end || pos >= fast_pos) break;
      }
      if (p >= end) break;
    }
    // A main code takes at most 16 bits; refilling only below that keeps the
    // word loads to about one per 48 bits instead of one per symbol.
    if (bits < refill_below) {
      fill();
      if (pos >= check_from && pos * 8 - static_cast<uint32_t>(bits) >= symbol_limit) {
        ok = false;
        break;
      }
    }
    const uint32_t e = main_table[buf >> (64 - MAIN_BITS)];
    if (e < (256u << 6)) {
      drop_entry(e);
      window[p] = static_cast<uint8_t>(e >> 6);
      if (p < MIRROR) window[size + p] = static_cast<uint8_t>(e >> 6);
      ++p;
      continue;
    }
    int sym;
    if (e < LONG_ENTRY) {
      drop_entry(e);
      sym = static_cast<int>(e >> 6);
    } else {
      sync_out();
      sym = decode_long(r, e, MAIN_BITS, st->main_nodes, main_count, st->main_lengths);
      sync_in();
      if (sym < 256) {
        window[p] = static_cast<uint8_t>(sym);
        if (p < MIRROR) window[size + p] = static_cast<uint8_t>(sym);
        ++p;
        continue;
      }
    }
    // The rest of a match: a length code (16 bits at most) and up to 17
    // extra bits, or 14 extra bits before an aligned code refilled below.
    if (bits < 33) fill();
    const uint32_t length = match(static_cast<uint32_t>(sym) - 256);
    const uint32_t src = (p - offset) & mask;
    if (p >= MIRROR) {
      copy_match(window + p, window + src, length);
    } else {
      for (uint32_t i = 0; i < length; ++i) {
        const uint8_t b = window[(src + i) & mask];
        window[p + i] = b;
        if (p + i < MIRROR) window[size + p + i] = b;
      }
    }
    p += length;
  }
  sync_out();
  st->r0 = r0;
  st->r1 = r1;
  st->r2 = r2;
  if (!ok || p > end) return false;
  st->window_pos = end & mask;
  return true;
}

// Uncompressed bytes come from the frame's data only, never from the bytes
// the format's reader loads ahead past its end.
bool copy_uncompressed(LzxState* st, BitReader& r, uint32_t& byte_pos, uint32_t run) {
  uint32_t avail = byte_pos < r.input_size ? r.input_size - byte_pos : 0;
  uint32_t n = run < avail ? run : avail;
  uint8_t* window = st->window;
  uint32_t p = st->window_pos;
  if (n) std::memcpy(window + p, r.input + byte_pos, n);
  for (uint32_t i = 0; i < n && p + i < MIRROR; ++i)
    window[st->window_size + p + i] = window[p + i];
  byte_pos += n;
  if (n < run) return false;
  st->window_pos = (p + run) & st->window_mask;
  return true;
}

bool decode_frame(LzxState* st, const uint8_t* input, uint32_t input_size, uint32_t frame) {
  // Frames start at multiples of 32768 in a valid stream; one that would run
  // past the window's end is refused rather than wrapped.
  if (frame > st->window_size - st->window_pos) return false;
  BitReader r{};
  r.input = input;
  r.input_size = input_size;
  r.input_end = input_size + 4;
  bool bit_mode = false;
  uint32_t byte_pos = 0;
  if (st->block_type != UNCOMPRESSED) {
    start_stream(r, 0);
    bit_mode = true;
  }
  bool ok = true;
  uint32_t produced = 0;
  while (produced < frame) {
    if (st->block_state == HEADER_DUE && !read_block_header(st, r, bit_mode, byte_pos)) {
      ok = false;
      break;
    }
    while (st->block_remaining > 0 && produced < frame) {
      uint32_t run = frame - produced;
      if (st->block_remaining < run) run = st->block_remaining;
      bool done = st->block_type == UNCOMPRESSED ? copy_uncompressed(st, r, byte_pos, run)
                                                 : decode_run(st, r, run);
      if (!done) {
        ok = false;
        break;
      }
      produced += run;
      st->block_remaining -= run;
    }
    if (!ok) break;
    if (st->block_remaining == 0) st->block_state = HEADER_DUE;
  }
  if (bit_mode) {
    note_overrun(st, r);
    // The reader may load words past the data but a frame may not use them.
    if (consumed(r) > 8 * input_size) ok = false;
  }
  return ok;
}

void translate_calls(uint8_t* data, uint32_t n, uint32_t position, uint32_t translation_size) {
  uint8_t saved[6];
  std::memcpy(saved, data + n - 6, 6);
  std::memset(data + n - 6, 0xE8, 6);
  uint8_t* p = data;
  uint8_t* const stop = data + n - 6;
  for (;;) {
    p = static_cast<uint8_t*>(std::memchr(p, 0xE8, static_cast<size_t>(data + n - p)));
    if (p >= stop) break;
    uint32_t v = p[1] | (p[2] << 8) | (p[3] << 16) | (static_cast<uint32_t>(p[4]) << 24);
    uint32_t pos = position + static_cast<uint32_t>(p - data);
    bool store = true;
    if (v < translation_size) {
      v -= pos;
    } else if (0u - v <= pos) {
      v += translation_size;
    } else {
      store = false;
    }
    if (store) {
      p[1] = static_cast<uint8_t>(v);
      p[2] = static_cast<uint8_t>(v >> 8);
      p[3] = static_cast<uint8_t>(v >> 16);
      p[4] = static_cast<uint8_t>(v >> 24);
    }
    p += 5;
  }
  std::memcpy(data + n - 6, saved, 6);
}

void reset_state(LzxState* st) {
  std::memset(st->main_lengths, 0, sizeof st->main_lengths);
  std::memset(st->length_lengths, 0, sizeof st->length_lengths);
  std::memset(st->previous_main, 0, sizeof st->previous_main);
  std::memset(st->previous_length, 0, sizeof st->previous_length);
  st->r0 = st->r1 = st->r2 = 1;
  st->window_pos = 0;
  st->block_state = HEADER_DUE;
  st->block_remaining = 0;
  st->block_size = 0;
  st->block_type = 0;
  st->translation_pending = true;
  st->translation_size = 0;
  st->translation_pos = 0;
  st->overrun = false;
  st->frames = 0;
}

bool valid(const LzxDecoder* handle) {
  return handle && handle->signature == SIGNATURE;
}

}  // namespace

int32_t LzxCreate(uint32_t* maxUncompressed, const LzxParameters* parameters, CabAllocFn alloc,
                  CabFreeFn free, uint32_t* maxCompressed, LzxDecoder** handle, CabOpenFn open,
                  CabReadFn read, CabWriteFn write, CabCloseFn close, CabSeekFn seek) {
  if (!maxUncompressed) return CODEC_BAD_PARAMETER;
  if (maxCompressed) *maxCompressed = *maxUncompressed + 6144;
  if (!handle) return CODEC_OK;
  *handle = nullptr;
  if (!parameters || !alloc || !free) return CODEC_BAD_PARAMETER;
  // Windows from 2^15 (one frame) to 2^21 (50 position slots); anything else
  // cannot be used and is reported like a window that cannot be allocated.
  const uint32_t window_size = parameters->window_size;
  if (window_size < (1u << 15) || window_size > (1u << 21) || (window_size & (window_size - 1)))
    return CODEC_NO_MEMORY;
  auto* h = static_cast<LzxDecoder*>(alloc(sizeof(LzxDecoder)));
  if (!h) return CODEC_NO_MEMORY;
  auto* st = static_cast<LzxState*>(alloc(sizeof(LzxState)));
  if (!st) {
    free(h);
    return CODEC_NO_MEMORY;
  }
  std::memset(st, 0, sizeof *st);
  st->alloc = alloc;
  st->free = free;
  st->window_size = window_size;
  st->window_mask = window_size - 1;
  uint32_t slots = 4, span = 4;
  while (span < window_size) span += 1u << SLOTS.extra[slots++];
  st->slots = static_cast<uint8_t>(slots);
  st->window = static_cast<uint8_t*>(alloc(window_size + WINDOW_EXTRA));
  if (!st->window) {
    free(st);
    free(h);
    return CODEC_NO_MEMORY;
  }
  std::memset(st->window, 0, window_size + WINDOW_EXTRA);
  reset_state(st);
  h->alloc = alloc;
  h->free = free;
  h->open = open;
  h->read = read;
  h->write = write;
  h->close = close;
  h->seek = seek;
  h->max_uncompressed = *maxUncompressed;
  h->state = st;
  h->signature = SIGNATURE;
  *handle = h;
  return CODEC_OK;
}

int32_t LzxDecompress(LzxDecoder* handle, const uint8_t* input, uint32_t inputSize, uint8_t* output,
                      uint32_t* outputSize) {
  if (!valid(handle)) return CODEC_BAD_HANDLE;
  if (!outputSize) return CODEC_BAD_PARAMETER;
  const uint32_t n = *outputSize;
  if (n > handle->max_uncompressed) return CODEC_BAD_PARAMETER;
  LzxState* st = handle->state;
  bool ok = decode_frame(st, input, inputSize, n);
  if (ok) {
    const uint32_t end = st->window_pos == 0 ? st->window_size : st->window_pos;
    if (n) std::memcpy(output, st->window + (end - n), n);
    if (st->translation_size != 0 && st->frames < MAX_FRAMES) {
      if (n >= 6) translate_calls(output, n, st->translation_pos, st->translation_size);
      st->translation_pos += n;
    }
  }
  st->frames++;
  if (!ok) {
    *outputSize = 0;
    return CODEC_DATA_ERROR;
  }
  return CODEC_OK;
}

int32_t LzxReset(LzxDecoder* handle) {
  if (!valid(handle)) return CODEC_BAD_HANDLE;
  reset_state(handle->state);
  return CODEC_OK;
}

int32_t LzxDestroy(LzxDecoder* handle) {
  if (!valid(handle)) return CODEC_BAD_HANDLE;
  LzxState* st = handle->state;
  CabFreeFn free = handle->free;
  st->free(st->window);
  handle->signature = 0;
  free(st);
  free(handle);
  return CODEC_OK;
}

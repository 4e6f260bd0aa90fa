// MSZIP decoder: "CK" + one deflate stream per data block, decoded straight
// into the caller's 32 KiB buffer, which doubles as the history window.
//
// Decoding tables are multi-level lookup tables: a root table indexed by the
// first L bits of a code, sub-tables for longer codes at steps of L bits. All
// dynamic tables live in one fixed area inside the state, so decoding never
// allocates.
#include "codecs/mszip.h"

#include <cstddef>
#include <cstring>

namespace {

constexpr uint32_t SIGNATURE = 0x4349444D;  // "MDIC" in memory
constexpr uint32_t WINDOW_SIZE = 32768;     // history span, also the largest block
constexpr uint32_t INPUT_SLACK = 12;        // compressed data may exceed the block by this
constexpr uint32_t MAX_MATCH = 258;

// Operations of a table entry.
constexpr uint8_t OP_END_OF_BLOCK = 15;
constexpr uint8_t OP_LITERAL = 16;
constexpr uint8_t OP_INVALID = 99;
// 0..13: length or distance base with that many extra bits; 17..: sub-table
// indexed by (op - 16) further bits.

struct TableEntry {
  uint8_t op;
  uint8_t bits;    // bits this entry consumes
  uint16_t value;  // literal, base, or index of the sub-table within its area
};

// Table areas: dynamic literal/length (and, before it, code-length) tables get
// the first part, dynamic distance tables the rest. Each holds the largest
// table set that any complete code can need with these root bits, found by
// building every complete code (every count of codes per length; the layout
// depends on nothing else) or, for 286 symbols, by maximising over the
// canonical layouts, which are two-level there:
//   code lengths, 19 symbols, 7 root bits, longest 7:   128 entries;
//   literal/length, 286 symbols, 9 root bits, longest 15: 852 entries
//     (64 root slots lead to sub-tables: 58 of 2, 2 of 8, 1 of 16, 3 of 64);
//   distance, 30 symbols, 6 root bits, longest 15:       154 entries
//     (sub-tables of at most 6 bits, a third level past 12 bits).
constexpr uint32_t MAIN_AREA_SIZE = 852;
constexpr uint32_t DISTANCE_AREA_SIZE = 154;
constexpr uint32_t FIXED_LITERAL_SIZE = 520;
constexpr uint32_t FIXED_DISTANCE_SIZE = 32;

// Single-lookup tables for the fast loop, beside the multi-level ones: every
// code of up to LITERAL_FAST_BITS (DISTANCE_FAST_BITS) bits in one entry, and
// an escape to the multi-level tables for longer or invalid codes.
//   literal/length entry: bits 0-7 bits to consume; then
//     literal: bit 31, bit 30 when a second literal follows within the same
//       lookup, bits 8-15 the first byte, bits 16-23 the second byte (the
//       first again when there is none);
//     length: bits 8-15 code length (the extra bits follow it), bits 16-24
//       the base (bits to consume = code length + extra bits);
//     end of block: bit 29; escape: bit 28.
//   distance entry: bits 0-7 code length + extra bits, 8-15 code length,
//     16-31 base; 0 is the escape.
constexpr uint32_t LITERAL_FAST_BITS = 11;
constexpr uint32_t DISTANCE_FAST_BITS = 8;
constexpr uint32_t FAST_LITERAL = 1u << 31;
constexpr uint32_t FAST_PAIR = 1u << 30;
constexpr uint32_t FAST_END_OF_BLOCK = 1u << 29;
constexpr uint32_t FAST_ESCAPE = 1u << 28;

struct DecodeTable {
  const TableEntry* area;  // root table at index 0, sub-tables after it
  uint32_t lookup_bits;    // 0: no codes at all
  const uint32_t* fast;    // literal/length or distance fast table
};

struct InflateState {
  uint32_t last_block;
  const uint8_t* input;
  uint8_t* output;
  uint8_t* output_start;
  uint32_t input_length;
  uint32_t input_consumed;
  uint32_t output_remaining;
  uint32_t output_limit;
  uint64_t bit_buffer;
  uint32_t bit_count;
  TableEntry table[MAIN_AREA_SIZE + DISTANCE_AREA_SIZE];
  uint32_t literal_fast[1u << LITERAL_FAST_BITS];
  uint32_t distance_fast[1u << DISTANCE_FAST_BITS];
};

}  // namespace

struct MszipDecoder {
  uint32_t signature;
  CabFreeFn free;
  uint32_t maximum;
  InflateState* state;
};

namespace {

constexpr uint8_t CODE_LENGTH_ORDER[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                           11, 4,  12, 3, 13, 2, 14, 1, 15};
// Literal/length symbols 257..287; 286 and 287 are invalid (extra bits 99).
constexpr uint16_t LENGTH_BASE[31] = {3,  4,   5,   6,   7,   8,   9,   10, 11, 13, 15,
                                      17, 19,  23,  27,  31,  35,  43,  51, 59, 67, 83,
                                      99, 115, 131, 163, 195, 227, 258, 0,  0};
constexpr uint8_t LENGTH_EXTRA[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,  2, 2,
                                      3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
constexpr uint16_t DISTANCE_BASE[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t DISTANCE_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

constexpr uint32_t Mask(uint32_t n) {
  return (1u << n) - 1;
}

// An empty code: every lookup lands on an invalid entry.
constexpr TableEntry EMPTY_TABLE[1] = {{OP_INVALID, 0, 0}};

enum BuildResult { COMPLETE, INCOMPLETE, OVER_SUBSCRIBED, AREA_EXHAUSTED };

// Builds the lookup tables for a canonical code given by its code lengths.
// Symbols below `simple` are literals (below 256) or end of block; the others
// take their base and extra-bit count from the lists. Left-over code space of
// an incomplete code is filled with invalid entries. *lookup_bits is the
// requested root width on entry and the one used on return.
BuildResult BuildTable(const uint8_t* lengths, uint32_t n, uint32_t simple, const uint16_t* base,
                       const uint8_t* extra, TableEntry* area, uint32_t capacity,
                       uint32_t* lookup_bits) {
  uint32_t count[17] = {};
  for (uint32_t i = 0; i < n; ++i) ++count[lengths[i]];
  if (count[0] == n) {
    *lookup_bits = 0;
    return COMPLETE;
  }
  uint32_t shortest = 1;
  while (count[shortest] == 0) ++shortest;
  uint32_t longest = 16;
  while (count[longest] == 0) --longest;
  uint32_t root_bits = *lookup_bits;
  if (root_bits < shortest) root_bits = shortest;
  if (root_bits > longest) root_bits = longest;
  *lookup_bits = root_bits;

  // Code space check; left-over codes are generated as invalid entries.
  int32_t left = 1 << shortest;
  for (uint32_t len = shortest; len < longest; ++len, left <<= 1) {
    left -= static_cast<int32_t>(count[len]);
    if (left < 0) return OVER_SUBSCRIBED;
  }
  left -= static_cast<int32_t>(count[longest]);
  if (left < 0) return OVER_SUBSCRIBED;
  count[longest] += static_cast<uint32_t>(left);

  // Symbols sorted by code length, then by symbol.
  uint16_t offset[17];
  offset[1] = 0;
  for (uint32_t len = 1; len < 16; ++len) {
    offset[len + 1] = static_cast<uint16_t>(offset[len] + count[len]);
  }
  uint16_t sorted[288];
  uint32_t symbols = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (lengths[i] != 0) {
      sorted[offset[lengths[i]]++] = static_cast<uint16_t>(i);
      ++symbols;
    }
  }

  const int32_t step = static_cast<int32_t>(root_bits);
  int32_t level = -1;      // current table depth
  int32_t before = -step;  // bits indexed before the current table
  uint32_t code = 0;       // current code, bit-reversed
  uint32_t prefix[17] = {};
  uint32_t table_start[17] = {};
  uint32_t table_size = 0;
  uint32_t used = 0;
  uint32_t next = 0;  // next entry of `sorted`
  TableEntry* table = nullptr;

  for (uint32_t len = shortest; len <= longest; ++len) {
    uint32_t pending = count[len];
    while (pending-- != 0) {
      // Open deeper tables until this code fits.
      while (static_cast<int32_t>(len) > before + step) {
        ++level;
        before += step;
        uint32_t widest = longest - static_cast<uint32_t>(before);
        if (widest > root_bits) widest = root_bits;
        uint32_t width = len - static_cast<uint32_t>(before);
        uint32_t space = 1u << width;
        if (space > pending + 1) {
          // Too few codes of this length to fill the table: widen it while
          // the longer codes do not fill what is left.
          space -= pending + 1;
          uint32_t deeper = len;
          while (width < widest) {
            ++width;
            if (width >= widest) break;
            space <<= 1;
            if (space <= count[++deeper]) break;
            space -= count[deeper];
          }
        }
        table_size = 1u << width;
        if (used + table_size > capacity) return AREA_EXHAUSTED;
        table = area + used;
        table_start[level] = used;
        if (level > 0) {
          prefix[level] = code;
          const uint32_t index = code >> (static_cast<uint32_t>(before) - root_bits);
          area[table_start[level - 1] + index] = {static_cast<uint8_t>(16 + width),
                                                  static_cast<uint8_t>(root_bits),
                                                  static_cast<uint16_t>(used)};
        }
        used += table_size;
      }

      TableEntry entry;
      entry.bits = static_cast<uint8_t>(len - static_cast<uint32_t>(before));
      if (next >= symbols) {
        entry.op = OP_INVALID;
        entry.value = 0;
      } else {
        const uint32_t symbol = sorted[next++];
        if (symbol < simple) {
          entry.op = symbol < 256 ? OP_LITERAL : OP_END_OF_BLOCK;
          entry.value = static_cast<uint16_t>(symbol);
        } else {
          entry.op = extra[symbol - simple];
          entry.value = base[symbol - simple];
        }
      }
      const uint32_t stride = 1u << (len - static_cast<uint32_t>(before));
      for (uint32_t i = code >> before; i < table_size; i += stride) table[i] = entry;

      // Next code in bit-reversed order.
      uint32_t bit = 1u << (len - 1);
      while (code & bit) {
        code ^= bit;
        bit >>= 1;
      }
      code ^= bit;

      // Back up over tables that are now full.
      while ((code & Mask(static_cast<uint32_t>(before))) != prefix[level]) {
        --level;
        before -= step;
      }
    }
  }
  return (left != 0 && longest != 1) ? INCOMPLETE : COMPLETE;
}

// Bytes with their bits in reverse order.
struct ReverseTable {
  uint8_t byte[256];
};
constexpr ReverseTable MakeReverseTable() {
  ReverseTable t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t r = 0;
    for (uint32_t k = 0; k < 8; ++k) r |= ((b >> k) & 1) << (7 - k);
    t.byte[b] = static_cast<uint8_t>(r);
  }
  return t;
}
constexpr ReverseTable REVERSE = MakeReverseTable();

// Canonical codes, bit-reversed (deflate sends codes most significant bit
// first into a least-significant-first bit stream): calls fill(symbol,
// reversed code, length) for every symbol of length 1..max_bits (up to 16).
template <typename Fill>
void ForEachShortCode(const uint8_t* lengths, uint32_t n, uint32_t max_bits, Fill fill) {
  uint32_t count[16] = {};
  for (uint32_t i = 0; i < n; ++i) ++count[lengths[i]];
  count[0] = 0;
  uint32_t next[16];
  uint32_t code = 0;
  for (uint32_t len = 1; len < 16; ++len) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  for (uint32_t symbol = 0; symbol < n; ++symbol) {
    const uint32_t len = lengths[symbol];
    if (len == 0 || len > max_bits) continue;
    const uint32_t c = next[len]++;
    const uint32_t reversed =
        static_cast<uint32_t>(REVERSE.byte[c & 0xFF] << 8 | REVERSE.byte[c >> 8]) >> (16 - len);
    fill(symbol, reversed, len);
  }
}

// Fills the literal/length fast table of a code the multi-level builder has
// accepted. Symbols 286 and 287 (fixed code only) and codes longer than the
// table escape, as does code space an incomplete code leaves over.
void BuildLiteralFast(const uint8_t* lengths, uint32_t n, uint32_t* fast) {
  constexpr uint32_t size = 1u << LITERAL_FAST_BITS;
  for (uint32_t i = 0; i < size; ++i) fast[i] = FAST_ESCAPE;
  // Literals short enough to begin a pair, in the order of their lengths.
  struct Literal {
    uint16_t code;
    uint8_t len;
    uint8_t symbol;
  };
  Literal found[256];
  uint32_t per_length[LITERAL_FAST_BITS + 1] = {};
  uint32_t literals = 0;
  ForEachShortCode(
      lengths, n, LITERAL_FAST_BITS, [&](uint32_t symbol, uint32_t code, uint32_t len) {
        uint32_t entry;
        if (symbol < 256) {
          entry = FAST_LITERAL | symbol << 16 | symbol << 8 | len;
          if (len < LITERAL_FAST_BITS) {
            found[literals++] = {static_cast<uint16_t>(code), static_cast<uint8_t>(len),
                                 static_cast<uint8_t>(symbol)};
            ++per_length[len];
          }
        } else if (symbol == 256) {
          entry = FAST_END_OF_BLOCK | len;
        } else if (symbol < 286) {
          const uint32_t extra = LENGTH_EXTRA[symbol - 257];
          entry = static_cast<uint32_t>(LENGTH_BASE[symbol - 257]) << 16 | len << 8 | (len + extra);
        } else {
          return;
        }
        for (uint32_t i = code; i < size; i += 1u << len) fast[i] = entry;
      });
  // Pairs: a literal whose following bits within the same lookup hold a
  // whole second literal code. Every pair of literals short enough together
  // writes its own entries, the second taken in the order of lengths so that
  // the first too long ends the search.
  uint32_t start[LITERAL_FAST_BITS + 1];
  start[0] = 0;
  for (uint32_t len = 1; len <= LITERAL_FAST_BITS; ++len) {
    start[len] = start[len - 1] + per_length[len - 1];
  }
  Literal sorted[256];
  for (uint32_t k = 0; k < literals; ++k) sorted[start[found[k].len]++] = found[k];
  for (uint32_t a = 0; a < literals; ++a) {
    const Literal first = sorted[a];
    for (uint32_t b = 0; b < literals; ++b) {
      const Literal second = sorted[b];
      const uint32_t both = first.len + second.len;
      if (both > LITERAL_FAST_BITS) break;
      const uint32_t entry =
          FAST_LITERAL | FAST_PAIR | second.symbol << 16 | first.symbol << 8 | both;
      for (uint32_t i = first.code | second.code << first.len; i < size; i += 1u << both) {
        fast[i] = entry;
      }
    }
  }
}

void BuildDistanceFast(const uint8_t* lengths, uint32_t n, uint32_t* fast) {
  constexpr uint32_t size = 1u << DISTANCE_FAST_BITS;
  for (uint32_t i = 0; i < size; ++i) fast[i] = 0;
  ForEachShortCode(lengths, n, DISTANCE_FAST_BITS,
                   [fast](uint32_t symbol, uint32_t code, uint32_t len) {
                     const uint32_t entry = static_cast<uint32_t>(DISTANCE_BASE[symbol]) << 16 |
                                            len << 8 | (len + DISTANCE_EXTRA[symbol]);
                     for (uint32_t i = code; i < size; i += 1u << len) fast[i] = entry;
                   });
}

// Shared fixed-code tables, built on the first creation.
TableEntry fixed_literal_area[FIXED_LITERAL_SIZE];
TableEntry fixed_distance_area[FIXED_DISTANCE_SIZE];
uint32_t fixed_literal_fast[1u << LITERAL_FAST_BITS];
uint32_t fixed_distance_fast[1u << DISTANCE_FAST_BITS];
DecodeTable fixed_literal_table;
DecodeTable fixed_distance_table;
bool fixed_tables_built = false;

void BuildFixedTables() {
  uint8_t lengths[288];
  for (uint32_t i = 0; i < 144; ++i) lengths[i] = 8;
  for (uint32_t i = 144; i < 256; ++i) lengths[i] = 9;
  for (uint32_t i = 256; i < 280; ++i) lengths[i] = 7;
  for (uint32_t i = 280; i < 288; ++i) lengths[i] = 8;
  uint32_t bits = 9;
  BuildTable(lengths, 288, 257, LENGTH_BASE, LENGTH_EXTRA, fixed_literal_area, FIXED_LITERAL_SIZE,
             &bits);
  BuildLiteralFast(lengths, 288, fixed_literal_fast);
  fixed_literal_table = {fixed_literal_area, bits, fixed_literal_fast};
  for (uint32_t i = 0; i < 30; ++i) lengths[i] = 5;
  bits = 5;
  // Incomplete by design: codes 30 and 31 are left over and invalid.
  BuildTable(lengths, 30, 0, DISTANCE_BASE, DISTANCE_EXTRA, fixed_distance_area,
             FIXED_DISTANCE_SIZE, &bits);
  BuildDistanceFast(lengths, 30, fixed_distance_fast);
  fixed_distance_table = {fixed_distance_area, bits, fixed_distance_fast};
  fixed_tables_built = true;
}

// Working registers of one decompress call. Past the end of the input the
// bit reader supplies zero bytes without advancing, so that a lookup may look
// beyond the last code; the call fails if any of them is consumed.
struct Cursor {
  const uint8_t* in;
  const uint8_t* in_begin;
  const uint8_t* in_end;
  uint32_t zeros;  // zero bytes supplied past the end
  uint64_t bits;   // bits above `count` may hold the next input byte's low bits
  uint32_t count;
  uint8_t* out;
  uint8_t* out_start;
  uint8_t* out_end;  // output stops here
};

inline void Need(Cursor& c, uint32_t n) {
  while (c.count < n) {
    uint64_t byte = 0;
    if (c.in < c.in_end) {
      byte = *c.in++;
    } else {
      ++c.zeros;
    }
    c.bits |= byte << c.count;
    c.count += 8;
  }
}

inline uint32_t Take(Cursor& c, uint32_t n) {
  Need(c, n);
  const uint32_t value = static_cast<uint32_t>(c.bits) & Mask(n);
  c.bits >>= n;
  c.count -= n;
  return value;
}

// Copies `length` bytes from `distance` back, which lies inside this call's
// output (distance <= out - out_start). Byte order as deflate defines it for
// overlapping matches; never writes past out + length, since the bytes there
// are still history.
inline uint8_t* CopyWithin(uint8_t* out, uint32_t distance, uint32_t length) {
  const uint8_t* src = out - distance;
  if (distance >= 8) {
    while (length >= 8) {
      uint64_t chunk;
      std::memcpy(&chunk, src, 8);
      std::memcpy(out, &chunk, 8);
      out += 8;
      src += 8;
      length -= 8;
    }
    if (length >= 4) {
      uint32_t chunk;
      std::memcpy(&chunk, src, 4);
      std::memcpy(out, &chunk, 4);
      out += 4;
      src += 4;
      length -= 4;
    }
    while (length != 0) {
      *out++ = *src++;
      --length;
    }
  } else if (distance == 1) {
    std::memset(out, *src, length);
    out += length;
  } else {
    while (length != 0) {
      *out++ = *src++;
      --length;
    }
  }
  return out;
}

// Copies a match, reaching into the previous block's bytes at the end of the
// buffer when the distance exceeds this call's output; the source wraps from
// out_start + 32768 back to out_start.
inline uint8_t* CopyMatch(uint8_t* out, uint8_t* out_start, uint32_t distance, uint32_t length) {
  const uint32_t written = static_cast<uint32_t>(out - out_start);
  if (distance > written) {
    const uint8_t* src = out + (WINDOW_SIZE - distance);
    uint32_t head = static_cast<uint32_t>(out_start + WINDOW_SIZE - src);
    if (head > length) head = length;
    // src >= out: a forward move equals the byte-wise copy.
    std::memmove(out, src, head);
    out += head;
    length -= head;
    if (length == 0) return out;
  }
  return CopyWithin(out, distance, length);
}

enum CodesResult { BLOCK_END, OUTPUT_FULL, DATA_ERROR };

// Bit buffer of the fast loop: a machine word, refilled a whole word at a
// time while the input lasts; a refill leaves at least FILL bits.
using BitWord = uintptr_t;
constexpr uint32_t WORD_BITS = sizeof(BitWord) * 8;
constexpr uint32_t FILL = WORD_BITS - 8;
// The fast loop runs while a whole iteration (at most four refills, each
// loading a word and advancing by fewer bytes than a word) stays inside the
// input, and its output (up to six literals, or four and a longest match)
// inside the output.
constexpr ptrdiff_t FAST_INPUT_MARGIN = 4 * sizeof(BitWord) + 8;
constexpr ptrdiff_t FAST_OUTPUT_MARGIN = MAX_MATCH + 8;

inline BitWord LoadWord(const uint8_t* p) {
  BitWord v;
  std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = sizeof v == 8 ? static_cast<BitWord>(__builtin_bswap64(v))
                    : static_cast<BitWord>(__builtin_bswap32(static_cast<uint32_t>(v)));
#endif
  return v;
}

// A match within this call's output, in the byte order deflate defines for
// overlaps. Nothing past out + length is written: those bytes are the
// previous block's, which a later match of this block may still read.
inline uint8_t* CopyNear(uint8_t* out, uint32_t distance, uint32_t length) {
  const uint8_t* src = out - distance;
  if (distance >= 8) {
    if (length >= 8) {
      // Whole chunks, then one last chunk ending exactly at the match's end
      // (it rewrites bytes already written, with the same values).
      uint32_t i = 0;
      do {
        uint64_t chunk;
        std::memcpy(&chunk, src + i, 8);
        std::memcpy(out + i, &chunk, 8);
        i += 8;
      } while (i + 8 <= length);
      uint64_t chunk;
      std::memcpy(&chunk, src + length - 8, 8);
      std::memcpy(out + length - 8, &chunk, 8);
      return out + length;
    }
    if (length >= 4) {
      uint32_t head, tail;
      std::memcpy(&head, src, 4);
      std::memcpy(&tail, src + length - 4, 4);
      std::memcpy(out, &head, 4);
      std::memcpy(out + length - 4, &tail, 4);
      return out + length;
    }
    out[0] = src[0];
    out[1] = src[1];
    out[2] = src[2];  // a length is at least 3
    return out + length;
  }
  if (distance == 1) {
    std::memset(out, *src, length);
    return out + length;
  }
  for (uint32_t i = 0; i < length; ++i) out[i] = src[i];
  return out + length;
}

// Decodes literal/length and distance symbols until end of block, a full
// output, or an invalid code. A fast loop with single-lookup tables runs
// while the input and output have room for a whole iteration; then the
// careful loop takes over with exact bit accounting, one byte at a time, and
// zero bytes past the input end.
CABSFX_HOT CodesResult DecodeCodes(Cursor& c, const DecodeTable& literals,
                                   const DecodeTable& distances) {
  BitWord bits = static_cast<BitWord>(c.bits);
  uint32_t count = c.count;
  const uint8_t* in = c.in;
  const uint8_t* const in_end = c.in_end;
  uint32_t zeros = c.zeros;
  uint8_t* out = c.out;
  uint8_t* const out_start = c.out_start;
  uint8_t* const out_end = c.out_end;
  const TableEntry* const lit_area = literals.area;
  const TableEntry* const dist_area = distances.area;
  const uint32_t* const lit_fast = literals.fast;
  const uint32_t* const dist_fast = distances.fast;
  const uint32_t lit_bits = literals.lookup_bits;
  const uint32_t dist_bits = distances.lookup_bits;
  const BitWord lit_mask = Mask(lit_bits);
  const BitWord dist_mask = Mask(dist_bits);
  constexpr BitWord LIT_FAST_MASK = Mask(LITERAL_FAST_BITS);
  constexpr BitWord DIST_FAST_MASK = Mask(DISTANCE_FAST_BITS);
  CodesResult result;

  auto need = [&](uint32_t n) {
    while (count < n) {
      BitWord byte = 0;
      if (in < in_end) {
        byte = *in++;
      } else {
        ++zeros;
      }
      bits |= byte << count;
      count += 8;
    }
  };
  auto drop = [&](uint32_t n) {
    bits >>= n;
    count -= n;
  };
  // The bits above `count` may already hold the next input bytes' low bits;
  // ORing the same bytes in again later changes nothing.
  auto refill = [&]() {
    bits |= LoadWord(in) << count;
    in += (WORD_BITS - 1 - count) >> 3;
    count |= FILL;
  };

  // The fast loop ends when an input or output end is near enough that an
  // iteration might cross it.
  auto room = [&]() {
    return in_end - in > FAST_INPUT_MARGIN && out_end - out > FAST_OUTPUT_MARGIN;
  };
  bool fast = room();
  // The next entry is looked up as soon as its bits are there, before the
  // match in hand is copied, so that the lookup overlaps with the copy.
  uint32_t e = 0;
  if (fast) {
    refill();
    e = lit_fast[bits & LIT_FAST_MASK];
  }
  while (fast) {
    if (e & FAST_LITERAL) {
      // One or two literals per entry; the second store repeats the first
      // byte at the same place when there is only one.
      uint32_t n = 1 + ((e >> 30) & 1);
      drop(e & 0xFF);
      out[0] = static_cast<uint8_t>(e >> 8);
      out[n - 1] = static_cast<uint8_t>(e >> 16);
      out += n;
      e = lit_fast[bits & LIT_FAST_MASK];  // a refill covers two lookups
      if (e & FAST_LITERAL) {
        n = 1 + ((e >> 30) & 1);
        drop(e & 0xFF);
        out[0] = static_cast<uint8_t>(e >> 8);
        out[n - 1] = static_cast<uint8_t>(e >> 16);
        out += n;
        if (FILL >= 3 * LITERAL_FAST_BITS) {
          e = lit_fast[bits & LIT_FAST_MASK];
          if (e & FAST_LITERAL) {
            n = 1 + ((e >> 30) & 1);
            drop(e & 0xFF);
            out[0] = static_cast<uint8_t>(e >> 8);
            out[n - 1] = static_cast<uint8_t>(e >> 16);
            out += n;
          }
        }
        if (e & FAST_LITERAL || FILL < 3 * LITERAL_FAST_BITS) {
          refill();
          e = lit_fast[bits & LIT_FAST_MASK];
          fast = room();
          continue;
        }
      }
      refill();
    }
    // A length (maybe behind a long code), the end of the block, or an
    // escape. With the buffer full: the code, its extra bits, a distance
    // code and its extra bits take at most 15 + 5 + 15 + 13 bits.
    uint32_t length;
    if (e & (FAST_ESCAPE | FAST_END_OF_BLOCK)) {
      if (e & FAST_END_OF_BLOCK) {
        drop(e & 0xFF);
        result = BLOCK_END;
        goto done;
      }
      TableEntry t = lit_area[bits & lit_mask];
      while (t.op > OP_LITERAL) {
        if (t.op == OP_INVALID) {
          result = DATA_ERROR;
          goto done;
        }
        drop(t.bits);
        t = lit_area[t.value + (bits & Mask(t.op - 16u))];
      }
      drop(t.bits);
      if (t.op == OP_LITERAL) {
        *out++ = static_cast<uint8_t>(t.value);
        refill();
        e = lit_fast[bits & LIT_FAST_MASK];
        fast = room();
        continue;
      }
      if (t.op == OP_END_OF_BLOCK) {
        result = BLOCK_END;
        goto done;
      }
      length = t.value + (static_cast<uint32_t>(bits) & Mask(t.op));
      drop(t.op);
    } else {
      const uint32_t total = e & 0xFF;
      length = (e >> 16) + ((static_cast<uint32_t>(bits) & Mask(total)) >> ((e >> 8) & 0xFF));
      drop(total);
    }
    if (FILL < 48) refill();
    uint32_t distance;
    const uint32_t d = dist_fast[bits & DIST_FAST_MASK];
    if (d != 0) {
      const uint32_t total = d & 0xFF;
      distance = (d >> 16) + ((static_cast<uint32_t>(bits) & Mask(total)) >> ((d >> 8) & 0xFF));
      drop(total);
    } else {
      TableEntry t = dist_area[bits & dist_mask];
      while (t.op > OP_LITERAL) {
        if (t.op == OP_INVALID) {
          result = DATA_ERROR;
          goto done;
        }
        drop(t.bits);
        t = dist_area[t.value + (bits & Mask(t.op - 16u))];
      }
      drop(t.bits);
      if (FILL < 48) refill();
      distance = t.value + (static_cast<uint32_t>(bits) & Mask(t.op));
      drop(t.op);
    }
    refill();
    e = lit_fast[bits & LIT_FAST_MASK];
    if (distance <= static_cast<uint32_t>(out - out_start)) {
      out = CopyNear(out, distance, length);
    } else {
      out = CopyMatch(out, out_start, distance, length);
    }
    fast = room();
  }

  // Careful path: exact bit accounting and output limit per byte.
  for (;;) {
    need(lit_bits);
    TableEntry e = lit_area[bits & lit_mask];
    while (e.op > OP_LITERAL) {
      if (e.op == OP_INVALID) {
        result = DATA_ERROR;
        goto done;
      }
      drop(e.bits);
      need(e.op - 16u);
      e = lit_area[e.value + (bits & Mask(e.op - 16u))];
    }
    drop(e.bits);
    if (e.op == OP_LITERAL) {
      *out++ = static_cast<uint8_t>(e.value);
      if (out == out_end) {
        result = OUTPUT_FULL;
        goto done;
      }
      continue;
    }
    if (e.op == OP_END_OF_BLOCK) {
      result = BLOCK_END;
      goto done;
    }
    need(e.op);
    uint32_t length = e.value + (static_cast<uint32_t>(bits) & Mask(e.op));
    drop(e.op);
    need(dist_bits);
    TableEntry d = dist_area[bits & dist_mask];
    while (d.op > OP_LITERAL) {
      if (d.op == OP_INVALID) {
        result = DATA_ERROR;
        goto done;
      }
      drop(d.bits);
      need(d.op - 16u);
      d = dist_area[d.value + (bits & Mask(d.op - 16u))];
    }
    drop(d.bits);
    need(d.op);
    const uint32_t distance = d.value + (static_cast<uint32_t>(bits) & Mask(d.op));
    drop(d.op);
    const uint32_t room = static_cast<uint32_t>(out_end - out);
    if (length >= room) {
      out = CopyMatch(out, out_start, distance, room);
      result = OUTPUT_FULL;
      goto done;
    }
    out = CopyMatch(out, out_start, distance, length);
  }

done:
  c.bits = bits;
  c.count = count;
  c.in = in;
  c.zeros = zeros;
  c.out = out;
  return result;
}

// Stored block: LEN bytes straight from the input after a byte-aligned
// LEN/NLEN pair. Returns false on a data error.
bool DecodeStored(Cursor& c) {
  const uint32_t align = c.count & 7;
  c.bits >>= align;
  c.count -= align;
  const uint32_t length = Take(c, 16);
  const uint32_t complement = Take(c, 16);
  if (length != (~complement & 0xFFFF)) return false;
  // The bit buffer now holds only whole bytes; give them back to the input.
  const uint32_t input_length = static_cast<uint32_t>(c.in_end - c.in_begin);
  const uint64_t position = static_cast<uint64_t>(c.in - c.in_begin) + c.zeros - c.count / 8;
  if (position > input_length) return false;  // LEN and NLEN lay past the end
  c.in = c.in_begin + position;
  c.zeros = 0;
  c.bits = 0;
  c.count = 0;
  if (length > static_cast<uint32_t>(c.in_end - c.in)) return false;
  uint32_t copy = length;
  const uint32_t room = static_cast<uint32_t>(c.out_end - c.out);
  if (copy > room) copy = room;
  std::memcpy(c.out, c.in, copy);
  c.out += copy;
  c.in += length;
  return true;
}

// Dynamic block: reads the code descriptions, builds both tables in the
// state's area and decodes the block. Returns the symbols' result.
CodesResult DecodeDynamic(Cursor& c, InflateState* state) {
  const uint32_t literal_count = Take(c, 5) + 257;
  const uint32_t distance_count = Take(c, 5) + 1;
  const uint32_t code_length_count = Take(c, 4) + 4;
  if (literal_count > 286 || distance_count > 30) return DATA_ERROR;

  uint8_t lengths[286 + 30];
  uint8_t code_lengths[19] = {};
  for (uint32_t i = 0; i < code_length_count; ++i) {
    code_lengths[CODE_LENGTH_ORDER[i]] = static_cast<uint8_t>(Take(c, 3));
  }
  TableEntry* const main_area = state->table;
  TableEntry* const distance_area = state->table + MAIN_AREA_SIZE;
  uint32_t bits = 7;
  if (BuildTable(code_lengths, 19, 19, nullptr, nullptr, main_area, MAIN_AREA_SIZE, &bits) !=
      COMPLETE) {
    return DATA_ERROR;
  }
  // A complete code-length code of all zeros has no symbols at all.
  const TableEntry* const code_table = bits == 0 ? EMPTY_TABLE : main_area;

  const uint32_t total = literal_count + distance_count;
  uint32_t previous = 0;
  for (uint32_t i = 0; i < total;) {
    Need(c, bits);
    const TableEntry e = code_table[static_cast<uint32_t>(c.bits) & Mask(bits)];
    // The code-length table has no sub-tables; a left-over code of a
    // one-code set is invalid.
    if (e.op == OP_INVALID) return DATA_ERROR;
    c.bits >>= e.bits;
    c.count -= e.bits;
    const uint32_t symbol = e.value;
    uint32_t repeat;
    uint32_t value;
    if (symbol < 16) {
      lengths[i++] = static_cast<uint8_t>(symbol);
      previous = symbol;
      continue;
    } else if (symbol == 16) {
      repeat = 3 + Take(c, 2);
      value = previous;
    } else if (symbol == 17) {
      repeat = 3 + Take(c, 3);
      value = 0;
      previous = 0;
    } else {
      repeat = 11 + Take(c, 7);
      value = 0;
      previous = 0;
    }
    if (i + repeat > total) return DATA_ERROR;
    std::memset(lengths + i, static_cast<int>(value), repeat);
    i += repeat;
  }

  uint32_t literal_bits = 9;
  if (BuildTable(lengths, literal_count, 257, LENGTH_BASE, LENGTH_EXTRA, main_area, MAIN_AREA_SIZE,
                 &literal_bits) != COMPLETE) {
    return DATA_ERROR;
  }
  uint32_t distance_bits = 6;
  if (BuildTable(lengths + literal_count, distance_count, 0, DISTANCE_BASE, DISTANCE_EXTRA,
                 distance_area, DISTANCE_AREA_SIZE, &distance_bits) != COMPLETE) {
    return DATA_ERROR;
  }
  BuildLiteralFast(lengths, literal_count, state->literal_fast);
  BuildDistanceFast(lengths + literal_count, distance_count, state->distance_fast);
  const DecodeTable literals = {literal_bits == 0 ? EMPTY_TABLE : main_area, literal_bits,
                                state->literal_fast};
  const DecodeTable distances = {distance_bits == 0 ? EMPTY_TABLE : distance_area, distance_bits,
                                 state->distance_fast};
  return DecodeCodes(c, literals, distances);
}

bool ValidHandle(const MszipDecoder* handle) {
  return handle != nullptr && handle->signature == SIGNATURE;
}

}  // namespace

int32_t MszipCreate(uint32_t* maxUncompressed, CabAllocFn alloc, CabFreeFn free,
                    uint32_t* maxCompressed, MszipDecoder** handle) {
  if (maxUncompressed == nullptr || maxCompressed == nullptr) return CODEC_BAD_PARAMETER;
  if (*maxUncompressed == 0 || *maxUncompressed > CODEC_MAX_BLOCK) {
    *maxUncompressed = CODEC_MAX_BLOCK;
  }
  *maxCompressed = *maxUncompressed + INPUT_SLACK;
  if (handle == nullptr) return CODEC_OK;
  *handle = nullptr;
  if (alloc == nullptr || free == nullptr) return CODEC_BAD_PARAMETER;

  auto* decoder = static_cast<MszipDecoder*>(alloc(sizeof(MszipDecoder)));
  if (decoder == nullptr) return CODEC_NO_MEMORY;
  auto* state = static_cast<InflateState*>(alloc(sizeof(InflateState)));
  if (state == nullptr) {
    free(decoder);
    return CODEC_NO_MEMORY;
  }
  std::memset(state, 0, sizeof(InflateState));
  if (!fixed_tables_built) BuildFixedTables();

  decoder->signature = SIGNATURE;
  decoder->free = free;
  decoder->maximum = *maxUncompressed;
  decoder->state = state;
  *handle = decoder;
  return CODEC_OK;
}

int32_t MszipDecompress(MszipDecoder* handle, const uint8_t* input, uint32_t inputSize,
                        uint8_t* output, uint32_t* outputSize) {
  if (!ValidHandle(handle)) return CODEC_BAD_HANDLE;
  if (inputSize > handle->maximum + INPUT_SLACK) return CODEC_BAD_PARAMETER;
  if (output == nullptr || outputSize == nullptr) return CODEC_BAD_PARAMETER;
  if (inputSize < 2) return CODEC_DATA_ERROR;
  if (input == nullptr) return CODEC_BAD_PARAMETER;
  if (input[0] != 'C' || input[1] != 'K') return CODEC_DATA_ERROR;

  InflateState* const state = handle->state;
  state->input = input + 2;
  state->input_length = inputSize - 2;
  state->input_consumed = 0;
  state->bit_buffer = 0;
  state->bit_count = 0;
  state->last_block = 0;
  state->output = output;
  state->output_start = output;
  state->output_limit = handle->maximum;
  uint32_t allowed = *outputSize;
  if (allowed > handle->maximum) allowed = handle->maximum;
  state->output_remaining = allowed;
  if (allowed == 0) {
    *outputSize = 0;
    return CODEC_OK;
  }

  Cursor c;
  c.in = state->input;
  c.in_begin = state->input;
  c.in_end = state->input + state->input_length;
  c.zeros = 0;
  c.bits = 0;
  c.count = 0;
  c.out = output;
  c.out_start = output;
  c.out_end = output + allowed;

  bool ok = true;
  while (ok && state->last_block == 0 && c.out != c.out_end) {
    state->last_block = Take(c, 1);
    const uint32_t type = Take(c, 2);
    CodesResult result = BLOCK_END;
    if (type == 0) {
      ok = DecodeStored(c);
    } else if (type == 1) {
      result = DecodeCodes(c, fixed_literal_table, fixed_distance_table);
    } else if (type == 2) {
      result = DecodeDynamic(c, state);
    } else {
      ok = false;
    }
    if (result == DATA_ERROR) ok = false;
  }

  // Zero bits past the end may be looked at, never used: a block that took
  // any of them was cut short.
  if (c.zeros * 8 > c.count) ok = false;

  // Keep the state's view current; it is rebuilt on every call.
  state->output = c.out;
  state->input_consumed = static_cast<uint32_t>(c.in - c.in_begin);
  state->output_remaining = static_cast<uint32_t>(c.out_end - c.out);
  state->bit_buffer = c.bits;
  state->bit_count = c.count;
  if (!ok) return CODEC_DATA_ERROR;
  *outputSize = allowed - state->output_remaining;
  return CODEC_OK;
}

int32_t MszipReset(MszipDecoder* handle) {
  return ValidHandle(handle) ? CODEC_OK : CODEC_BAD_HANDLE;
}

int32_t MszipDestroy(MszipDecoder* handle) {
  if (!ValidHandle(handle)) return CODEC_BAD_HANDLE;
  handle->signature = 0;
  CabFreeFn free = handle->free;
  free(handle->state);
  free(handle);
  return CODEC_OK;
}

// Quantum decoder: adaptive arithmetic coding over a sliding window of 2^10 to
// 2^21 bytes. All decoding state lives in one static instance; every operation
// first makes its handle the current one. When the window cannot be allocated
// it is kept in a spill file, paged through a small LRU cache of 4 KiB pages.
#include "codecs/quantum.h"

#include <array>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codecs/quantum_model.h"

namespace {

constexpr uint32_t QUANTUM_SIGNATURE = 0x43494451;  // "QDIC"
constexpr uint32_t COMPRESSED_SLACK = 10240;
constexpr uint32_t PAGE_SIZE = 4096;
constexpr uint32_t PAGE_SHIFT = 12;
constexpr uint32_t MIN_PAGE_BUFFERS = 3;
// Below four pages the written pages would wrap differently from the window.
constexpr uint32_t MIN_SPILL_WINDOW = 16384;
constexpr int32_t SPILL_OPEN_FLAGS = 0x8102;  // _O_BINARY | _O_CREAT | _O_RDWR
constexpr int32_t SPILL_OPEN_MODE = 0x180;    // _S_IREAD | _S_IWRITE

struct SpillPage {
  SpillPage* prev;
  SpillPage* next;
  int32_t page;  // -1 while it holds none
  int32_t changed;
  uint8_t data[PAGE_SIZE];
};

struct PageEntry {
  SpillPage* buffer;
  uint32_t saved;
};

#if defined(__SSE2__)
// Models in 16 bits, padded with zero entries to whole vectors of eight: a
// symbol is found, and its model adapted, by comparing every entry with the
// target at once (see Frame::symbol).
constexpr bool VECTOR_SEARCH = true;
using DecoderModel = quantum::BasicModel<uint16_t, 72>;
#else
constexpr bool VECTOR_SEARCH = false;
using DecoderModel = quantum::Model;
#endif
// Vectors of eight entries that hold a model of at most n symbols (n + 1
// entries).
constexpr int vectors_for(uint32_t n) {
  return static_cast<int>((n + 8) / 8);
}

}  // namespace

struct QuantumDecoder {
  uint32_t signature;
  CabAllocFn alloc;
  CabFreeFn free;
  CabOpenFn open;
  CabReadFn read;
  CabWriteFn write;
  CabCloseFn close;
  CabSeekFn seek;
  uint32_t max_uncompressed;
  int32_t processor_type;
};

namespace {

struct SpillState {
  int32_t file;
  uint32_t page_count;
  PageEntry* table;
  SpillPage* front;  // most recently used
  SpillPage* back;
  uint32_t write_page;
  SpillPage* write_buffer;  // null until the write page is taken
};

struct State {
  QuantumDecoder* current;
  // The one decoder that exists, if any.
  QuantumDecoder* live;
  uint32_t window_bits;
  uint32_t window_size;
  uint32_t window_mask;
  uint8_t* window;  // null in spill mode (the window is in a file)
  SpillState spill;
  uint32_t write_pos;
  bool spill_failed;
  quantum::BasicModels<DecoderModel> models;
};

State g;

// ---- spill file ----

void lru_unlink(SpillPage* p) {
  if (p->prev)
    p->prev->next = p->next;
  else
    g.spill.front = p->next;
  if (p->next)
    p->next->prev = p->prev;
  else
    g.spill.back = p->prev;
  p->prev = p->next = nullptr;
}

void lru_push_front(SpillPage* p) {
  p->prev = nullptr;
  p->next = g.spill.front;
  if (g.spill.front) g.spill.front->prev = p;
  g.spill.front = p;
  if (!g.spill.back) g.spill.back = p;
}

void spill_cache_reset() {
  for (SpillPage* p = g.spill.front; p; p = p->next) {
    p->page = -1;
    p->changed = 0;
  }
  for (uint32_t i = 0; i < g.spill.page_count; ++i) g.spill.table[i] = PageEntry{nullptr, 0};
  g.spill.write_page = 0;
  g.spill.write_buffer = nullptr;
}

bool spill_seek(uint32_t page) {
  const int32_t where = static_cast<int32_t>(page * PAGE_SIZE);
  return g.current->seek(g.spill.file, where, 0) == where;
}

// Makes page p resident and most recently used. A page that was never saved
// was never written either: it reads as zeros, as the memory window does.
SpillPage* spill_take(uint32_t p, bool for_writing) {
  PageEntry& entry = g.spill.table[p];
  SpillPage* b = entry.buffer;
  if (b) {
    lru_unlink(b);
    lru_push_front(b);
    if (for_writing) b->changed = 1;
    return b;
  }
  b = g.spill.back;
  if (b == g.spill.write_buffer) return nullptr;
  if (b->page >= 0) {
    PageEntry& old = g.spill.table[b->page];
    if (b->changed) {
      if (!spill_seek(static_cast<uint32_t>(b->page))) return nullptr;
      if (g.current->write(g.spill.file, b->data, PAGE_SIZE) != static_cast<int32_t>(PAGE_SIZE)) {
        return nullptr;
      }
      old.saved = 1;
    }
    old.buffer = nullptr;
    b->page = -1;
    b->changed = 0;
  }
  lru_unlink(b);
  lru_push_front(b);
  if (entry.saved) {
    if (!spill_seek(p)) return nullptr;
    if (g.current->read(g.spill.file, b->data, PAGE_SIZE) != static_cast<int32_t>(PAGE_SIZE)) {
      return nullptr;
    }
  } else {
    memset(b->data, 0, PAGE_SIZE);
  }
  b->page = static_cast<int32_t>(p);
  b->changed = for_writing ? 1 : 0;
  entry.buffer = b;
  return b;
}

// The current write page, resident and in front.
SpillPage* spill_write_page() {
  SpillPage* b = spill_take(g.spill.write_page, true);
  if (b) g.spill.write_buffer = b;
  return b;
}

void spill_free_buffers() {
  SpillPage* p = g.spill.front;
  while (p) {
    SpillPage* next = p->next;
    g.current->free(p);
    p = next;
  }
  g.spill.front = g.spill.back = nullptr;
}

bool spill_setup() {
  QuantumDecoder* h = g.current;
  if (!h->open || !h->read || !h->write || !h->close || !h->seek) return false;
  if (g.window_size < MIN_SPILL_WINDOW) return false;
  char name[8] = {'*', 0};
  const uint32_t size = g.window_size;
  memcpy(name + 2, &size, sizeof size);
  const int32_t file = h->open(name, SPILL_OPEN_FLAGS, SPILL_OPEN_MODE);
  if (file == -1) return false;
  g.spill = SpillState{};
  g.spill.file = file;
  g.spill.page_count = g.window_size / PAGE_SIZE;
  g.spill.table = static_cast<PageEntry*>(h->alloc(g.spill.page_count * sizeof(PageEntry)));
  if (!g.spill.table) {
    h->close(file);
    return false;
  }
  uint32_t buffers = 0;
  while (buffers < g.spill.page_count) {
    SpillPage* p = static_cast<SpillPage*>(h->alloc(sizeof(SpillPage)));
    if (!p) break;
    lru_push_front(p);
    ++buffers;
  }
  if (buffers < MIN_PAGE_BUFFERS) {
    spill_free_buffers();
    h->free(g.spill.table);
    g.spill.table = nullptr;
    h->close(file);
    return false;
  }
  spill_cache_reset();
  return true;
}

void spill_teardown() {
  spill_free_buffers();
  g.current->free(g.spill.table);
  g.spill.table = nullptr;
  g.current->close(g.spill.file);
}

// ---- one frame ----

// floor(cum * range / T) for cum <= T < 2^12 and range <= 2^16, so that
// cum * range < 2^28.
#if UINTPTR_MAX > 0xFFFFFFFFu
// One multiplier and no correction: with m = ceil(2^40 / T) = (2^40 + e) / T,
// 0 <= e < T, x * m / 2^40 exceeds x / T by x * e / (T * 2^40), less than
// 1 / T for x <= T * 2^16 and T <= 2^12, so its floor is floor(x / T); and
// x * m < 2^57. The multipliers come from a table: a 64-bit division on
// every symbol cost more than the table's loads.
constexpr uint32_t MAX_TOTAL = quantum::MODEL_RESCALE_LIMIT + quantum::MODEL_INCREMENT;
static_assert(MAX_TOTAL < 1u << 12);
constexpr auto TOTAL_MULTIPLIERS = [] {
  std::array<uint64_t, MAX_TOTAL + 1> m{};
  for (uint32_t t = 1; t <= MAX_TOTAL; ++t) m[t] = ((uint64_t{1} << 40) - 1) / t + 1;
  return m;
}();
class Quotient {
 public:
  Quotient(uint32_t total, uint32_t range) : range_multiplier_(range * TOTAL_MULTIPLIERS[total]) {}
  uint32_t operator()(uint32_t cum) const {
    return static_cast<uint32_t>((cum * range_multiplier_) >> 40);
  }

 private:
  uint64_t range_multiplier_;
};
#else
// One reciprocal in 32 bits: floor(x * r / 2^32) with r = floor((2^32 - 1) /
// T) is the exact quotient or one below it for x < 2^28, and one comparison
// corrects it.
class Quotient {
 public:
  Quotient(uint32_t total, uint32_t range)
      : total_(total), range_(range), reciprocal_(0xFFFFFFFFu / total) {}
  uint32_t operator()(uint32_t cum) const {
    const uint32_t x = cum * range_;
    uint32_t q = static_cast<uint32_t>((static_cast<uint64_t>(x) * reciprocal_) >> 32);
    if (x - q * total_ >= total_) ++q;
    return q;
  }

 private:
  uint32_t total_, range_, reciprocal_;
};
#endif

struct Frame {
  const uint8_t* in;
  uint32_t in_left;
  // The code C in the top 16 bits, then the input's next bits, most
  // significant first: `count` of those are real. Renormalising is then
  // one shift of the whole.
  uint64_t stream;
  uint32_t count;
  bool exhausted;
  uint32_t low, high;
  uint8_t* out;
  uint32_t due;
  bool overrun;
  // The window's, kept here for the frame: a byte store to the window or
  // the output may alias the decoder's state in memory, but not a local.
  uint8_t* window;  // null in spill mode
  uint32_t window_mask;
  uint32_t write_pos;

  uint32_t code() const { return static_cast<uint32_t>(stream >> 48); }

  // As many whole input bytes below C as fit: 41 bits or more while the
  // input lasts.
  void refill() {
    if (in_left >= 8) {
      // Eight bytes at once, as many whole ones taken as fit. The low bits
      // past `count` are the next bytes' own, so ORing them in again later
      // changes nothing.
      uint64_t word = 0;
      for (uint32_t k = 0; k < 8; ++k) word = (word << 8) | in[k];
      stream |= (word >> 16) >> count;  // count may be 48
      const uint32_t taken = (48 - count) >> 3;
      in += taken;
      in_left -= taken;
      count += taken * 8;
    }
    while (count <= 40 && in_left) {
      stream |= static_cast<uint64_t>(*in++) << (40 - count);
      --in_left;
      count += 8;
    }
  }

  // At least n (up to 24) real bits below C. Past the input's end the bits
  // are 0 and the input counts as exhausted.
  void need(uint32_t n) {
    if (count >= n) return;
    refill();
    if (count < n) {
      exhausted = true;
      count = n;
    }
  }

  // n (0 to 24) bits after C, first bit most significant; C stays.
  uint32_t bits(uint32_t n) {
    need(n);
    const uint64_t after = stream << 16;
    // Two shifts, so that n == 0 needs no shift by 64.
    const uint32_t v = static_cast<uint32_t>((after >> 1) >> (63 - n));
    stream = (stream & 0xFFFF000000000000u) | ((after << n) >> 16);
    count -= n;
    return v;
  }

  // C takes the next n (up to 16) bits, then its top bit flips when `flip`.
  void shift(uint32_t n, bool flip) {
    need(n);
    stream = (stream << n) ^ (static_cast<uint64_t>(flip) << 63);
    count -= n;
  }

  // Decodes a symbol of a model of at most 8 * Vectors - 1 symbols. Without
  // vectors every model takes the same (one) search.
  template <int Vectors>
  uint32_t symbol(DecoderModel& m) {
    return search < VECTOR_SEARCH ? Vectors : 1 > (m);
  }

  template <int Vectors>
  CABSFX_HOT uint32_t search(DecoderModel& m) {
    // Registers in locals: stores to the members followed by wider loads of
    // them would stall store forwarding on every symbol.
    uint32_t lo = low, hi = high;
    const uint32_t c = code();
    const uint32_t total = m.cum[0];
    const uint32_t range = hi - lo + 1;
    // The symbol is the first entry whose next cumulative frequency is not
    // above ((C - L + 1) * T - 1) / range (totals stay below 3809 and range
    // at most 2^16, so the product stays below 2^28).
    const uint32_t scaled = (c - lo + 1) * total - 1;
    const Quotient quotient(total, range);
    uint32_t cum_i, cum_next, index;
#if defined(__SSE2__)
    if constexpr (Vectors > 1) {
      // The entries above the target are exactly entry 0 up to the symbol's
      // entry (the values fall strictly, and entry n is 0): those are the
      // ones that gain the increment, and their count locates the symbol.
      // No loop exit to mispredict.
      // Entry n is 0 and n is at most 64: entries from 64 on never count.
      constexpr int VECTORS = Vectors < 8 ? Vectors : 8;
      const __m128i t = _mm_set1_epi16(static_cast<int16_t>(scaled / range));
      __m128i x[VECTORS], gt[VECTORS + 1];
      for (int v = 0; v < VECTORS; ++v) {
        x[v] = _mm_load_si128(reinterpret_cast<__m128i*>(m.cum + 8 * v));
        gt[v] = _mm_cmpgt_epi16(x[v], t);
      }
      gt[VECTORS] = _mm_setzero_si128();
      // One bit per entry, entry 0 lowest; the entries above the target are
      // its lowest bits.
      uint64_t above = 0;
      for (int v = 0; v < VECTORS; v += 2) {
        const uint32_t bits16 =
            static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(gt[v], gt[v + 1])));
        above |= static_cast<uint64_t>(bits16) << (8 * v);
      }
      // All 64 above: the symbol is the 64th (the largest model's last).
      index = (~above != 0 ? static_cast<uint32_t>(__builtin_ctzll(~above)) : 64) - 1;
      // Read before the model adapts: the loads need not wait for the stores.
      cum_i = m.cum[index];
      cum_next = m.cum[index + 1];
      const __m128i increment = _mm_set1_epi16(quantum::MODEL_INCREMENT);
      for (int v = 0; v < VECTORS; ++v) {
        _mm_store_si128(reinterpret_cast<__m128i*>(m.cum + 8 * v),
                        _mm_add_epi16(x[v], _mm_and_si128(gt[v], increment)));
      }
    } else
#endif
    {
      // The search also adapts: every entry passed, and the one found, gains
      // the increment (entries after it keep their values). One loop, so one
      // hard-to-predict exit per symbol. cum[n] is 0: it stops at n - 1.
      // Each entry is loaded once: the one ahead becomes the current one.
      auto* at = m.cum;
      cum_i = at[0];
      cum_next = at[1];
      while (cum_next * range > scaled) {
        *at++ = cum_i + quantum::MODEL_INCREMENT;
        cum_i = cum_next;
        cum_next = at[1];
      }
      *at = cum_i + quantum::MODEL_INCREMENT;
      index = static_cast<uint32_t>(at - m.cum);
    }
    const uint32_t sym = m.symbol[index];
    hi = (lo + quotient(cum_i) - 1) & 0xFFFF;
    lo = (lo + quotient(cum_next)) & 0xFFFF;
    // Renormalisation in one shift of s = k + j bits. The interval keeps
    // more than 2^14 values and low <= high: after the k leading bits that
    // low and high share, low's next bit is 0 and high's 1. Then, while the
    // interval straddles the middle (low's next bit 1, high's 0), that second
    // bit goes: j times, with the code's top bit flipped once.
    const uint32_t k = static_cast<uint32_t>(__builtin_clz(((lo ^ hi) << 16) | 0x8000));
    // k is at most 14 (the new interval holds at least 4 values: T < 2^12).
    const uint32_t j = static_cast<uint32_t>(__builtin_clz(~((lo & ~hi) << (k + 17))));
    const uint32_t s = k + j;
    low = (lo << s) & 0x7FFF;
    high = ((((hi + 1) << s) - 1) | 0x8000) & 0xFFFF;
    shift(s, j != 0);
    if (m.cum[0] > quantum::MODEL_RESCALE_LIMIT) quantum::model_rescale(m);
    return sym;
  }
};

void put_literal(Frame& f, uint8_t byte) {
  *f.out++ = byte;
  if (f.window) {
    f.window[f.write_pos] = byte;
    f.write_pos = (f.write_pos + 1) & f.window_mask;
  } else {
    SpillPage* w = g.spill.write_buffer ? g.spill.write_buffer : spill_write_page();
    if (!w) {
      g.spill_failed = true;
      f.due = 0;
      return;
    }
    w->data[f.write_pos & (PAGE_SIZE - 1)] = byte;
    w->changed = 1;
    f.write_pos = (f.write_pos + 1) & f.window_mask;
    if ((f.write_pos & (PAGE_SIZE - 1)) == 0) {
      g.spill.write_page = f.write_pos >> PAGE_SHIFT;
      g.spill.write_buffer = nullptr;
    }
  }
  --f.due;
}

void copy_match_spill(Frame& f, uint32_t src, uint32_t length) {
  while (length) {
    SpillPage* w = spill_write_page();
    SpillPage* s = w ? spill_take(src >> PAGE_SHIFT, false) : nullptr;
    if (!s) {
      g.spill_failed = true;
      f.due = 0;
      return;
    }
    const uint32_t src_off = src & (PAGE_SIZE - 1);
    const uint32_t dst_off = f.write_pos & (PAGE_SIZE - 1);
    uint32_t n = PAGE_SIZE - src_off;
    if (PAGE_SIZE - dst_off < n) n = PAGE_SIZE - dst_off;
    if (length < n) n = length;
    for (uint32_t k = 0; k < n; ++k) {
      const uint8_t byte = s->data[src_off + k];
      w->data[dst_off + k] = byte;
      *f.out++ = byte;
    }
    length -= n;
    src = (src + n) & f.window_mask;
    f.write_pos = (f.write_pos + n) & f.window_mask;
    if ((f.write_pos & (PAGE_SIZE - 1)) == 0) {
      g.spill.write_page = f.write_pos >> PAGE_SHIFT;
      g.spill.write_buffer = nullptr;
    }
  }
}

void put_match(Frame& f, uint32_t offset, uint32_t length) {
  if (f.due < length) {
    f.overrun = true;
    f.due = 0;
    return;
  }
  f.due -= length;
  uint32_t src = (f.write_pos - offset) & f.window_mask;
  if (!f.window) {
    copy_match_spill(f, src, length);
    return;
  }
  uint8_t* window = f.window;
  const uint32_t mask = f.window_mask;
  uint32_t dst = f.write_pos;
  uint8_t* out = f.out;
  if (src + length <= mask + 1 && dst + length <= mask + 1) {
    if (dst >= src + length || src >= dst + length) {
      // Apart: plain copies.
      memcpy(window + dst, window + src, length);
      memcpy(out, window + dst, length);
    } else {
      // Overlapping runs repeat what was just written: forward, byte by byte.
      for (uint32_t k = 0; k < length; ++k) out[k] = window[dst + k] = window[src + k];
    }
  } else {
    for (uint32_t k = 0; k < length; ++k) {
      const uint8_t byte = window[src];
      window[dst] = byte;
      out[k] = byte;
      src = (src + 1) & mask;
      dst = (dst + 1) & mask;
    }
  }
  f.out = out + length;
  f.write_pos = (f.write_pos + length) & mask;
}

template <int Vectors>
uint32_t match_offset(Frame& f, DecoderModel& m) {
  const uint32_t slot = f.symbol<Vectors>(m);
  return quantum::POSITION.base[slot] + f.bits(quantum::POSITION.extra[slot]) + 1;
}

CABSFX_HOT void decode_item(Frame& f) {
  // Once per item, whatever the count: a literal's two symbols take at most
  // 32 bits, so their own checks then hold, where a check per symbol that
  // sometimes fails is a mispredicted branch.
  f.refill();
  auto& models = g.models;
  const uint32_t selector = f.symbol<vectors_for(7)>(models.m[quantum::MODEL_SELECTOR]);
  if (selector < 4) {
    const uint32_t literal =
        f.symbol<vectors_for(64)>(models.m[quantum::MODEL_LITERAL0 + selector]);
    put_literal(f, static_cast<uint8_t>(literal + 64 * selector));
    return;
  }
  uint32_t offset;
  uint32_t length;
  if (selector == 4) {
    length = 3;
    offset = match_offset<vectors_for(24)>(f, models.m[quantum::MODEL_POSITION4]);
  } else if (selector == 5) {
    length = 4;
    offset = match_offset<vectors_for(36)>(f, models.m[quantum::MODEL_POSITION5]);
  } else {
    const uint32_t l =
        f.symbol<vectors_for(quantum::LENGTH_SLOTS)>(models.m[quantum::MODEL_LENGTH]);
    length = quantum::LENGTH.base[l] + f.bits(quantum::LENGTH.extra[l]) + quantum::LONG_MATCH_MIN;
    offset = match_offset<vectors_for(42)>(f, models.m[quantum::MODEL_POSITION6]);
  }
  put_match(f, offset, length);
}

CABSFX_CLONED int32_t decode_frame(const uint8_t* input, uint32_t input_size, uint8_t* output,
                                   uint32_t output_size) {
  Frame f{};
  f.in = input;
  f.in_left = input_size;
  f.out = output;
  f.due = output_size;
  f.low = 0;
  f.high = 0xFFFF;
  f.window = g.window;
  f.window_mask = g.window_mask;
  f.write_pos = g.write_pos;
  f.shift(16, false);  // C = the first 16 bits
  while (f.due && !f.exhausted) decode_item(f);
  g.write_pos = f.write_pos;
  if (f.exhausted || f.overrun || g.spill_failed) return CODEC_DATA_ERROR;
  return CODEC_OK;
}

bool valid(const QuantumDecoder* h) {
  return h && h->signature == QUANTUM_SIGNATURE;
}

}  // namespace

int32_t QuantumCreate(uint32_t* maxUncompressed, const QuantumParameters* parameters,
                      CabAllocFn alloc, CabFreeFn free, uint32_t* maxCompressed,
                      QuantumDecoder** handle, CabOpenFn open, CabReadFn read, CabWriteFn write,
                      CabCloseFn close, CabSeekFn seek) {
  if (!maxUncompressed || !parameters || !maxCompressed) return CODEC_BAD_PARAMETER;
  if (parameters->window_bits < quantum::MIN_WINDOW_BITS ||
      parameters->window_bits > quantum::MAX_WINDOW_BITS) {
    return CODEC_BAD_WINDOW;
  }
  if (*maxUncompressed == 0 || *maxUncompressed > CODEC_MAX_BLOCK) {
    *maxUncompressed = CODEC_MAX_BLOCK;
  }
  *maxCompressed = *maxUncompressed + COMPRESSED_SLACK;
  if (!handle) return CODEC_OK;
  *handle = nullptr;
  if (!alloc || !free) return CODEC_BAD_PARAMETER;
  // The state is process-wide: a second decoder would take over the first's window.
  if (g.live) return CODEC_NO_MEMORY;

  QuantumDecoder* h = static_cast<QuantumDecoder*>(alloc(sizeof(QuantumDecoder)));
  if (!h) return CODEC_NO_MEMORY;
  *h = QuantumDecoder{
      QUANTUM_SIGNATURE,         alloc, free, open, read, write, close, seek, *maxUncompressed,
      parameters->processor_type};
  g.current = h;
  g.write_pos = 0;
  g.spill_failed = false;
  g.window_bits = parameters->window_bits;
  g.window_size = 1u << g.window_bits;
  g.window_mask = g.window_size - 1;
  g.window = static_cast<uint8_t*>(alloc(g.window_size));
  if (g.window) {
    memset(g.window, 0, g.window_size);
  } else if (!spill_setup()) {
    h->signature = 0;
    free(h);
    g.current = nullptr;
    return CODEC_NO_MEMORY;
  }
  quantum::models_init(g.models, g.window_bits);
  g.live = h;
  *handle = h;
  return CODEC_OK;
}

int32_t QuantumDecompress(QuantumDecoder* handle, const uint8_t* input, uint32_t inputSize,
                          uint8_t* output, uint32_t* outputSize) {
  if (!valid(handle)) return CODEC_BAD_HANDLE;
  g.current = handle;
  if (!outputSize || *outputSize > handle->max_uncompressed) return CODEC_BAD_PARAMETER;
  if ((!output && *outputSize) || (!input && inputSize)) return CODEC_BAD_PARAMETER;
  return decode_frame(input, inputSize, output, *outputSize);
}

int32_t QuantumReset(QuantumDecoder* handle) {
  if (!valid(handle)) return CODEC_BAD_HANDLE;
  g.current = handle;
  g.write_pos = 0;
  g.spill_failed = false;
  if (!g.window) {
    // The window keeps its bytes across a reset, in the file as in memory:
    // only the write position goes back to page 0.
    g.spill.write_page = 0;
    g.spill.write_buffer = nullptr;
  }
  quantum::models_init(g.models, g.window_bits);
  return CODEC_OK;
}

int32_t QuantumDestroy(QuantumDecoder* handle) {
  if (!valid(handle)) return CODEC_BAD_HANDLE;
  g.current = handle;
  if (g.window) {
    handle->free(g.window);
  } else {
    spill_teardown();
  }
  g.window = nullptr;
  handle->signature = 0;
  if (g.live == handle) g.live = nullptr;
  g.current = nullptr;
  handle->free(handle);
  return CODEC_OK;
}

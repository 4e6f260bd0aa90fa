#include "writer/quantum_stream.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

QuantumStreamEncoder::QuantumStreamEncoder(uint32_t window_bits) : window_bits_(window_bits) {
  // Offsets of each length's position model form one range from 1.
  for (uint32_t kind = 0; kind < 3; ++kind) {
    const uint32_t length = 3 + kind;
    uint32_t low = 0, high = 1u << window_bits;  // fits at low (or low is 0), not at high
    while (high - low > 1) {
      const uint32_t mid = low + (high - low) / 2;
      (match_fits(window_bits, mid, length) ? low : high) = mid;
    }
    farthest_[kind] = low;
  }
  reset_models();
}

void QuantumStreamEncoder::reset_models() {
  quantum::models_init(models_, window_bits_);
  for (const quantum::Model& m : models_.m) index_symbols(m);
}

namespace {
// floor(2^44 / d) + 1 for d below 4096: n * v[d] >> 44 is n / d for every n
// below 2^28, the most a model's cumulative frequency times the coder's range
// reaches (frequencies stay below 3809, the range at most 2^16).
struct Reciprocals {
  uint64_t v[4096];
  Reciprocals() {
    v[0] = 0;
    for (uint64_t d = 1; d < 4096; ++d) v[d] = (uint64_t{1} << 44) / d + 1;
  }
};
const Reciprocals reciprocals;

inline uint32_t divide(uint32_t n, uint32_t d) {
#ifdef __SIZEOF_INT128__
  return static_cast<uint32_t>((static_cast<unsigned __int128>(n) * reciprocals.v[d]) >> 44);
#else
  return n / d;
#endif
}
}  // namespace

uint32_t QuantumStreamEncoder::Bits::get(size_t at, uint32_t count) const {
  const size_t i = at / 64;
  const uint32_t offset = at % 64;
  uint64_t v = word(i) << offset;
  if (offset + count > 64) v |= word(i + 1) >> (64 - offset);
  return static_cast<uint32_t>(v >> (64 - count));
}

void QuantumStreamEncoder::Bits::append_bytes(std::vector<uint8_t>& out) const {
  for (uint64_t w : words_)
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(w >> shift));
  for (uint32_t b = 0; b < fill_; b += 8) out.push_back(static_cast<uint8_t>(last_ >> (56 - b)));
}

void QuantumStreamEncoder::Bits::clear() {
  words_.clear();
  last_ = 0;
  fill_ = 0;
}

// A settled bit, then the deferred underflow bits, inverted.
void QuantumStreamEncoder::put_bit(uint32_t bit) {
  uint32_t count = std::min<uint32_t>(underflow_, 31);
  arith_.put((bit << count) | (bit ? 0 : (1u << count) - 1), count + 1);
  for (underflow_ -= count; underflow_ > 0; underflow_ -= count) {
    count = std::min<uint32_t>(underflow_, 31);
    arith_.put(bit ? 0 : (1u << count) - 1, count);
  }
}

void QuantumStreamEncoder::index_symbols(const quantum::Model& m) {
  uint8_t* entry = entry_[&m - models_.m];
  for (uint32_t i = 0; i < m.symbols; ++i) entry[m.symbol[i]] = static_cast<uint8_t>(i);
}

// Same interval arithmetic as the decoder; the straddle case (low in the second
// quarter, high in the third) is deferred as underflow bits, which come out
// inverted after the next settled bit.
void QuantumStreamEncoder::encode(quantum::Model& m, uint32_t symbol) {
  const uint32_t i = entry_[&m - models_.m][symbol];
  const uint32_t total = m.cum[0];
  const uint32_t range = high_ - low_ + 1;
  uint32_t low = (low_ + divide(m.cum[i + 1] * range, total)) & 0xFFFF;
  uint32_t high = (low_ + divide(m.cum[i] * range, total) - 1) & 0xFFFF;
  for (;;) {
    const uint32_t differ = low ^ high;
    if ((differ & 0x8000) == 0) {
      // All the top bits that low and high share are settled: out at once.
      const uint32_t n = differ ? static_cast<uint32_t>(__builtin_clz(differ)) - 16 : 16;
      if (underflow_) {
        put_bit(high >> 15);
        if (n > 1) arith_.put((high >> (16 - n)) & ((1u << (n - 1)) - 1), n - 1);
      } else {
        arith_.put(high >> (16 - n), n);
      }
      low = (low << n) & 0xFFFF;
      high = ((high << n) | ((1u << n) - 1)) & 0xFFFF;
      shifts_ += n;
      continue;
    }
    if (!(low & 0x4000) || (high & 0x4000)) break;
    ++underflow_;
    low = (low & 0x3FFF) << 1;
    high = (((high | 0x4000) << 1) | 1) & 0xFFFF;
    ++shifts_;
  }
  low_ = low;
  high_ = high;
  const uint32_t counter = m.rescale_counter;
  quantum::model_update(m, i);
  // A rebuild reorders the entries.
  if (m.rescale_counter != counter) index_symbols(m);
}

// The decoder reads raw bits straight from its bit reader, which runs 16 bits
// ahead of the arithmetic decoder's shifts: they belong after arithmetic bit
// shifts + 15.
void QuantumStreamEncoder::raw(uint32_t value, uint32_t bits) {
  if (bits) raw_.push_back(RawBits{shifts_ + 16, value, bits});
}

bool QuantumStreamEncoder::match_fits(uint32_t window_bits, uint32_t offset, uint32_t length) {
  if (offset == 0 || offset >= (1u << window_bits)) return false;
  if (length < 3 || length > quantum::MATCH_MAX) return false;
  const uint32_t window_size = 1u << window_bits;
  // Length 3 and 4 use the smaller position models; offsets stay below their
  // slot limits (the last slot would reach exactly 4096 or 262144).
  const uint32_t limit = length == 3 ? 4096 : length == 4 ? 262144 : 0xFFFFFFFFu;
  if (offset >= limit) return false;
  const uint32_t slot = quantum::position_slot(offset - 1);
  return slot < quantum::position_model_size(window_size, limit);
}

namespace {
// log2 of 0..4095 (totals stay below 3809).
struct Log2Table {
  float v[4096];
  Log2Table() {
    v[0] = 0;
    for (int i = 1; i < 4096; ++i) v[i] = std::log2(static_cast<float>(i));
  }
};
const Log2Table log2_table;
}  // namespace

void QuantumStreamEncoder::refresh_prices() {
  for (uint32_t k = 0; k < quantum::MODEL_COUNT; ++k) {
    const quantum::Model& m = models_.m[k];
    const float total = log2_table.v[m.cum[0]];
    for (uint32_t i = 0; i < m.symbols; ++i)
      price_[k][m.symbol[i]] = total - log2_table.v[m.cum[i] - m.cum[i + 1]];
  }
  for (uint32_t b = 0; b < 256; ++b)
    literal_price_[b] = price_[quantum::MODEL_SELECTOR][b >> 6] +
                        price_[quantum::MODEL_LITERAL0 + (b >> 6)][b & 63];
}

float QuantumStreamEncoder::match_price(uint32_t offset, uint32_t length) const {
  const uint32_t slot = quantum::position_slot(offset - 1);
  const float bits = quantum::POSITION.extra[slot];
  if (length == 3)
    return bits + price_[quantum::MODEL_SELECTOR][4] + price_[quantum::MODEL_POSITION4][slot];
  if (length == 4)
    return bits + price_[quantum::MODEL_SELECTOR][5] + price_[quantum::MODEL_POSITION5][slot];
  const uint32_t l = quantum::length_slot(length - quantum::LONG_MATCH_MIN);
  return bits + quantum::LENGTH.extra[l] + price_[quantum::MODEL_SELECTOR][6] +
         price_[quantum::MODEL_LENGTH][l] + price_[quantum::MODEL_POSITION6][slot];
}

void QuantumStreamEncoder::literal(uint8_t byte) {
  encode(models_.m[quantum::MODEL_SELECTOR], byte >> 6);
  encode(models_.m[quantum::MODEL_LITERAL0 + (byte >> 6)], byte & 63);
}

bool QuantumStreamEncoder::match(uint32_t offset, uint32_t length) {
  if (!fits(offset, length)) return false;
  quantum::Model* position;
  if (length == 3) {
    encode(models_.m[quantum::MODEL_SELECTOR], 4);
    position = &models_.m[quantum::MODEL_POSITION4];
  } else if (length == 4) {
    encode(models_.m[quantum::MODEL_SELECTOR], 5);
    position = &models_.m[quantum::MODEL_POSITION5];
  } else {
    encode(models_.m[quantum::MODEL_SELECTOR], 6);
    const uint32_t value = length - quantum::LONG_MATCH_MIN;
    const uint32_t l = quantum::length_slot(value);
    encode(models_.m[quantum::MODEL_LENGTH], l);
    raw(value - quantum::LENGTH.base[l], quantum::LENGTH.extra[l]);
    position = &models_.m[quantum::MODEL_POSITION6];
  }
  const uint32_t slot = quantum::position_slot(offset - 1);
  encode(*position, slot);
  raw(offset - 1 - quantum::POSITION.base[slot], quantum::POSITION.extra[slot]);
  return true;
}

void QuantumStreamEncoder::end_frame(std::vector<uint8_t>& out) {
  // Two settled bits pick a value inside [low, high] whatever follows; then
  // zeros up to the 16 + shifts bits the decoder's code register consumes.
  ++underflow_;
  put_bit(low_ < 0x4000 ? 0 : 1);
  while (arith_.size() < shifts_ + 16)
    arith_.put(0, static_cast<uint32_t>(std::min<size_t>(32, shifts_ + 16 - arith_.size())));

  // The raw bits go in between the arithmetic bits.
  Bits merged;
  size_t at = 0;
  auto copy_to = [&](size_t end) {
    for (; at < end; at += std::min<size_t>(32, end - at)) {
      const uint32_t count = static_cast<uint32_t>(std::min<size_t>(32, end - at));
      merged.put(arith_.get(at, count), count);
    }
  };
  for (const RawBits& r : raw_) {
    copy_to(r.before);
    merged.put(r.value, r.bits);
  }
  copy_to(arith_.size());
  merged.append_bytes(out);

  arith_.clear();
  raw_.clear();
  low_ = 0;
  high_ = 0xFFFF;
  underflow_ = 0;
  shifts_ = 0;
}

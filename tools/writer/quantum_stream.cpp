#include "writer/quantum_stream.h"

#include <cmath>
#include <cstddef>

QuantumStreamEncoder::QuantumStreamEncoder(uint32_t window_bits) : window_bits_(window_bits) {
  reset_models();
}

void QuantumStreamEncoder::reset_models() {
  quantum::models_init(models_, window_bits_);
  for (const quantum::Model& m : models_.m) index_symbols(m);
}

void QuantumStreamEncoder::put_bit(uint32_t bit) {
  arith_.push_back(static_cast<uint8_t>(bit));
  for (; underflow_; --underflow_) arith_.push_back(static_cast<uint8_t>(bit ^ 1));
}

// Same interval arithmetic as the decoder; the straddle case (low in the second
// quarter, high in the third) is deferred as underflow bits, which come out
// inverted after the next settled bit.
void QuantumStreamEncoder::index_symbols(const quantum::Model& m) {
  uint8_t* entry = entry_[&m - models_.m];
  for (uint32_t i = 0; i < m.symbols; ++i) entry[m.symbol[i]] = static_cast<uint8_t>(i);
}

void QuantumStreamEncoder::encode(quantum::Model& m, uint32_t symbol) {
  const uint32_t i = entry_[&m - models_.m][symbol];
  const uint32_t total = m.cum[0];
  const uint32_t range = high_ - low_ + 1;
  const uint32_t old_low = low_;
  high_ = (old_low + m.cum[i] * range / total - 1) & 0xFFFF;
  low_ = (old_low + m.cum[i + 1] * range / total) & 0xFFFF;
  for (;;) {
    if (((low_ ^ high_) & 0x8000) == 0) {
      put_bit(high_ >> 15);
    } else if ((low_ & 0x4000) && !(high_ & 0x4000)) {
      ++underflow_;
      low_ &= 0x3FFF;
      high_ |= 0x4000;
    } else {
      break;
    }
    low_ = (low_ << 1) & 0xFFFF;
    high_ = ((high_ << 1) | 1) & 0xFFFF;
    ++shifts_;
  }
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
  if (!match_fits(window_bits_, offset, length)) return false;
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
  while (arith_.size() < shifts_ + 16) arith_.push_back(0);

  uint32_t acc = 0;
  uint32_t count = 0;
  auto emit = [&](uint32_t bit) {
    acc = (acc << 1) | bit;
    if (++count == 8) {
      out.push_back(static_cast<uint8_t>(acc));
      acc = 0;
      count = 0;
    }
  };
  size_t r = 0;
  for (size_t k = 0; k <= arith_.size(); ++k) {
    for (; r < raw_.size() && raw_[r].before == k; ++r) {
      for (uint32_t b = raw_[r].bits; b-- > 0;) emit((raw_[r].value >> b) & 1);
    }
    if (k < arith_.size()) emit(arith_[k]);
  }
  if (count) out.push_back(static_cast<uint8_t>(acc << (8 - count)));

  arith_.clear();
  raw_.clear();
  low_ = 0;
  high_ = 0xFFFF;
  underflow_ = 0;
  shifts_ = 0;
}

// Quantum's adaptive models and slot tables, shared by the decoder and the
// writer's encoder so that both adapt in exactly the same way.
#pragma once
#include <cstdint>
#include <type_traits>

namespace quantum {

constexpr uint32_t MODEL_MAX_SYMBOLS = 64;
constexpr uint32_t MODEL_RESCALE_LIMIT = 3800;
constexpr uint32_t MODEL_INCREMENT = 8;
constexpr uint32_t POSITION_SLOTS = 42;
constexpr uint32_t LENGTH_SLOTS = 27;
constexpr uint32_t MIN_WINDOW_BITS = 10;
constexpr uint32_t MAX_WINDOW_BITS = 21;
// Shortest match of selector 6, and the longest match at all.
constexpr uint32_t LONG_MATCH_MIN = 5;
constexpr uint32_t MATCH_MAX = 259;

struct PositionSlots {
  uint8_t extra[POSITION_SLOTS];
  uint32_t base[POSITION_SLOTS];
};
struct LengthSlots {
  uint8_t extra[LENGTH_SLOTS];
  uint32_t base[LENGTH_SLOTS];
};

constexpr PositionSlots make_position_slots() {
  PositionSlots t{};
  uint32_t base = 0;
  for (uint32_t s = 0; s < POSITION_SLOTS; ++s) {
    t.extra[s] = static_cast<uint8_t>(s < 4 ? 0 : s / 2 - 1);
    t.base[s] = base;
    base += 1u << t.extra[s];
  }
  return t;
}
constexpr LengthSlots make_length_slots() {
  LengthSlots t{};
  uint32_t base = 0;
  for (uint32_t s = 0; s < LENGTH_SLOTS; ++s) {
    t.extra[s] = static_cast<uint8_t>(s < 6 ? 0 : s < 26 ? (s - 6) / 4 + 1 : 0);
    t.base[s] = base;
    base += 1u << t.extra[s];
  }
  return t;
}
inline constexpr PositionSlots POSITION = make_position_slots();
inline constexpr LengthSlots LENGTH = make_length_slots();
static_assert(POSITION.base[41] == 1572864 && POSITION.extra[41] == 19);
static_assert(LENGTH.base[26] == 254 && LENGTH.base[25] == 222 && LENGTH.extra[25] == 5);

// Entry i holds the cumulative frequency of entries i to n - 1, so cum[0] is
// the total and cum[n] is 0; entries stay in decoding order. Frequencies stay
// below 2^16 (a total above MODEL_RESCALE_LIMIT is rescaled at once), so a
// decoder may keep them in 16 bits; entries past n stay 0, which lets it
// search whole vectors of entries.
template <typename Cum, uint32_t Capacity = MODEL_MAX_SYMBOLS + 1>
struct BasicModel {
  uint32_t symbols;
  uint32_t rescale_counter;
  alignas(16) Cum cum[Capacity];
  uint16_t symbol[Capacity];
};
using Model = BasicModel<uint32_t>;

template <typename M>
inline void model_init(M& m, uint32_t symbols) {
  m.symbols = symbols;
  m.rescale_counter = 4;
  for (uint32_t i = 0; i <= symbols; ++i) {
    m.cum[i] = static_cast<decltype(+m.cum[0])>(symbols - i);
    m.symbol[i] = static_cast<uint16_t>(i);
  }
  for (uint32_t i = symbols + 1; i < sizeof m.cum / sizeof m.cum[0]; ++i) m.cum[i] = 0;
}

template <typename M>
inline void model_rescale(M& m) {
  using Cum = std::remove_reference_t<decltype(m.cum[0])>;
  const uint32_t n = m.symbols;
  if (--m.rescale_counter != 0) {
    for (uint32_t i = n; i-- > 0;) {
      m.cum[i] >>= 1;
      if (m.cum[i] <= m.cum[i + 1]) m.cum[i] = static_cast<Cum>(m.cum[i + 1] + 1);
    }
    return;
  }
  m.rescale_counter = 50;
  // Frequencies replace the cumulative values in place, lowest entry first,
  // then an exchange sort puts the most frequent symbols in front.
  for (uint32_t i = 0; i < n; ++i) m.cum[i] = static_cast<Cum>((m.cum[i] - m.cum[i + 1] + 1) >> 1);
  for (uint32_t i = 0; i + 1 < n; ++i) {
    for (uint32_t j = i + 1; j < n; ++j) {
      if (m.cum[j] > m.cum[i]) {
        const Cum f = m.cum[i];
        m.cum[i] = m.cum[j];
        m.cum[j] = f;
        const uint16_t s = m.symbol[i];
        m.symbol[i] = m.symbol[j];
        m.symbol[j] = s;
      }
    }
  }
  for (uint32_t i = n; i-- > 0;) m.cum[i] = static_cast<Cum>(m.cum[i] + m.cum[i + 1]);
}

// After entry i was coded: it and every entry before it gain the increment.
template <typename M>
inline void model_update(M& m, uint32_t i) {
  for (uint32_t k = 0; k <= i; ++k) m.cum[k] += MODEL_INCREMENT;
  if (m.cum[0] > MODEL_RESCALE_LIMIT) model_rescale(m);
}

// Number of position slots whose base lies below both limits.
constexpr uint32_t position_model_size(uint32_t window_size, uint32_t limit) {
  uint32_t n = 0;
  while (n < POSITION_SLOTS && POSITION.base[n] < window_size && POSITION.base[n] < limit) ++n;
  return n;
}

enum : uint32_t {
  MODEL_SELECTOR = 0,
  MODEL_LITERAL0 = 1,  // four literal models, 1 to 4
  MODEL_POSITION4 = 5,
  MODEL_POSITION5 = 6,
  MODEL_POSITION6 = 7,
  MODEL_LENGTH = 8,
  MODEL_COUNT = 9,
};

template <typename M>
struct BasicModels {
  M m[MODEL_COUNT];
};
using Models = BasicModels<Model>;

template <typename M>
inline void models_init(BasicModels<M>& models, uint32_t window_bits) {
  const uint32_t window_size = 1u << window_bits;
  model_init(models.m[MODEL_SELECTOR], 7);
  for (uint32_t k = 0; k < 4; ++k) model_init(models.m[MODEL_LITERAL0 + k], 64);
  model_init(models.m[MODEL_POSITION4], position_model_size(window_size, 4096));
  model_init(models.m[MODEL_POSITION5], position_model_size(window_size, 262144));
  model_init(models.m[MODEL_POSITION6], position_model_size(window_size, 0xFFFFFFFFu));
  model_init(models.m[MODEL_LENGTH], LENGTH_SLOTS);
}

// Slot of a position value (offset - 1); the largest slot whose base is not above it.
inline uint32_t position_slot(uint32_t value) {
  uint32_t s = 0;
  if (value < 4) return value;
  // Highest set bit b: slots 2b and 2b + 1 cover [2^b, 2^(b+1)).
  uint32_t b = 31 - static_cast<uint32_t>(__builtin_clz(value));
  s = 2 * b;
  if (value >= POSITION.base[s + 1]) ++s;
  return s;
}

inline uint32_t length_slot(uint32_t value) {
  uint32_t s = LENGTH_SLOTS - 1;
  while (LENGTH.base[s] > value) --s;
  return s;
}

}  // namespace quantum

// Constants of the LZX format shared by the decoder and our compressor.
#pragma once
#include <cstdint>

namespace lzx {

constexpr int MAX_SLOTS = 50;                  // position slots of a 2 MiB window
constexpr int MAIN_MAX = 256 + 8 * MAX_SLOTS;  // 656 main-tree symbols
constexpr int LENGTH_SYMBOLS = 249;
constexpr int PRETREE_SYMBOLS = 20;
constexpr int ALIGNED_SYMBOLS = 8;
constexpr uint32_t MAX_FRAMES = 32768;  // frames after these are never call-translated

enum : uint8_t { VERBATIM = 1, ALIGNED = 2, UNCOMPRESSED = 3 };

// Extra bits and base offset of each position slot: 0 extra bits for slots
// 0-3, slot / 2 - 1 up to slot 35, then 17.
struct SlotTables {
  uint8_t extra[MAX_SLOTS + 1];
  uint32_t base[MAX_SLOTS + 1];
};

constexpr SlotTables make_slot_tables() {
  SlotTables t{};
  uint32_t base = 0;
  for (int s = 0; s <= MAX_SLOTS; ++s) {
    const uint8_t e = s < 4 ? 0 : (s < 36 ? static_cast<uint8_t>(s / 2 - 1) : 17);
    t.extra[s] = e;
    t.base[s] = base;
    base += 1u << e;
  }
  return t;
}
constexpr SlotTables SLOTS = make_slot_tables();

}  // namespace lzx

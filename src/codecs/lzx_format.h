// Constants of the LZX format shared by the decoder and our compressor.
#pragma once
#include <cstdint>

namespace lzx {

constexpr int kMaxSlots = 50;                  // position slots of a 2 MiB window
constexpr int kMainMax = 256 + 8 * kMaxSlots;  // 656 main-tree symbols
constexpr int kLengthSymbols = 249;
constexpr int kPretreeSymbols = 20;
constexpr int kAlignedSymbols = 8;
constexpr uint32_t kMaxFrames = 32768;  // frames after these are never call-translated

enum : uint8_t { kVerbatim = 1, kAligned = 2, kUncompressed = 3 };

// Extra bits and base offset of each position slot: 0 extra bits for slots
// 0-3, slot / 2 - 1 up to slot 35, then 17.
struct SlotTables {
  uint8_t extra[kMaxSlots + 1];
  uint32_t base[kMaxSlots + 1];
};

constexpr SlotTables make_slot_tables() {
  SlotTables t{};
  uint32_t base = 0;
  for (int s = 0; s <= kMaxSlots; ++s) {
    const uint8_t e = s < 4 ? 0 : (s < 36 ? static_cast<uint8_t>(s / 2 - 1) : 17);
    t.extra[s] = e;
    t.base[s] = base;
    base += 1u << e;
  }
  return t;
}
constexpr SlotTables kSlots = make_slot_tables();

}  // namespace lzx

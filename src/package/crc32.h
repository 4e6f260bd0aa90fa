// CRC-32 (reflected, polynomial 0xEDB88320, preset and final XOR 0xFFFFFFFF).
#pragma once
#include <cstdint>

// Fills the table and presets the register to 0xFFFFFFFF.
void crc32_build_table();
// Feeds bytes into the register.
void crc32_feed(const void* bytes, uint32_t count);
// The register as it stands (not yet complemented).
uint32_t crc32_register();

// One-shot helper over a buffer, independent of the process-wide register.
uint32_t crc32_of(const void* bytes, uint64_t count, uint32_t previous = 0);

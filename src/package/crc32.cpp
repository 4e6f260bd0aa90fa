#include "package/crc32.h"

#include <cstddef>

static uint32_t crc_table[256];
static uint32_t crc_reg;
static bool table_ready;

void crc32_build_table() {
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t v = n;
    for (int k = 0; k < 8; ++k) v = (v & 1) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
    crc_table[n] = v;
  }
  table_ready = true;
  crc_reg = 0xFFFFFFFFu;
}

void crc32_feed(const void* bytes, uint32_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  uint32_t r = crc_reg;
  for (uint32_t i = 0; i < count; ++i) r = (r >> 8) ^ crc_table[(r ^ p[i]) & 0xFF];
  crc_reg = r;
}

uint32_t crc32_register() { return crc_reg; }

uint32_t crc32_of(const void* bytes, uint64_t count, uint32_t previous) {
  if (!table_ready) {
    const uint32_t saved = crc_reg;
    crc32_build_table();
    crc_reg = saved;
  }
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  uint32_t r = previous ^ 0xFFFFFFFFu;
  for (uint64_t i = 0; i < count; ++i) r = (r >> 8) ^ crc_table[(r ^ p[i]) & 0xFF];
  return r ^ 0xFFFFFFFFu;
}

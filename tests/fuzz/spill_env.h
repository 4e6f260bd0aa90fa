// The Quantum fuzz targets' memory and spill file: allocations, and one file
// "*" held in memory. With refuse_window the window itself and every page
// buffer past the third are refused, which puts the decoder in spill mode
// with the fewest buffers it accepts.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct SpillEnv {
  bool refuse_window = false;
  uint32_t window_size = 0;
  int page_buffers = 0;
  std::vector<uint8_t> file;
  int64_t pos = 0;
};
SpillEnv env;

void* f_alloc(uint32_t size) {
  if (env.refuse_window && size == env.window_size) return nullptr;
  if (env.refuse_window && size > 4096 && size <= 4200 && ++env.page_buffers > 3) return nullptr;
  return malloc(size);
}
void f_free(void* p) {
  free(p);
}
int32_t f_open(const char* name, int32_t, int32_t) {
  if (strcmp(name, "*") != 0) return -1;
  env.file.clear();
  env.pos = 0;
  return 7;
}
int32_t f_read(int32_t, void* b, uint32_t n) {
  if (env.pos + n > static_cast<int64_t>(env.file.size())) return -1;
  memcpy(b, env.file.data() + env.pos, n);
  env.pos += n;
  return static_cast<int32_t>(n);
}
int32_t f_write(int32_t, const void* b, uint32_t n) {
  if (static_cast<int64_t>(env.file.size()) < env.pos + n) env.file.resize(env.pos + n);
  memcpy(env.file.data() + env.pos, b, n);
  env.pos += n;
  return static_cast<int32_t>(n);
}
int32_t f_close(int32_t) {
  return 0;
}
int32_t f_seek(int32_t, int32_t off, int32_t origin) {
  if (origin != 0 || off < 0) return -1;
  env.pos = off;
  return off;
}

}  // namespace

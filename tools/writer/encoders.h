// Factories of the writer's block encoders.
#pragma once
#include <functional>
#include <memory>

#include "writer/encoder.h"

std::unique_ptr<BlockEncoder> make_stored_encoder();

// MSZIP through zlib: level 0-9, strategy as zlib's Z_* strategies; null for
// a level or strategy outside those.
std::unique_ptr<BlockEncoder> make_mszip_encoder(int level, int strategy);

struct LzxEncoderOptions {
  int window_bits = 21;       // 15 to 21
  int call_translation = -1;  // -1 decide from the input, 0 off, 1 on
  int force_block_type = 0;   // 0 choose by cost; 1 verbatim, 2 aligned, 3 uncompressed (tests)
};
// Null when LZX encoding is not available.
std::unique_ptr<BlockEncoder> make_lzx_encoder(const LzxEncoderOptions& options);

struct QuantumEncoderOptions {
  int window_bits = 21;  // 10 to 21
};
// Null when Quantum encoding is not available.
std::unique_ptr<BlockEncoder> make_quantum_encoder(const QuantumEncoderOptions& options);

// An encoder that `make` makes when the folder's first frame comes and that
// goes with its last frame; `make` is called once more at once for the type
// word. For packs of many folders, where the encoders of all folders would
// otherwise exist from the start.
using EncoderFactory = std::function<std::unique_ptr<BlockEncoder>()>;
std::unique_ptr<BlockEncoder> make_deferred_encoder(EncoderFactory make);

// LZX compressor internals shared with its tests.
#pragma once
#include <cstdint>
#include <memory>
#include <span>

#include "writer/encoders.h"

// Knobs below the public options: block layout and effort.
struct LzxEncoderTuning {
  // 0: blocks of whole frames, chosen by cost within groups of frames (one
  // frame per block when the frames come one at a time). Otherwise every
  // block covers this many bytes of the stream, so blocks may span frames or
  // several blocks share a frame.
  uint32_t block_bytes = 0;
  int search_depth = 24;                 // tree nodes visited per position
  int insert_depth = 12;                 // the same for positions inside a long match
  int nice_length = 64;                  // a match this long is taken without further search
  int passes = 1;                        // parses per block (later ones priced by the one before)
  uint32_t translation_size = 1u << 24;  // written to the header when translating
};

std::unique_ptr<BlockEncoder> make_lzx_encoder_tuned(const LzxEncoderOptions& options,
                                                     const LzxEncoderTuning& tuning);

// Applies the inverse of the decoder's call translation to one frame that
// starts at stream offset `position` (frames below 32768 only).
void lzx_encode_calls(std::span<uint8_t> frame, uint32_t position, uint32_t translation_size);

// True when the data looks like x86 machine code (PE or ELF image, or many
// E8 calls with near displacements).
bool lzx_looks_like_x86(std::span<const uint8_t> data);

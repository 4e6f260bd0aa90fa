// Placeholder until the LZX compressor lands.
#include "writer/encoders.h"

std::unique_ptr<BlockEncoder> make_lzx_encoder(const LzxEncoderOptions&) { return nullptr; }

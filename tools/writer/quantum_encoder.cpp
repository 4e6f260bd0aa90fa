// Placeholder until the Quantum compressor lands.
#include "writer/encoders.h"

std::unique_ptr<BlockEncoder> make_quantum_encoder(const QuantumEncoderOptions&) { return nullptr; }

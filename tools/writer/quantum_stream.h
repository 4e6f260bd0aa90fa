// Quantum item coder: the writer-side mirror of the decoder's models and
// arithmetic decoder. Items go in one at a time; each frame ends with a flush
// that leaves every bit the decoder will read inside the frame's bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/quantum_model.h"

class QuantumStreamEncoder {
 public:
  explicit QuantumStreamEncoder(uint32_t window_bits);

  uint32_t window_bits() const { return window_bits_; }
  // Fresh models, as the decoder has after create or reset.
  void reset_models();
  void literal(uint8_t byte);
  // Length 3 (selector 4), 4 (selector 5) or 5 to 259 (selector 6); the offset
  // must fit the selector's position model. False, with nothing coded, if not.
  bool match(uint32_t offset, uint32_t length);
  static bool match_fits(uint32_t window_bits, uint32_t offset, uint32_t length);
  // The same for this coder's window, from a table.
  bool fits(uint32_t offset, uint32_t length) const {
    const uint32_t kind = length < 5 ? length - 3 : 2;
    return length >= 3 && length <= quantum::MATCH_MAX && offset - 1 < farthest_[kind];
  }
  // Estimated bits of an item (for the parser), from tables taken from the
  // models at the last refresh_prices(): the models change a little with
  // every item, too little to price each candidate against them afresh.
  void refresh_prices();
  float literal_price(uint8_t byte) const { return literal_price_[byte]; }
  float match_price(uint32_t offset, uint32_t length) const;
  // Flushes the coder and appends the frame's bytes; the next item starts a
  // new frame.
  void end_frame(std::vector<uint8_t>& out);
  // Frees the buffers frames grow into, once the stream's last frame is out.
  void release() {
    arith_ = Bits();
    std::vector<RawBits>().swap(raw_);
  }

  const quantum::Models& models() const { return models_; }

 private:
  void encode(quantum::Model& m, uint32_t symbol);
  void index_symbols(const quantum::Model& m);
  void raw(uint32_t value, uint32_t bits);
  void put_bit(uint32_t bit);

  // Bits in order, packed most significant first into 64-bit words.
  class Bits {
   public:
    // The low `count` (1 to 32) bits of value; nothing above them is set.
    void put(uint32_t value, uint32_t count) {
      const uint32_t room = 64 - fill_;
      if (count < room) {
        last_ |= uint64_t{value} << (room - count);
        fill_ += count;
        return;
      }
      words_.push_back(last_ | (uint64_t{value} >> (count - room)));
      fill_ = count - room;
      last_ = fill_ ? uint64_t{value} << (64 - fill_) : 0;
    }
    // `count` (1 to 32) bits from bit `at`, as a number.
    uint32_t get(size_t at, uint32_t count) const;
    size_t size() const { return words_.size() * 64 + fill_; }
    void append_bytes(std::vector<uint8_t>& out) const;  // zero bits to the byte's end
    void clear();

   private:
    uint64_t word(size_t i) const { return i < words_.size() ? words_[i] : last_; }
    std::vector<uint64_t> words_;
    uint64_t last_ = 0;  // the word being filled, from its top bit
    uint32_t fill_ = 0;  // bits in last_
  };

  struct RawBits {
    uint32_t before;  // index of the arithmetic bit these precede
    uint32_t value;
    uint32_t bits;
  };

  uint32_t window_bits_;
  uint32_t farthest_[3];  // largest offset of a match of 3, 4 and 5 or more bytes
  quantum::Models models_;
  uint32_t low_ = 0;
  uint32_t high_ = 0xFFFF;
  uint32_t underflow_ = 0;
  uint32_t shifts_ = 0;
  Bits arith_;
  // Bits by symbol for every model, and by byte for literals.
  float price_[quantum::MODEL_COUNT][quantum::MODEL_MAX_SYMBOLS] = {};
  float literal_price_[256] = {};
  // Entry of each symbol in its model's decoding order.
  uint8_t entry_[quantum::MODEL_COUNT][quantum::MODEL_MAX_SYMBOLS] = {};
  std::vector<RawBits> raw_;
};

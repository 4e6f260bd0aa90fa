// Quantum compressor: hash-chain match finder with lazy parsing over the
// folder's stream, feeding QuantumStreamEncoder one frame per data block.
// Matches of 4 bytes and more come from chains of 4-byte hashes over the
// window; 3-byte matches, which the format only allows below 4096 bytes
// back, from short chains of 3-byte hashes over the last 4096 positions.
#include <algorithm>
#include <cstring>

#include "writer/encoders.h"
#include "writer/quantum_stream.h"

namespace {

constexpr int HASH_BITS = 20;
constexpr int MIN_HASH_BITS = 12;
constexpr uint32_t HASH3_BITS = 14;
constexpr uint32_t NEAR_WINDOW = 4096;  // offsets of 3-byte matches stay below this
constexpr uint32_t MAX_CHAIN = 24;
constexpr uint32_t MAX_CHAIN3 = 8;
// Item prices are refreshed from the models after this many coded bytes.
constexpr uint32_t PRICE_INTERVAL = 256;
constexpr uint32_t NICE_LENGTH = 128;
// A match at least this long is taken without looking one byte further.
constexpr uint32_t LAZY_LIMIT = 64;
// Largest compressed block the decoder's buffer takes: a frame and its slack.
constexpr size_t MAX_COMPRESSED_FRAME = CAB_FRAME_SIZE + 10240;
// Zero bytes after the frame, so that strings can be compared 8 bytes at a time.
constexpr size_t HISTORY_PADDING = 8;

class QuantumEncoder final : public BlockEncoder {
 public:
  explicit QuantumEncoder(uint32_t window_bits)
      : coder_(window_bits), window_size_(1u << window_bits) {}

  uint16_t type_word() const override {
    return static_cast<uint16_t>(2 | (coder_.window_bits() << 8));
  }

  // A hash table a little larger than the stream has positions; a longer
  // stream only sees longer chains.
  void expect_stream_size(uint64_t bytes) override {
    if (!head_.empty()) return;
    hash_mask_ = hash_mask_for(bytes, MIN_HASH_BITS, HASH_BITS);
  }

 protected:
  bool encode_block(std::span<const uint8_t> frame, bool, std::vector<uint8_t>& out,
                    std::string& error) override {
    // Made at the first frame and freed with the last.
    if (head_.empty()) {
      head_.assign(size_t{hash_mask_} + 1, 0);
      head3_.assign(size_t{1} << HASH3_BITS, 0);
      prev3_.assign(NEAR_WINDOW, 0);
    }
    trim_history();
    hist_.resize(total_ - hist_base_);  // without the padding
    hist_.insert(hist_.end(), frame.begin(), frame.end());
    hist_.resize(hist_.size() + HISTORY_PADDING, 0);
    end_ = total_ + static_cast<uint32_t>(frame.size());
    parse();
    total_ = end_;
    const size_t before = out.size();
    coder_.end_frame(out);
    if (out.size() - before > MAX_COMPRESSED_FRAME) {
      error = "quantum: a block does not fit the decoder's input buffer";
      return false;
    }
    return true;
  }

  void release() override {
    for (auto* table : {&head_, &prev_, &head3_, &prev3_}) std::vector<uint32_t>().swap(*table);
    coder_.release();
    std::vector<uint8_t>().swap(hist_);
  }

 private:
  uint8_t at(uint32_t p) const { return hist_[p - hist_base_]; }

  uint32_t hash(uint32_t p) const {
    const uint8_t* s = &hist_[p - hist_base_];
    const uint32_t v = s[0] | (s[1] << 8) | (s[2] << 16) | (static_cast<uint32_t>(s[3]) << 24);
    return (v * 2654435761u) >> (32 - HASH_BITS) & hash_mask_;
  }
  uint32_t hash3(uint32_t p) const {
    const uint8_t* s = &hist_[p - hist_base_];
    const uint32_t v = s[0] | (s[1] << 8) | (s[2] << 16);
    return (v * 2654435761u) >> (32 - HASH3_BITS);
  }

  void insert(uint32_t p) {
    if (p + 3 > end_) return;
    const uint32_t h3 = hash3(p);
    prev3_[p & (NEAR_WINDOW - 1)] = head3_[h3];
    head3_[h3] = p + 1;
    if (p + 4 > end_) return;
    const uint32_t h = hash(p);
    const uint32_t slot = p & (window_size_ - 1);
    // Grown with the stream, so that small folders need no window-sized table.
    if (slot >= prev_.size()) {
      prev_.resize(std::min<size_t>(window_size_, std::max<size_t>(slot + 1, 2 * prev_.size())));
    }
    prev_[slot] = head_[h];
    head_[h] = p + 1;
  }

  struct Match {
    uint32_t length = 0;
    uint32_t offset = 0;
    float gain = 0;  // estimated bits saved against coding the bytes as literals
  };

  // The match at p (within the frame) that saves the most bits; length 0 when
  // none saves any. Candidates come nearest first; only one longer than every
  // earlier candidate can save more, so only those are costed.
  Match find(uint32_t p) const {
    Match best;
    const uint32_t max_len = std::min<uint32_t>(quantum::MATCH_MAX, end_ - p);
    if (max_len < 3) return best;
    // The walks wait on memory: start loading the next positions' chains.
    if (max_len >= 6) {
      __builtin_prefetch(&head_[hash(p + 2)]);
      const uint32_t next = head_[hash(p + 1)];
      const uint32_t slot = (next - 1) & (window_size_ - 1);
      if (next && next - 1 >= hist_base_ && slot < prev_.size()) {
        __builtin_prefetch(&prev_[slot]);
        __builtin_prefetch(&hist_[next - 1 - hist_base_]);
      }
    }
    const uint8_t* cur = &hist_[p - hist_base_];
    uint32_t longest = 2;
    auto consider = [&](uint32_t offset, const uint8_t* old) {
      uint32_t len = 0;
      for (;;) {
        uint64_t a, b;
        std::memcpy(&a, old + len, 8);
        std::memcpy(&b, cur + len, 8);
        if (a != b) {
          len += static_cast<uint32_t>(__builtin_ctzll(a ^ b)) >> 3;
          break;
        }
        len += 8;
        if (len >= max_len) break;
      }
      len = std::min(len, max_len);
      if (len <= longest) return false;
      longest = len;
      if (coder_.fits(offset, len)) {
        const float gain =
            static_cast<float>(len) * literal_bits_ - coder_.match_price(offset, len);
        if (gain > best.gain) best = Match{len, offset, gain};
      }
      return len >= NICE_LENGTH || len == max_len;
    };
    // Near 3-byte strings (the chain links of the last NEAR_WINDOW positions).
    uint32_t cand = head3_[hash3(p)];
    for (uint32_t chain = MAX_CHAIN3; cand && chain--;) {
      const uint32_t c = cand - 1;
      const uint32_t offset = p - c;
      if (offset >= NEAR_WINDOW || c < hist_base_) break;
      const uint8_t* old = &hist_[c - hist_base_];
      if (old[0] == cur[0] && old[1] == cur[1] && old[2] == cur[2] && consider(offset, old))
        return best;
      cand = prev3_[c & (NEAR_WINDOW - 1)];
    }
    if (max_len < 4) return best;
    cand = head_[hash(p)];
    uint32_t last = p;
    for (uint32_t chain = MAX_CHAIN; cand && chain--;) {
      const uint32_t c = cand - 1;
      if (c >= last) break;
      const uint32_t offset = p - c;
      if (offset >= window_size_ || c < hist_base_) break;
      last = c;
      const uint8_t* old = &hist_[c - hist_base_];
      if (old[longest] == cur[longest] && old[0] == cur[0] && consider(offset, old)) break;
      cand = prev_[c & (window_size_ - 1)];
    }
    return best;
  }

  // Matches are weighed against the running average cost of a literal.
  void literal(uint8_t byte) {
    literal_bits_ = 0.97f * literal_bits_ + 0.03f * coder_.literal_price(byte);
    coder_.literal(byte);
  }

  // Lazy parsing: a match found at p - 1 is taken unless the one at p saves more.
  void parse() {
    uint32_t p = total_;
    bool pending = false;  // the byte at p - 1 is not yet coded
    Match prev;
    uint32_t priced = p;
    coder_.refresh_prices();
    while (p < end_) {
      if (p - priced >= PRICE_INTERVAL) {
        coder_.refresh_prices();
        priced = p;
      }
      const Match cur = (pending && prev.length >= LAZY_LIMIT) ? Match{} : find(p);
      insert(p);
      if (pending && prev.length >= 3 && cur.gain <= prev.gain) {
        coder_.match(prev.offset, prev.length);
        const uint32_t next = p - 1 + prev.length;
        for (uint32_t q = p + 1; q < next; ++q) insert(q);
        p = next;
        pending = false;
        prev = Match{};
      } else {
        if (pending) literal(at(p - 1));
        pending = true;
        prev = cur;
        ++p;
      }
    }
    if (pending) literal(at(p - 1));
  }

  // Keeps at least a window of history before the next frame.
  void trim_history() {
    const uint32_t keep_from = total_ > window_size_ ? total_ - window_size_ : 0;
    if (keep_from - hist_base_ > window_size_ + CAB_FRAME_SIZE) {
      hist_.erase(hist_.begin(), hist_.begin() + (keep_from - hist_base_));
      hist_base_ = keep_from;
    }
  }

  QuantumStreamEncoder coder_;
  uint32_t window_size_;
  std::vector<uint32_t> head_;  // position + 1 of the latest string per hash
  uint32_t hash_mask_ = (1u << HASH_BITS) - 1;
  std::vector<uint32_t> prev_;   // position + 1 of the previous string, by position
  std::vector<uint32_t> head3_;  // the same for 3-byte strings
  std::vector<uint32_t> prev3_;  // by position modulo NEAR_WINDOW
  std::vector<uint8_t> hist_;
  uint32_t hist_base_ = 0;  // stream position of hist_[0]
  uint32_t total_ = 0;      // bytes coded before this frame
  uint32_t end_ = 0;        // end of the frame being coded
  float literal_bits_ = 8;  // running average cost of a literal
};

}  // namespace

std::unique_ptr<BlockEncoder> make_quantum_encoder(const QuantumEncoderOptions& options) {
  if (options.window_bits < static_cast<int>(quantum::MIN_WINDOW_BITS) ||
      options.window_bits > static_cast<int>(quantum::MAX_WINDOW_BITS)) {
    return nullptr;
  }
  return std::make_unique<QuantumEncoder>(static_cast<uint32_t>(options.window_bits));
}

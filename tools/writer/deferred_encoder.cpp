// An encoder made when its folder's first frame comes and dropped with the
// last one: a pack of thousands of folders then holds encoders only for the
// folders being compressed (an LZX or Quantum encoder is about 8 KB even
// before it makes its tables).
#include <optional>
#include <utility>

#include "writer/encoders.h"

namespace {

class DeferredEncoder : public BlockEncoder {
 public:
  explicit DeferredEncoder(EncoderFactory make) : make_(std::move(make)) {
    // The type word is wanted while the cabinets are planned: one made now
    // and dropped says what the later one will be.
    if (auto probe = make_()) {
      type_word_ = probe->type_word();
      group_frames_ = probe->group_frames();
    }
  }

  uint16_t type_word() const override { return type_word_; }
  uint32_t group_frames() const override { return group_frames_; }
  void expect_stream_size(uint64_t bytes) override { expected_ = bytes; }

 protected:
  bool encode_block(std::span<const uint8_t> frame, bool last_frame, std::vector<uint8_t>& out,
                    std::string& error) override {
    if (!make_inner(error)) return false;
    return inner_->encode_frame(frame, last_frame, out, error);
  }

  bool encode_group(std::span<const uint8_t> data, bool last_frame,
                    std::vector<std::vector<uint8_t>>& blocks, std::string& error) override {
    if (!make_inner(error)) return false;
    return inner_->encode_frames(data, last_frame, blocks, error);
  }

  void release() override { inner_.reset(); }

 private:
  bool make_inner(std::string& error) {
    if (!inner_) {
      inner_ = make_();
      if (!inner_ || inner_->type_word() != type_word_) {
        inner_.reset();
        error = "the folder's encoder could not be made";
        return false;
      }
      if (expected_) inner_->expect_stream_size(*expected_);
    }
    return true;
  }

  EncoderFactory make_;
  std::unique_ptr<BlockEncoder> inner_;
  uint16_t type_word_ = 0;
  uint32_t group_frames_ = 1;
  std::optional<uint64_t> expected_;
};

}  // namespace

std::unique_ptr<BlockEncoder> make_deferred_encoder(EncoderFactory make) {
  return std::make_unique<DeferredEncoder>(std::move(make));
}

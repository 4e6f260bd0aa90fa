// Stored data: every block is its frame as it is.
#include "writer/encoders.h"

namespace {

class StoredEncoder : public BlockEncoder {
 public:
  uint16_t type_word() const override { return 0; }

 protected:
  bool encode_block(std::span<const uint8_t> frame, bool, std::vector<uint8_t>& out,
                    std::string&) override {
    out.insert(out.end(), frame.begin(), frame.end());
    return true;
  }
};

}  // namespace

std::unique_ptr<BlockEncoder> make_stored_encoder() {
  return std::make_unique<StoredEncoder>();
}

// MSZIP through zlib: every block is "CK" and a raw deflate stream that ends
// with the block (BFINAL), compressed with the previous frame as its preset
// dictionary, since the decoder keeps the previous block as its history.
#include <zlib.h>

#include <algorithm>

#include "writer/encoders.h"

namespace {

constexpr size_t MSZIP_MAX_DEFLATE = 32768 + 12 - 2;  // block limit less "CK"

// zlib's state (about 400 KiB) is made at the folder's first frame and freed
// with its last, so that only the folders being compressed hold one.
class MszipEncoder : public BlockEncoder {
 public:
  MszipEncoder(int level, int strategy) : level_(level), strategy_(strategy) {}
  ~MszipEncoder() override { end_stream(); }
  MszipEncoder(const MszipEncoder&) = delete;
  MszipEncoder& operator=(const MszipEncoder&) = delete;

  uint16_t type_word() const override { return 1; }

 protected:
  bool encode_block(std::span<const uint8_t> frame, bool, std::vector<uint8_t>& out,
                    std::string& error) override {
    if (!ready_) {
      stream_ = {};
      ready_ = deflateInit2(&stream_, level_, Z_DEFLATED, -15, 9, strategy_) == Z_OK;
      if (!ready_) {
        error = "zlib could not be initialised";
        return false;
      }
    }
    if (deflateReset(&stream_) != Z_OK ||
        (!history_.empty() &&
         deflateSetDictionary(&stream_, history_.data(), uInt(history_.size())) != Z_OK)) {
      error = "zlib refused to start a block";
      return false;
    }
    scratch_.resize(frame.size() + frame.size() / 4 + 1024);
    stream_.next_in = const_cast<Bytef*>(frame.data());
    stream_.avail_in = uInt(frame.size());
    stream_.next_out = scratch_.data();
    stream_.avail_out = uInt(scratch_.size());
    const int result = deflate(&stream_, Z_FINISH);
    const size_t produced = scratch_.size() - stream_.avail_out;
    out.push_back('C');
    out.push_back('K');
    if (result == Z_STREAM_END && produced <= MSZIP_MAX_DEFLATE) {
      out.insert(out.end(), scratch_.begin(), scratch_.begin() + produced);
    } else {
      // Incompressible data that deflate framed less tightly: one stored
      // deflate block always fits (5 bytes of framing).
      out.push_back(0x01);  // BFINAL = 1, BTYPE = 00
      const uint16_t len = uint16_t(frame.size());
      out.push_back(uint8_t(len));
      out.push_back(uint8_t(len >> 8));
      out.push_back(uint8_t(~len));
      out.push_back(uint8_t(~len >> 8));
      out.insert(out.end(), frame.begin(), frame.end());
    }
    history_.assign(frame.begin(), frame.end());
    return true;
  }

  void release() override {
    end_stream();
    std::vector<uint8_t>().swap(history_);
    std::vector<uint8_t>().swap(scratch_);
  }

 private:
  void end_stream() {
    if (ready_) deflateEnd(&stream_);
    ready_ = false;
  }

  int level_, strategy_;
  z_stream stream_{};
  bool ready_ = false;
  std::vector<uint8_t> history_;
  std::vector<uint8_t> scratch_;
};

bool known_strategy(int strategy) {
  return strategy == Z_DEFAULT_STRATEGY || strategy == Z_FILTERED || strategy == Z_HUFFMAN_ONLY ||
         strategy == Z_RLE || strategy == Z_FIXED;
}

}  // namespace

std::unique_ptr<BlockEncoder> make_mszip_encoder(int level, int strategy) {
  if (level < 0 || level > 9 || !known_strategy(strategy)) return nullptr;
  return std::make_unique<MszipEncoder>(level, strategy);
}

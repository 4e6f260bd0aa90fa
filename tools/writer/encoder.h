// Block encoders of the cabinet writer: one per folder, fed the folder's
// uncompressed stream one frame (data block) at a time, in order.
#pragma once
#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

// Uncompressed bytes of a data block; only a folder's last may hold fewer.
constexpr uint32_t CAB_FRAME_SIZE = 32768;

// Mask of a hash table a little larger than a stream of `bytes` has
// positions, between 2^min_bits and 2^max_bits entries.
inline uint32_t hash_mask_for(uint64_t bytes, int min_bits, int max_bits) {
  const int bits = std::bit_width(std::max<uint64_t>(bytes, 1)) + 1;
  return (1u << std::clamp(bits, min_bits, max_bits)) - 1;
}

class BlockEncoder {
 public:
  virtual ~BlockEncoder() = default;
  // The folder's typeCompress word (type in bits 0-3, window bits in 8-12).
  virtual uint16_t type_word() const = 0;
  // The folder's uncompressed length, told before the first frame so that
  // tables can be sized to it. Only a hint: any length still encodes.
  virtual void expect_stream_size(uint64_t) {}
  // Encodes one frame of at most 32768 bytes (only the folder's last frame may
  // be shorter) and appends the data block's compressed bytes to `out`.
  // Returns false with a message in `error` when it cannot. The frame marked
  // last frees the encoder's tables (small ones may be left for the thread's
  // next encoder), so that only the folders being compressed hold much
  // memory; no frame may follow it.
  bool encode_frame(std::span<const uint8_t> frame, bool last_frame, std::vector<uint8_t>& out,
                    std::string& error) {
    if (frame.size() > CAB_FRAME_SIZE) {
      error = "frame larger than 32768 bytes";
      return false;
    }
    return encode_call(last_frame, error,
                       [&] { return encode_block(frame, last_frame, out, error); });
  }

  // Frames the encoder codes best in one call of encode_frames (an LZX
  // block, with its trees, may cover several).
  virtual uint32_t group_frames() const { return 1; }
  // Encodes `data` cut into frames of 32768 bytes (at most group_frames() of
  // them; only the folder's last frame may be shorter), appending one data
  // block per frame to `blocks`. The bytes may differ from those of the same
  // frames passed one at a time: the writer always cuts a folder into the
  // same groups, so that a folder's blocks depend on its data alone.
  bool encode_frames(std::span<const uint8_t> data, bool last_frame,
                     std::vector<std::vector<uint8_t>>& blocks, std::string& error) {
    if (data.size() <= CAB_FRAME_SIZE) {
      blocks.emplace_back();
      return encode_frame(data, last_frame, blocks.back(), error);
    }
    if (data.size() > size_t{group_frames()} * CAB_FRAME_SIZE) {
      error = "more frames than the encoder takes at once";
      return false;
    }
    return encode_call(last_frame, error,
                       [&] { return encode_group(data, last_frame, blocks, error); });
  }

 protected:
  virtual bool encode_block(std::span<const uint8_t> frame, bool last_frame,
                            std::vector<uint8_t>& out, std::string& error) = 0;
  // More than one frame, at most group_frames().
  virtual bool encode_group(std::span<const uint8_t> data, bool last_frame,
                            std::vector<std::vector<uint8_t>>& blocks, std::string& error) {
    for (size_t pos = 0; pos < data.size(); pos += CAB_FRAME_SIZE) {
      const size_t n = std::min<size_t>(CAB_FRAME_SIZE, data.size() - pos);
      blocks.emplace_back();
      if (!encode_block(data.subspan(pos, n), last_frame && pos + n == data.size(), blocks.back(),
                        error))
        return false;
    }
    return true;
  }
  virtual void release() {}

 private:
  template <typename Encode>
  bool encode_call(bool last_frame, std::string& error, Encode encode) {
    if (finished_) {
      error = "frame after the folder's last frame";
      return false;
    }
    const bool encoded = encode();
    if (last_frame) {
      finished_ = true;
      release();
    }
    return encoded;
  }

  bool finished_ = false;
};

// A whole stream as the writer hands it over: groups of frames from its start,
// the last marked; one block per frame (one empty frame for an empty stream)
// appended to `blocks`.
inline bool encode_stream(BlockEncoder& encoder, std::span<const uint8_t> data,
                          std::vector<std::vector<uint8_t>>& blocks, std::string& error) {
  const size_t group = size_t{std::max(encoder.group_frames(), 1u)} * CAB_FRAME_SIZE;
  size_t pos = 0;
  do {
    const size_t n = std::min(group, data.size() - pos);
    if (!encoder.encode_frames(data.subspan(pos, n), pos + n == data.size(), blocks, error))
      return false;
    pos += n;
  } while (pos < data.size());
  return true;
}

// The uncompressed size of block i of such a stream of `total` bytes.
inline uint32_t stream_frame_size(size_t total, size_t i) {
  return uint32_t(std::min<size_t>(CAB_FRAME_SIZE, total - CAB_FRAME_SIZE * i));
}

// LZX compressor: one stream per folder, one frame (data block) or a group of
// up to eight frames per call.
//
// Matches come from binary trees over the window (one per 4-byte hash) and
// from tables of the latest 3-byte and near 2-byte strings; each frame is
// parsed with a shortest-path search over literal, repeated-offset and match
// edges priced by the code lengths of what came before (or of an earlier
// pass over the same block, when tuned to make more than one). A block covers
// whole frames of a group as long as one set of trees costs less than two;
// blocks are verbatim, aligned-offset or uncompressed, whichever is smallest;
// trees are sent as differences from the previous block's lengths through the
// pretree.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "codecs/lzx_format.h"
#include "writer/lzx_internal.h"

namespace {

using namespace lzx;

constexpr uint32_t MAX_MATCH = 257;
constexpr uint32_t TRANSLATED_FRAMES = lzx::MAX_FRAMES;
// Frames of one block when the encoder chooses: the trees of 256 KiB of
// programs cost hardly more than those of 32 KiB, and the decoder builds
// its tables an eighth as often.
constexpr uint32_t GROUP_FRAMES = 8;
// Trees are kept per hash of their first TREE_KEY bytes; tables of the latest
// position of each 2- to 5-byte string add the nearest shorter matches.
constexpr int TREE_KEY = 6;
constexpr int HASH_BITS = 22;
constexpr int MIN_HASH_BITS = 12;
constexpr int HASH3_BITS = 15;
constexpr int HASH4_BITS = 18;
constexpr uint32_t NEAR_DISTANCE = 64;
// Price of a symbol the model has no code for: one bit above the longest
// code in use, at most UNUSED_COST.
constexpr uint32_t UNUSED_COST = 18;
constexpr uint32_t UNUSED_EXTRA = 1;

// Position slot of a formatted offset (match distance + 2, at least 3).
inline int slot_of(uint32_t formatted) {
  if (formatted < 4) return static_cast<int>(formatted);
  if (formatted >= (1u << 18)) return 36 + static_cast<int>((formatted - (1u << 18)) >> 17);
  int k = 31 - __builtin_clz(formatted);
  return 2 * k + static_cast<int>((formatted >> (k - 1)) & 1);
}

inline uint32_t load32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void store32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Bits go out most significant first in 16-bit little-endian words.
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
  void put(uint32_t value, int bits) {
    if (bits == 0) return;
    acc_ = (acc_ << bits) | (value & ((1u << bits) - 1));
    count_ += bits;
    while (count_ >= 16) {
      uint32_t w = static_cast<uint32_t>(acc_ >> (count_ - 16)) & 0xFFFF;
      out_.push_back(static_cast<uint8_t>(w));
      out_.push_back(static_cast<uint8_t>(w >> 8));
      count_ -= 16;
    }
  }
  int pending() const { return count_; }
  // Pads with zero bits to the next word boundary.
  void flush() {
    if (count_ > 0) put(0, 16 - count_);
  }

 private:
  std::vector<uint8_t>& out_;
  uint64_t acc_ = 0;
  int count_ = 0;
};

// Code lengths of at most `max_length` bits forming a complete code (or all
// zero when nothing is used; a lone symbol gets a partner so that the code is
// complete, which the decoder requires).
void build_lengths(const uint32_t* freq, int n, int max_length, uint8_t* lengths) {
  std::fill(lengths, lengths + n, 0);
  std::vector<std::pair<uint32_t, int>> leaves;
  for (int i = 0; i < n; ++i)
    if (freq[i]) leaves.emplace_back(freq[i], i);
  if (leaves.empty()) return;
  if (leaves.size() == 1) {
    int s = leaves[0].second;
    lengths[s] = 1;
    lengths[s == 0 ? 1 : 0] = 1;
    return;
  }
  std::sort(leaves.begin(), leaves.end());
  const int m = static_cast<int>(leaves.size());
  std::vector<uint64_t> weight(2 * m);
  std::vector<int> parent(2 * m);
  std::vector<int> depth(2 * m);
  for (;;) {
    for (int i = 0; i < m; ++i) weight[i] = leaves[i].first;
    int leaf = 0, inner = m;
    for (int k = m; k < 2 * m - 1; ++k) {
      int pick[2];
      for (int& p : pick) {
        if (leaf < m && (inner >= k || weight[leaf] <= weight[inner])) {
          p = leaf++;
        } else {
          p = inner++;
        }
      }
      weight[k] = weight[pick[0]] + weight[pick[1]];
      parent[pick[0]] = k;
      parent[pick[1]] = k;
    }
    depth[2 * m - 2] = 0;
    int deepest = 0;
    for (int k = 2 * m - 3; k >= 0; --k) {
      depth[k] = depth[parent[k]] + 1;
      if (k < m) deepest = std::max(deepest, depth[k]);
    }
    if (deepest <= max_length) break;
    for (auto& leaf_entry : leaves) leaf_entry.first = (leaf_entry.first + 1) / 2;
  }
  for (int i = 0; i < m; ++i) lengths[leaves[i].second] = static_cast<uint8_t>(depth[i]);
}

// Canonical codes, as the decoder's table builder assigns them.
void build_codes(const uint8_t* lengths, int n, uint16_t* codes) {
  uint32_t count[17] = {};
  for (int i = 0; i < n; ++i) count[lengths[i]]++;
  count[0] = 0;
  uint32_t next[18] = {};
  uint32_t code = 0;
  for (int k = 1; k <= 16; ++k) {
    code = (code + count[k - 1]) << 1;
    next[k] = code;
  }
  for (int i = 0; i < n; ++i)
    if (lengths[i]) codes[i] = static_cast<uint16_t>(next[lengths[i]]++);
}

struct PretreeItem {
  uint8_t symbol;
  uint8_t extra_bits;
  uint8_t extra;
  uint8_t second;  // the length symbol after a 19
};

// Codes `count` lengths against `previous` with the pretree's run symbols.
void pretree_items(const uint8_t* lengths, const uint8_t* previous, int count,
                   std::vector<PretreeItem>& items) {
  items.clear();
  int i = 0;
  while (i < count) {
    int run = 1;
    while (i + run < count && lengths[i + run] == lengths[i]) ++run;
    if (lengths[i] == 0 && run >= 20) {
      int r = std::min(run, 51);
      items.push_back({18, 5, static_cast<uint8_t>(r - 20), 0});
      i += r;
    } else if (lengths[i] == 0 && run >= 4) {
      int r = std::min(run, 19);
      items.push_back({17, 4, static_cast<uint8_t>(r - 4), 0});
      i += r;
    } else if (run >= 4) {
      int r = std::min(run, 5);
      uint8_t delta = static_cast<uint8_t>((previous[i] + 17 - lengths[i]) % 17);
      items.push_back({19, 1, static_cast<uint8_t>(r - 4), delta});
      i += r;
    } else {
      items.push_back({static_cast<uint8_t>((previous[i] + 17 - lengths[i]) % 17), 0, 0, 0});
      ++i;
    }
  }
}

// Writes (or, without a writer, prices) one length list; returns its bits.
uint32_t write_lengths(BitWriter* out, const uint8_t* lengths, const uint8_t* previous, int count) {
  std::vector<PretreeItem> items;
  pretree_items(lengths, previous, count, items);
  uint32_t freq[PRETREE_SYMBOLS] = {};
  for (const auto& it : items) {
    freq[it.symbol]++;
    if (it.symbol == 19) freq[it.second]++;
  }
  uint8_t pre_lengths[PRETREE_SYMBOLS];
  uint16_t pre_codes[PRETREE_SYMBOLS] = {};
  build_lengths(freq, PRETREE_SYMBOLS, 15, pre_lengths);
  build_codes(pre_lengths, PRETREE_SYMBOLS, pre_codes);
  uint32_t bits = 4 * PRETREE_SYMBOLS;
  for (const auto& it : items) {
    bits += pre_lengths[it.symbol] + it.extra_bits;
    if (it.symbol == 19) bits += pre_lengths[it.second];
  }
  if (out) {
    for (int i = 0; i < PRETREE_SYMBOLS; ++i) out->put(pre_lengths[i], 4);
    for (const auto& it : items) {
      out->put(pre_codes[it.symbol], pre_lengths[it.symbol]);
      out->put(it.extra, it.extra_bits);
      if (it.symbol == 19) out->put(pre_codes[it.second], pre_lengths[it.second]);
    }
  }
  return bits;
}

// One parsed element: a literal (length 0) or a match with its offset code
// (0 to 2: repeated offsets R0 to R2; otherwise distance + 2).
struct Item {
  uint16_t length;
  uint8_t literal;
  uint32_t code;
};

// How a match item is coded: its position slot, the value of the slot's extra
// bits (none for the repeated offsets, slots 0-2), the length header and the
// main-tree symbol they make.
struct MatchSymbols {
  int slot;
  uint32_t extra_value;
  uint32_t length_header;
  int main_symbol;
};

MatchSymbols match_symbols(const Item& it) {
  MatchSymbols m{};
  if (it.code < 3) {
    m.slot = static_cast<int>(it.code);
  } else {
    m.slot = slot_of(it.code);
    m.extra_value = it.code - SLOTS.base[m.slot];
  }
  m.length_header = std::min<uint32_t>(it.length - 2, 7);
  m.main_symbol = 256 + 8 * m.slot + static_cast<int>(m.length_header);
  return m;
}

// Four 32-bit lanes: the parse relaxes four match lengths at once. Comparisons
// give -1 (true) or 0 per lane.
typedef int32_t Lanes __attribute__((vector_size(16)));
constexpr uint32_t LANE_SLACK = 4;
constexpr Lanes LANE_INDEX = {0, 1, 2, 3};
// By reference: 32-bit x86 without SSE passes vectors differently.
inline void load_lanes(Lanes& v, const uint32_t* p) {
  std::memcpy(&v, p, sizeof v);
}
inline void store_lanes(uint32_t* p, const Lanes& v) {
  std::memcpy(p, &v, sizeof v);
}

// A parse node's best incoming edge: length (0 for a literal) in the low
// bits, the match's offset code above them.
constexpr int EDGE_CODE_SHIFT = 9;
constexpr uint32_t EDGE_LENGTH_MASK = (1u << EDGE_CODE_SHIFT) - 1;
// Cost of a position no edge has reached yet (compared as signed).
constexpr uint32_t UNREACHED = 0x7FFFFFFF;

// Repeated offsets R0-R2 as the decoder updates them after a match.
struct Offsets {
  uint32_t r[3];
  void apply(uint32_t code) {
    if (code < 3) {
      std::swap(r[0], r[code]);
    } else {
      r[2] = r[1];
      r[1] = r[0];
      r[0] = code - 2;
    }
  }
};

struct Stats {
  uint32_t main[MAIN_MAX];
  uint32_t length[LENGTH_SYMBOLS];
  uint32_t aligned[ALIGNED_SYMBOLS];
  uint64_t verbatim_extra_bits;  // extra bits of verbatim coding
  uint64_t aligned_extra_bits;   // verbatim part of aligned coding (aligned symbols priced apart)
};

struct Trees {
  uint8_t main[MAIN_MAX];
  uint8_t length[LENGTH_SYMBOLS];
  uint8_t aligned[ALIGNED_SYMBOLS];
  uint16_t main_code[MAIN_MAX];
  uint16_t length_code[LENGTH_SYMBOLS];
  uint16_t aligned_code[ALIGNED_SYMBOLS];
};

class LzxEncoder final : public BlockEncoder {
 public:
  LzxEncoder(const LzxEncoderOptions& options, const LzxEncoderTuning& tuning)
      : options_(options), tuning_(tuning) {
    window_bits_ = options.window_bits;
    window_size_ = 1u << window_bits_;
    max_distance_ = window_size_ - 3;
    uint32_t slots = 4, span = 4;
    while (span < window_size_) span += 1u << SLOTS.extra[slots++];
    slots_ = static_cast<int>(slots);
    main_count_ = 256 + 8 * slots_;
    capacity_ = 2 * window_size_ + CAB_FRAME_SIZE;
    std::memset(previous_main_, 0, sizeof previous_main_);
    std::memset(previous_length_, 0, sizeof previous_length_);
    if (tuning_.search_depth < 1) tuning_.search_depth = 1;
    tuning_.nice_length = std::clamp(tuning_.nice_length, TREE_KEY, static_cast<int>(MAX_MATCH));
    if (tuning_.insert_depth < 1) tuning_.insert_depth = 1;
    if (tuning_.passes < 1) tuning_.passes = 1;
    // Whole multiples of 2^24 keep the bytes of a call near a frame's end
    // intact through the decoder's scan (see lzx_encode_calls).
    if (tuning_.translation_size == 0 || (tuning_.translation_size & 0xFFFFFF) ||
        tuning_.translation_size >= 0x80000000u)
      tuning_.translation_size = 1u << 24;
  }

  uint16_t type_word() const override { return static_cast<uint16_t>(3 | (window_bits_ << 8)); }
  // One block (one set of trees to send, and for the decoder to read and
  // build tables from) per group of frames instead of per frame, where
  // the tuning leaves the block layout to the encoder.
  uint32_t group_frames() const override {
    return tuning_.block_bytes == 0 && tuning_.passes == 1 ? GROUP_FRAMES : 1;
  }

  // Every table of the stream, in one order: freed, or handed over to the
  // thread's next encoder, together.
  auto tables() {
    return std::tie(head_, head2_, head3_, head4_, head5_, tree_, match_start_, match_data_,
                    node_cost_, node_edge_, history_, skip_, node_r_, items_);
  }

  // Hash tables a little larger than the stream has positions; a longer
  // stream only sees more collisions.
  void expect_stream_size(uint64_t bytes) override {
    if (!head_.empty()) return;
    hash_mask_ = hash_mask_for(bytes, MIN_HASH_BITS, HASH_BITS);
    hash4_mask_ = hash_mask_for(bytes, MIN_HASH_BITS, HASH4_BITS);
  }

 protected:
  bool encode_block(std::span<const uint8_t> frame, bool last_frame, std::vector<uint8_t>& out,
                    std::string& error) override;
  bool encode_group(std::span<const uint8_t> data, bool last_frame,
                    std::vector<std::vector<uint8_t>>& blocks, std::string& error) override;

  void release() override {
    keep_or_free_tables();
    match_price_.reset();
  }

 private:
  const uint8_t* at(uint32_t position) const { return history_.data() + (position - base_); }
  void append(std::span<const uint8_t> data);
  void allocate_tables();
  template <typename Visit>
  void for_each_table(Visit visit) {
    std::apply([&](auto&... table) { (visit(table), ...); }, tables());
  }
  void exchange_tables();
  void keep_or_free_tables();
  template <bool SEARCH>
  uint32_t insert_and_find(uint32_t pos, uint32_t max_length, uint32_t* found, int depth);
  void catch_up(uint32_t start);
  void find_matches(uint32_t start, uint32_t length);
  void set_costs_from(const uint8_t* main, const uint8_t* length);
  void initial_costs(uint32_t start, uint32_t length);
  void parse(uint32_t start, uint32_t length, std::vector<Item>& items);
  void collect(const std::vector<Item>& items, Stats& stats) const;
  void write_items(BitWriter& out, const std::vector<Item>& items) const;
  void apply_items(const std::vector<Item>& items);
  int finish_trees(const Stats& stats, Trees& trees, uint32_t bytes, bool may_store,
                   const uint8_t* previous_main, const uint8_t* previous_length,
                   uint64_t* bits = nullptr) const;
  int build_block(const Stats& stats, Trees& trees, uint32_t bytes, const uint8_t* previous_main,
                  const uint8_t* previous_length, uint64_t* bits = nullptr) const;
  void write_header(BitWriter& bits, std::vector<uint8_t>& out, int type, uint32_t size,
                    const Trees& trees, const Offsets& repeated);

  LzxEncoderOptions options_;
  LzxEncoderTuning tuning_;
  int window_bits_ = 21;
  uint32_t window_size_ = 0;
  uint32_t max_distance_ = 0;
  int slots_ = 0;
  int main_count_ = 0;

  // Window: stream bytes [base_, end_) live at history_[0 ..).
  std::vector<uint8_t> history_;
  uint32_t capacity_ = 0;
  uint32_t base_ = 0;
  uint32_t end_ = 0;
  std::vector<uint32_t> head_;   // hash of TREE_KEY bytes -> position + 1 (tree root)
  std::vector<uint32_t> head2_;  // 2 bytes -> position + 1
  std::vector<uint32_t> head3_;  // 3-byte hash -> position + 1
  std::vector<uint32_t> head4_;  // 4-byte hash -> position + 1
  std::vector<uint32_t> head5_;  // 5-byte hash -> position + 1
  std::vector<uint32_t> tree_;   // position & tree_mask_ -> children (position + 1)
  // The tree covers the stream's first positions until it has grown to the
  // window, so no position aliases another while it is smaller.
  uint32_t tree_mask_ = 0;
  // Smaller tables take the low bits of the full-size hashes.
  uint32_t hash_mask_ = (1u << HASH_BITS) - 1;
  uint32_t hash4_mask_ = (1u << HASH4_BITS) - 1;
  uint32_t inserted_ = 0;  // positions below this are in the trees

  // Matches of the block being parsed (by position offset).
  std::vector<uint32_t> match_start_;
  std::vector<uint32_t> match_data_;  // pairs (length, distance)
  std::vector<uint8_t> skip_;
  std::vector<uint32_t> node_cost_;  // bits to reach each position of the block
  std::vector<uint32_t> node_edge_;  // its best incoming edge
  std::vector<Offsets> node_r_;
  std::vector<Item> items_;                     // the parse of the block
  std::vector<std::vector<Item>> group_items_;  // the parse of each frame of a group
  std::vector<uint8_t> group_bytes_;            // a group's frames as the window holds them

  // Prices in bits.
  uint32_t main_cost_[MAIN_MAX] = {};
  uint32_t length_cost_[LENGTH_SYMBOLS] = {};
  // By slot and length (parse), with room for a last group of lanes.
  using PriceRow = uint32_t[MAX_MATCH + 1 + LANE_SLACK];
  std::unique_ptr<PriceRow[]> match_price_;  // MAX_SLOTS rows, made with the tables
  bool have_costs_ = false;

  // Decoder-visible state.
  Offsets r_{{1, 1, 1}};
  uint8_t previous_main_[MAIN_MAX];
  uint8_t previous_length_[LENGTH_SYMBOLS];
  bool first_header_ = true;
  bool translate_ = false;
  uint64_t frames_ = 0;
  bool pending_pad_ = false;
  bool short_frame_seen_ = false;
  int block_type_ = 0;
  uint32_t block_left_ = 0;
  uint32_t block_size_ = 0;
  Trees trees_{};
};

// The tables of a small stream outlive their encoder: the thread's next
// encoder takes them over, so that many small folders in a row (or a fuzzer's
// inputs) do not spend more time having fresh memory mapped and zeroed than
// compressing. Those of larger streams are freed at once, so that only the
// folders being compressed hold much memory.
constexpr size_t SPARE_TABLES_BYTES = size_t{16} << 20;
template <typename... Table>
std::tuple<std::remove_reference_t<Table>...> values_of(std::tuple<Table...>);
thread_local decltype(values_of(std::declval<LzxEncoder&>().tables())) spare_tables;

// Swaps every table with its place among the spare ones.
void LzxEncoder::exchange_tables() {
  std::apply(
      [&](auto&... spare) {
        std::apply([&](auto&... table) { (table.swap(spare), ...); }, tables());
      },
      spare_tables);
}

void LzxEncoder::keep_or_free_tables() {
  size_t bytes = 0;
  for_each_table([&](auto& table) { bytes += table.capacity() * sizeof table[0]; });
  if (bytes <= SPARE_TABLES_BYTES) exchange_tables();
  for_each_table([](auto& table) { std::remove_reference_t<decltype(table)>().swap(table); });
}

// Tables are made at the first frame, once the stream's size may be known,
// so that encoders of folders not yet begun hold no memory.
void LzxEncoder::allocate_tables() {
  exchange_tables();
  for_each_table([](auto& table) { table.clear(); });  // sizes as new, the memory kept
  head_.assign(size_t{hash_mask_} + 1, 0);
  match_price_ = std::make_unique<PriceRow[]>(MAX_SLOTS);
  head2_.assign(size_t{1} << 16, 0);
  head3_.assign(size_t{1} << HASH3_BITS, 0);
  head4_.assign(size_t{hash4_mask_} + 1, 0);
  head5_.assign(size_t{hash4_mask_} + 1, 0);
}

// History and tree grow with the stream (doubling) up to their full sizes.
void LzxEncoder::append(std::span<const uint8_t> data) {
  const uint32_t n = static_cast<uint32_t>(data.size());
  if ((end_ - base_) + n > capacity_) {
    uint32_t keep = std::min(end_ - base_, window_size_);
    std::memmove(history_.data(), history_.data() + (end_ - keep - base_), keep);
    base_ = end_ - keep;
  }
  const size_t needed = size_t{end_ - base_} + n + 16;
  if (history_.size() < needed)
    history_.resize(std::min(size_t{capacity_} + 16, std::max(needed, 2 * history_.size())));
  const uint64_t nodes = std::min<uint64_t>(window_size_, uint64_t{end_} + n);
  if (tree_.size() / 2 < nodes) {
    const uint32_t size = static_cast<uint32_t>(
        std::min<uint64_t>(window_size_, std::bit_ceil(std::max<uint64_t>(nodes, 4096))));
    tree_.resize(2 * size_t{size}, 0);
    tree_mask_ = size - 1;
  }
  if (n) std::memcpy(history_.data() + (end_ - base_), data.data(), n);
  end_ += n;
}

inline uint32_t load16(const uint8_t* p) {
  return p[0] | (p[1] << 8);
}
inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline uint32_t hash3(const uint8_t* p) {
  uint32_t v = (p[0] << 16) | (p[1] << 8) | p[2];
  return (v * 2654435761u) >> (32 - HASH3_BITS);
}
// Hash of the first `bytes` (4 to 8) bytes of the little-endian value v.
template <int bytes, int bits>
inline uint32_t hash_bytes(uint64_t v) {
  return static_cast<uint32_t>(((v << (64 - 8 * bytes)) * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}

// Bytes shared by a and b, from `from` up to `limit`; up to 7 bytes past
// `limit` may be read.
inline uint32_t common_length(const uint8_t* a, const uint8_t* b, uint32_t from, uint32_t limit) {
  uint32_t n = from;
  for (;;) {
    const uint64_t diff = load64(a + n) ^ load64(b + n);
    if (diff) {
      n += static_cast<uint32_t>(__builtin_ctzll(diff)) >> 3;
      break;
    }
    n += 8;
    if (n >= limit) break;
  }
  return std::min(n, limit);
}

// Puts `pos` into the binary tree of its bucket (ordered by the next
// `nice_length` bytes of each position) and, when searching, writes its
// matches of increasing length, cut to `max_length`, as (length, distance)
// pairs to `found`; returns the number of values written. A position closer
// than that to the end of the known data is only searched; it joins the tree
// once the next frame is in (catch_up), so that every node is ordered over the
// same number of bytes.
template <bool SEARCH>
uint32_t LzxEncoder::insert_and_find(uint32_t pos, uint32_t max_length, uint32_t* found,
                                     int depth) {
  if (pos + 4 > end_) return 0;
  const uint32_t nice = static_cast<uint32_t>(tuning_.nice_length);
  const bool insert = end_ - pos >= nice && pos == inserted_;
  if (!insert && (!SEARCH || max_length < 3)) return 0;
  const uint32_t mask = tree_mask_;
  const uint8_t* const here = at(pos);
  uint32_t* const tree = tree_.data();
  // The walks wait on memory: start loading what the next positions' walks
  // begin with (the tables four positions ahead, the tree root of the next).
  if (pos + TREE_KEY + 4 <= end_) {
    const uint64_t ahead = load64(here + 4);
    __builtin_prefetch(&head_[hash_mask_ & hash_bytes<TREE_KEY, HASH_BITS>(ahead)]);
    if (SEARCH) {
      __builtin_prefetch(&head4_[hash4_mask_ & hash_bytes<4, HASH4_BITS>(ahead)]);
      __builtin_prefetch(&head5_[hash4_mask_ & hash_bytes<5, HASH4_BITS>(ahead)]);
    }
    const uint32_t next = head_[hash_mask_ & hash_bytes<TREE_KEY, HASH_BITS>(load64(here + 1))];
    if (next > base_) {
      __builtin_prefetch(&tree[2 * ((next - 1) & mask)]);
      __builtin_prefetch(here + 1 - (pos + 1 - (next - 1)));
    }
  }
  const uint64_t key = load64(here);
  const uint32_t h2 = load16(here);
  const uint32_t h3 = hash3(here);
  const uint32_t h4 = hash4_mask_ & hash_bytes<4, HASH4_BITS>(key);
  const uint32_t h5 = hash4_mask_ & hash_bytes<5, HASH4_BITS>(key);
  const uint32_t lowest = std::max(base_, pos > max_distance_ ? pos - max_distance_ : 0);
  uint32_t n = 0;
  uint32_t best = 2;
  if (SEARCH) {
    // The nearest 2-, 3-, 4- and 5-byte strings: the trees only list longer
    // matches. A near 2-byte match can beat two literals.
    const uint32_t c2 = head2_[h2];
    const uint32_t d2 = pos - (c2 - 1);
    if (max_length >= 2 && c2 > lowest && d2 <= NEAR_DISTANCE && here[2] != (here - d2)[2]) {
      found[n++] = 2;
      found[n++] = d2;
    }
    auto nearest = [&](uint32_t candidate, uint32_t bytes) {
      if (candidate <= lowest || max_length < bytes || best >= bytes) return;
      const uint32_t distance = pos - (candidate - 1);
      const uint64_t keep = (uint64_t{1} << (8 * bytes)) - 1;
      if (((load64(here - distance) ^ key) & keep) != 0) return;
      best = common_length(here, here - distance, bytes, max_length);
      found[n++] = best;
      found[n++] = distance;
    };
    nearest(head3_[h3], 3);
    nearest(head4_[h4], 4);
    nearest(head5_[h5], 5);
  }
  if (!insert && pos + TREE_KEY > end_) return n;
  const uint32_t limit = insert ? nice : std::min(nice, end_ - pos);
  const uint32_t h = hash_mask_ & hash_bytes<TREE_KEY, HASH_BITS>(key);
  uint32_t candidate = head_[h];
  // Where the next node below and above pos goes (nowhere when pos is only
  // searched), and the bytes every node on that side shares with pos.
  uint32_t scratch[2];
  uint32_t* smaller = scratch;
  uint32_t* larger = scratch + 1;
  if (insert) {
    head_[h] = pos + 1;
    head2_[h2] = pos + 1;
    head3_[h3] = pos + 1;
    head4_[h4] = pos + 1;
    head5_[h5] = pos + 1;
    inserted_ = pos + 1;
    smaller = &tree[2 * (pos & mask)];
    larger = smaller + 1;
  }
  uint32_t smaller_length = 0, larger_length = 0;
  while (candidate > lowest && depth-- > 0) {
    const uint32_t distance = pos - (candidate - 1);
    uint32_t* pair = &tree[2 * ((candidate - 1) & mask)];
    const uint8_t* there = here - distance;
    const uint32_t len = common_length(here, there, std::min(smaller_length, larger_length), limit);
    if (SEARCH && len > best) {
      uint32_t usable = std::min(len, max_length);
      if (len == limit && usable < max_length)
        usable = common_length(here, there, usable, max_length);
      if (usable > best) {
        best = usable;
        found[n++] = usable;
        found[n++] = distance;
      }
    }
    if (len == limit) {
      // The same string: the new node takes the old one's place.
      *smaller = pair[0];
      *larger = pair[1];
      return n;
    }
    if (there[len] < here[len]) {
      *smaller = candidate;
      if (insert) smaller = &pair[1];
      candidate = pair[1];
      smaller_length = len;
    } else {
      *larger = candidate;
      if (insert) larger = &pair[0];
      candidate = pair[0];
      larger_length = len;
    }
  }
  *smaller = *larger = 0;
  return n;
}

// Inserts the positions held back at the end of the previous data.
void LzxEncoder::catch_up(uint32_t start) {
  if (inserted_ < base_) inserted_ = base_;
  const uint32_t nice = static_cast<uint32_t>(tuning_.nice_length);
  while (inserted_ < start && end_ - inserted_ >= nice)
    insert_and_find<false>(inserted_, 0, nullptr, tuning_.search_depth);
}

void LzxEncoder::find_matches(uint32_t start, uint32_t length) {
  match_start_.resize(length + 1);
  skip_.assign(length + 1, 0);
  const uint32_t nice = static_cast<uint32_t>(tuning_.nice_length);
  // Room for the most one position can list: the nearest-string tables and
  // one match per tree node visited.
  const uint32_t most = 2 * (4 + static_cast<uint32_t>(tuning_.search_depth));
  catch_up(start);
  uint32_t used = 0;
  uint32_t i = 0;
  while (i < length) {
    match_start_[i] = used;
    if (match_data_.size() < used + most) match_data_.resize(2 * (used + most));
    const uint32_t max_length = std::min(MAX_MATCH, length - i);
    const uint32_t n = insert_and_find<true>(start + i, max_length, match_data_.data() + used,
                                             tuning_.search_depth);
    used += n;
    const uint32_t longest = n ? match_data_[used - 2] : 0;
    if (longest >= nice) {
      // Take a long match as it is: skip the search inside it.
      for (uint32_t j = 1; j < longest; ++j) {
        match_start_[i + j] = used;
        skip_[i + j] = 1;
        insert_and_find<false>(start + i + j, 0, nullptr, tuning_.insert_depth);
      }
      i += longest;
    } else {
      ++i;
    }
  }
  match_start_[length] = used;
}

// Symbols without a code are priced a little above the longest code in use,
// as a new rare symbol would be.
void LzxEncoder::set_costs_from(const uint8_t* main, const uint8_t* length) {
  uint32_t longest = 0;
  for (int i = 0; i < main_count_; ++i) longest = std::max<uint32_t>(longest, main[i]);
  const uint32_t unused_main = std::min(longest + UNUSED_EXTRA, UNUSED_COST);
  longest = 0;
  for (int i = 0; i < LENGTH_SYMBOLS; ++i) longest = std::max<uint32_t>(longest, length[i]);
  const uint32_t unused_length = std::min(longest + UNUSED_EXTRA, UNUSED_COST);
  for (int i = 0; i < main_count_; ++i) main_cost_[i] = main[i] ? main[i] : unused_main;
  for (int i = 0; i < LENGTH_SYMBOLS; ++i) length_cost_[i] = length[i] ? length[i] : unused_length;
  have_costs_ = true;
}

// First block of a stream: literals priced from their frequencies here,
// matches at a flat guess.
void LzxEncoder::initial_costs(uint32_t start, uint32_t length) {
  uint32_t count[256] = {};
  const uint8_t* p = at(start);
  for (uint32_t i = 0; i < length; ++i) count[p[i]]++;
  for (int b = 0; b < 256; ++b) {
    double bits = std::log2((length + 1.0) / (count[b] + 0.5));
    main_cost_[b] = static_cast<uint32_t>(std::clamp(bits, 1.0, 15.0) + 0.5);
  }
  for (int i = 256; i < main_count_; ++i) main_cost_[i] = 9;
  for (int i = 0; i < LENGTH_SYMBOLS; ++i) length_cost_[i] = 6;
  have_costs_ = true;
}

// Shortest path over the block's positions; edges are literals, repeated
// offsets and the found matches at every length up to their longest. A node
// keeps only its cost and best incoming edge while it is being relaxed; its
// repeated offsets are worked out once, when the forward sweep reaches it and
// that edge is final.
void LzxEncoder::parse(uint32_t start, uint32_t length, std::vector<Item>& items) {
  node_cost_.resize(length + 1 + LANE_SLACK);
  node_edge_.resize(length + 1 + LANE_SLACK);
  node_r_.resize(length + 1);
  uint32_t* __restrict cost = node_cost_.data();
  uint32_t* __restrict edge = node_edge_.data();
  std::fill(cost, cost + length + 1, UNREACHED);
  cost[0] = 0;
  edge[0] = 0;
  const uint8_t* data = at(start);
  const uint32_t nice = static_cast<uint32_t>(tuning_.nice_length);
  // Price of a match's slot and length (main-tree symbol, length tree and
  // the slot's extra bits) by slot and length.
  for (int slot = 0; slot < slots_; ++slot) {
    const uint32_t* mc = main_cost_ + 256 + 8 * slot;
    uint32_t* price = match_price_[slot];
    const uint32_t extra = slot < 3 ? 0 : SLOTS.extra[slot];
    for (uint32_t l = 2; l <= 8; ++l) price[l] = mc[l - 2] + extra;
    for (uint32_t l = 9; l <= MAX_MATCH; ++l) price[l] = mc[7] + length_cost_[l - 9] + extra;
  }

  // Four lengths at a time, without branches: lanes past `to_length` keep
  // what they hold (the arrays have room for the last group).
  auto relax_lengths = [&](uint32_t to, uint32_t from_length, uint32_t to_length,
                           uint32_t base_cost, const uint32_t* price, uint32_t code) {
    const Lanes base = Lanes{} + static_cast<int32_t>(base_cost);
    const Lanes last = Lanes{} + static_cast<int32_t>(to_length);
    const Lanes codes = Lanes{} + static_cast<int32_t>(code);
    Lanes lane = LANE_INDEX + static_cast<int32_t>(from_length);
    for (uint32_t l = from_length; l <= to_length; l += 4, lane += 4) {
      Lanes c, old, old_edge;
      load_lanes(c, price + l);
      load_lanes(old, cost + to + l);
      load_lanes(old_edge, edge + to + l);
      c += base;
      const Lanes take = (c < old) & (lane <= last);
      store_lanes(cost + to + l, (c & take) | (old & ~take));
      store_lanes(edge + to + l, ((codes | lane) & take) | (old_edge & ~take));
    }
  };
  for (uint32_t i = 0; i < length; ++i) {
    const uint32_t base_cost = cost[i];
    if (base_cost == UNREACHED) continue;
    Offsets& r = node_r_[i];
    if (i == 0) {
      r = r_;
    } else {
      const uint32_t e = edge[i];
      const uint32_t len = e & EDGE_LENGTH_MASK;
      r = node_r_[i - (len ? len : 1)];
      if (len) r.apply(e >> EDGE_CODE_SHIFT);
    }
    if (skip_[i]) continue;
    {
      const uint32_t c = base_cost + main_cost_[data[i]];
      if (c < cost[i + 1]) {
        cost[i + 1] = c;
        edge[i + 1] = 0;
      }
    }
    const uint32_t max_length = std::min(MAX_MATCH, length - i);
    if (max_length < 2) continue;
    const uint32_t pos = start + i;
    // Repeated offsets. A tree match at the distance of one is dearer at
    // every length it covers: it is left out (`covered`).
    uint32_t covered[3] = {0, 0, 0};
    const uint32_t reach = pos - base_;
    const uint64_t head = load64(data + i);
    for (uint32_t k = 0; k < 3; ++k) {
      const uint32_t d = r.r[k];
      if (d > reach) continue;
      if (k > 0 && (d == r.r[0] || (k == 2 && d == r.r[1]))) continue;
      const uint64_t diff = load64(data + i - d) ^ head;
      if (diff & 0xFFFF) continue;
      covered[k] = d;
      const uint32_t len =
          diff ? std::min(static_cast<uint32_t>(__builtin_ctzll(diff)) >> 3, max_length)
               : common_length(data + i, data + i - d, 8, max_length);
      relax_lengths(i, len >= nice ? len : 2, len, base_cost, match_price_[k],
                    k << EDGE_CODE_SHIFT);
    }
    // Matches found in the trees.
    const uint32_t first = match_start_[i], last = match_start_[i + 1];
    if (first == last) continue;
    uint32_t previous = 1;
    for (uint32_t m = first; m < last; m += 2) {
      const uint32_t len = match_data_[m];
      const uint32_t d = match_data_[m + 1];
      if (d != covered[0] && d != covered[1] && d != covered[2])
        relax_lengths(i, len >= nice ? len : previous + 1, len, base_cost,
                      match_price_[slot_of(d + 2)], (d + 2) << EDGE_CODE_SHIFT);
      previous = len;
    }
  }
  // Walk back from the end.
  items.clear();
  uint32_t i = length;
  while (i > 0) {
    const uint32_t e = edge[i];
    const uint32_t len = e & EDGE_LENGTH_MASK;
    Item it{};
    if (len == 0) {
      it.literal = data[i - 1];
      i -= 1;
    } else {
      it.length = static_cast<uint16_t>(len);
      it.code = e >> EDGE_CODE_SHIFT;
      i -= len;
    }
    items.push_back(it);
  }
  std::reverse(items.begin(), items.end());
}

void LzxEncoder::collect(const std::vector<Item>& items, Stats& stats) const {
  std::memset(&stats, 0, sizeof stats);
  for (const Item& it : items) {
    if (it.length == 0) {
      stats.main[it.literal]++;
      continue;
    }
    const MatchSymbols m = match_symbols(it);
    stats.main[m.main_symbol]++;
    if (m.length_header == 7) stats.length[it.length - 9]++;
    const uint32_t extra = SLOTS.extra[m.slot];
    const uint32_t extra_value = m.extra_value;
    stats.verbatim_extra_bits += extra;
    if (extra >= 3) {
      stats.aligned_extra_bits += extra - 3;
      stats.aligned[extra_value & 7]++;
    } else {
      stats.aligned_extra_bits += extra;
    }
  }
}

void LzxEncoder::write_items(BitWriter& out, const std::vector<Item>& items) const {
  const bool aligned = block_type_ == 2;
  for (const Item& it : items) {
    if (it.length == 0) {
      out.put(trees_.main_code[it.literal], trees_.main[it.literal]);
      continue;
    }
    const MatchSymbols m = match_symbols(it);
    out.put(trees_.main_code[m.main_symbol], trees_.main[m.main_symbol]);
    if (m.length_header == 7)
      out.put(trees_.length_code[it.length - 9], trees_.length[it.length - 9]);
    const int extra = SLOTS.extra[m.slot];
    const uint32_t extra_value = m.extra_value;
    if (aligned && extra >= 3) {
      out.put(extra_value >> 3, extra - 3);
      out.put(trees_.aligned_code[extra_value & 7], trees_.aligned[extra_value & 7]);
    } else {
      out.put(extra_value, extra);
    }
  }
}

// Repeated offsets after the items, as the decoder will track them.
void LzxEncoder::apply_items(const std::vector<Item>& items) {
  for (const Item& it : items)
    if (it.length != 0) r_.apply(it.code);
}

// The aligned tree and the codes of trees whose lengths are built, and the
// cheapest block type for `bytes` coded with them (uncompressed only when
// `may_store`), its trees sent as differences from `previous`; `bits` gets
// the block's size in bits.
int LzxEncoder::finish_trees(const Stats& stats, Trees& trees, uint32_t bytes, bool may_store,
                             const uint8_t* previous_main, const uint8_t* previous_length,
                             uint64_t* bits) const {
  build_lengths(stats.aligned, ALIGNED_SYMBOLS, 7, trees.aligned);
  build_codes(trees.main, main_count_, trees.main_code);
  build_codes(trees.length, LENGTH_SYMBOLS, trees.length_code);
  build_codes(trees.aligned, ALIGNED_SYMBOLS, trees.aligned_code);
  uint64_t symbols = 0;
  for (int i = 0; i < main_count_; ++i) symbols += uint64_t{stats.main[i]} * trees.main[i];
  for (int i = 0; i < LENGTH_SYMBOLS; ++i) symbols += uint64_t{stats.length[i]} * trees.length[i];
  const uint64_t tree_bits =
      write_lengths(nullptr, trees.main, previous_main, 256) +
      write_lengths(nullptr, trees.main + 256, previous_main + 256, main_count_ - 256) +
      write_lengths(nullptr, trees.length, previous_length, LENGTH_SYMBOLS);
  uint64_t aligned_symbols = 0;
  for (int i = 0; i < ALIGNED_SYMBOLS; ++i)
    aligned_symbols += uint64_t{stats.aligned[i]} * trees.aligned[i];
  const uint64_t verbatim_cost = tree_bits + symbols + stats.verbatim_extra_bits;
  const uint64_t aligned_cost =
      tree_bits + symbols + stats.aligned_extra_bits + aligned_symbols + 3 * ALIGNED_SYMBOLS;
  const uint64_t stored_cost = 16 + 8 * (12 + uint64_t{bytes} + (bytes & 1));
  int type = options_.force_block_type;
  if (type < 1 || type > 3) {
    type = aligned_cost < verbatim_cost ? 2 : 1;
    if (stored_cost < std::min(aligned_cost, verbatim_cost) && may_store) type = 3;
  }
  if (bits) *bits = type == 3 ? stored_cost : type == 2 ? aligned_cost : verbatim_cost;
  return type;
}

// A block's header, after the stream's translation header before the first
// block: then its trees, or for an uncompressed block the repeated offsets
// (its bytes follow from the caller).
void LzxEncoder::write_header(BitWriter& bits, std::vector<uint8_t>& out, int type, uint32_t size,
                              const Trees& trees, const Offsets& repeated) {
  if (first_header_) {
    first_header_ = false;
    if (translate_) {
      bits.put(1, 1);
      bits.put(tuning_.translation_size >> 16, 16);
      bits.put(tuning_.translation_size & 0xFFFF, 16);
    } else {
      bits.put(0, 1);
    }
  }
  bits.put(static_cast<uint32_t>(type), 3);
  bits.put(size >> 16, 8);
  bits.put((size >> 8) & 0xFF, 8);
  bits.put(size & 0xFF, 8);
  block_type_ = type;
  block_size_ = size;
  if (type == 3) {
    // The bytes start at the next word boundary; when the header ends on
    // one, a whole word of padding comes first.
    if (bits.pending() == 0) bits.put(0, 16);
    bits.flush();
    uint8_t rs[12];
    store32(rs, repeated.r[0]);
    store32(rs + 4, repeated.r[1]);
    store32(rs + 8, repeated.r[2]);
    out.insert(out.end(), rs, rs + 12);
    return;
  }
  trees_ = trees;
  if (type == 2)
    for (int i = 0; i < ALIGNED_SYMBOLS; ++i) bits.put(trees_.aligned[i], 3);
  write_lengths(&bits, trees_.main, previous_main_, 256);
  write_lengths(&bits, trees_.main + 256, previous_main_ + 256, main_count_ - 256);
  write_lengths(&bits, trees_.length, previous_length_, LENGTH_SYMBOLS);
  std::memcpy(previous_main_, trees_.main, sizeof previous_main_);
  std::memcpy(previous_length_, trees_.length, sizeof previous_length_);
}

// Trees built for a block of these statistics, its type, and its size in
// bits when `bits` is given.
int LzxEncoder::build_block(const Stats& stats, Trees& trees, uint32_t bytes,
                            const uint8_t* previous_main, const uint8_t* previous_length,
                            uint64_t* bits) const {
  build_lengths(stats.main, main_count_, 16, trees.main);
  build_lengths(stats.length, LENGTH_SYMBOLS, 16, trees.length);
  return finish_trees(stats, trees, bytes, true, previous_main, previous_length, bits);
}

void add_stats(Stats& to, const Stats& from) {
  for (int i = 0; i < MAIN_MAX; ++i) to.main[i] += from.main[i];
  for (int i = 0; i < LENGTH_SYMBOLS; ++i) to.length[i] += from.length[i];
  for (int i = 0; i < ALIGNED_SYMBOLS; ++i) to.aligned[i] += from.aligned[i];
  to.verbatim_extra_bits += from.verbatim_extra_bits;
  to.aligned_extra_bits += from.aligned_extra_bits;
}

// Up to GROUP_FRAMES frames at once: each frame is matched and parsed in
// turn, priced by the code of the frames before it; then each frame joins
// the block of the frame before it unless the two cost fewer bits as blocks
// of their own, trees included. A block's header and trees go into its first
// frame's data block.
bool LzxEncoder::encode_group(std::span<const uint8_t> data, bool last_frame,
                              std::vector<std::vector<uint8_t>>& blocks, std::string& error) {
  const uint32_t total = static_cast<uint32_t>(data.size());
  const uint32_t count = (total + CAB_FRAME_SIZE - 1) / CAB_FRAME_SIZE;
  if (short_frame_seen_ || block_left_ > 0) {
    error = short_frame_seen_ ? "LZX frame after a short frame" : "LZX block left open";
    return false;
  }
  short_frame_seen_ = total % CAB_FRAME_SIZE != 0;
  if (frames_ == 0)
    translate_ = options_.call_translation < 0 ? lzx_looks_like_x86(data.first(CAB_FRAME_SIZE))
                                               : options_.call_translation > 0;
  if (head_.empty()) allocate_tables();
  group_bytes_.assign(data.begin(), data.end());
  if (group_items_.size() < count) group_items_.resize(count);
  auto frame_size = [&](uint32_t k) {
    return std::min(CAB_FRAME_SIZE, total - k * CAB_FRAME_SIZE);
  };
  Stats frame_stats[GROUP_FRAMES], so_far{};
  Offsets r_after[GROUP_FRAMES];
  Trees trees{};
  for (uint32_t k = 0; k < count; ++k) {
    const std::span<uint8_t> frame(group_bytes_.data() + k * CAB_FRAME_SIZE, frame_size(k));
    if (translate_ && frames_ < TRANSLATED_FRAMES)
      lzx_encode_calls(frame, end_, tuning_.translation_size);
    ++frames_;
    const uint32_t start = end_;
    append(frame);
    find_matches(start, frame_size(k));
    if (!have_costs_) initial_costs(start, frame_size(k));
    parse(start, frame_size(k), group_items_[k]);
    apply_items(group_items_[k]);
    r_after[k] = r_;
    collect(group_items_[k], frame_stats[k]);
    add_stats(so_far, frame_stats[k]);
    build_lengths(so_far.main, main_count_, 16, trees.main);
    build_lengths(so_far.length, LENGTH_SYMBOLS, 16, trees.length);
    set_costs_from(trees.main, trees.length);
  }
  // Block starts: greedy, each frame against the block before it, whose
  // trees the frame's own would be sent as differences from.
  bool starts[GROUP_FRAMES] = {true};
  {
    Trees block_trees{}, alone{}, joined{}, closed{};
    Stats block = frame_stats[0];
    uint32_t block_bytes = frame_size(0);
    uint64_t block_cost = 0, alone_cost = 0, joined_cost = 0;
    build_block(block, block_trees, block_bytes, previous_main_, previous_length_, &block_cost);
    const uint8_t* previous_main = previous_main_;
    const uint8_t* previous_length = previous_length_;
    for (uint32_t k = 1; k < count; ++k) {
      Stats both = block;
      add_stats(both, frame_stats[k]);
      build_block(frame_stats[k], alone, frame_size(k), block_trees.main, block_trees.length,
                  &alone_cost);
      build_block(both, joined, block_bytes + frame_size(k), previous_main, previous_length,
                  &joined_cost);
      if (joined_cost <= block_cost + alone_cost) {
        block = both;
        block_bytes += frame_size(k);
        block_cost = joined_cost;
        block_trees = joined;
        continue;
      }
      starts[k] = true;
      closed = block_trees;
      block_trees = alone;
      previous_main = closed.main;
      previous_length = closed.length;
      block = frame_stats[k];
      block_bytes = frame_size(k);
      block_cost = alone_cost;
    }
  }
  int type = 0;
  for (uint32_t k = 0; k < count; ++k) {
    std::vector<uint8_t>& out = blocks.emplace_back();
    if (pending_pad_) {
      out.push_back(0);
      pending_pad_ = false;
    }
    BitWriter bits(out);
    if (starts[k]) {
      uint32_t end = k + 1, bytes = frame_size(k);
      Stats block = frame_stats[k];
      for (; end < count && !starts[end]; ++end) {
        add_stats(block, frame_stats[end]);
        bytes += frame_size(end);
      }
      type = build_block(block, trees, bytes, previous_main_, previous_length_);
      // An uncompressed block carries the repeated offsets the next block's
      // parse went on from.
      write_header(bits, out, type, bytes, trees, r_after[end - 1]);
      // Odd only with the folder's short last frame: the padding byte is due
      // only if a frame still follows.
      if (type == 3 && (bytes & 1) && !last_frame) pending_pad_ = true;
    }
    if (type == 3) {
      const auto frame = group_bytes_.begin() + k * CAB_FRAME_SIZE;
      out.insert(out.end(), frame, frame + frame_size(k));
    } else {
      write_items(bits, group_items_[k]);
    }
    bits.flush();
  }
  set_costs_from(trees.main, trees.length);
  return true;
}

bool LzxEncoder::encode_block(std::span<const uint8_t> frame, bool last_frame,
                              std::vector<uint8_t>& out, std::string& error) {
  const uint32_t n = static_cast<uint32_t>(frame.size());
  if (short_frame_seen_) {
    // Frames must stay aligned to 32768 in the window: only the last is short.
    error = "LZX frame after a short frame";
    return false;
  }
  short_frame_seen_ = n < CAB_FRAME_SIZE;
  if (frames_ == 0)
    translate_ =
        options_.call_translation < 0 ? lzx_looks_like_x86(frame) : options_.call_translation > 0;
  if (head_.empty()) allocate_tables();
  std::vector<uint8_t> data(frame.begin(), frame.end());
  if (translate_ && frames_ < TRANSLATED_FRAMES)
    lzx_encode_calls(data, end_, tuning_.translation_size);
  ++frames_;
  const uint32_t frame_start = end_;
  append(data);
  if (n == 0) return true;
  if (pending_pad_) {
    out.push_back(0);
    pending_pad_ = false;
  }

  BitWriter bits(out);
  std::vector<Item>& items = items_;
  uint32_t done = 0;
  while (done < n) {
    const uint32_t start = frame_start + done;
    if (block_left_ > 0) {
      // A block that began in an earlier frame.
      const uint32_t part = std::min(block_left_, n - done);
      if (block_type_ == 3) {
        out.insert(out.end(), at(start), at(start) + part);
        // Keep the trees complete for later frames.
        catch_up(start + part);
      } else {
        find_matches(start, part);
        parse(start, part, items);
        write_items(bits, items);
        apply_items(items);
      }
      block_left_ -= part;
      done += part;
    } else {
      const uint32_t size = tuning_.block_bytes ? tuning_.block_bytes : n - done;
      const uint32_t part = std::min(size, n - done);
      const bool spans = size > part;
      find_matches(start, part);
      const int passes = tuning_.passes;
      if (!have_costs_) initial_costs(start, part);
      Stats stats;
      Trees trees{};
      for (int pass = 0; pass < passes; ++pass) {
        parse(start, part, items);
        collect(items, stats);
        if (spans) {
          // Later frames are coded with these trees too: every symbol needs a code.
          for (int i = 0; i < main_count_; ++i) stats.main[i]++;
          for (auto& f : stats.length) f++;
          for (auto& f : stats.aligned) f++;
        }
        build_lengths(stats.main, main_count_, 16, trees.main);
        build_lengths(stats.length, LENGTH_SYMBOLS, 16, trees.length);
        if (pass + 1 < passes) set_costs_from(trees.main, trees.length);
      }
      const int type = finish_trees(stats, trees, part, !spans, previous_main_, previous_length_);
      write_header(bits, out, type, size, trees, r_);
      if (type == 3) {
        out.insert(out.end(), at(start), at(start) + part);
      } else {
        write_items(bits, items);
        apply_items(items);
      }
      // The next block's first guess at prices: this block's code.
      set_costs_from(trees.main, trees.length);
      block_left_ = size - part;
      done += part;
    }
    if (block_left_ == 0 && block_type_ == 3 && (block_size_ & 1)) {
      // Odd uncompressed blocks are followed by a padding byte, which the
      // decoder skips when it reads the next header, possibly in the next frame.
      if (done < n) {
        out.push_back(0);
      } else if (!last_frame) {
        pending_pad_ = true;
      }
    }
  }
  bits.flush();
  return true;
}

}  // namespace

void lzx_encode_calls(std::span<uint8_t> frame, uint32_t position, uint32_t translation_size) {
  const uint32_t n = static_cast<uint32_t>(frame.size());
  if (n < 6) return;
  uint8_t* d = frame.data();
  uint32_t k = 0;
  while (k < n - 6) {
    if (d[k] != 0xE8) {
      ++k;
      continue;
    }
    // Operands that reach into the frame's last 6 bytes are left as they are:
    // the decoder works on 0xE8 filler there and restores those bytes, and it
    // only changes the operand's top byte (the size is a multiple of 2^24).
    if (k + 11 <= n) {
      const int64_t value = static_cast<int32_t>(load32(d + k + 1));
      const int64_t pos = position + k;
      const int64_t size = translation_size;
      if (value >= -pos && value < size - pos) {
        store32(d + k + 1, static_cast<uint32_t>(value + pos));
      } else if (value >= size - pos && value < size) {
        store32(d + k + 1, static_cast<uint32_t>(value - size));
      }
    }
    k += 5;
  }
}

bool lzx_looks_like_x86(std::span<const uint8_t> data) {
  const size_t n = data.size();
  const uint8_t* d = data.data();
  if (n >= 64 && d[0] == 'M' && d[1] == 'Z') return true;
  if (n >= 20 && d[0] == 0x7F && d[1] == 'E' && d[2] == 'L' && d[3] == 'F') {
    const uint16_t machine = static_cast<uint16_t>(d[18] | (d[19] << 8));
    return machine == 3 || machine == 62;
  }
  // Calls with near displacements: E8 followed by a 32-bit value whose top
  // byte is 00 or FF.
  size_t calls = 0;
  for (size_t k = 0; k + 5 <= n; ++k)
    if (d[k] == 0xE8 && (d[k + 4] == 0x00 || d[k + 4] == 0xFF)) ++calls;
  return n >= 1024 && calls * 400 >= n;
}

std::unique_ptr<BlockEncoder> make_lzx_encoder_tuned(const LzxEncoderOptions& options,
                                                     const LzxEncoderTuning& tuning) {
  if (options.window_bits < 15 || options.window_bits > 21) return nullptr;
  return std::make_unique<LzxEncoder>(options, tuning);
}

std::unique_ptr<BlockEncoder> make_lzx_encoder(const LzxEncoderOptions& options) {
  return make_lzx_encoder_tuned(options, LzxEncoderTuning{});
}

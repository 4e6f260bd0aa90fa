// Byte layout of the cabinets our writer produces, read back with a small
// parser of its own; and the writer's refusals.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "writer/cab_writer.h"
#include "writer/encoders.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t u16(const Bytes& b, size_t at) {
  return uint16_t(b.at(at) | b.at(at + 1) << 8);
}
uint32_t u32(const Bytes& b, size_t at) {
  return u16(b, at) | uint32_t(u16(b, at + 2)) << 16;
}

struct ParsedBlock {
  uint32_t csum;
  uint16_t cb_data;
  uint16_t cb_uncomp;
  Bytes reserve;
  Bytes data;
};
struct ParsedFolder {
  uint32_t coff;
  uint16_t blocks;
  uint16_t type;
  std::vector<ParsedBlock> data;
};
struct ParsedFile {
  uint32_t size, offset;
  uint16_t folder, date, time, attribs;
  std::string name;
};
struct Parsed {
  uint32_t cb_cabinet, coff_files;
  uint16_t version, flags, set_id, index;
  uint16_t header_reserve = 0;
  uint8_t folder_reserve = 0, data_reserve = 0;
  Bytes header_reserve_bytes;
  std::string prev, prev_disk, next, next_disk;
  std::vector<ParsedFolder> folders;
  std::vector<ParsedFile> files;
};

std::string cstring(const Bytes& b, size_t& at) {
  std::string s;
  while (b.at(at) != 0) s += char(b[at++]);
  ++at;
  return s;
}

// Independent of the writer: the published definition, word by word.
uint32_t reference_checksum(const uint8_t* p, size_t n, uint32_t sum) {
  size_t words = n / 4;
  for (size_t i = 0; i < words; ++i) {
    uint32_t w;
    std::memcpy(&w, p + 4 * i, 4);  // host is little-endian
    sum ^= w;
  }
  p += 4 * words;
  uint32_t tail = 0;
  for (size_t i = 0; i < n % 4; ++i) tail = tail << 8 | p[i];
  return sum ^ tail;
}

Parsed parse(const Bytes& cab) {
  Parsed p;
  EXPECT_EQ(0, std::memcmp(cab.data(), "MSCF\0\0\0\0", 8));
  p.cb_cabinet = u32(cab, 8);
  p.coff_files = u32(cab, 16);
  p.version = u16(cab, 24);
  const uint16_t folders = u16(cab, 26), files = u16(cab, 28);
  p.flags = u16(cab, 30);
  p.set_id = u16(cab, 32);
  p.index = u16(cab, 34);
  size_t at = 36;
  if (p.flags & 4) {
    p.header_reserve = u16(cab, 36);
    p.folder_reserve = cab.at(38);
    p.data_reserve = cab.at(39);
    p.header_reserve_bytes.assign(cab.begin() + 40, cab.begin() + 40 + p.header_reserve);
    at = 40 + p.header_reserve;
  }
  if (p.flags & 1) {
    p.prev = cstring(cab, at);
    p.prev_disk = cstring(cab, at);
  }
  if (p.flags & 2) {
    p.next = cstring(cab, at);
    p.next_disk = cstring(cab, at);
  }
  for (uint16_t f = 0; f < folders; ++f) {
    ParsedFolder folder{u32(cab, at), u16(cab, at + 4), u16(cab, at + 6), {}};
    at += 8 + p.folder_reserve;
    size_t d = folder.coff;
    for (uint16_t k = 0; k < folder.blocks; ++k) {
      ParsedBlock b;
      b.csum = u32(cab, d);
      b.cb_data = u16(cab, d + 4);
      b.cb_uncomp = u16(cab, d + 6);
      b.reserve.assign(cab.begin() + d + 8, cab.begin() + d + 8 + p.data_reserve);
      const size_t data_at = d + 8 + p.data_reserve;
      EXPECT_LE(data_at + b.cb_data, cab.size());
      b.data.assign(cab.begin() + data_at, cab.begin() + data_at + b.cb_data);
      uint32_t sum = reference_checksum(b.data.data(), b.data.size(), 0);
      sum = reference_checksum(cab.data() + d + 4, 4 + p.data_reserve, sum);
      EXPECT_EQ(sum, b.csum) << "block " << k << " of folder " << f;
      d = data_at + b.cb_data;
      folder.data.push_back(std::move(b));
    }
    p.folders.push_back(std::move(folder));
  }
  EXPECT_EQ(at, p.coff_files);
  at = p.coff_files;
  for (uint16_t i = 0; i < files; ++i) {
    ParsedFile file{u32(cab, at),
                    u32(cab, at + 4),
                    u16(cab, at + 8),
                    u16(cab, at + 10),
                    u16(cab, at + 12),
                    u16(cab, at + 14),
                    {}};
    at += 16;
    file.name = cstring(cab, at);
    p.files.push_back(file);
  }
  if (!p.folders.empty()) {
    EXPECT_EQ(at, p.folders[0].coff) << "data follow the file list";
  }
  EXPECT_EQ(p.cb_cabinet, cab.size());
  return p;
}

Bytes pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    b[i] = uint8_t(seed >> 16);
  }
  return b;
}

CabFolderInput folder_of(std::unique_ptr<BlockEncoder> encoder, std::vector<CabEntry> entries) {
  CabFolderInput f;
  f.encoder = std::move(encoder);
  f.entries = std::move(entries);
  return f;
}

TEST(WriterLayout, StoredCabinetFieldsFramesAndRecords) {
  std::vector<CabFolderInput> folders;
  std::vector<CabEntry> entries;
  entries.push_back(make_memory_entry("a.txt", pattern(40000, 1), 0x5A21, 0x6001, 0x21));
  entries.push_back(make_memory_entry("dir\\b.bin", pattern(30000, 2), 0x4C8F, 0xBF7D, 0x01));
  entries.push_back(make_memory_entry("empty\\", {}, 0x5A21, 0x6001, 0x10));
  folders.push_back(folder_of(make_stored_encoder(), std::move(entries)));
  CabWriterOptions options;
  options.set_id = 0x1234;
  const auto cabs = write_cabinets_to_memory(folders, options);
  ASSERT_EQ(cabs.size(), 1u);
  const Parsed p = parse(cabs[0]);
  EXPECT_EQ(p.version, 0x0103);
  EXPECT_EQ(p.flags, 0);
  EXPECT_EQ(p.set_id, 0x1234);
  EXPECT_EQ(p.index, 0);
  EXPECT_EQ(p.coff_files, 44u) << "one 8-byte folder record right after the 36-byte header";
  ASSERT_EQ(p.folders.size(), 1u);
  EXPECT_EQ(p.folders[0].type, 0);
  ASSERT_EQ(p.folders[0].blocks, 3);
  EXPECT_EQ(p.folders[0].data[0].cb_uncomp, 32768);
  EXPECT_EQ(p.folders[0].data[1].cb_uncomp, 32768);
  EXPECT_EQ(p.folders[0].data[2].cb_uncomp, 70000 - 65536);
  Bytes stream;
  for (const auto& b : p.folders[0].data) {
    EXPECT_EQ(b.cb_data, b.cb_uncomp);
    stream.insert(stream.end(), b.data.begin(), b.data.end());
  }
  Bytes expected = pattern(40000, 1);
  const Bytes second = pattern(30000, 2);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(stream, expected);
  ASSERT_EQ(p.files.size(), 3u);
  EXPECT_EQ(p.files[0].name, "a.txt");
  EXPECT_EQ(p.files[0].size, 40000u);
  EXPECT_EQ(p.files[0].offset, 0u);
  EXPECT_EQ(p.files[0].attribs, 0x21);
  EXPECT_EQ(p.files[1].name, "dir\\b.bin");
  EXPECT_EQ(p.files[1].offset, 40000u);
  EXPECT_EQ(p.files[1].date, 0x4C8F);
  EXPECT_EQ(p.files[1].time, 0xBF7D);
  EXPECT_EQ(p.files[2].name, "empty\\");
  EXPECT_EQ(p.files[2].size, 0u);
  for (const auto& f : p.files) EXPECT_EQ(f.folder, 0);
}

TEST(WriterLayout, SeveralFoldersAndReserveAreas) {
  std::vector<CabFolderInput> folders;
  folders.push_back(folder_of(make_stored_encoder(), {make_memory_entry("one", pattern(100, 3))}));
  folders.push_back(
      folder_of(make_mszip_encoder(6, Z_DEFAULT_STRATEGY),
                {make_memory_entry("two", Bytes(50000, 'x')), make_memory_entry("three", {})}));
  folders.push_back(folder_of(make_stored_encoder(), {make_memory_entry("four", pattern(7, 4))}));
  CabWriterOptions options;
  options.header_reserve = 6;
  options.folder_reserve = 3;
  options.data_reserve = 5;
  options.header_reserve_bytes = {0xDE, 0xAD};
  const auto cabs = write_cabinets_to_memory(folders, options);
  ASSERT_EQ(cabs.size(), 1u);
  const Parsed p = parse(cabs[0]);
  EXPECT_EQ(p.flags, 0x0004);
  EXPECT_EQ(p.header_reserve, 6);
  EXPECT_EQ(p.folder_reserve, 3);
  EXPECT_EQ(p.data_reserve, 5);
  EXPECT_EQ(p.header_reserve_bytes, (Bytes{0xDE, 0xAD, 0, 0, 0, 0}));
  EXPECT_EQ(p.coff_files, 36u + 4 + 6 + 3 * (8 + 3));
  ASSERT_EQ(p.folders.size(), 3u);
  EXPECT_EQ(p.folders[0].type, 0);
  EXPECT_EQ(p.folders[1].type, 1);
  EXPECT_EQ(p.folders[1].blocks, 2);
  EXPECT_EQ(p.folders[2].blocks, 1);
  ASSERT_EQ(p.files.size(), 4u);
  EXPECT_EQ(p.files[1].folder, 1);
  EXPECT_EQ(p.files[2].folder, 1);
  EXPECT_EQ(p.files[2].offset, 50000u);
  EXPECT_EQ(p.files[3].folder, 2);
  EXPECT_EQ(p.files[3].offset, 0u);
  for (const auto& f : p.folders)
    for (const auto& b : f.data) EXPECT_EQ(b.reserve, Bytes(5, 0));
}

// Inflates the MSZIP blocks of a folder with zlib, each block a raw deflate
// stream with the previous block as its dictionary.
Bytes inflate_folder(const ParsedFolder& folder) {
  Bytes out, previous;
  for (const auto& b : folder.data) {
    EXPECT_GE(b.data.size(), 2u);
    EXPECT_EQ(b.data[0], 'C');
    EXPECT_EQ(b.data[1], 'K');
    EXPECT_LE(b.data.size(), 32780u);
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    if (!previous.empty()) inflateSetDictionary(&z, previous.data(), uInt(previous.size()));
    Bytes block(32768);
    z.next_in = const_cast<Bytef*>(b.data.data() + 2);
    z.avail_in = uInt(b.data.size() - 2);
    z.next_out = block.data();
    z.avail_out = uInt(block.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END) << "every block ends its deflate stream";
    EXPECT_EQ(z.avail_in, 0u);
    block.resize(std::min<size_t>(z.total_out, block.size()));
    EXPECT_EQ(block.size(), b.cb_uncomp);
    inflateEnd(&z);
    out.insert(out.end(), block.begin(), block.end());
    previous = block;
  }
  return out;
}

TEST(WriterLayout, MszipBlocksAreSelfContainedDeflateWithHistory) {
  // Repetition across frame boundaries makes matches reach into the previous
  // frame; random data exercises the incompressible worst case.
  Bytes repeating;
  const Bytes unit = pattern(5000, 7);
  while (repeating.size() < 200000) repeating.insert(repeating.end(), unit.begin(), unit.end());
  for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
    for (int level : {0, 1, 9}) {
      for (bool random : {false, true}) {
        const Bytes data = random ? pattern(100000, 11) : repeating;
        std::vector<CabFolderInput> folders;
        folders.push_back(
            folder_of(make_mszip_encoder(level, strategy), {make_memory_entry("f", data)}));
        const auto cabs = write_cabinets_to_memory(folders);
        const Parsed p = parse(cabs[0]);
        EXPECT_EQ(p.folders[0].type, 1);
        EXPECT_EQ(inflate_folder(p.folders[0]), data)
            << "level " << level << " strategy " << strategy;
        if (!random && level > 0 && strategy != Z_HUFFMAN_ONLY && strategy != Z_RLE) {
          // Frames after the first are found in the previous frame.
          EXPECT_LT(p.folders[0].data[2].cb_data, 2000) << "strategy " << strategy;
        }
      }
    }
  }
  EXPECT_EQ(make_mszip_encoder(10, Z_DEFAULT_STRATEGY), nullptr);
  EXPECT_EQ(make_mszip_encoder(5, 42), nullptr);
}

// An encoder that returns what it is told to, for the writer's checks.
class FakeEncoder : public BlockEncoder {
 public:
  FakeEncoder(uint16_t type, int extra, bool fail = false)
      : type_(type), extra_(extra), fail_(fail) {}
  uint16_t type_word() const override { return type_; }
  bool encode_block(std::span<const uint8_t> frame, bool, std::vector<uint8_t>& out,
                    std::string& error) override {
    if (fail_) {
      error = "fake failure";
      return false;
    }
    out.assign(frame.begin(), frame.end());
    out.resize(size_t(int(out.size()) + extra_), 0);
    return true;
  }

 private:
  uint16_t type_;
  int extra_;
  bool fail_;
};

std::string refusal(std::vector<CabFolderInput>& folders, const CabWriterOptions& options = {}) {
  try {
    write_cabinets_to_memory(folders, options);
  } catch (const CabWriterError& e) {
    return e.what();
  }
  return "";
}

std::vector<CabFolderInput> one_folder(std::unique_ptr<BlockEncoder> encoder,
                                       std::vector<CabEntry> entries) {
  std::vector<CabFolderInput> folders;
  folders.push_back(folder_of(std::move(encoder), std::move(entries)));
  return folders;
}

TEST(WriterLayout, RefusesWhatTheFormatCannotHold) {
  {
    auto f = one_folder(make_stored_encoder(), {make_memory_entry(std::string(255, 'n'), {})});
    EXPECT_EQ(refusal(f), "") << "255 bytes fit";
    f = one_folder(make_stored_encoder(), {make_memory_entry(std::string(256, 'n'), {})});
    EXPECT_NE(refusal(f).find("at most 255"), std::string::npos) << refusal(f);
  }
  {
    std::vector<CabEntry> many(65536, make_memory_entry("x", {}));
    auto f = one_folder(make_stored_encoder(), std::move(many));
    EXPECT_NE(refusal(f).find("65535"), std::string::npos);
  }
  {
    auto f = one_folder(make_stored_encoder(), {make_memory_entry("", {})});
    EXPECT_NE(refusal(f).find("empty"), std::string::npos);
    f = one_folder(make_stored_encoder(), {make_memory_entry(std::string("a\0b", 3), {})});
    EXPECT_NE(refusal(f).find("NUL"), std::string::npos);
  }
  {
    // Two 3 GiB files: the folder's offsets would pass 32 bits. Refused
    // before any byte is read (the sources do not exist).
    CabEntry big;
    big.name = "big";
    big.source = "/nonexistent/big";
    big.size = 3ull << 30;
    auto f = one_folder(make_stored_encoder(), {big, big});
    EXPECT_NE(refusal(f).find("32-bit"), std::string::npos) << refusal(f);
    big.size = 1ull << 32;
    f = one_folder(make_stored_encoder(), {big});
    EXPECT_NE(refusal(f).find("4 GiB"), std::string::npos) << refusal(f);
  }
  {
    auto f = one_folder(std::make_unique<FakeEncoder>(1, 12),
                        {make_memory_entry("m", pattern(32768, 1))});
    EXPECT_EQ(refusal(f), "") << "32780 bytes is the MSZIP limit";
    f = one_folder(std::make_unique<FakeEncoder>(1, 13),
                   {make_memory_entry("m", pattern(32768, 1))});
    EXPECT_NE(refusal(f).find("32780"), std::string::npos) << refusal(f);
    f = one_folder(std::make_unique<FakeEncoder>(3, 6145),
                   {make_memory_entry("m", pattern(32768, 1))});
    EXPECT_NE(refusal(f).find("38912"), std::string::npos) << refusal(f);
    f = one_folder(std::make_unique<FakeEncoder>(2, 10241),
                   {make_memory_entry("m", pattern(32768, 1))});
    EXPECT_NE(refusal(f).find("43008"), std::string::npos) << refusal(f);
    f = one_folder(std::make_unique<FakeEncoder>(0, -1), {make_memory_entry("m", pattern(10, 1))});
    EXPECT_NE(refusal(f).find("stored"), std::string::npos) << refusal(f);
    f = one_folder(std::make_unique<FakeEncoder>(4, 0), {make_memory_entry("m", pattern(10, 1))});
    EXPECT_NE(refusal(f).find("compression type"), std::string::npos) << refusal(f);
    f = one_folder(std::make_unique<FakeEncoder>(1, 0, true),
                   {make_memory_entry("m", pattern(10, 1))});
    EXPECT_NE(refusal(f).find("fake failure"), std::string::npos) << refusal(f);
    // A deferred encoder whose making fails when its folder's turn comes.
    int calls = 0;
    f = one_folder(make_deferred_encoder([&calls]() -> std::unique_ptr<BlockEncoder> {
                     return calls++ ? nullptr : make_stored_encoder();
                   }),
                   {make_memory_entry("m", pattern(10, 1))});
    EXPECT_NE(refusal(f).find("could not be made"), std::string::npos);
  }
  {
    auto f = one_folder(make_stored_encoder(), {make_memory_entry("big", pattern(100000, 1))});
    CabWriterOptions small;
    small.max_cabinet_size = 50000;
    EXPECT_NE(refusal(f, small).find("larger than 50000"), std::string::npos) << refusal(f, small);
    small.max_cabinet_size = uint64_t(1) << 31;
    EXPECT_NE(refusal(f, small).find("2147483647"), std::string::npos);
    small.max_cabinet_size = 200000;
    small.header_reserve_bytes = {1, 2};
    EXPECT_NE(refusal(f, small).find("reserve"), std::string::npos);
  }
  {
    CabEntry missing;
    missing.name = "gone";
    missing.source = "/nonexistent/gone";
    missing.size = 10;
    auto f = one_folder(make_stored_encoder(), {missing});
    EXPECT_NE(refusal(f).find("cannot open /nonexistent/gone"), std::string::npos) << refusal(f);
  }
}

TEST(WriterLayout, SourceFilesThatChangeAreRefused) {
  const auto dir = std::filesystem::temp_directory_path() / "writer_layout_sources";
  std::filesystem::create_directories(dir);
  const auto path = dir / "changing.bin";
  {
    std::ofstream out(path, std::ios::binary);
    out << std::string(1000, 'q');
  }
  CabEntry e;
  e.name = "changing.bin";
  e.source = path;
  e.size = 1000;
  auto f = one_folder(make_stored_encoder(), {e});
  const auto cabs = write_cabinets_to_memory(f);
  EXPECT_EQ(parse(cabs[0]).folders[0].data[0].data, Bytes(1000, 'q'));
  e.size = 999;
  f = one_folder(make_stored_encoder(), {e});
  EXPECT_NE(refusal(f).find("grew"), std::string::npos) << refusal(f);
  e.size = 1001;
  f = one_folder(make_stored_encoder(), {e});
  EXPECT_NE(refusal(f).find("shorter"), std::string::npos) << refusal(f);
  // Written to (same size) after its date was taken.
  e.size = 1000;
  e.source_time = std::filesystem::last_write_time(path);
  f = one_folder(make_stored_encoder(), {e});
  EXPECT_EQ(write_cabinets_to_memory(f).size(), 1u);
  e.source_time -= std::chrono::seconds(1);
  f = one_folder(make_stored_encoder(), {e});
  EXPECT_NE(refusal(f).find("changed while packing"), std::string::npos) << refusal(f);
  std::filesystem::remove_all(dir);
}

// A set: four files in one stored folder over cabinets of at most 40000
// bytes. Files that continue are listed in every cabinet they reach; blocks
// that do not fit are split with cbUncomp = 0 on the first piece.
TEST(WriterLayout, CabinetSetSpanningFilesAndSplitBlocks) {
  std::vector<CabEntry> entries;
  entries.push_back(make_memory_entry("first", pattern(20000, 1)));
  entries.push_back(make_memory_entry("second", pattern(40000, 2)));
  entries.push_back(make_memory_entry("zero", {}));
  entries.push_back(make_memory_entry("third", pattern(30000, 3)));
  auto folders = one_folder(make_stored_encoder(), std::move(entries));
  CabWriterOptions options;
  options.allow_set = true;
  options.max_cabinet_size = 40000;
  options.set_id = 777;
  options.first_cabinet_index = 5;
  options.cabinet_name = [](unsigned n) { return "part" + std::to_string(n + 1) + ".cab"; };
  options.disk_name = [](unsigned n) { return "Disk " + std::to_string(n + 1); };
  const auto cabs = write_cabinets_to_memory(folders, options);
  ASSERT_EQ(cabs.size(), 3u);
  std::vector<Parsed> p;
  for (const auto& c : cabs) {
    EXPECT_LE(c.size(), 40000u);
    p.push_back(parse(c));
  }
  EXPECT_EQ(p[0].flags, 0x0002);
  EXPECT_EQ(p[1].flags, 0x0003);
  EXPECT_EQ(p[2].flags, 0x0001);
  EXPECT_EQ(p[0].next, "part2.cab");
  EXPECT_EQ(p[0].next_disk, "Disk 2");
  EXPECT_EQ(p[1].prev, "part1.cab");
  EXPECT_EQ(p[1].prev_disk, "Disk 1");
  EXPECT_EQ(p[1].next, "part3.cab");
  EXPECT_EQ(p[2].prev, "part2.cab");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(p[i].set_id, 777);
    EXPECT_EQ(p[i].index, 5 + i);
    ASSERT_EQ(p[i].folders.size(), 1u);
  }
  // Every file of the folder is listed in its first cabinet; those not
  // complete there come last, marked as continuing.
  ASSERT_EQ(p[0].files.size(), 4u);
  EXPECT_EQ(p[0].files[0].name, "first");
  EXPECT_EQ(p[0].files[0].folder, 0);
  EXPECT_EQ(p[0].files[1].name, "zero");
  EXPECT_EQ(p[0].files[1].folder, 0) << "an empty file never spans";
  EXPECT_EQ(p[0].files[2].name, "second");
  EXPECT_EQ(p[0].files[2].folder, 0xFFFE);
  EXPECT_EQ(p[0].files[3].name, "third");
  EXPECT_EQ(p[0].files[3].folder, 0xFFFE);
  ASSERT_EQ(p[1].files.size(), 2u);
  EXPECT_EQ(p[1].files[0].name, "second");
  EXPECT_EQ(p[1].files[0].folder, 0xFFFD);
  EXPECT_EQ(p[1].files[0].offset, 20000u);
  EXPECT_EQ(p[1].files[1].name, "third");
  EXPECT_EQ(p[1].files[1].folder, 0xFFFF);
  EXPECT_EQ(p[1].files[1].offset, 60000u);
  ASSERT_EQ(p[2].files.size(), 1u);
  EXPECT_EQ(p[2].files[0].name, "third");
  EXPECT_EQ(p[2].files[0].folder, 0xFFFD);

  // Join the pieces back into blocks and the blocks into the stream.
  Bytes stream, carried;
  int split_blocks = 0;
  for (const auto& cab : p) {
    for (const auto& b : cab.folders[0].data) {
      carried.insert(carried.end(), b.data.begin(), b.data.end());
      if (b.cb_uncomp == 0) {
        ++split_blocks;
        EXPECT_EQ(&b, &cab.folders[0].data.back()) << "only a folder's last piece is split";
        continue;
      }
      EXPECT_EQ(carried.size(), b.cb_uncomp);
      stream.insert(stream.end(), carried.begin(), carried.end());
      carried.clear();
    }
  }
  EXPECT_EQ(split_blocks, 2);
  Bytes expected = pattern(20000, 1);
  for (const Bytes& more : {pattern(40000, 2), pattern(30000, 3)})
    expected.insert(expected.end(), more.begin(), more.end());
  EXPECT_EQ(stream, expected);
}

TEST(WriterLayout, SetBeginsANewCabinetForAFolderThatDoesNotFit) {
  // Folder b's file list (a 200-byte name) no longer fits beside folder a, so
  // b begins the second cabinet instead of continuing into it.
  // An encoder serves one pass over its folder: every write gets new ones.
  const std::string long_name(200, 'b');
  const auto folders = [&] {
    std::vector<CabFolderInput> f;
    f.push_back(folder_of(make_stored_encoder(), {make_memory_entry("a", pattern(9000, 1))}));
    f.push_back(folder_of(make_stored_encoder(), {make_memory_entry(long_name, pattern(100, 2))}));
    return f;
  };
  CabWriterOptions options;
  options.allow_set = true;
  options.max_cabinet_size = 9200;
  options.cabinet_name = [](unsigned n) { return "c" + std::to_string(n) + ".cab"; };
  auto pass = folders();
  const auto cabs = write_cabinets_to_memory(pass, options);
  ASSERT_EQ(cabs.size(), 2u);
  const Parsed first = parse(cabs[0]), second = parse(cabs[1]);
  ASSERT_EQ(first.files.size(), 1u);
  EXPECT_EQ(first.files[0].folder, 0);
  EXPECT_EQ(first.flags, 0x0002);
  EXPECT_EQ(first.next, "c1.cab");
  EXPECT_EQ(second.flags, 0x0001);
  EXPECT_EQ(second.prev, "c0.cab");
  ASSERT_EQ(second.files.size(), 1u);
  EXPECT_EQ(second.files[0].name, long_name);
  EXPECT_EQ(second.files[0].folder, 0) << "a folder that begins here, not a continued one";
  EXPECT_EQ(second.folders[0].data[0].data, pattern(100, 2));

  // A limit below one block and its file list cannot be met.
  options.max_cabinet_size = 200;
  pass = folders();
  std::string error = refusal(pass, options);
  EXPECT_NE(error.find("raise the size limit"), std::string::npos) << error;
  // Without a set, data beyond the limit are refused.
  options.allow_set = false;
  options.max_cabinet_size = 9200;
  pass = folders();
  error = refusal(pass, options);
  EXPECT_NE(error.find("does not fit"), std::string::npos) << error;
}

// 65537 frames whose blocks are tiny: more than one cabinet's folder record
// can count, so a set begins a new cabinet after 65535 blocks. The input is a
// sparse file of 2 GiB + 1 byte (a single cabinet would refuse it at the
// same place, with the same test).
TEST(WriterLayout, DataBlockCountPerCabinet) {
  class TinyEncoder : public BlockEncoder {
   public:
    uint16_t type_word() const override { return 1; }
    bool encode_block(std::span<const uint8_t>, bool, std::vector<uint8_t>& out,
                      std::string&) override {
      out.push_back(0);
      return true;
    }
  };
  const auto dir = std::filesystem::temp_directory_path() / "writer_layout_blocks";
  std::filesystem::create_directories(dir);
  const auto path = dir / "sparse.bin";
  const uint64_t size = 65536ull * 32768 + 1;
  { std::ofstream out(path, std::ios::binary); }
  std::filesystem::resize_file(path, size);
  CabEntry e;
  e.name = "sparse.bin";
  e.source = path;
  e.size = size;
  CabWriterOptions options;
  options.allow_set = true;
  options.cabinet_name = [](unsigned n) { return "b" + std::to_string(n) + ".cab"; };
  auto f = one_folder(std::make_unique<TinyEncoder>(), {e});
  const auto cabs = write_cabinets_to_memory(f, options);
  ASSERT_EQ(cabs.size(), 2u);
  const Parsed first = parse(cabs[0]), second = parse(cabs[1]);
  EXPECT_EQ(first.folders[0].blocks, 65535);
  EXPECT_EQ(first.files[0].folder, 0xFFFE);
  EXPECT_EQ(second.folders[0].blocks, 2);
  EXPECT_EQ(second.files[0].folder, 0xFFFD);
  std::filesystem::remove_all(dir);
}

}  // namespace

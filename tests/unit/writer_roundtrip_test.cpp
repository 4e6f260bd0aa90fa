// Cabinets from our writer extracted through the whole library: several
// folders, reserves, and cabinet sets followed across cabinets.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>

#include "support/memory_cabinet.h"
#include "support/sample_data.h"
#include "writer/cab_writer.h"
#include "writer/encoders.h"

namespace {

using memcab::Bytes;

using sample::random_bytes;

Bytes text_bytes(size_t n, uint32_t seed) {
  static const char* words[] = {"cabinet ", "folder ", "block ", "the ", "of ", "and\n", "data "};
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    const char* w = words[rng() % 7];
    b.insert(b.end(), w, w + std::strlen(w));
  }
  b.resize(n);
  return b;
}

struct Expected {
  Bytes data;
  uint16_t date, time, attribs;
};

// Builds entries of various sizes for a folder and records what each should
// extract to.
std::vector<CabEntry> make_entries(const std::string& prefix, const std::vector<size_t>& sizes,
                                   uint32_t seed, std::map<std::string, Expected>& expected) {
  std::vector<CabEntry> entries;
  for (size_t i = 0; i < sizes.size(); ++i) {
    const std::string name = prefix + "\\f" + std::to_string(i) + ".bin";
    Bytes data = (i % 2) ? random_bytes(sizes[i], seed + uint32_t(i))
                         : text_bytes(sizes[i], seed + uint32_t(i));
    const uint16_t date = uint16_t(0x5A21 + i), time = uint16_t(0x6000 + 33 * i);
    const uint16_t attribs = uint16_t(0x20 | (i % 3 == 1 ? 0x01 : 0) | (i % 5 == 2 ? 0x80 : 0));
    expected[name] = {data, date, time, attribs};
    entries.push_back(make_memory_entry(name, std::move(data), date, time, attribs));
  }
  return entries;
}

CabFolderInput folder_of(std::unique_ptr<BlockEncoder> encoder, std::vector<CabEntry> entries) {
  CabFolderInput f;
  f.encoder = std::move(encoder);
  f.entries = std::move(entries);
  return f;
}

void expect_all_extracted(const std::vector<memcab::ExtractedFile>& files,
                          const std::map<std::string, Expected>& expected) {
  std::map<std::string, int> seen;
  for (const auto& f : files) {
    ++seen[f.name];
    auto it = expected.find(f.name);
    ASSERT_NE(it, expected.end()) << f.name;
    EXPECT_TRUE(f.data == it->second.data) << f.name << " differs";
    EXPECT_EQ(f.date, it->second.date) << f.name;
    EXPECT_EQ(f.time, it->second.time) << f.name;
    EXPECT_EQ(f.attribs, it->second.attribs) << f.name;
  }
  for (const auto& [name, e] : expected) EXPECT_EQ(seen[name], 1) << name << " extracted once";
}

TEST(WriterRoundTrip, SeveralFoldersWithReserves) {
  for (int reserves = 0; reserves < 2; ++reserves) {
    std::map<std::string, Expected> expected;
    std::vector<CabFolderInput> folders;
    folders.push_back(folder_of(make_stored_encoder(),
                                make_entries("stored", {0, 1, 32768, 40000, 5}, 1, expected)));
    folders.push_back(folder_of(make_mszip_encoder(6, Z_DEFAULT_STRATEGY),
                                make_entries("zip6", {100000, 32767, 0, 70000}, 2, expected)));
    // Made at its first frame, as pack makes them.
    int made = 0;
    folders.push_back(folder_of(make_deferred_encoder([&made] {
                                  ++made;
                                  return make_mszip_encoder(1, Z_FILTERED);
                                }),
                                make_entries("zip1", {65536, 3}, 3, expected)));
    folders.push_back(folder_of(make_stored_encoder(), make_entries("last", {1000}, 4, expected)));
    EXPECT_EQ(made, 1) << "only the one asked for its type word";
    CabWriterOptions options;
    if (reserves) {
      options.header_reserve = 20;
      options.folder_reserve = 7;
      options.data_reserve = 3;
      options.header_reserve_bytes = {1, 2, 3};
    }
    const auto cabs = write_cabinets_to_memory(folders, options);
    ASSERT_EQ(cabs.size(), 1u);
    EXPECT_EQ(made, 2);
    memcab::VirtualDisk disk;
    disk.files["one.cab"] = cabs[0];
    const auto result = memcab::extract_all(disk, "one.cab");
    ASSERT_TRUE(result.ok) << CabErrorText(result.error.code);
    expect_all_extracted(result.files, expected);
    EXPECT_TRUE(disk.live_allocations().empty());
  }
}

TEST(WriterRoundTrip, RunAfterBitAndDamagedBlock) {
  std::vector<CabFolderInput> folders;
  folders.push_back(folder_of(make_mszip_encoder(9, Z_DEFAULT_STRATEGY),
                              {make_memory_entry("setup.exe", text_bytes(5000, 1), 1, 2, 0x60),
                               make_memory_entry("data.bin", random_bytes(50000, 2))}));
  auto cabs = write_cabinets_to_memory(folders);
  memcab::VirtualDisk disk;
  disk.files["a.cab"] = cabs[0];
  auto result = memcab::extract_all(disk, "a.cab");
  ASSERT_TRUE(result.ok);
  const auto* setup = result.find("setup.exe");
  ASSERT_NE(setup, nullptr);
  EXPECT_TRUE(setup->run_after);
  EXPECT_EQ(setup->attribs, 0x20);
  // The writer's checksums are real: one changed byte in the last block fails.
  disk.files["a.cab"][cabs[0].size() - 100] ^= 0x10;
  result = memcab::extract_all(disk, "a.cab");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error.code, CAB_ERR_DAMAGED);
}

struct SetCase {
  const char* label;
  uint64_t limit;
  bool mszip;
  uint8_t data_reserve;
};

// One folder over a set: a single walk that starts at the first cabinet
// extracts every file, following NEED_CABINET, as the module does.
TEST(WriterRoundTrip, CabinetSetExtractsInOneWalkFromTheFirstCabinet) {
  const SetCase cases[] = {
      {"stored, small cabinets", 34000, false, 0},
      {"stored, reserves", 50000, false, 9},
      {"mszip, small cabinets", 34000, true, 0},
      {"mszip, larger cabinets", 45000, true, 4},
  };
  for (const SetCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::map<std::string, Expected> expected;
    std::vector<CabFolderInput> folders;
    folders.push_back(folder_of(
        c.mszip ? make_mszip_encoder(6, Z_DEFAULT_STRATEGY) : make_stored_encoder(),
        make_entries("set", {10, 70000, 0, 1, 32768, 150000, 0, 3000, 3000, 3000, 45000, 7}, 7,
                     expected)));
    CabWriterOptions options;
    options.allow_set = true;
    options.max_cabinet_size = c.limit;
    options.set_id = 4242;
    options.data_reserve = c.data_reserve;
    options.cabinet_name = [](unsigned n) { return "disk" + std::to_string(n + 1) + ".cab"; };
    options.disk_name = [](unsigned n) { return "Disk " + std::to_string(n + 1); };
    const auto cabs = write_cabinets_to_memory(folders, options);
    ASSERT_GE(cabs.size(), 2u);
    memcab::VirtualDisk disk;
    for (size_t i = 0; i < cabs.size(); ++i) {
      EXPECT_LE(cabs[i].size(), c.limit);
      disk.files["sets/disk" + std::to_string(i + 1) + ".cab"] = cabs[i];
    }
    memcab::ExtractOptions extract;
    extract.path = "sets/";
    extract.max_need_cabinet = 1000;
    const auto result = memcab::extract_all(disk, "disk1.cab", extract);
    ASSERT_TRUE(result.ok) << CabErrorText(result.error.code);
    expect_all_extracted(result.files, expected);
    int needs = 0;
    for (const auto& e : result.events)
      if (e.kind == CAB_NOTIFY_NEED_CABINET) {
        EXPECT_EQ(e.last_error, 0) << "every following cabinet found at the first attempt";
        ++needs;
      }
    EXPECT_EQ(size_t(needs), cabs.size() - 1);
  }
}

// Several folders in a set: the walk from the first cabinet extracts the files
// of its folders; folders that begin in later cabinets are reached by walks
// that start there, and files continued from before are passed over there.
TEST(WriterRoundTrip, CabinetSetWithSeveralFoldersCoveredByWalksPerCabinet) {
  std::map<std::string, Expected> expected;
  std::vector<CabFolderInput> folders;
  folders.push_back(folder_of(make_mszip_encoder(6, Z_DEFAULT_STRATEGY),
                              make_entries("a", {60000, 5}, 1, expected)));
  folders.push_back(
      folder_of(make_stored_encoder(), make_entries("b", {30000, 0, 20000}, 2, expected)));
  folders.push_back(
      folder_of(make_mszip_encoder(1, Z_RLE), make_entries("c", {90000, 100, 4000}, 3, expected)));
  CabWriterOptions options;
  options.allow_set = true;
  options.max_cabinet_size = 25000;
  options.cabinet_name = [](unsigned n) { return "m" + std::to_string(n) + ".cab"; };
  const auto cabs = write_cabinets_to_memory(folders, options);
  ASSERT_GE(cabs.size(), 4u);
  memcab::VirtualDisk disk;
  for (size_t i = 0; i < cabs.size(); ++i) disk.files["m" + std::to_string(i) + ".cab"] = cabs[i];
  std::vector<memcab::ExtractedFile> all;
  memcab::ExtractOptions extract;
  extract.max_need_cabinet = 1000;
  for (size_t i = 0; i < cabs.size(); ++i) {
    const auto result = memcab::extract_all(disk, "m" + std::to_string(i) + ".cab", extract);
    ASSERT_TRUE(result.ok) << "walk from cabinet " << i << ": " << CabErrorText(result.error.code);
    all.insert(all.end(), result.files.begin(), result.files.end());
  }
  expect_all_extracted(all, expected);
}

TEST(WriterRoundTrip, LargeFolderStreamsThroughATemporaryFile) {
  // 24 MiB of mixed data with a spool folder: more than the writer keeps in
  // memory, so blocks wait in temporary files that are removed afterwards.
  // Compressed one folder at a time or several at once, the bytes are the
  // same, the set ID drawn from the contents included.
  const auto dir = std::filesystem::temp_directory_path() / "writer_roundtrip_spool";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::map<std::string, Expected> expected;
  auto make_folders = [&expected] {
    std::vector<CabFolderInput> folders;
    folders.push_back(
        folder_of(make_stored_encoder(), make_entries("big", {12u << 20, 8u << 20}, 9, expected)));
    folders.push_back(folder_of(make_mszip_encoder(6, Z_DEFAULT_STRATEGY),
                                make_entries("text", {3u << 20, 5000}, 10, expected)));
    folders.push_back(
        folder_of(make_stored_encoder(), make_entries("tail", {1u << 20}, 11, expected)));
    return folders;
  };
  const uint64_t total = (24u << 20) + 5000, frames = 640 + 97 + 32;
  CabWriterOptions options;
  options.spool_dir = dir;
  options.set_id_from_content = true;
  uint64_t last_done = 0, calls = 0;
  options.progress = [&](uint64_t done, uint64_t all) {
    EXPECT_GT(done, last_done);
    EXPECT_EQ(all, total);
    last_done = done;
    ++calls;
  };
  std::vector<Bytes> first;
  for (unsigned jobs : {1u, 3u}) {
    SCOPED_TRACE(jobs);
    options.jobs = jobs;
    last_done = calls = 0;
    auto folders = make_folders();
    const auto cabs = write_cabinets_to_memory(folders, options);
    EXPECT_EQ(last_done, total);
    if (jobs == 1) {
      EXPECT_EQ(calls, frames);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir)) << "the temporary files are removed";
    if (first.empty())
      first = cabs;
    else
      EXPECT_TRUE(cabs == first) << "the output depends on the number of jobs";
  }
  memcab::VirtualDisk disk;
  disk.files["big.cab"] = first[0];
  const auto result = memcab::extract_all(disk, "big.cab");
  ASSERT_TRUE(result.ok);
  expect_all_extracted(result.files, expected);

  // One byte more or less in a file gives another set ID.
  auto folders = make_folders();
  folders[2].entries[0].data[4096] ^= 1;
  options.progress = nullptr;
  const auto changed = write_cabinets_to_memory(folders, options);
  EXPECT_NE(changed[0][32] | changed[0][33] << 8, first[0][32] | first[0][33] << 8);

  // A folder that fails stops the others: its error is reported, and no
  // temporary file is left.
  folders = make_folders();
  folders[1].entries[1].source = dir / "vanished.bin";
  try {
    write_cabinets_to_memory(folders, options);
    ADD_FAILURE() << "a missing source was not reported";
  } catch (const CabWriterError& e) {
    EXPECT_NE(std::string(e.what()).find("vanished.bin"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  std::filesystem::remove_all(dir);
}

}  // namespace

// Damaged and hostile cabinets: each fault ends the extraction with its own
// error code, leaves no handle open and no memory allocated.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "cabinet/cab_internal.h"
#include "support/cab_bytes.h"
#include "support/memory_cabinet.h"

namespace {

using cabbytes::Bytes;
using cabbytes::Cabinet;
using cabbytes::pattern;

Cabinet one_file(size_t size = 100) {
  return cabbytes::stored({{"f.bin", pattern(size)}});
}

memcab::ExtractResult run_bytes(const Bytes& bytes, memcab::VirtualDisk* disk_out = nullptr) {
  memcab::VirtualDisk local;
  memcab::VirtualDisk& disk = disk_out ? *disk_out : local;
  disk.files["t.cab"] = bytes;
  memcab::ExtractResult r = memcab::extract_all(disk, "t.cab");
  EXPECT_EQ(disk.stats.open_cabinets, 0);
  EXPECT_TRUE(disk.live_allocations().empty());
  if (!r.ok) {
    EXPECT_EQ(r.error.failed, 1);
  }
  return r;
}
memcab::ExtractResult run(const Cabinet& cab, memcab::VirtualDisk* disk = nullptr) {
  return run_bytes(cabbytes::build(cab), disk);
}
int32_t error_of(const Cabinet& cab) {
  const memcab::ExtractResult r = run(cab);
  return r.ok ? CAB_ERR_NONE : r.error.code;
}

TEST(CabinetDamage, HeaderFaults) {
  Cabinet cab = one_file();
  ASSERT_EQ(error_of(cab), CAB_ERR_NONE);

  cab.signature = "MSCE";
  EXPECT_EQ(error_of(cab), CAB_ERR_NOT_CABINET);

  Bytes truncated = cabbytes::build(one_file());
  truncated.resize(35);
  EXPECT_EQ(run_bytes(truncated).error.code, CAB_ERR_NOT_CABINET);

  cab = one_file();
  cab.version = 0x0301;  // bytes 1, 3: major and minor swapped
  memcab::ExtractResult r = run(cab);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error.code, CAB_ERR_VERSION);
  EXPECT_EQ(r.error.detail, 0x0301);

  // Reserve sizes announced, header reserve cut short by the end of the file.
  cab = one_file();
  cab.reserve_present = true;
  cab.header_reserve = pattern(20);
  Bytes bytes = cabbytes::build(cab);
  bytes.resize(36 + 4 + 10);
  EXPECT_EQ(run_bytes(bytes).error.code, CAB_ERR_NOT_CABINET);
}

TEST(CabinetDamage, StringsNeedANulWithin256Bytes) {
  Cabinet cab = cabbytes::stored({{std::string(255, 'n'), pattern(10)}});
  memcab::ExtractResult r = run(cab);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.files.at(0).name.size(), 255u);

  cab.files[0].name = std::string(256, 'n');
  EXPECT_EQ(error_of(cab), CAB_ERR_DAMAGED);

  cab = one_file();
  cab.next_cabinet = std::string(300, 'c');
  cab.next_disk = "d";
  EXPECT_EQ(error_of(cab), CAB_ERR_DAMAGED);

  // A name that runs into the end of the file without its NUL.
  Bytes bytes = cabbytes::build(cabbytes::stored({{"name", {}}}));
  bytes.pop_back();
  EXPECT_EQ(run_bytes(bytes).error.code, CAB_ERR_DAMAGED);
}

TEST(CabinetDamage, DataBlockChecks) {
  Cabinet cab = one_file(5000);
  cab.folders[0].blocks[0].csum = 0x12345678;
  EXPECT_EQ(error_of(cab), CAB_ERR_DAMAGED);
  cab.folders[0].blocks[0].csum = 0;  // unchecked: same bytes decode
  EXPECT_EQ(error_of(cab), CAB_ERR_NONE);
  // A flipped data byte under a computed checksum.
  Bytes bytes = cabbytes::build(one_file(5000));
  bytes.back() ^= 1;
  EXPECT_EQ(run_bytes(bytes).error.code, CAB_ERR_DAMAGED);

  // More bytes than a stored block can hold: refused before they are read.
  cab = one_file(100);
  cab.folders[0].blocks[0].data_size = 32769;
  memcab::VirtualDisk disk;
  EXPECT_EQ(run(cab, &disk).error.code, CAB_ERR_DAMAGED);
  EXPECT_LT(disk.stats.largest_read_request, 32769u);

  cab = one_file(100);
  cab.folders[0].blocks[0].uncompressed = 99;
  EXPECT_EQ(error_of(cab), CAB_ERR_DECODER);

  // Fewer blocks than the file needs: the library asks for the next
  // cabinet (this one names none), until the caller gives up.
  cab = one_file(100);
  cab.files[0].size = 200;
  memcab::ExtractResult r = run(cab);
  EXPECT_EQ(r.error.code, CAB_ERR_ABORTED);
  ASSERT_GE(r.events.size(), 2u);
  EXPECT_EQ(r.events.back().kind, CAB_NOTIFY_NEED_CABINET);
  EXPECT_EQ(r.events.back().last_error, CAB_ERR_CABINET_MISSING);

  // A data header cut short.
  bytes = cabbytes::build(one_file(100));
  bytes.resize(bytes.size() - 100 - 4);
  EXPECT_EQ(run_bytes(bytes).error.code, CAB_ERR_DAMAGED);
}

TEST(CabinetDamage, FolderAndListFaults) {
  Cabinet cab = one_file();
  cab.files[0].folder = 3;  // no such folder
  EXPECT_EQ(error_of(cab), CAB_ERR_DAMAGED);

  cab = one_file();
  cab.folders.clear();
  cab.files[0].folder = 0xFFFE;  // continues into the next cabinet, but there is no folder
  EXPECT_EQ(error_of(cab), CAB_ERR_DAMAGED);

  cab = one_file();
  cab.coff_files = 100000;
  EXPECT_EQ(error_of(cab), CAB_ERR_DAMAGED);

  cab = one_file();
  cab.folders[0].coff_cab_start = 0x7FFFFFF0;
  EXPECT_EQ(error_of(cab), CAB_ERR_DAMAGED);

  cab = one_file();
  cab.folders[0].type = 0x000F;  // the library's own "no decoder" mark
  EXPECT_EQ(error_of(cab), CAB_ERR_COMPRESSION_TYPE);
}

TEST(CabinetDamage, UnknownTypeReleasesTheDecoderAndTheContextStaysUsable) {
  memcab::VirtualDisk disk;
  memcab::DiskScope scope(disk);
  CabErrorRecord error{};
  CabDecoder* context = memcab::create_decoder(&error);
  ASSERT_NE(context, nullptr);
  disk.files["good.cab"] = cabbytes::build(one_file(3000));
  Cabinet bad = one_file(3000);
  bad.folders[0].type = 5;
  disk.files["bad.cab"] = cabbytes::build(bad);
  memcab::ExtractOptions reuse;
  reuse.context = context;

  EXPECT_TRUE(memcab::extract_all(disk, "good.cab", reuse).ok);
  EXPECT_EQ(context->type_word, COMPRESSION_NONE);
  EXPECT_FALSE(memcab::extract_all(disk, "bad.cab", reuse).ok);
  EXPECT_EQ(error.code, CAB_ERR_COMPRESSION_TYPE);
  EXPECT_EQ(context->type_word, COMPRESSION_UNSET);
  EXPECT_EQ(context->compressed, nullptr);
  EXPECT_EQ(context->uncompressed, nullptr);
  memcab::ExtractResult again = memcab::extract_all(disk, "good.cab", reuse);
  ASSERT_TRUE(again.ok);
  EXPECT_EQ(again.files.at(0).data, pattern(3000));
  CabDecoderDestroy(context);
  EXPECT_TRUE(disk.live_allocations().empty());
}

TEST(CabinetDamage, DecodersThatCannotStart) {
  for (uint16_t bits : {9, 22}) {
    Cabinet cab = one_file();
    cab.folders[0].type = static_cast<uint16_t>(COMPRESSION_QUANTUM | bits << 8);
    EXPECT_EQ(error_of(cab), CAB_ERR_DECODER) << bits;
  }
  // An LZX window the decoder cannot use (2^31 bytes) and a Quantum window
  // that does not fit in memory: both decoders refuse creation as lack of
  // memory.
  Cabinet cab = one_file();
  cab.folders[0].type = COMPRESSION_LZX | 31 << 8;
  EXPECT_EQ(error_of(cab), CAB_ERR_NO_MEMORY);
  cab.folders[0].type = COMPRESSION_QUANTUM | 21 << 8;
  memcab::VirtualDisk disk;
  disk.faults.fail_alloc_above = 50000;  // the block buffers fit, a 2 MiB window does not
  EXPECT_EQ(run(cab, &disk).error.code, CAB_ERR_NO_MEMORY);
}

TEST(CabinetDamage, PathsTooLongForTheContextOpenNothing) {
  memcab::VirtualDisk disk;
  const std::string path200(199, 'p');
  disk.files[path200 + "\\" + std::string(57, 'n')] = cabbytes::build(one_file());
  memcab::ExtractOptions options;
  options.path = path200 + "\\";
  EXPECT_TRUE(memcab::extract_all(disk, std::string(57, 'n'), options).ok);  // 257 in all

  disk.opened_paths.clear();
  memcab::ExtractResult r = memcab::extract_all(disk, std::string(58, 'n'), options);
  EXPECT_EQ(r.error.code, CAB_ERR_CABINET_MISSING);
  options.path = std::string(257, 'p');
  r = memcab::extract_all(disk, "", options);
  EXPECT_EQ(r.error.code, CAB_ERR_CABINET_MISSING);
  EXPECT_TRUE(disk.opened_paths.empty());
  EXPECT_TRUE(r.events.empty());
}

TEST(CabinetDamage, CallbackFailures) {
  const Bytes bytes = cabbytes::build(cabbytes::stored({{"a", pattern(40000)}, {"b", pattern(9)}}));
  memcab::VirtualDisk clean;
  ASSERT_TRUE(run_bytes(bytes, &clean).ok);
  // Every read call failing in turn: never a success, never anything but
  // the codes a failed read may give.
  for (int64_t n = 1; n <= clean.stats.reads; ++n) {
    memcab::VirtualDisk disk;
    disk.faults.fail_read_number = n;
    memcab::ExtractResult r = run_bytes(bytes, &disk);
    ASSERT_FALSE(r.ok) << n;
    EXPECT_TRUE(r.error.code == CAB_ERR_NOT_CABINET || r.error.code == CAB_ERR_DAMAGED) << n;
  }
  // Every allocation failing in turn.
  for (int64_t n = 1; n <= clean.stats.allocations; ++n) {
    memcab::VirtualDisk disk;
    disk.faults.fail_alloc_number = n;
    memcab::ExtractResult r = run_bytes(bytes, &disk);
    ASSERT_FALSE(r.ok) << n;
    EXPECT_EQ(r.error.code, CAB_ERR_NO_MEMORY) << n;
  }
  // A write that fails or falls short: the handle is closed by the library
  // and no end is reported for the file.
  for (bool short_write : {false, true}) {
    memcab::VirtualDisk disk;
    (short_write ? disk.faults.short_write_number : disk.faults.fail_write_number) = 2;
    memcab::ExtractResult r = run_bytes(bytes, &disk);
    EXPECT_EQ(r.error.code, CAB_ERR_OUTPUT);
    EXPECT_TRUE(r.files.empty());
    ASSERT_EQ(disk.outputs().size(), 1u);
    EXPECT_EQ(disk.outputs().begin()->second.closes, 1);
  }
}

TEST(CabinetDamage, EveryCodeHasItsOwnText) {
  std::set<std::string> texts;
  for (int32_t code = CAB_ERR_NONE; code <= CAB_ERR_ABORTED; ++code)
    texts.insert(CabErrorText(code));
  EXPECT_EQ(texts.size(), 12u);
  EXPECT_EQ(texts.count(CabErrorText(99)), 0u);
}

}  // namespace

// Folders and files that continue from one cabinet into the next, with a data
// block split between them.
#include <gtest/gtest.h>

#include <cstring>

#include "support/cab_bytes.h"
#include "support/memory_cabinet.h"

namespace {

using cabbytes::Block;
using cabbytes::Bytes;
using cabbytes::Cabinet;
using memcab::ExtractOptions;
using memcab::ExtractResult;

const Bytes stream = cabbytes::pattern(2000, 9);

Bytes slice(size_t from, size_t to) {
  return Bytes(stream.begin() + static_cast<std::ptrdiff_t>(from),
               stream.begin() + static_cast<std::ptrdiff_t>(to));
}
Block block(size_t from, size_t to, uint16_t uncompressed) {
  Block b;
  b.data = slice(from, to);
  b.uncompressed = uncompressed;
  return b;
}

// One folder, stored, over two cabinets: blocks [0,1000) and [1000,1800)
// split after 300 bytes, then [1800,2000) in the second cabinet.
struct Set {
  Cabinet one, two;
  Set() {
    one.set_id = two.set_id = 0x1234;
    one.index = 0;
    two.index = 1;
    one.next_cabinet = "two.cab";
    one.next_disk = "Disk 2";
    two.prev_cabinet = "one.cab";
    two.prev_disk = "Disk 1";
    one.folders.push_back({0, {block(0, 1000, 1000), block(1000, 1300, 0)}});
    two.folders.push_back({0, {block(1300, 1800, 800), block(1800, 2000, 200)}});
    one.files = {{"f1", 1000, 0, 0}, {"s1", 100, 1000, 0xFFFE}, {"f2", 700, 1100, 0xFFFE}};
    two.files = {{"s1", 100, 1000, 0xFFFD}, {"f2", 700, 1100, 0xFFFD}, {"f3", 200, 1800, 0}};
  }
  void store(memcab::VirtualDisk& disk, const std::string& two_path = "two.cab") const {
    disk.files["one.cab"] = cabbytes::build(one);
    disk.files[two_path] = cabbytes::build(two);
  }
};

struct BlockSeen {
  CabBlockHookRecord record;
  Bytes data;
};
thread_local std::vector<BlockSeen> blocks_seen;
int32_t block_hook(CabBlockHookRecord* r) {
  if (r->kind == CAB_HOOK_DATA_BLOCK) {
    blocks_seen.push_back({*r, Bytes(r->data, r->data + r->dataSize)});
  }
  return 0;
}

ExtractResult run(memcab::VirtualDisk& disk, ExtractOptions options = {},
                  const std::string& name = "one.cab") {
  ExtractResult r = memcab::extract_all(disk, name, options);
  EXPECT_EQ(disk.stats.open_cabinets, 0);
  EXPECT_TRUE(disk.live_allocations().empty());
  return r;
}

TEST(CabinetSpan, SplitBlockIsJoinedAndTheWalkEndsAtTheFirstNewFile) {
  memcab::VirtualDisk disk;
  Set().store(disk);
  ExtractOptions options;
  blocks_seen.clear();
  options.hook = block_hook;
  ExtractResult r = run(disk, options);
  ASSERT_TRUE(r.ok) << r.error.code;
  ASSERT_EQ(r.files.size(), 3u);
  EXPECT_EQ(r.files[0].data, slice(0, 1000));
  EXPECT_EQ(r.files[1].data, slice(1000, 1100));
  EXPECT_EQ(r.files[2].data, slice(1100, 1800));
  EXPECT_EQ(r.find("f3"), nullptr);

  const std::vector<int32_t> expected{
      CAB_NOTIFY_CABINET_OPENED, CAB_NOTIFY_LIST_POSITION, CAB_NOTIFY_FILE_BEGIN,
      CAB_NOTIFY_FILE_END,       CAB_NOTIFY_FILE_BEGIN,    CAB_NOTIFY_NEED_CABINET,
      CAB_NOTIFY_CABINET_OPENED, CAB_NOTIFY_FILE_END,      CAB_NOTIFY_FILE_BEGIN,
      CAB_NOTIFY_FILE_END,       CAB_NOTIFY_LIST_POSITION};
  EXPECT_EQ(r.kinds(), expected);
  const memcab::Event& need = r.events[5];
  EXPECT_EQ(need.text1, "two.cab");
  EXPECT_EQ(need.set_id, 0x1234);
  EXPECT_EQ(need.cabinet_index, 1);
  EXPECT_EQ(need.last_error, 0);
  EXPECT_EQ(r.events[6].text1, "");  // the second cabinet names no next one

  // Each piece is checked on its own; the hook sees the joined block last.
  ASSERT_EQ(blocks_seen.size(), 3u);
  EXPECT_EQ(blocks_seen[1].record.dataSize, 300);
  EXPECT_EQ(blocks_seen[1].record.split, 1u);
  EXPECT_EQ(blocks_seen[1].record.carried, 0);
  EXPECT_EQ(blocks_seen[2].record.dataSize, 800);
  EXPECT_EQ(blocks_seen[2].record.split, 1u);
  EXPECT_EQ(blocks_seen[2].record.carried, 300);
  EXPECT_EQ(blocks_seen[2].data, slice(1000, 1800));
}

TEST(CabinetSpan, EachPieceChecksumIsVerified) {
  for (int piece : {0, 1}) {
    Set set;
    (piece == 0 ? set.one.folders[0].blocks[1] : set.two.folders[0].blocks[0]).csum = 0xBAD;
    memcab::VirtualDisk disk;
    set.store(disk);
    EXPECT_EQ(run(disk).error.code, CAB_ERR_DAMAGED) << piece;
  }
}

TEST(CabinetSpan, DeclinedSpanningFilesAreSkippedInTheNextCabinet) {
  memcab::VirtualDisk disk;
  Set().store(disk);
  ExtractOptions options;
  options.on_notify = [](int32_t kind, CabNotification* n) -> std::optional<int32_t> {
    if (kind == CAB_NOTIFY_FILE_BEGIN && std::strcmp(n->text1, "s1") == 0) return 0;
    return std::nullopt;
  };
  ExtractResult r = run(disk, options);
  ASSERT_TRUE(r.ok) << r.error.code;
  ASSERT_EQ(r.files.size(), 2u);
  EXPECT_EQ(r.files[1].name, "f2");
  EXPECT_EQ(r.files[1].data, slice(1100, 1800));
  int begins = 0;
  for (const memcab::Event& e : r.events) begins += e.kind == CAB_NOTIFY_FILE_BEGIN;
  EXPECT_EQ(begins, 3);  // f1, s1, f2: nothing offered twice
}

TEST(CabinetSpan, ContinuedFilesAreReportedNotExtractedWhenAWalkStartsMidSet) {
  memcab::VirtualDisk disk;
  Set().store(disk);
  ExtractOptions options;
  options.on_notify = [](int32_t kind, CabNotification* n) -> std::optional<int32_t> {
    if (kind == CAB_NOTIFY_CONTINUED_FILE) {
      EXPECT_STREQ(n->text2, "one.cab");
      EXPECT_STREQ(n->text3, "Disk 1");
      EXPECT_EQ(n->folder, 0xFFFD);
    }
    if (kind == CAB_NOTIFY_FILE_BEGIN) return 0;
    return std::nullopt;
  };
  ExtractResult r = run(disk, options, "two.cab");
  ASSERT_TRUE(r.ok);
  std::vector<std::string> continued;
  for (const memcab::Event& e : r.events) {
    if (e.kind == CAB_NOTIFY_CONTINUED_FILE) continued.push_back(e.text1);
  }
  EXPECT_EQ(continued, (std::vector<std::string>{"s1", "f2"}));
}

TEST(CabinetSpan, MissingNextCabinetIsAskedForAgainAndMayBeLookedForElsewhere) {
  memcab::VirtualDisk disk;
  Set().store(disk, "media\\two.cab");
  ExtractOptions options;
  options.on_notify = [](int32_t kind, CabNotification* n) -> std::optional<int32_t> {
    if (kind == CAB_NOTIFY_NEED_CABINET && n->lastError == CAB_ERR_CABINET_MISSING) {
      std::strcpy(n->text3, "media\\");
    }
    return std::nullopt;
  };
  ExtractResult r = run(disk, options);
  ASSERT_TRUE(r.ok) << r.error.code;
  EXPECT_EQ(r.files.size(), 3u);
  std::vector<int32_t> last_errors;
  for (const memcab::Event& e : r.events) {
    if (e.kind == CAB_NOTIFY_NEED_CABINET) last_errors.push_back(e.last_error);
  }
  EXPECT_EQ(last_errors, (std::vector<int32_t>{0, CAB_ERR_CABINET_MISSING}));
  // The error of the overcome attempt stays in the record.
  EXPECT_EQ(r.error.code, CAB_ERR_CABINET_MISSING);
}

TEST(CabinetSpan, WrongNextCabinetGivesItsCodeAtTheNextRequest) {
  struct Case {
    const char* what;
    void (*damage)(Cabinet&);
    int32_t code;
  };
  const Case cases[] = {
      {"set id", [](Cabinet& c) { c.set_id = 0x9999; }, CAB_ERR_WRONG_CABINET},
      {"index", [](Cabinet& c) { c.index = 2; }, CAB_ERR_WRONG_CABINET},
      {"reserve",
       [](Cabinet& c) {
         c.reserve_present = true;
         c.data_reserve = 4;
       },
       CAB_ERR_RESERVE_SIZE},
      {"other method", [](Cabinet& c) { c.folders[0].type = 0x1503; }, CAB_ERR_WRONG_CABINET},
      {"not a cabinet", [](Cabinet& c) { c.signature = "XXXX"; }, CAB_ERR_NOT_CABINET},
  };
  for (const Case& c : cases) {
    Set set;
    c.damage(set.two);
    memcab::VirtualDisk disk;
    set.store(disk);
    ExtractResult r = run(disk);
    EXPECT_EQ(r.error.code, CAB_ERR_ABORTED) << c.what;
    std::vector<int32_t> last_errors;
    for (const memcab::Event& e : r.events) {
      if (e.kind == CAB_NOTIFY_NEED_CABINET) last_errors.push_back(e.last_error);
    }
    ASSERT_EQ(last_errors.size(), 5u) << c.what;  // the helper gives up after four tries
    EXPECT_EQ(last_errors[0], 0) << c.what;
    EXPECT_EQ(last_errors[1], c.code) << c.what;
    EXPECT_EQ(last_errors[4], c.code) << c.what;
    // A partly written file whose writing failed: closed by the library.
    EXPECT_EQ(r.files.size(), 1u);
  }
}

// How a split block's files are marked varies between writers; a file whose
// bytes lie in it need not be marked as continued. No listed file may be lost
// without the walk failing, and no file takes another's record.
TEST(CabinetSpan, FilesOfTheSplitBlockAreNeitherLostNorConfused) {
  struct Case {
    const char* what;
    std::vector<cabbytes::File> one, two;
    bool ok;
    std::vector<std::string> written;
  };
  const Case cases[] = {
      {"plain file before the continued one",
       {{"f1", 1000, 0, 0}, {"s1", 100, 1000, 0, 0x1111, 0x2222, 0x21}, {"f2", 700, 1100, 0xFFFE}},
       {{"f2", 700, 1100, 0xFFFD}, {"f3", 200, 1800, 0}},
       true,
       {"f1", "s1", "f2"}},
      {"plain file left behind in the first list",
       {{"f1", 1000, 0, 0}, {"s1", 100, 1000, 0}, {"f2", 700, 1100, 0}},
       {{"f3", 200, 1800, 0}},
       false,
       {"f1", "s1"}},
      {"continued file missing from the next list",
       {{"f1", 1000, 0, 0}, {"s1", 100, 1000, 0xFFFE}, {"f2", 700, 1100, 0xFFFE}},
       {{"s1", 100, 1000, 0xFFFD}, {"f3", 200, 1800, 0}},
       false,
       {"f1", "s1"}},
  };
  for (const Case& c : cases) {
    Set set;
    set.one.files = c.one;
    set.two.files = c.two;
    memcab::VirtualDisk disk;
    set.store(disk);
    ExtractResult r = run(disk);
    EXPECT_EQ(r.ok, c.ok) << c.what;
    EXPECT_EQ(r.error.code, c.ok ? CAB_ERR_NONE : CAB_ERR_DAMAGED) << c.what;
    std::vector<std::string> written;
    for (const memcab::ExtractedFile& f : r.files) written.push_back(f.name);
    EXPECT_EQ(written, c.written) << c.what;
    if (const memcab::ExtractedFile* s1 = r.find("s1")) {
      EXPECT_EQ(s1->data, slice(1000, 1100)) << c.what;
      const cabbytes::File& listed = c.one[1];
      EXPECT_EQ(s1->date, listed.date) << c.what;
      EXPECT_EQ(s1->attribs, listed.attribs) << c.what;
    }
    if (const memcab::ExtractedFile* f2 = r.find("f2")) {
      EXPECT_EQ(f2->data, slice(1100, 1800)) << c.what;
    }
  }
}

// Each cabinet is read with its own header reserve.
TEST(CabinetSpan, HeaderReserveMayDifferBetweenCabinets) {
  Set set;
  set.one.reserve_present = true;
  set.one.header_reserve = cabbytes::pattern(60, 3);
  set.two.reserve_present = true;
  set.two.header_reserve = cabbytes::pattern(2, 4);
  memcab::VirtualDisk disk;
  set.store(disk);
  ExtractResult r = run(disk);
  ASSERT_TRUE(r.ok) << r.error.code;
  ASSERT_EQ(r.files.size(), 3u);
  EXPECT_EQ(r.files[2].data, slice(1100, 1800));
}

TEST(CabinetSpan, HandlesThatCannotBeClosedWhenMovingOn) {
  memcab::VirtualDisk disk;
  Set().store(disk);
  disk.faults.cabinet_close_result = -1;
  EXPECT_EQ(run(disk).error.code, CAB_ERR_DAMAGED);
}

}  // namespace

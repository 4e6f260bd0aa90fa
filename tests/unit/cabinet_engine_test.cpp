// The engine over well-formed cabinets: notification order, cutting blocks
// into files, re-decoding, continuation across cabinets, the callers'
// answers, the block hook and the checksum.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "cabinet/cab_internal.h"
#include "support/cab_bytes.h"
#include "support/memory_cabinet.h"

namespace {

using cabbytes::Bytes;
using cabbytes::Cabinet;
using cabbytes::pattern;
using memcab::ExtractOptions;
using memcab::ExtractResult;

Bytes slice(const Bytes& b, size_t from, size_t to) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(to));
}

// What the block hook saw, for the thread running the test.
struct HookCall {
  int32_t kind;
  Bytes reserve;
  uint16_t data_size;
  uint32_t split;
  uint16_t carried;
  uint16_t folder;
};
thread_local std::vector<HookCall> hook_calls;
thread_local int32_t hook_abort_kind = -1;
int32_t record_hook(CabBlockHookRecord* r) {
  HookCall call{r->kind, {}, 0, 0, 0, r->folderIndex};
  if (r->reserve) call.reserve.assign(r->reserve, r->reserve + r->reserveSize);
  if (r->kind == CAB_HOOK_DATA_BLOCK) {
    call.data_size = r->dataSize;
    call.split = r->split;
    call.carried = r->carried;
  }
  hook_calls.push_back(call);
  return r->kind == hook_abort_kind ? -1 : 0;
}
int count_hooks(int32_t kind) {
  return static_cast<int>(std::count_if(hook_calls.begin(), hook_calls.end(),
                                        [&](const HookCall& c) { return c.kind == kind; }));
}
ExtractResult run_hooked(memcab::VirtualDisk& disk, const std::string& name,
                         ExtractOptions options = {}) {
  hook_calls.clear();
  options.hook = record_hook;
  ExtractResult r = memcab::extract_all(disk, name, options);
  EXPECT_EQ(disk.stats.open_cabinets, 0);
  EXPECT_TRUE(disk.live_allocations().empty());
  return r;
}

TEST(CabinetEngine, NotificationsInOrderAndFilesCutFromBlocks) {
  const Bytes a = pattern(70000, 1), b = pattern(5, 2), c = pattern(32768, 3);
  Cabinet cab = cabbytes::stored({{"a.bin", a}, {"dir\\b.txt", b}, {"c", c}, {"empty", {}}});
  cab.set_id = 77;
  cab.files[1].attribs = 0x41;  // read-only, run after extraction
  cab.files[2].attribs = 0xA2;  // 0x80 is passed through
  cab.files[2].date = 0x1234;
  cab.files[2].time = 0x4321;
  memcab::VirtualDisk disk;
  disk.files["x.cab"] = cabbytes::build(cab);
  const ExtractResult r = run_hooked(disk, "x.cab");
  ASSERT_TRUE(r.ok) << r.error.code;
  EXPECT_EQ(disk.stats.last_open_flags, 0x8000);
  EXPECT_EQ(disk.stats.last_open_mode, 0x180);
  EXPECT_EQ(disk.stats.max_open_cabinets, 2);

  const std::vector<int32_t> expected{
      CAB_NOTIFY_CABINET_OPENED, CAB_NOTIFY_LIST_POSITION, CAB_NOTIFY_FILE_BEGIN,
      CAB_NOTIFY_FILE_END,       CAB_NOTIFY_FILE_BEGIN,    CAB_NOTIFY_FILE_END,
      CAB_NOTIFY_FILE_BEGIN,     CAB_NOTIFY_FILE_END,      CAB_NOTIFY_FILE_BEGIN,
      CAB_NOTIFY_FILE_END,       CAB_NOTIFY_LIST_POSITION};
  EXPECT_EQ(r.kinds(), expected);
  EXPECT_EQ(r.events[0].set_id, 77);
  EXPECT_EQ(r.events[1].folder, 4);  // records still to read
  EXPECT_EQ(r.events[2].size, 70000u);
  EXPECT_EQ(r.events.back().folder, 0);
  EXPECT_EQ(r.events.back().size, disk.files["x.cab"].size() - 70000 - 32768 - 5 - 4 * 8);

  ASSERT_EQ(r.files.size(), 4u);
  EXPECT_EQ(r.files[0].data, a);
  EXPECT_EQ(r.files[1].data, b);
  EXPECT_EQ(r.files[1].attribs, 0x01);
  EXPECT_TRUE(r.files[1].run_after);
  EXPECT_EQ(r.files[2].data, c);
  EXPECT_EQ(r.files[2].attribs, 0xA2);
  EXPECT_FALSE(r.files[2].run_after);
  EXPECT_EQ(r.files[2].date, 0x1234);
  EXPECT_EQ(r.files[2].time, 0x4321);
  EXPECT_TRUE(r.files[3].data.empty());
  // 70000 + 5 + 32768 bytes in blocks of 32768: four blocks, each read once.
  EXPECT_EQ(count_hooks(CAB_HOOK_DATA_BLOCK), 4);
  EXPECT_EQ(count_hooks(CAB_HOOK_FOLDER), 1);
  // At most one write per block per file.
  EXPECT_EQ(disk.stats.writes, 3 + 2 + 1);
}

TEST(CabinetEngine, EarlierFileDecodesTheFolderAgainAndBoundariesFetchNothingExtra) {
  const Bytes data = pattern(80000);
  Cabinet cab = cabbytes::stored({{"all", data}});
  cab.files = {{"late", 1000, 40000}, {"early", 1000, 10}, {"first-block", 32768 - 10, 10}};
  memcab::VirtualDisk disk;
  disk.files["x.cab"] = cabbytes::build(cab);
  ExtractResult r = run_hooked(disk, "x.cab");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.find("late")->data, slice(data, 40000, 41000));
  EXPECT_EQ(r.find("early")->data, slice(data, 10, 1010));
  EXPECT_EQ(r.find("first-block")->data, slice(data, 10, 32768));
  // late: blocks 0 and 1; early: folder again, block 0; first-block ends on
  // the boundary and needs nothing more.
  EXPECT_EQ(count_hooks(CAB_HOOK_FOLDER), 2);
  EXPECT_EQ(count_hooks(CAB_HOOK_DATA_BLOCK), 3);

  // A file that ends on a block boundary never touches the next block, even
  // when that block is damaged.
  cab = cabbytes::stored({{"a", pattern(32768)}, {"b", pattern(10)}});
  cab.folders[0].blocks[1].csum = 1;
  disk.files["y.cab"] = cabbytes::build(cab);
  ExtractOptions skip_b;
  skip_b.on_notify = [](int32_t kind, CabNotification* n) -> std::optional<int32_t> {
    if (kind == CAB_NOTIFY_FILE_BEGIN && std::strcmp(n->text1, "b") == 0) return 0;
    return std::nullopt;
  };
  r = run_hooked(disk, "y.cab", skip_b);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(count_hooks(CAB_HOOK_DATA_BLOCK), 1);
}

// Listed in descending order, every file would decode the folder again from
// its start: the work is bounded and the listing refused as damaged.
TEST(CabinetEngine, FilesListedBackwardsCostBoundedWork) {
  const Bytes data = pattern(400 * 16);
  Cabinet cab = cabbytes::stored({{"all", data}}, 16);
  cab.files.clear();
  for (uint32_t i = 0; i < 200; ++i) {
    cab.files.push_back(
        {"f" + std::to_string(i), 1, static_cast<uint32_t>(data.size()) - 1 - 32 * i});
  }
  memcab::VirtualDisk disk;
  disk.files["x.cab"] = cabbytes::build(cab);
  ExtractResult r = run_hooked(disk, "x.cab");
  EXPECT_EQ(r.error.code, CAB_ERR_DAMAGED);
  EXPECT_LE(count_hooks(CAB_HOOK_DATA_BLOCK), (1 + 4) * 400 + 64 + 1);
  // The files before the refusal are whole and correct.
  ASSERT_GE(r.files.size(), 4u);
  EXPECT_EQ(r.files[3].data, slice(data, data.size() - 1 - 96, data.size() - 96));
}

TEST(CabinetEngine, FoldersByIndexAndLastFolderForContinuationValue) {
  Cabinet cab = cabbytes::stored({{"zero", pattern(100, 1)}});
  Cabinet second = cabbytes::stored({{"one", pattern(300, 2)}});
  cab.folders.push_back(second.folders[0]);
  cab.files.push_back({"one", 300, 0, 0xFFFE});
  cab.files.push_back({"empty", 0, 999, 0x4444});  // no folder is touched
  memcab::VirtualDisk disk;
  disk.files["x.cab"] = cabbytes::build(cab);
  ExtractResult r = run_hooked(disk, "x.cab");
  ASSERT_TRUE(r.ok) << r.error.code;
  EXPECT_EQ(r.find("zero")->data, pattern(100, 1));
  EXPECT_EQ(r.find("one")->data, pattern(300, 2));
  EXPECT_EQ(r.find("one")->folder, 0xFFFE);
  EXPECT_TRUE(r.find("empty")->data.empty());
  ASSERT_EQ(count_hooks(CAB_HOOK_FOLDER), 2);
  EXPECT_EQ(hook_calls[3].folder, 1);  // cabinet, folder 0, block, folder 1
}

TEST(CabinetEngine, ReservesReachTheHook) {
  Cabinet cab = cabbytes::stored({{"a", pattern(100)}});
  cab.reserve_present = true;
  cab.header_reserve = {1, 2, 3, 4, 5, 6, 7};
  cab.folder_reserve = 3;
  cab.data_reserve = 5;
  cab.folders[0].reserve = {9, 8, 7};
  cab.folders[0].blocks[0].reserve = {5, 5, 5, 5, 4};
  memcab::VirtualDisk disk;
  disk.files["x.cab"] = cabbytes::build(cab);
  ExtractResult r = run_hooked(disk, "x.cab");
  ASSERT_TRUE(r.ok) << r.error.code;
  EXPECT_EQ(r.files.at(0).data, pattern(100));
  ASSERT_EQ(hook_calls.size(), 3u);
  EXPECT_EQ(hook_calls[0].reserve, cab.header_reserve);
  EXPECT_EQ(hook_calls[1].reserve, cab.folders[0].reserve);
  EXPECT_EQ(hook_calls[2].reserve, cab.folders[0].blocks[0].reserve);
  EXPECT_EQ(hook_calls[2].data_size, 100);
  EXPECT_EQ(hook_calls[2].split, 0u);

  // A checksum covers the reserve too.
  cab.folders[0].blocks[0].csum = cabbytes::block_checksum(pattern(100), 100, 100, {5, 5, 5, 5, 5});
  disk.files["x.cab"] = cabbytes::build(cab);
  EXPECT_EQ(run_hooked(disk, "x.cab").error.code, CAB_ERR_DAMAGED);
}

TEST(CabinetEngine, CallerAnswers) {
  memcab::VirtualDisk disk;
  disk.files["x.cab"] = cabbytes::build(cabbytes::stored({{"a", pattern(10)}, {"b", pattern(20)}}));

  ExtractOptions skip_all;
  skip_all.on_notify = [](int32_t kind, CabNotification*) -> std::optional<int32_t> {
    if (kind == CAB_NOTIFY_FILE_BEGIN) return 0;
    return std::nullopt;
  };
  ExtractResult r = run_hooked(disk, "x.cab", skip_all);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.files.empty());
  EXPECT_EQ(disk.stats.writes, 0);

  ExtractOptions no_records;
  no_records.on_notify = [](int32_t kind, CabNotification* n) -> std::optional<int32_t> {
    if (kind == CAB_NOTIFY_LIST_POSITION) n->folder = 0;
    return std::nullopt;
  };
  r = run_hooked(disk, "x.cab", no_records);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.kinds(), (std::vector<int32_t>{CAB_NOTIFY_CABINET_OPENED, CAB_NOTIFY_LIST_POSITION}));

  // Moving the list past the first record ("a" + 17 bytes) reads only "b".
  ExtractOptions skip_record;
  skip_record.on_notify = [](int32_t kind, CabNotification* n) -> std::optional<int32_t> {
    if (kind == CAB_NOTIFY_LIST_POSITION && n->folder == 2) {
      n->size += 16 + 2;
      n->folder = 1;
    }
    return std::nullopt;
  };
  r = run_hooked(disk, "x.cab", skip_record);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].data, pattern(20));

  ExtractOptions end_fails;
  end_fails.on_notify = [](int32_t kind, CabNotification*) -> std::optional<int32_t> {
    if (kind == CAB_NOTIFY_FILE_END) return 0;
    return std::nullopt;
  };
  r = run_hooked(disk, "x.cab", end_fails);
  EXPECT_EQ(r.error.code, CAB_ERR_OUTPUT);
  // The caller took the handle over: the library does not close it.
  EXPECT_EQ(disk.outputs().rbegin()->second.closes, 0);
}

// -1 from any notification or from the hook ends the walk as aborted; a
// file whose end was refused is closed by the library.
TEST(CabinetEngine, AbortFromEveryNotificationAndTheHook) {
  Cabinet cab = cabbytes::stored({{"a", pattern(10)}});
  cab.files.insert(cab.files.begin(), {"from-before", 5, 0, 0xFFFD});
  cab.next_cabinet = "none.cab";
  cab.files.push_back({"spans", 20, 5, 0xFFFE});
  memcab::VirtualDisk disk;
  disk.files["x.cab"] = cabbytes::build(cab);
  for (int32_t kind : {CAB_NOTIFY_CABINET_OPENED, CAB_NOTIFY_CONTINUED_FILE, CAB_NOTIFY_FILE_BEGIN,
                       CAB_NOTIFY_FILE_END, CAB_NOTIFY_NEED_CABINET, CAB_NOTIFY_LIST_POSITION}) {
    ExtractOptions options;
    options.on_notify = [kind](int32_t k, CabNotification*) -> std::optional<int32_t> {
      if (k == kind) return -1;
      return std::nullopt;
    };
    ExtractResult r = run_hooked(disk, "x.cab", options);
    EXPECT_FALSE(r.ok) << kind;
    EXPECT_EQ(r.error.code, CAB_ERR_ABORTED) << kind;
    EXPECT_EQ(r.events.back().kind, kind);
    if (kind == CAB_NOTIFY_FILE_END) {
      EXPECT_EQ(disk.outputs().rbegin()->second.closes, 1);
    }
  }
  for (int32_t kind : {CAB_HOOK_CABINET, CAB_HOOK_FOLDER, CAB_HOOK_DATA_BLOCK}) {
    hook_abort_kind = kind;
    ExtractResult r = run_hooked(disk, "x.cab");
    hook_abort_kind = -1;
    EXPECT_EQ(r.error.code, CAB_ERR_ABORTED) << kind;
    EXPECT_EQ(hook_calls.back().kind, kind);
  }
}

TEST(CabinetEngine, CabinetPathIsJoinedWithoutSeparator) {
  memcab::VirtualDisk disk;
  disk.files["dir\\x.cab"] = cabbytes::build(cabbytes::stored({{"a", pattern(10)}}));
  ExtractOptions options;
  options.path = "dir\\";
  EXPECT_TRUE(memcab::extract_all(disk, "x.cab", options).ok);
  options.path = "dir";
  ExtractResult r = memcab::extract_all(disk, "x.cab", options);
  EXPECT_EQ(r.error.code, CAB_ERR_CABINET_MISSING);
  EXPECT_EQ(disk.opened_paths.back(), "dirx.cab");
}

TEST(CabinetEngine, Checksum) {
  EXPECT_EQ(CabChecksum("abc", 3, 0), 0x00616263u);
  EXPECT_EQ(CabChecksum("abcd", 4, 0), 0x64636261u);
  EXPECT_EQ(CabChecksum("ab", 2, 0), 0x6162u);
  EXPECT_EQ(CabChecksum("", 0, 0x1234), 0x1234u);
  // Every length and alignment against the composer's own checksum.
  const Bytes data = pattern(100);
  for (uint16_t n = 0; n < 70; ++n) {
    const Bytes piece = slice(data, 3, 3 + n);
    uint32_t sum = CabChecksum(piece.data(), n, 0);
    const uint8_t header[4] = {static_cast<uint8_t>(n), 0, 7, 0};
    sum = CabChecksum(header, 4, sum);
    EXPECT_EQ(sum, cabbytes::block_checksum(piece, n, 7, {})) << n;
  }
}

}  // namespace

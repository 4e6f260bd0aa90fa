// The engine over well-formed cabinets: notification order, file cutting,
// re-decoding, continuation across cabinets, callbacks' answers.
#include <gtest/gtest.h>

#include "support/cab_bytes.h"
#include "support/memory_cabinet.h"

namespace {

using cabbytes::Bytes;
using cabbytes::pattern;

TEST(CabinetEngine, StoredCabinetExtractsEveryFile) {
  const Bytes a = pattern(70000, 1), b = pattern(5, 2), c = pattern(32768, 3);
  memcab::VirtualDisk disk;
  disk.files["x.cab"] =
      cabbytes::build(cabbytes::stored({{"a.bin", a}, {"dir\\b.txt", b}, {"c", c}}));
  const memcab::ExtractResult r = memcab::extract_all(disk, "x.cab");
  ASSERT_TRUE(r.ok) << r.error.code;
  ASSERT_EQ(r.files.size(), 3u);
  EXPECT_EQ(r.find("a.bin")->data, a);
  EXPECT_EQ(r.find("dir\\b.txt")->data, b);
  EXPECT_EQ(r.find("c")->data, c);
  EXPECT_TRUE(disk.live_allocations().empty());
}

}  // namespace

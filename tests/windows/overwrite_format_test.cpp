// Texts of the overwrite confirmation: grouped sizes and the two date forms.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "startup/globals.h"
#include "ui/ui.h"

namespace {

constexpr uint32_t stamp(int year, int month, int day, int hours, int minutes, int seconds) {
  return static_cast<uint32_t>(((year - 1980) << 9 | month << 5 | day) << 16 |
                               (hours << 11 | minutes << 5 | seconds / 2));
}

const char* ENGLISH_FORMAT = "%%s Bytes\nModified: %02d, %02d, %04d,  %02d:%02d:%02d";
// "%%s バイト\n%04d年%02d月%02d日 ??曜日、%02d:%02d:%02d" in Shift-JIS.
const char* JAPANESE_FORMAT =
    "%%s \x83\x6F\x83\x43\x83\x67\n%04d\x94\x4E%02d\x8C\x8E%02d\x93\xFA ??\x97\x6A\x93\xFA"
    "\x81\x41%02d:%02d:%02d";

std::string format(const char* text, uint32_t value) {
  char output[128];
  const int length = format_file_time_with(text, value, output, sizeof output);
  EXPECT_EQ(length, static_cast<int>(strlen(output)));
  return output;
}

// The two bytes that replaced "??" in the Japanese form.
std::string weekday(uint32_t value) {
  const std::string text = format(JAPANESE_FORMAT, value);
  return text.substr(text.find(' ', text.find('\n')) + 1, 2);
}

TEST(GroupThousands, CommasEveryThreeDigitsFromTheRight) {
  EXPECT_STREQ(group_thousands(0), "0");
  EXPECT_STREQ(group_thousands(999), "999");
  EXPECT_STREQ(group_thousands(1000), "1,000");
  EXPECT_STREQ(group_thousands(1234567), "1,234,567");
  EXPECT_STREQ(group_thousands(100000), "100,000");
  EXPECT_STREQ(group_thousands(4294967295u), "4,294,967,295");
  EXPECT_STREQ(group_thousands(5ULL << 30), "5,368,709,120");
  EXPECT_STREQ(group_thousands(UINT64_MAX), "18,446,744,073,709,551,615");
}

TEST(FormatFileTime, EnglishReadsMonthDayYear) {
  EXPECT_EQ(format(ENGLISH_FORMAT, stamp(2003, 1, 2, 4, 5, 6)),
            "%s Bytes\nModified: 01, 02, 2003,  04:05:06");
  // Seconds are stored halved: 33 comes back as 32.
  EXPECT_EQ(format(ENGLISH_FORMAT, stamp(2010, 10, 16, 14, 5, 33)),
            "%s Bytes\nModified: 10, 16, 2010,  14:05:32");
}

TEST(FormatFileTime, JapaneseReadsYearMonthDayWithWeekday) {
  const std::string text = format(JAPANESE_FORMAT, stamp(2010, 10, 16, 14, 5, 32));
  EXPECT_EQ(text,
            "%s \x83\x6F\x83\x43\x83\x67\n2010\x94\x4E"
            "10\x8C\x8E"
            "16\x93\xFA \x93\x79\x97\x6A\x93\xFA\x81\x41"
            "14:05:32");
  EXPECT_EQ(weekday(stamp(2000, 1, 1, 0, 0, 0)), "\x93\x79");   // Saturday, January rule
  EXPECT_EQ(weekday(stamp(2003, 1, 2, 4, 5, 6)), "\x96\xD8");   // Thursday
  EXPECT_EQ(weekday(stamp(2024, 2, 29, 0, 0, 0)), "\x96\xD8");  // Thursday, leap day
  EXPECT_EQ(weekday(stamp(2026, 12, 6, 0, 0, 0)), "\x93\xFA");  // Sunday
  EXPECT_EQ(weekday(stamp(2026, 12, 7, 0, 0, 0)), "\x8C\x8E");  // Monday
}

TEST(FormatFileTime, UsesTheStringTableText) {
  module_instance = GetModuleHandleA(nullptr);
  char output[128];
  ASSERT_GT(format_file_time(stamp(2003, 1, 2, 4, 5, 6), output), 0);
  if (PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE) {
    EXPECT_EQ(std::string(output).substr(0, 2), "%s");
  } else {
    EXPECT_STREQ(output, "%s Bytes\nModified: 01, 02, 2003,  04:05:06");
  }
}

TEST(FormatFileTime, TooSmallOutputGivesNothing) {
  char output[16];
  EXPECT_EQ(
      format_file_time_with(ENGLISH_FORMAT, stamp(2003, 1, 2, 4, 5, 6), output, sizeof output), 0);
  EXPECT_STREQ(output, "");
}

}  // namespace

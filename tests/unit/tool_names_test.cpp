// Name handling of the packer and the tool: code pages 1252 and 932, strict
// UTF-8, and the rules that keep a stored name under the destination.
#include <gtest/gtest.h>

#include "writer/codepage.h"
#include "writer/stored_names.h"

namespace {

TEST(ToolNames, Codepage1252RoundTripsEveryByte) {
  for (int b = 1; b < 256; ++b) {
    const std::string byte(1, char(b));
    std::string utf8, back;
    ASSERT_TRUE(codepage_to_utf8(byte, CodePage::Western1252, utf8)) << b;
    ASSERT_TRUE(utf8_to_codepage(utf8, CodePage::Western1252, back)) << b;
    EXPECT_EQ(back, byte) << b;
  }
  std::string utf8;
  codepage_to_utf8("\x80\x99\xE9\x9F", CodePage::Western1252, utf8);
  EXPECT_EQ(utf8, "\xE2\x82\xAC\xE2\x84\xA2\xC3\xA9\xC5\xB8");  // € ™ é Ÿ
  std::string bytes;
  EXPECT_FALSE(utf8_to_codepage("\xE2\x82\xB9", CodePage::Western1252, bytes));  // ₹
  EXPECT_FALSE(utf8_to_codepage("\xE6\x97\xA5", CodePage::Western1252, bytes));  // 日
}

TEST(ToolNames, Codepage932) {
  std::string bytes, utf8;
  ASSERT_TRUE(utf8_to_codepage("\xE8\xA1\xA8\\a", CodePage::Japanese932, bytes));  // 表\a
  EXPECT_EQ(bytes, "\x95\x5C\\a");
  ASSERT_TRUE(codepage_to_utf8(bytes, CodePage::Japanese932, utf8));
  EXPECT_EQ(utf8, "\xE8\xA1\xA8\\a");
  ASSERT_TRUE(codepage_to_utf8("\xB1", CodePage::Japanese932, utf8));  // half-width katakana
  EXPECT_EQ(utf8, "\xEF\xBD\xB1");
  EXPECT_FALSE(codepage_to_utf8("\x95", CodePage::Japanese932, utf8)) << "lead byte alone";
  EXPECT_FALSE(utf8_to_codepage("\xC3\xA9", CodePage::Japanese932, bytes)) << "é has no mapping";
}

TEST(ToolNames, StrictUtf8) {
  std::u32string cps;
  EXPECT_TRUE(utf8_to_utf32("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", cps));
  EXPECT_EQ(cps, (std::u32string{U'a', 0xE9, 0x20AC, 0x1F600}));
  EXPECT_EQ(utf32_to_utf8(cps), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC3",
                          "\xE2\x82", "\x80", "\xFF"})
    EXPECT_FALSE(utf8_to_utf32(bad, cps)) << escape_bytes(bad);
  std::string out;
  EXPECT_TRUE(decode_stored_name("\xC3\xA9", 0x80, CodePage::Western1252, out));
  EXPECT_EQ(out, "\xC3\xA9");
  EXPECT_TRUE(decode_stored_name("\xC3\xA9", 0x20, CodePage::Western1252, out));
  EXPECT_EQ(out, "\xC3\x83\xC2\xA9") << "without 0x80 the bytes are code page 1252";
  EXPECT_FALSE(decode_stored_name("\xE9", 0x80, CodePage::Western1252, out));
}

TEST(ToolNames, StoredNamesStayUnderTheDestination) {
  StoredPath p;
  EXPECT_EQ(split_stored_name("\\\\a//b\\.\\c.txt", p), "");
  EXPECT_EQ(p.components, (std::vector<std::string>{"a", "b", "c.txt"}));
  EXPECT_FALSE(p.directory);
  EXPECT_EQ(split_stored_name("dir\\sub\\", p), "");
  EXPECT_TRUE(p.directory);
  EXPECT_EQ(p.components.size(), 2u);
  const char* refused[] = {
      "..\\x",   "../x",   "a/../../x", "a\\..",     "C:\\x",    "c:x",         "a\\b:s",
      "\\",      "",       ".",         "a\\*.txt",  "a?",       "x\"y",        "a<b",
      "a>b",     "a|b",    "tab\tx",    "dot.",      "space ",   "CON",         "con.txt",
      "Aux.log", "NUL",    "prn",       "com1.txt",  "LPT9",     "...",         "a\\ \\b",
      "COM0",    "lpt0.x", "conin$",    "CONOUT$.a", "nul .txt", "Com\xC2\xB2", "LPT\xC2\xB3.log"};
  for (const char* name : refused) EXPECT_NE(split_stored_name(name, p), "") << name;
  for (const char* name :
       {"com10", "console.txt", "nul_file", ".hidden", "a..b", "COM\xC2\xB4", "CONIN", " nul"})
    EXPECT_EQ(split_stored_name(name, p), "") << name;
  EXPECT_NE(check_name_component("a\\b"), "");
  EXPECT_EQ(check_name_component("caf\xC3\xA9.txt"), "");
}

TEST(ToolNames, PrintableFormAndCodePageRecord) {
  const struct {
    const char* text;
    const char* shown;
  } cases[] = {{"plain caf\xC3\xA9 \xE6\x97\xA5", "plain caf\xC3\xA9 \xE6\x97\xA5"},
               {"a\tb\r\n\x1B[2J", "a\\x09b\\x0D\\x0A\\x1B[2J"},
               {"del\x7F c1\xC2\x9B", "del\\x7F c1\\u{009B}"},
               {"rtl\xE2\x80\xAEtxt.exe ls\xE2\x80\xA8", "rtl\\u{202E}txt.exe ls\\u{2028}"},
               {"cut\xE6\x97", "cut\\xE6\\x97"},
               {"\xC0\xAF\xFF", "\\xC0\\xAF\\xFF"}};
  for (const auto& c : cases) EXPECT_EQ(printable(c.text), c.shown) << c.shown;

  CodePage page = CodePage::Western1252;
  const std::vector<uint8_t> record = codepage_record(CodePage::Japanese932);
  ASSERT_TRUE(codepage_from_record(record.data(), record.size(), page));
  EXPECT_EQ(page, CodePage::Japanese932);
  // Other entries before it are passed over; damaged or foreign areas are not
  // a record.
  const std::vector<uint8_t> later = {'C', 'S', 'F', 'X', 9, 0, 1, 0, 0xAA, 1, 0, 2, 0, 0xE4, 0x04};
  EXPECT_TRUE(codepage_from_record(later.data(), later.size(), page));
  EXPECT_EQ(page, CodePage::Western1252);
  const std::vector<std::vector<uint8_t>> refused = {
      {},
      {'C', 'S', 'F', 'X'},
      {'C', 'S', 'F', 'Y', 1, 0, 2, 0, 0xA4, 0x03},
      {'C', 'S', 'F', 'X', 1, 0, 2, 0, 0xA4},
      {'C', 'S', 'F', 'X', 1, 0, 2, 0, 0xE9, 0xFD},  // 65001 is not one of ours
      {'C', 'S', 'F', 'X', 9, 0, 0xFF, 0xFF, 1, 0, 2, 0, 0xA4, 0x03}};
  for (const auto& area : refused)
    EXPECT_FALSE(codepage_from_record(area.data(), area.size(), page)) << area.size();
}

}  // namespace

// The destination forms: relative forms against the base folder, climbing,
// forbidden characters and texts that would not fit.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "startup/paths.h"
#include "startup/startup.h"

namespace {

struct Classified {
  DestinationOutcome outcome;
  std::string destination;
};

Classified classify(const std::string& base, const std::string& text) {
  char output[PATH_BUFFER + 16];
  std::memset(output, 'x', sizeof output);
  const DestinationOutcome outcome = classify_destination(base.c_str(), text.c_str(), output);
  EXPECT_EQ(output[PATH_BUFFER], 'x') << "wrote past the 260-byte buffer";
  return {outcome, output};
}

void expect_accepted(const std::string& base, const std::string& text, const std::string& want) {
  const Classified got = classify(base, text);
  EXPECT_EQ(got.outcome, DESTINATION_ACCEPTED) << text;
  EXPECT_EQ(got.destination, want) << text;
}

TEST(DestinationForms, RelativeFormsJoinTheBaseFolder) {
  const std::string base = "C:\\dl\\";
  expect_accepted(base, "", "C:\\dl\\");
  expect_accepted(base, "sub", "C:\\dl\\sub");
  expect_accepted(base, "\\sub", "C:\\dl\\sub");
  expect_accepted(base, ".\\sub", "C:\\dl\\sub");
  expect_accepted(base, ".\\a\\b", "C:\\dl\\a\\b");
  expect_accepted(base, "a:b", "C:\\dl\\a:b");  // ':' is not tested here
  // Inner backslashes change nothing: still below the base folder.
  expect_accepted(base, "sub\\dir", "C:\\dl\\sub\\dir");
  expect_accepted(base, "a\\b\\c", "C:\\dl\\a\\b\\c");
}

TEST(DestinationForms, OtherFormsStandAsTheyAre) {
  const std::string base = "C:\\dl\\";
  expect_accepted(base, "D:", "D:");
  expect_accepted(base, "D:\\out", "D:\\out");
  expect_accepted(base, "\\\\server\\share", "\\\\server\\share");
  expect_accepted(base, "C:sub\\dir", "C:sub\\dir");  // relative to drive C's folder
}

TEST(DestinationForms, ClimbingCutsTheBaseFolderOncePerLevel) {
  expect_accepted("C:\\dl\\", "..\\sub", "C:\\sub");
  expect_accepted("C:\\a\\b\\", "..\\..\\x", "C:\\x");
  expect_accepted("C:\\a\\b\\c\\", "..\\x\\y", "C:\\a\\b\\x\\y");
  // Every occurrence counts, wherever it stands.
  expect_accepted("C:\\a\\b\\c\\", "..\\x\\..\\y", "C:\\a\\y");

  EXPECT_EQ(classify("C:\\dl\\", "..\\..\\sub").outcome, DESTINATION_ABOVE_ROOT);
  EXPECT_EQ(classify("C:\\dl\\", "..\\..\\..\\..\\sub").outcome, DESTINATION_ABOVE_ROOT);
  EXPECT_EQ(classify("C:\\dl\\", "..\\..\\sub").destination, "");
}

TEST(DestinationForms, ArchiveWithoutFolderPart) {
  expect_accepted("", "", "");
  expect_accepted("", "sub", "sub");
  expect_accepted("", "\\sub", "sub");
  expect_accepted("", "C:\\out", "C:\\out");
  EXPECT_EQ(classify("", "..\\sub").outcome, DESTINATION_ABOVE_ROOT);
}

TEST(DestinationForms, ForbiddenCharacters) {
  for (const char c : std::string(";*?\"<>|")) {
    EXPECT_EQ(classify("C:\\dl\\", std::string("a") + c + "b").outcome, DESTINATION_FORBIDDEN) << c;
    EXPECT_EQ(classify("C:\\dl\\", std::string("D:\\a") + c).outcome, DESTINATION_FORBIDDEN) << c;
  }
  // The base folder is part of the result, so a base with ';' fails every
  // relative form, the empty one included.
  EXPECT_EQ(classify("C:\\a;b\\", "").outcome, DESTINATION_FORBIDDEN);
  EXPECT_EQ(classify("C:\\a;b\\", "sub").outcome, DESTINATION_FORBIDDEN);
  expect_accepted("C:\\a;b\\", "D:\\fine", "D:\\fine");
}

TEST(DestinationForms, ResultsThatWouldNotFitAreRefused) {
  const std::string base = "C:\\" + std::string(200, 'b') + "\\";
  EXPECT_EQ(classify(base, std::string(60, 'n')).outcome, DESTINATION_TOO_LONG);
  // Room is kept for the final backslash: 258 bytes are the most accepted.
  expect_accepted(base, std::string(258 - base.size(), 'n'),
                  base + std::string(258 - base.size(), 'n'));
  EXPECT_EQ(classify(base, std::string(259 - base.size(), 'n')).outcome, DESTINATION_TOO_LONG);
  const std::string absolute = "D:\\" + std::string(256, 'z');
  EXPECT_EQ(classify(base, absolute).outcome, DESTINATION_TOO_LONG);
  EXPECT_EQ(classify(base, "..\\" + std::string(257, 'u')).outcome, DESTINATION_TOO_LONG);
}

TEST(DestinationForms, ShiftJisSecondByteIsNoBackslash) {
  if (GetACP() != 932) GTEST_SKIP() << "needs code page 932";
  const std::string name = "\x95\x5C";                   // one character, second byte 0x5C
  expect_accepted("C:\\dl\\", name, "C:\\dl\\" + name);  // a bare name
  expect_accepted("C:\\dl\\", "..\\" + name, "C:\\" + name);
  expect_accepted("C:\\" + name + "\\dl\\", "..\\x", "C:\\" + name + "\\x");
}

}  // namespace

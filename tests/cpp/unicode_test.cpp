// Unicode helpers; where UTF-8 faults are found is checked through their
// texts in load_test, and more escapes through the readers' errors.
#include "unicode.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace vesk::unicode;

TEST(UnicodeTest, LossyReplacesEachMaximalInvalidSubsequence) {
  const std::pair<std::string, std::string> rows[] = {
      {"a\xff" "b", "a\xef\xbf\xbd" "b"},
      {"\xe2\x82z", "\xef\xbf\xbdz"},                             // one for the two-byte prefix
      {"\xf0\x9f\x98", "\xef\xbf\xbd"},                           // truncated at the end
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // surrogate: one per byte
      {"\xc3\xa9", "\xc3\xa9"},
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(lossy_utf8(in), out) << in;
}

TEST(UnicodeTest, WhiteSpaceIsExactlyTheTwentyFiveCodePoints) {
  const std::u32string listed = U"\t\n\v\f\r \u0085\u00a0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007"
                                U"\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000";
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp)
    EXPECT_EQ(is_white_space(cp), listed.find(cp) != listed.npos) << std::hex << unsigned(cp);
}

TEST(UnicodeTest, TrimRemovesWhiteSpaceAtBothEnds) {
  const std::pair<std::string, std::string> rows[] = {
      {"\t yes \n", "yes"},
      {"\xe3\x80\x80x\xc2\xa0", "x"},          // U+3000 and U+00A0
      {"\xe2\x80\x8bx", "\xe2\x80\x8bx"},      // U+200B stays
      {"a b", "a b"},
      {" \t\r\n", ""},
      {"\xff ", "\xff"},                       // invalid bytes are kept
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(trim(in), out) << in;
}

// Quoted: \0 \t \r \n \\ \" as such; control, unprintable and grapheme-extending
// code points as \u{hex}; everything else as it is.
TEST(UnicodeTest, DebugQuotedEscapesWhatCannotBeSeen) {
  const std::pair<std::string, std::string> rows[] = {
      {std::string("\0\t\r\n", 4), R"("\0\t\r\n")"},
      {"\x1b[0m", R"("\u{1b}[0m")"},
      {"\xc2\x80" "c1", R"("\u{80}c1")"},
      {"\xc2\xa0nbsp", R"("\u{a0}nbsp")"},
      {"\xe2\x80\x8bzwsp", R"("\u{200b}zwsp")"},
      {"\xee\x80\x80pua", R"("\u{e000}pua")"},
      {"\xcd\xb8unassigned", R"("\u{378}unassigned")"},
      {"\xf3\xa0\x84\x80vs", R"("\u{e0100}vs")"},
      {"\xef\xbe\x9e", R"("\u{ff9e}")"},           // Other_Grapheme_Extend
      {"\xf4\x8f\xbf\xbf", R"("\u{10ffff}")"},
      {"\xf0\x9f\x8f\xbbskin", "\"\xf0\x9f\x8f\xbbskin\""},  // U+1F3FB is printable
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(debug_quoted(in), out) << in;
}

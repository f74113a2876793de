// The string helpers of the device conversation: splitting at delimiters and
// character sets, prefix and whitespace handling.
#include <gtest/gtest.h>

#include "protocol/StrMan.h"

namespace {

struct Split {
  std::string token, rest;
};

Split Tok(std::string text, const std::string& delim, bool skip) {
  Split s;
  StringManager().SplitToken(text, delim, s.token, skip);
  s.rest = text;
  return s;
}

TEST(StrMan, SplitTokenCutsAtFirstDelimiterAndDropsIt) {
  Split s = Tok("A05 =40 46", " ", true);
  EXPECT_EQ(s.token, "A05");
  EXPECT_EQ(s.rest, "=40 46");
  // Only one leading delimiter is skipped, and only when asked to.
  s = Tok("  x y", " ", true);
  EXPECT_EQ(s.token, "");
  EXPECT_EQ(s.rest, "x y");
  s = Tok(" x", " ", false);
  EXPECT_EQ(s.token, "");
  EXPECT_EQ(s.rest, "x");
  // No delimiter: everything is the token.
  s = Tok("abc", " ", true);
  EXPECT_EQ(s.token, "abc");
  EXPECT_EQ(s.rest, "");
  s = Tok("", " ", true);
  EXPECT_EQ(s.token, "");
  // A delimiter longer than one character is dropped whole.
  s = Tok("a::b::c", "::", true);
  EXPECT_EQ(s.token, "a");
  EXPECT_EQ(s.rest, "b::c");
}

TEST(StrMan, SplitAtCharsTakesAnyOneCharacterOfTheSet) {
  std::string text = "\nA05 x\r\nA05 *00\r\n", token;
  StringManager().SplitAtChars(text, "\r\n", token, true);
  EXPECT_EQ(token, "A05 x");
  EXPECT_EQ(text, "\nA05 *00\r\n");
  text = "\r\rz";
  StringManager().SplitAtChars(text, "\r\n", token, true);
  EXPECT_EQ(token, "");
  EXPECT_EQ(text, "z");
}

TEST(StrMan, NormalizeStripPrefixCount) {
  TStringManager& sm = StringManager();
  EXPECT_EQ(sm.NormalizeSpaces(" \t12   34\r\n"), "12 34");
  EXPECT_EQ(sm.NormalizeSpaces(std::string("a\0\x01 b", 5)), "a b");
  EXPECT_EQ(sm.NormalizeSpaces("   "), "");
  // Bytes above 127 are text, not blanks.
  EXPECT_EQ(sm.NormalizeSpaces("\xC3\xA4 "), "\xC3\xA4");
  EXPECT_EQ(sm.StripPrefix("#46", "#"), "46");
  EXPECT_EQ(sm.StripPrefix("46#", "#"), "46#");
  EXPECT_EQ(sm.StripPrefix("#", "##"), "#");
  EXPECT_EQ(sm.CountChars("a\nb\r\n", "\n"), 2);
  EXPECT_EQ(sm.CountChars("abc", ""), 0);
}

}  // namespace

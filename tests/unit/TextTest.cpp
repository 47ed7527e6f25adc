#include <gtest/gtest.h>

#include "core/TextEncoding.h"
#include "core/TextUtil.h"

using namespace kestrill;

TEST(Trim, RemovesOnlyCodePointsUpToSpace) {
  const std::pair<std::string, std::string> Cases[] = {
      {"  hello  ", "hello"},
      {"\r\n\t질문\r\n", "질문"},
      {"\x01\x1F"
       "a b"
       "\x20",
       "a b"},
      {"\xC2\xA0nbsp\xC2\xA0", "\xC2\xA0nbsp\xC2\xA0"},                  // U+00A0 stays
      {"\xE3\x80\x80ideo\xE3\x80\x80", "\xE3\x80\x80ideo\xE3\x80\x80"},  // U+3000 stays
      {" \r\n\t ", ""},
      {"", ""},
  };
  for (const auto& [In, Out] : Cases) EXPECT_EQ(Trim(In), Out) << '[' << In << ']';
}

TEST(Base64, MatchesRfc4648Vectors) {
  const std::pair<std::string, std::string> Cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\x00\xFF\xFE", 3), "AP/+"},
  };
  for (const auto& [In, Out] : Cases) EXPECT_EQ(Base64Encode(In), Out);
}

TEST(Utf8, ValidityAndSanitising) {
  EXPECT_TRUE(IsValidUtf8("plain ascii"));
  EXPECT_TRUE(IsValidUtf8("한국어 😀"));
  EXPECT_FALSE(IsValidUtf8("\xC7\xD1\xB1\xDB"));  // CP949 "한글"
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // encoded surrogate
  EXPECT_FALSE(IsValidUtf8("\xE2\x82"));          // truncated
  EXPECT_EQ(SanitizeUtf8("a\xFF"
                         "b"),
            "a\xEF\xBF\xBD"
            "b");
}

TEST(Utf16Prefix, CountsUtf16UnitsWithoutSplittingCharacters) {
  EXPECT_EQ(Utf16Prefix("abcdef", 4), "abcd");
  EXPECT_EQ(Utf16Prefix("가나다라", 2), "가나");
  EXPECT_EQ(Utf16Prefix("a😀b", 2), "a");  // the emoji needs two units
  EXPECT_EQ(Utf16Prefix("a😀b", 3), "a😀");
  EXPECT_EQ(Utf16Prefix("short", 100), "short");
}

TEST(Utf16ToUtf8, DecodesPairsAndReplacesLoneSurrogates) {
  // "A😀" little-endian, then a lone high surrogate and an odd trailing byte.
  std::string Le("\x41\x00\x3D\xD8\x00\xDE\x3D\xD8\x42", 9);
  EXPECT_EQ(Utf16ToUtf8(Le, false), "A😀\xEF\xBF\xBD");
  std::string Be("\xD5\x5C\xAE\x00", 4);  // "한글" big-endian
  EXPECT_EQ(Utf16ToUtf8(Be, true), "한글");
}

TEST(LegacyToUtf8, SequencesTheConverterTakesWholeAndRefusesEndCleanly) {
  // glibc's CP949 reports these as bad after taking both bytes; nothing may be read past the end.
  EXPECT_EQ(LegacyToUtf8("\xA2\xE8"), "\xEF\xBF\xBD");
  EXPECT_EQ(LegacyToUtf8(std::string("\0\xA2\xE8", 3)), std::string("\0\xEF\xBF\xBD", 4));
  EXPECT_EQ(LegacyToUtf8("\xBB\xEF\xA2\xE8"), "\xEC\x82\xBC\xEF\xBF\xBD");  // 삼, then the bad pair
}

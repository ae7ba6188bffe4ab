#include "utf8_arguments.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct DecodeCase {
  const char* name;
  std::string bytes;
  std::u16string units;
};

void PrintTo(const DecodeCase& c, std::ostream* out) { *out << c.name; }

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, DecodesValidSequencesAndReplacesEachBadByteOnItsOwn) {
  EXPECT_EQ(DecodeUtf8Argument(GetParam().bytes), GetParam().units) << GetParam().name;
}

// What run hands on to its command: encoding the decoded units again loses nothing.
TEST_P(DecodeTest, EncodingTheUnitsAgainGivesThemBack) {
  EXPECT_EQ(DecodeUtf8Argument(EncodeUtf8Argument(GetParam().units)), GetParam().units);
}

TEST(EncodeUtf8Argument, WritesEachLoneSurrogateAsTheReplacementCharacter) {
  EXPECT_EQ(EncodeUtf8Argument(u"a\xD800z"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(EncodeUtf8Argument(u"\xDC00\xD800"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(EncodeUtf8Argument(std::u16string(u"x\xD83D", 2)), "x\xEF\xBF\xBD");
  EXPECT_EQ(EncodeUtf8Argument(u"\U0001F600\u00e9"), "\xF0\x9F\x98\x80\xC3\xA9");
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, DecodeTest,
    ::testing::Values(
        DecodeCase{"ascii", "block", u"block"}, DecodeCase{"empty", "", u""},
        DecodeCase{"two bytes", "caf\xC3\xA9", u"caf\u00e9"},
        DecodeCase{"three bytes", "\xE4\xB8\xAD", u"\u4e2d"},
        DecodeCase{"four bytes become a pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
        DecodeCase{"stray continuation", "a\x80z", u"a\ufffdz"},
        DecodeCase{"lone lead at the end", "a\xC3", u"a\ufffd"},
        DecodeCase{"truncated three-byte", "\xE4\xB8z", u"\ufffd\ufffdz"},
        DecodeCase{"overlong slash", "\xC0\xAF", u"\ufffd\ufffd"},
        DecodeCase{"overlong three-byte", "\xE0\x80\xAF", u"\ufffd\ufffd\ufffd"},
        DecodeCase{"encoded surrogate", "\xED\xA0\x80", u"\ufffd\ufffd\ufffd"},
        DecodeCase{"above U+10FFFF", "\xF4\x90\x80\x80", u"\ufffd\ufffd\ufffd\ufffd"},
        DecodeCase{"invalid lead bytes", "\xFE\xFF", u"\ufffd\ufffd"},
        DecodeCase{"highest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

}  // namespace

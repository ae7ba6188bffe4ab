#include "policy_code.h"

#include <gtest/gtest.h>

#include <string>

namespace {

ButtonPolicy Policy(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                    std::uint32_t e, std::uint32_t f) {
  return {a, b, c, d, e, f};
}

struct PackCase {
  ButtonPolicy policy;
  std::uint32_t code;
  const char* text;
};

class PackTest : public ::testing::TestWithParam<PackCase> {};

TEST_P(PackTest, PacksEachFieldIntoItsDigitAndFormatsEightUpperCaseDigits) {
  const PackCase& c = GetParam();
  EXPECT_EQ(PackPolicyCode(c.policy), c.code);
  EXPECT_STREQ(FormatPolicyCode(c.code).digits, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, PackTest,
    ::testing::Values(PackCase{Policy(1, 1, 1, 1, 1, 1), 0x111111, "00111111"},
                      PackCase{Policy(3, 3, 1, 1, 0, 0), 0x331100, "00331100"},
                      PackCase{Policy(0, 0, 0, 0, 0, 0), 0, "00000000"},
                      PackCase{Policy(15, 14, 13, 12, 11, 10), 0xFEDCBA, "00FEDCBA"},
                      // Bits above a field's low four are dropped, never carried over.
                      PackCase{Policy(18, 0, 0, 0, 0, 0xFFFFFFFF), 0x20000F, "0020000F"}));

struct ParseCase {
  std::u16string text;
  bool accepted;
  ButtonPolicy policy;
};

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, TakesSixHexDigitsAfterTheFirstTwoUnitsOrRejectsLeavingThePolicyAlone) {
  const ParseCase& c = GetParam();
  const ButtonPolicy before = Policy(9, 9, 9, 9, 9, 9);
  ButtonPolicy policy = before;
  EXPECT_EQ(ParsePolicyCode(c.text, policy), c.accepted);
  EXPECT_EQ(policy, c.accepted ? c.policy : before);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseTest,
    ::testing::Values(ParseCase{u"00331100", true, Policy(3, 3, 1, 1, 0, 0)},
                      ParseCase{u"XY000000", true, Policy(0, 0, 0, 0, 0, 0)},
                      ParseCase{u"0x3311AB", true, Policy(3, 3, 1, 1, 10, 11)},
                      ParseCase{u"0012345678", true, Policy(1, 2, 3, 4, 5, 6)},
                      ParseCase{u"00fedcba", true, Policy(15, 14, 13, 12, 11, 10)},
                      ParseCase{u"\u00e9\u4e2d00000F", true, Policy(0, 0, 0, 0, 0, 15)},
                      ParseCase{u"", false, {}}, ParseCase{u"0033110", false, {}},
                      ParseCase{u"0033110G", false, {}}, ParseCase{u"00 31100", false, {}},
                      ParseCase{u"00-31100", false, {}}, ParseCase{u"0033110g", false, {}},
                      // Full-width digits and a lone surrogate are not hexadecimal digits.
                      ParseCase{u"00\uff1331100", false, {}},
                      ParseCase{std::u16string(u"0033110") + char16_t(0xD800), false, {}},
                      // An embedded NUL ends nothing here; it is simply not a digit.
                      ParseCase{std::u16string(u"00331\0" u"00", 8), false, {}}));

TEST(PolicyCodeRoundTrip, EveryValueInEveryFieldComesBackUnchanged) {
  for (std::size_t field = 0; field < kButtonPolicyFields.size(); ++field) {
    for (std::uint32_t value = 0; value <= 15; ++value) {
      ButtonPolicy original = Policy(1, 2, 3, 4, 5, 6);
      original.*kButtonPolicyFields[field] = value;
      const std::string text = FormatPolicyCode(PackPolicyCode(original)).digits;
      ButtonPolicy parsed;
      ASSERT_TRUE(ParsePolicyCode(std::u16string(text.begin(), text.end()), parsed)) << text;
      EXPECT_EQ(parsed, original) << "field " << field << " value " << value;
    }
  }
}

TEST(PolicyFitsCode, HoldsOnlyWhenEveryValueIsAtMostFifteenAsUnsigned) {
  EXPECT_TRUE(PolicyFitsCode(Policy(15, 0, 15, 0, 15, 0)));
  for (std::size_t field = 0; field < kButtonPolicyFields.size(); ++field) {
    for (std::uint32_t value : {16U, 0x80000000U, 0xFFFFFFFFU}) {
      ButtonPolicy policy;
      policy.*kButtonPolicyFields[field] = value;
      EXPECT_FALSE(PolicyFitsCode(policy)) << "field " << field << " value " << value;
    }
  }
}

}  // namespace

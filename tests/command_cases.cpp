#include "command_cases.h"

#include <cctype>

#include "store_format.h"

namespace {

using Values = std::array<std::uint32_t, 6>;

constexpr Values kMixed = {3, 4, 1, 2, 0, 5};
constexpr Values kZeros = {0, 0, 0, 0, 0, 0};
constexpr Values kSleep = {1, 1, 1, 1, 1, 1};

constexpr std::int32_t Hresult(std::uint32_t status) {
  return static_cast<std::int32_t>(0x80070000U | status);
}

// "block", the marks that were reached, the value line and the code line.
std::string BlockReport(const std::string& marks, const std::string& values,
                        const std::string& code) {
  std::string report = "block\r\n";
  for (char mark : marks) report += std::string(1, mark) + "\r\n";
  return report + values + "\r\n" + code + "\r\n";
}

std::vector<CommandCase> MakeCases() {
  const std::string mixed = StoreText(kMixed);
  const std::string mixedValues = "3, 4, 1, 2, 0, 5";
  const std::string zeroValues = "0, 0, 0, 0, 0, 0";
  const auto done = CommandOutcome::Done;
  const auto failure = CommandOutcome::PowerFailure;
  const auto usage = CommandOutcome::UsageError;

  return {
      // block
      {"block on a new store", {"block"}, std::nullopt,
       BlockReport("012", "1, 1, 1, 1, 1, 1", "00111111"), 0x111111, done, kZeros},
      {"block", {"block"}, mixed, BlockReport("012", mixedValues, "00341205"), 0x341205, done,
       kZeros},
      {"block ignores further arguments", {"block", "x", "00331100"}, mixed,
       BlockReport("012", mixedValues, "00341205"), 0x341205, done, kZeros},
      {"block with the query failing", {"block"}, StoreText(kMixed, {"fail query 1168"}),
       BlockReport("0", zeroValues, "00000000"), Hresult(1168), failure, std::nullopt},
      {"block with the first read failing", {"block"}, StoreText(kMixed, {"fail read 1 5"}),
       BlockReport("0", zeroValues, "00000000"), Hresult(5), failure, std::nullopt},
      {"block with the third read failing", {"block"}, StoreText(kMixed, {"fail read 3 5"}),
       BlockReport("0", "3, 4, 0, 0, 0, 0", "00340000"), Hresult(5), failure, std::nullopt},
      {"block with the sleep DC read failing", {"block"},
       StoreText(kMixed, {"fail read sleep-button dc 0x1f"}),
       BlockReport("0", "3, 4, 1, 2, 0, 0", "00341200"), Hresult(31), failure, std::nullopt},
      {"block with the first write failing", {"block"}, StoreText(kMixed, {"fail write 1 29"}),
       BlockReport("01", mixedValues, "00341205"), 0x341205, failure, std::nullopt},
      {"block with the fifth write failing", {"block"}, StoreText(kMixed, {"fail write 5 29"}),
       BlockReport("01", mixedValues, "00341205"), 0x341205, failure, Values{0, 0, 0, 0, 0, 5}},
      {"block with the activation failing", {"block"}, StoreText(kMixed, {"fail activate 5"}),
       BlockReport("01", mixedValues, "00341205"), 0x341205, failure, kZeros},
      {"block refuses a value the code cannot carry", {"block"},
       StoreText({3, 4, 16, 2, 0, 5}), BlockReport("01", "3, 4, 16, 2, 0, 5", "00340205"),
       Hresult(13), failure, std::nullopt},
      {"block prints a huge value as signed", {"block"},
       StoreText({0, 0, 0, 0, 0, 4294967295U}), BlockReport("01", "0, 0, 0, 0, 0, -1", "0000000F"),
       Hresult(13), failure, std::nullopt},
      {"block on a malformed store", {"block"}, std::string("power-button 1 1\n"),
       BlockReport("0", zeroValues, "00000000"), Hresult(13), failure, std::nullopt},
      {"Block is no command", {"Block"}, mixed, "Block\r\n", 0, done, std::nullopt},
      {"BLOCK is no command", {"BLOCK"}, std::nullopt, "BLOCK\r\n", 0, done, std::nullopt},

      // restore
      {"restore", {"restore", "00331100"}, mixed, "restore\r\n3, 3, 1, 1, 0, 0\r\n", 0, done,
       Values{3, 3, 1, 1, 0, 0}},
      {"restore ignores the first two units and the tail", {"restore", "0xFEDcba-tail"}, mixed,
       "restore\r\n15, 14, 13, 12, 11, 10\r\n", 0, done, Values{15, 14, 13, 12, 11, 10}},
      {"restore with a write failing", {"restore", "00331100"},
       StoreText(kMixed, {"fail write lid-close dc 5"}), "restore\r\n3, 3, 1, 1, 0, 0\r\n",
       Hresult(5), failure, Values{3, 3, 1, 2, 0, 5}},
      {"restore with the activation failing", {"restore", "00331100"},
       StoreText(kMixed, {"fail activate 0x10032"}), "restore\r\n3, 3, 1, 1, 0, 0\r\n",
       Hresult(0x32), failure, Values{3, 3, 1, 1, 0, 0}},
      {"restore with the query failing", {"restore", "00331100"},
       StoreText(kMixed, {"fail query 2"}), "restore\r\n3, 3, 1, 1, 0, 0\r\n", Hresult(2),
       failure, std::nullopt},
      {"restore alone", {"restore"}, std::nullopt, "restore\r\n", -1, usage, std::nullopt},
      {"restore with two codes", {"restore", "00331100", "x"}, mixed, "restore\r\n", -1, usage,
       std::nullopt},
      {"restore of a short text", {"restore", "0033110"}, mixed, "restore\r\n", -1, usage,
       std::nullopt},
      {"restore of a text that is no code", {"restore", "0033110G"}, std::nullopt,
       "restore\r\n", -1, usage, std::nullopt},
      {"restore of an empty text", {"restore", ""}, mixed, "restore\r\n", -1, usage,
       std::nullopt},
      {"restore of full width digits", {"restore", "00\xEF\xBC\x93" "31100"}, mixed,
       "restore\r\n", -1, usage, std::nullopt},

      // anything else
      {"no argument", {}, std::nullopt, "", -1, usage, std::nullopt},
      {"another word", {"status"}, mixed, "status\r\n", 0, done, std::nullopt},
      {"an empty word", {""}, mixed, "\r\n", 0, done, std::nullopt},
      {"latin 1 is echoed as bytes", {"caf\xC3\xA9"}, std::nullopt, "caf\xE9\r\n", 0, done,
       std::nullopt},
      {"wider characters are echoed as question marks", {"\xE4\xB8\xAD-\xF0\x9F\x98\x80"},
       std::nullopt, "?-??\r\n", 0, done, std::nullopt},
      {"invalid UTF-8 is echoed as question marks", {"a\xFF\xC3z"}, std::nullopt, "a??z\r\n", 0,
       done, std::nullopt},
  };
}

}  // namespace

std::string StoreText(const Values& values, const std::vector<std::string>& extraLines) {
  StoredScheme scheme = DefaultStoredScheme();
  for (std::size_t i = 0; i < values.size(); ++i) scheme.values[i / 2][i % 2] = values[i];
  std::string text = FormatStoredScheme(scheme);
  for (const std::string& line : extraLines) text += line + "\n";
  return text;
}

std::optional<Values> StoreValues(const std::string& text) {
  const std::optional<StoredScheme> scheme = ParseStoredScheme(text);
  if (!scheme) return std::nullopt;
  Values values{};
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = scheme->values[i / 2][i % 2];
  return values;
}

const std::vector<CommandCase>& CommandCases() {
  static const std::vector<CommandCase> cases = MakeCases();
  return cases;
}

::testing::AssertionResult StoreIsAsExpectedAfter(const CommandCase& c,
                                                  const std::optional<std::string>& storeAfter) {
  if (c.valuesAfter) {
    const std::optional<Values> values = StoreValues(storeAfter.value_or(""));
    if (values == c.valuesAfter) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the store holds other values:\n"
                                         << storeAfter.value_or("(no store)");
  }
  if (storeAfter == c.storeBefore) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the store changed:\n"
                                       << storeAfter.value_or("(no store)");
}

std::string TestName(const char* text) {
  std::string name;
  for (const char* p = text; *p != '\0'; ++p) {
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  }
  return name;
}

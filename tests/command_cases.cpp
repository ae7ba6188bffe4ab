#include "command_cases.h"

#include <cctype>

#include "store_format.h"

namespace {

using Values = std::array<std::uint32_t, 6>;

constexpr Values kMixed = {3, 4, 1, 2, 0, 5};
constexpr Values kZeros = {0, 0, 0, 0, 0, 0};


// "block", the marks that were reached, the value line and the code line.
std::string BlockReport(const std::string& marks, const std::string& values,
                        const std::string& code) {
  std::string report = "block\r\n";
  for (char mark : marks) report += std::string(1, mark) + "\r\n";
  return report + values + "\r\n" + code + "\r\n";
}

const char* const kNoCommand = "buttonguard: not a command";
const char* const kBlockHelp = "usage:\r\n  buttonguard block\r\n";
// The help's values: their order and what each number means; and which failed block's code
// to restore (never the zeros of one that read nothing).
const char* const kValuesHelp =
    "Values: power button, lid, sleep button, each on mains (AC) and battery (DC):\r\n"
    "0 do nothing, 1 sleep, 2 hibernate, 3 shut down, 4 turn off the display. The code\r\n"
    "is 00 and a hex digit per value. Restore a code only when block exited with it\r\n"
    "(Linux: 0), or after a \"not undone\" line: a block that failed puts back what it\r\n"
    "wrote.";

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
      // A write failing at any place leaves the store as it was, and the code is no status.
      {"block with the first write failing", {"block"}, StoreText(kMixed, {"fail write 1 29"}),
       BlockReport("01", mixedValues, "00341205"), Hresult(29), failure, kMixed},
      {"block with the second write failing", {"block"}, StoreText(kMixed, {"fail write 2 29"}),
       BlockReport("01", mixedValues, "00341205"), Hresult(29), failure, kMixed},
      {"block with the third write failing", {"block"}, StoreText(kMixed, {"fail write 3 29"}),
       BlockReport("01", mixedValues, "00341205"), Hresult(29), failure, kMixed},
      {"block with the fourth write failing", {"block"}, StoreText(kMixed, {"fail write 4 29"}),
       BlockReport("01", mixedValues, "00341205"), Hresult(29), failure, kMixed},
      {"block with the fifth write failing", {"block"}, StoreText(kMixed, {"fail write 5 29"}),
       BlockReport("01", mixedValues, "00341205"), Hresult(29), failure, kMixed},
      {"block with the sixth write failing", {"block"}, StoreText(kMixed, {"fail write 6 29"}),
       BlockReport("01", mixedValues, "00341205"), Hresult(29), failure, kMixed},
      {"block whose undo fails too says what stayed blocked", {"block"},
       StoreText(kMixed, {"fail write 5 29", "fail write 7 5"}),
       BlockReport("01", mixedValues, "00341205") + "not undone 3, 0, 0, 0, 0, 5\r\n",
       Hresult(29), failure, Values{3, 0, 0, 0, 0, 5}},
      {"block with every activation failing writes the values back but cannot apply them",
       {"block"}, StoreText(kMixed, {"fail activate 5"}),
       BlockReport("01", mixedValues, "00341205") + "not undone 3, 4, 1, 2, 0, 5\r\n",
       Hresult(5), failure, kMixed},
      {"block refuses a value the code cannot carry", {"block"},
       StoreText({3, 4, 16, 2, 0, 5}), BlockReport("01", "3, 4, 16, 2, 0, 5", "00340205"),
       Hresult(13), failure, std::nullopt},
      {"block refuses while a policy keeps the lid in play", {"block"},
       StoreText(kMixed, {"policy lid-close dc 1"}),
       BlockReport("01", mixedValues, "00341205") + "policy -, -, -, 1, -, -\r\n",
       Hresult(1260), failure, std::nullopt},
      {"block goes on under a policy of doing nothing", {"block"},
       StoreText(kMixed, {"policy lid-close dc 0"}), BlockReport("012", mixedValues, "00341205"),
       0x341205, done, kZeros},
      {"block with the policy check failing", {"block"}, StoreText(kMixed, {"fail check 1168"}),
       BlockReport("01", mixedValues, "00341205"), Hresult(1168), failure, std::nullopt},
      {"block prints a huge value as signed", {"block"},
       StoreText({0, 0, 0, 0, 0, 4294967295U}), BlockReport("01", "0, 0, 0, 0, 0, -1", "0000000F"),
       Hresult(13), failure, std::nullopt},
      {"block on a malformed store", {"block"}, std::string("power-button 1 1\n"),
       BlockReport("0", zeroValues, "00000000"), Hresult(13), failure, std::nullopt},
      {"Block is no command", {"Block"}, mixed, "Block\r\n", 0, done, std::nullopt, kNoCommand},
      {"BLOCK is no command", {"BLOCK"}, std::nullopt, "BLOCK\r\n", 0, done, std::nullopt,
       kNoCommand},
      // A help word after a command asks about it, and changes nothing.
      {"block --help changes nothing", {"block", "--help"}, mixed, "block\r\n", -1, usage,
       std::nullopt, kBlockHelp},
      {"block -h changes nothing", {"block", "-h"}, mixed, "block\r\n", -1, usage,
       std::nullopt, kBlockHelp},
      {"block then slash question mark changes nothing", {"block", "/?"}, mixed, "block\r\n", -1, usage,
       std::nullopt, kBlockHelp},
      {"block then dash question mark changes nothing", {"block", "-?"}, mixed, "block\r\n", -1, usage,
       std::nullopt, kBlockHelp},
      {"block --help anywhere changes nothing", {"block", "--help", "now"}, mixed, "block\r\n", -1,
       usage, std::nullopt, kBlockHelp},
      // Words that look like options block has not, or ask for help, change nothing either.
      {"block /x changes nothing", {"block", "now", "/x"}, mixed, "block\r\n", -1, usage,
       std::nullopt, kBlockHelp},
      {"block --force changes nothing", {"block", "--force"}, mixed, "block\r\n", -1, usage,
       std::nullopt, kBlockHelp},
      {"block help changes nothing", {"block", "help"}, mixed, "block\r\n", -1, usage,
       std::nullopt, kBlockHelp},

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
      {"restore alone", {"restore"}, std::nullopt, "restore\r\n", -1, usage, std::nullopt,
       "buttonguard restore: "},
      {"restore with two codes", {"restore", "00331100", "x"}, mixed, "restore\r\n", -1, usage,
       std::nullopt, "buttonguard restore: "},
      {"restore of a short text", {"restore", "0033110"}, mixed, "restore\r\n", -1, usage,
       std::nullopt, "buttonguard restore: "},
      {"restore of a text that is no code", {"restore", "0033110G"}, std::nullopt,
       "restore\r\n", -1, usage, std::nullopt, "buttonguard restore: "},
      {"restore of an empty text", {"restore", ""}, mixed, "restore\r\n", -1, usage,
       std::nullopt, "buttonguard restore: "},
      {"restore of full width digits", {"restore", "00\xEF\xBC\x93" "31100"}, mixed,
       "restore\r\n", -1, usage, std::nullopt, "buttonguard restore: "},

      // show: block's value and code lines, and the store exactly as it was
      {"show", {"show"}, mixed, "show\r\n" + mixedValues + "\r\n00341205\r\n", 0x341205, done,
       std::nullopt},
      {"show ignores further arguments", {"show", "restore", "00331100"}, mixed,
       "show\r\n" + mixedValues + "\r\n00341205\r\n", 0x341205, done, std::nullopt},
      {"show names the values a policy holds", {"show"},
       StoreText(kMixed, {"policy lid-close dc 1", "policy power-button ac 0"}),
       "show\r\n" + mixedValues + "\r\npolicy 0, -, -, 1, -, -\r\n00341205\r\n", 0x341205, done,
       std::nullopt},
      {"show says on standard error that the policy check failed", {"show"},
       StoreText(kMixed, {"fail check 1168"}), "show\r\n" + mixedValues + "\r\n00341205\r\n",
       0x341205, done, std::nullopt, "policy check failed 0x80070490"},
      {"show of a blocked scheme", {"show"}, StoreText(kZeros),
       "show\r\n" + zeroValues + "\r\n00000000\r\n", 0, done, std::nullopt},
      // What was not read whole is never printed: no zeros that would pass for "blocked".
      {"show with the third read failing", {"show"}, StoreText(kMixed, {"fail read 3 5"}),
       "show\r\n", Hresult(5), failure, std::nullopt, "read failed 0x80070005"},
      {"show of a store that cannot be read", {"show"}, std::string("power-button 1 1\n"),
       "show\r\n", Hresult(13), failure, std::nullopt, "read failed 0x8007000D"},
      {"show of a value the code cannot carry", {"show"}, StoreText({3, 4, 16, 2, 0, 5}),
       "show\r\n3, 4, 16, 2, 0, 5\r\n", Hresult(13), failure, std::nullopt,
       "no code 0x8007000D"},
      {"Show is no command", {"Show"}, mixed, "Show\r\n", 0, done, std::nullopt, kNoCommand},

      // recover: no dead run is no failure, and touches nothing
      {"recover with no records", {"recover"}, mixed, "recover\r\n", 0, done, std::nullopt},
      {"recover with an argument", {"recover", "all"}, mixed, "recover\r\n", -1, usage,
       std::nullopt, "buttonguard recover: "},

      // anything else
      {"no argument", {}, std::nullopt, "", -1, usage, std::nullopt, kValuesHelp},
      // The help is a person's; a script passing these words sees what it always saw.
      {"/? is echoed, with the usage beside it", {"/?"}, mixed, "/?\r\n", 0, done,
       std::nullopt, "usage: "},
      {"--help is echoed, with the usage beside it", {"--help"}, mixed, "--help\r\n", 0, done,
       std::nullopt, "usage: "},
      {"--version is echoed, with the version beside it", {"--version"}, mixed,
       "--version\r\n", 0, done, std::nullopt, "buttonguard 1."},
      // A script's typo passes as it always did; standard error says it is none.
      {"another word", {"status"}, mixed, "status\r\n", 0, done, std::nullopt, kNoCommand},
      {"an empty word", {""}, mixed, "\r\n", 0, done, std::nullopt, kNoCommand},
      {"latin 1 is echoed as bytes", {"caf\xC3\xA9"}, std::nullopt, "caf\xE9\r\n", 0, done,
       std::nullopt, kNoCommand},
      {"wider characters are echoed as question marks", {"\xE4\xB8\xAD-\xF0\x9F\x98\x80"},
       std::nullopt, "?-??\r\n", 0, done, std::nullopt, kNoCommand},
      {"invalid UTF-8 is echoed as question marks", {"a\xFF\xC3z"}, std::nullopt, "a??z\r\n", 0,
       done, std::nullopt, kNoCommand},
  };
}

// "run", the marks reached, the value line and the code line: the lines block writes.
std::string RunReport(const std::string& marks, const std::string& values,
                      const std::string& code) {
  return "run" + BlockReport(marks, values, code).substr(5);
}

const std::string kRunWithoutCommand =
    "run\r\nbuttonguard run: no command to run\r\nusage: buttonguard run [--display] [--tree] [--hold-shutdown] [--report FILE] [--] COMMAND...\r\n";

std::vector<RunCase> MakeRunCases() {
  const std::string mixed = StoreText(kMixed);
  const std::string blocked = RunReport("012", "3, 4, 1, 2, 0, 5", "00341205");
  const std::string restored = "restored 3, 4, 1, 2, 0, 5\r\n";
  using W = WrappedCommand;
  constexpr int kSchemeFailure = 125;

  return {
      {"run passes on the exit status 0", {}, W::ExitsWith0, mixed, blocked + restored, true, 0,
       0, kMixed},
      {"run passes on the exit status 7", {}, W::ExitsWith7, mixed, blocked + restored, true, 7,
       7, kMixed},
      {"run after a double dash", {"--"}, W::PrintsALine, mixed, blocked + restored, true, 0, 0,
       kMixed},
      {"run alone", {}, W::None, mixed, kRunWithoutCommand, false, -1, 2, std::nullopt},
      {"run with an unknown option", {"-x"}, W::ExitsWith0, mixed,
       "run\r\nbuttonguard run: unknown option (a command starting with - goes after --)\r\n"
       "usage: buttonguard run [--display] [--tree] [--hold-shutdown] [--report FILE] [--] COMMAND...\r\n",
       false, -1, 2, std::nullopt},
      {"run with only a double dash", {"--"}, W::None, mixed, kRunWithoutCommand, false, -1, 2,
       std::nullopt},
      {"run whose report file cannot be opened touches nothing", {"--report", "."},
       W::PrintsALine, mixed, "run\r\nreport failed 0x80070005\r\n", false, Hresult(5),
       kSchemeFailure, std::nullopt},
      {"run of no such command touches nothing", {}, W::NoSuchCommand, mixed,
       "run\r\nnot started 0x80070002\r\n", false, Hresult(2), 127, std::nullopt},
      {"run with the third read failing starts nothing", {}, W::PrintsALine,
       StoreText(kMixed, {"fail read 3 5"}), RunReport("0", "3, 4, 0, 0, 0, 0", "00340000"),
       false, Hresult(5), kSchemeFailure, std::nullopt},
      {"run refuses a value the code cannot carry", {}, W::PrintsALine,
       StoreText({3, 4, 16, 2, 0, 5}), RunReport("01", "3, 4, 16, 2, 0, 5", "00340205"), false,
       Hresult(13), kSchemeFailure, std::nullopt},
      {"run starts nothing while a policy keeps the lid in play", {}, W::PrintsALine,
       StoreText(kMixed, {"policy lid-close dc 1"}),
       RunReport("01", "3, 4, 1, 2, 0, 5", "00341205") + "policy -, -, -, 1, -, -\r\n", false,
       Hresult(1260), kSchemeFailure, std::nullopt},
      {"run with the fifth write failing undoes the writes", {}, W::PrintsALine,
       StoreText(kMixed, {"fail write 5 29"}),
       RunReport("01", "3, 4, 1, 2, 0, 5", "00341205") + restored, false, Hresult(29),
       kSchemeFailure, kMixed},
      {"run with the activation failing writes the values back", {}, W::PrintsALine,
       StoreText(kMixed, {"fail activate 5"}),
       RunReport("01", "3, 4, 1, 2, 0, 5", "00341205") + "restore failed 0x80070005\r\n", false,
       Hresult(5), kSchemeFailure, kMixed},
      {"run with the restore failing at the end", {}, W::PrintsALine,
       StoreText(kMixed, {"fail write 7 29"}), blocked + "restore failed 0x8007001D\r\n", true,
       Hresult(29), kSchemeFailure, kZeros},
      {"run leaves values someone changed meanwhile", {}, W::RestoresOtherValues, mixed,
       blocked + "left as changed 2, 2, 2, 2, 2, 2\r\n", true, 0, 0, Values{2, 2, 2, 2, 2, 2}},
      {"run restores when the check read fails", {}, W::ExitsWith7,
       StoreText(kMixed, {"fail read 7 30"}), blocked + "check failed 0x8007001E\r\n" + restored,
       true, 7, 7, kMixed},
  };
}

}  // namespace

const std::vector<RunCase>& RunCases() {
  static const std::vector<RunCase> cases = MakeRunCases();
  return cases;
}

::testing::AssertionResult StoreIsAsExpectedAfter(const RunCase& c,
                                                  const std::optional<std::string>& storeAfter) {
  return StoreIsAsExpectedAfter(
      CommandCase{c.name, {}, c.storeBefore, "", 0, CommandOutcome::Done, c.valuesAfter},
      storeAfter);
}

std::string StoreText(const Values& values, const std::vector<std::string>& extraLines) {
  PowerStore store = DefaultPowerStore();
  for (std::size_t i = 0; i < values.size(); ++i) store.schemes[0].values[i / 2][i % 2] = values[i];
  std::string text = FormatPowerStore(store);
  for (const std::string& line : extraLines) text += line + "\n";
  return text;
}

std::optional<Values> StoreValues(const std::string& text) {
  const std::optional<PowerStore> store = ParsePowerStore(text);
  if (!store) return std::nullopt;
  Values values{};
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = store->schemes[0].values[i / 2][i % 2];
  }
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

::testing::AssertionResult ErrorsAreAsExpected(const CommandCase& c, const std::string& errors) {
  // A command word or a help word is never called no command.
  const bool noCommandSaid = errors.find(kNoCommand) != std::string::npos;
  const bool noCommandExpected = c.errorsHold != nullptr && std::string(c.errorsHold) == kNoCommand;
  if (noCommandSaid == noCommandExpected &&
      (c.errorsHold == nullptr ? errors.empty() : errors.find(c.errorsHold) != std::string::npos)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "standard error holds:\n" << errors;
}

std::string TestName(const char* text) {
  std::string name;
  for (const char* p = text; *p != '\0'; ++p) {
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  }
  return name;
}

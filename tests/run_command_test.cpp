#include "run_command.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "button_policy.h"
#include "command_cases.h"
#include "simulated_power.h"
#include "temporary_store.h"
#include "utf8_arguments.h"

namespace {

struct InProcessRun {
  std::string report;
  std::string errors;  // where run's report and the help go
  CommandResult result;
};

std::string ReadBack(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[256];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    text.append(buffer, got);
  }
  std::fclose(file);
  return text;
}

// One run as a fresh process would make it: zeroed record, fresh call counts, the arguments
// decoded as the host's entry decodes them.
InProcessRun RunInProcess(const TemporaryStore& store, const std::vector<std::string>& words) {
  setenv("BUTTONGUARD_STORE", store.path().c_str(), 1);
  savedButtonPolicy = {};
  ResetStoreCallCounts();

  std::vector<std::u16string> decoded = {u"buttonguard"};
  for (const std::string& word : words) decoded.push_back(DecodeUtf8Argument(word));
  std::vector<const char16_t*> arguments;
  for (const std::u16string& argument : decoded) arguments.push_back(argument.c_str());

  // No argument at all means no argument 0 either, as a bare CreateProcess can arrange.
  const int count = words.empty() ? 0 : static_cast<int>(arguments.size());
  std::FILE* report = std::tmpfile();
  std::FILE* errors = std::tmpfile();
  InProcessRun run;
  run.result = RunCommand(count, arguments.data(), report, errors);
  run.report = ReadBack(report);
  run.errors = ReadBack(errors);
  return run;
}

class RunCommandTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(RunCommandTest, WritesTheReportExitStatusAndStoreOfTheCase) {
  const CommandCase& c = GetParam();
  TemporaryStore store;
  store.Write(c.storeBefore);

  const InProcessRun run = RunInProcess(store, c.arguments);

  EXPECT_EQ(run.report, c.report);
  EXPECT_EQ(run.result.exitStatus, c.exitStatus);
  EXPECT_EQ(run.result.outcome, c.outcome);
  EXPECT_TRUE(ErrorsAreAsExpected(c, run.errors));
  EXPECT_TRUE(StoreIsAsExpectedAfter(c, store.Read()));
}

INSTANTIATE_TEST_SUITE_P(Cases, RunCommandTest, ::testing::ValuesIn(CommandCases()),
                         [](const auto& info) { return CaseName(info.param); });

TEST(RunCommandRoundTrip, RestoringTheCodeThatBlockPrintedGivesBackTheValues) {
  const std::array<std::uint32_t, 6> originals[] = {
      {0, 1, 2, 3, 4, 5}, {15, 14, 13, 12, 11, 10}, {1, 1, 1, 1, 1, 1}, {9, 0, 7, 0, 3, 0}};
  for (const auto& original : originals) {
    TemporaryStore store;
    store.Write(StoreText(original));

    const InProcessRun blocked = RunInProcess(store, {"block"});
    ASSERT_EQ(blocked.result.outcome, CommandOutcome::Done) << blocked.report;
    EXPECT_EQ(StoreValues(*store.Read()), (std::array<std::uint32_t, 6>{}));

    const std::string report = blocked.report;
    const std::string code = report.substr(report.size() - 10, 8);
    EXPECT_EQ(static_cast<std::uint32_t>(blocked.result.exitStatus), std::stoul(code, nullptr, 16));

    const InProcessRun restored = RunInProcess(store, {"restore", code});
    EXPECT_EQ(restored.result.exitStatus, 0) << restored.report;
    EXPECT_EQ(StoreValues(*store.Read()), original) << code;
  }
}

TEST(HresultFromWin32, SetsTheWin32FacilityAndFailureBitOnTheLowSixteenBits) {
  EXPECT_EQ(HresultFromWin32(0), 0);
  EXPECT_EQ(static_cast<std::uint32_t>(HresultFromWin32(5)), 0x80070005U);
  EXPECT_EQ(static_cast<std::uint32_t>(HresultFromWin32(13)), 0x8007000DU);
  EXPECT_EQ(static_cast<std::uint32_t>(HresultFromWin32(0x12345678)), 0x80075678U);
  // Even a status whose low half is zero stays a failure, never a code.
  EXPECT_EQ(static_cast<std::uint32_t>(HresultFromWin32(0x10000)), 0x80070000U);
}

}  // namespace

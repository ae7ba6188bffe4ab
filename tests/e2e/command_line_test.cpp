// The built executable, run exactly as a script would run it, on a store of the test's own.

#include <gtest/gtest.h>

#include <string>

#include "command_cases.h"
#include "process_runner.h"
#include "temporary_store.h"

namespace {

// A process always has argument 0, so "no argument" is the bare program name.
ProcessRun RunTool(const TemporaryStore& store, const std::vector<std::string>& words) {
  std::vector<std::string> arguments = {"buttonguard"};
  arguments.insert(arguments.end(), words.begin(), words.end());
  return RunProcess(BUTTONGUARD_EXECUTABLE, arguments, {{"BUTTONGUARD_STORE=" + store.path()}});
}

class CommandLineTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandLineTest, WritesTheReportBytesAndExitsWithTheOutcome) {
  const CommandCase& c = GetParam();
  TemporaryStore store;
  store.Write(c.storeBefore);

  const ProcessRun run = RunTool(store, c.arguments);

  EXPECT_EQ(run.output, c.report);
  EXPECT_EQ(run.exitStatus, static_cast<int>(c.outcome));
  EXPECT_TRUE(StoreIsAsExpectedAfter(c, store.Read()));
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandLineTest, ::testing::ValuesIn(CommandCases()),
                         [](const auto& info) { return CaseName(info.param); });

TEST(CommandLineRoundTrip, BlockThenRestoreOfThePrintedCodeGivesBackTheValues) {
  TemporaryStore store;
  const std::array<std::uint32_t, 6> original = {2, 3, 1, 0, 15, 4};
  store.Write(StoreText(original, {"# comment lines are not kept"}));

  const ProcessRun blocked = RunTool(store, {"block"});
  ASSERT_EQ(blocked.exitStatus, 0) << blocked.output;
  const std::string code = blocked.output.substr(blocked.output.size() - 10, 8);
  EXPECT_EQ(code, "002310F4");

  const ProcessRun restored = RunTool(store, {"restore", code});
  EXPECT_EQ(restored.exitStatus, 0) << restored.output;
  EXPECT_EQ(StoreValues(*store.Read()), original);
}

TEST(CommandLineStore, IsCreatedUnderTheStateFolderWhenNoStoreIsNamed) {
  TemporaryStore folder;
  const ProcessRun run =
      RunProcess(BUTTONGUARD_EXECUTABLE, {"buttonguard", "block"},
                 {{"BUTTONGUARD_STORE=", "XDG_STATE_HOME=" + folder.folder() + "/state"}});
  EXPECT_EQ(run.exitStatus, 0) << run.output;
  const std::string path = folder.folder() + "/state/buttonguard/power-scheme";
  FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr) << path;
  std::fclose(file);
}

}  // namespace

// The built executable, run exactly as a script would run it, on a store of the test's own.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "command_cases.h"
#include "process_runner.h"
#include "temporary_store.h"

namespace {

// A process always has argument 0, so "no argument" is the bare program name.
ProcessRun RunTool(const TemporaryStore& store, const std::vector<std::string>& words,
                   ProcessOptions options = {}) {
  std::vector<std::string> arguments = {"buttonguard"};
  arguments.insert(arguments.end(), words.begin(), words.end());
  options.extraEnvironment.push_back("BUTTONGUARD_STORE=" + store.path());
  return RunProcess(BUTTONGUARD_EXECUTABLE, arguments, options);
}

using Values = std::array<std::uint32_t, 6>;
const Values kMixed = {3, 4, 1, 2, 0, 5};
const std::string kBlockedReport = "run\r\n0\r\n1\r\n2\r\n3, 4, 1, 2, 0, 5\r\n00341205\r\n";
const std::string kRestoredLine = "restored 3, 4, 1, 2, 0, 5\r\n";

// The wrapped command as a shell spells it here, and what it writes to standard output.
std::vector<std::string> HostCommand(WrappedCommand command) {
  switch (command) {
    case WrappedCommand::None:
      return {};
    case WrappedCommand::ExitsWith0:
      return {"sh", "-c", "exit 0"};
    case WrappedCommand::ExitsWith7:
      return {"sh", "-c", "exit 7"};
    case WrappedCommand::PrintsALine:
      return {"sh", "-c", "echo printed"};
    case WrappedCommand::NoSuchCommand:
      return {"buttonguard-no-such-command"};
    case WrappedCommand::RestoresOtherValues:
      return {BUTTONGUARD_EXECUTABLE, "restore", "00222222"};
  }
  return {};
}

std::string HostCommandOutput(WrappedCommand command) {
  if (command == WrappedCommand::PrintsALine) return "printed\n";
  if (command == WrappedCommand::RestoresOtherValues) return "restore\r\n2, 2, 2, 2, 2, 2\r\n";
  return "";
}

class RunLineTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunLineTest, ReportsOnStandardErrorAndLeavesStandardOutputToTheCommand) {
  const RunCase& c = GetParam();
  TemporaryStore store;
  store.Write(c.storeBefore);
  std::vector<std::string> words = {"run"};
  words.insert(words.end(), c.wordsBefore.begin(), c.wordsBefore.end());
  const std::vector<std::string> command = HostCommand(c.command);
  words.insert(words.end(), command.begin(), command.end());

  const ProcessRun run = RunTool(store, words);

  EXPECT_EQ(run.errors, c.report);
  EXPECT_EQ(run.output, c.commandRuns ? HostCommandOutput(c.command) : "");
  EXPECT_EQ(run.exitStatus, c.narrowExitStatus);
  EXPECT_TRUE(StoreIsAsExpectedAfter(c, store.Read()));
}

INSTANTIATE_TEST_SUITE_P(Cases, RunLineTest, ::testing::ValuesIn(RunCases()),
                         [](const auto& info) { return CaseName(info.param); });

TEST(RunLine, HandsTheArgumentsOnExactlyAndTheCommandsSignalDeathAsShellsDo) {
  TemporaryStore store;
  store.Write(StoreText(kMixed));
  const ProcessRun printed = RunTool(
      store, {"run", "sh", "-c", R"(printf '%s|' "$@")", "x", "a  b", "", "q\"", "caf\xC3\xA9"});
  EXPECT_EQ(printed.output, "a  b||q\"|caf\xC3\xA9|");
  EXPECT_EQ(printed.exitStatus, 0);

  const ProcessRun killed = RunTool(store, {"run", "sh", "-c", "kill -KILL $$"});
  EXPECT_EQ(killed.exitStatus, 128 + SIGKILL);
  EXPECT_EQ(killed.errors, kBlockedReport + kRestoredLine);
  EXPECT_EQ(StoreValues(*store.Read()), kMixed);
}

TEST(RunLine, NeverLooksForABareNameInTheCurrentFolder) {
  TemporaryStore store;
  store.Write(StoreText(kMixed));
  const std::string planted = store.folder() + "/buttonguard-planted";
  std::ofstream(planted) << "#!/bin/sh\ntouch planted-was-run\n";
  std::filesystem::permissions(planted, std::filesystem::perms::owner_all);
  ProcessOptions options;
  options.workingDirectory = store.folder();
  // An empty PATH entry means the current folder to a shell; here it must mean nothing.
  options.extraEnvironment = {"PATH=:/usr/bin:/bin"};

  const ProcessRun bare = RunTool(store, {"run", "buttonguard-planted"}, options);
  EXPECT_EQ(bare.exitStatus, 127);
  EXPECT_EQ(bare.errors, "run\r\nnot started 0x80070002\r\n");
  EXPECT_FALSE(std::filesystem::exists(store.folder() + "/planted-was-run"));

  // With a path it is used as given; a file that is not executable is found but refused.
  const ProcessRun withPath = RunTool(store, {"run", "./buttonguard-planted"}, options);
  EXPECT_EQ(withPath.exitStatus, 0) << withPath.errors;
  EXPECT_TRUE(std::filesystem::exists(store.folder() + "/planted-was-run"));
  const ProcessRun notExecutable = RunTool(store, {"run", store.path()}, options);
  EXPECT_EQ(notExecutable.exitStatus, 126);
  EXPECT_EQ(notExecutable.errors, "run\r\nnot started 0x80070005\r\n");
  EXPECT_EQ(StoreValues(*store.Read()), kMixed);
}

template <typename Condition>
void WaitUntil(Condition condition) {
  for (int i = 0; i < 2000 && !condition(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Whether the process holds the signal blocked, as Linux shows it in /proc.
bool HoldsSignal(pid_t process, int signalNumber) {
  std::ifstream status("/proc/" + std::to_string(process) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigBlk:", 0) == 0) {
      return (std::stoull(line.substr(7), nullptr, 16) >> (signalNumber - 1)) & 1U;
    }
  }
  return false;
}

// Starts `run` of a command that marks when it has started, then sleeps for 30 s; the
// report is read from `report`.
pid_t StartGuardedSleep(const TemporaryStore& store, const ProcessOptions& options,
                        const std::string& startedMark, int& report) {
  ProcessOptions withStore = options;
  withStore.extraEnvironment.push_back("BUTTONGUARD_STORE=" + store.path());
  return StartProcessWithPipe(
      BUTTONGUARD_EXECUTABLE,
      {"buttonguard", "run", "sh", "-c", "touch \"$0\" && exec sleep 30", startedMark}, withStore,
      STDERR_FILENO, report);
}

std::string ReadToEnd(int descriptor) {
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = read(descriptor, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(descriptor);
  return text;
}

struct SignalCase {
  const char* name;
  int signalNumber;
  bool toTheGroup;              // as a terminal sends it, to buttonguard and the command alike
  bool beforeTheCommandStarts;  // sent while the buttons are still being blocked
};

void PrintTo(const SignalCase& c, std::ostream* out) { *out << c.name; }

class RunSignalTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(RunSignalTest, TheCommandEndsAndTheValuesAreRestored) {
  const SignalCase& c = GetParam();
  TemporaryStore store;
  store.Write(StoreText(kMixed));
  ProcessOptions options;
  options.ownProcessGroup = true;
  const std::string startedMark = store.folder() + "/started";
  // The store's lock, held here, keeps the run in its first read for as long as needed.
  const int lock = open((store.path() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lock, 0);
  if (c.beforeTheCommandStarts) {
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
  }
  int report = -1;
  const pid_t tool = StartGuardedSleep(store, options, startedMark, report);

  if (c.beforeTheCommandStarts) {
    WaitUntil([&] { return HoldsSignal(tool, c.signalNumber); });
    EXPECT_TRUE(HoldsSignal(tool, c.signalNumber));
  } else {
    WaitUntil([&] { return std::filesystem::exists(startedMark); });
    EXPECT_TRUE(std::filesystem::exists(startedMark));
  }
  kill(c.toTheGroup ? -tool : tool, c.signalNumber);
  flock(lock, LOCK_UN);
  close(lock);

  EXPECT_EQ(WaitProcess(tool), 128 + c.signalNumber);
  EXPECT_EQ(ReadToEnd(report), kBlockedReport + kRestoredLine);
  EXPECT_EQ(StoreValues(*store.Read()), kMixed);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, RunSignalTest,
    ::testing::Values(SignalCase{"SIGTERM to buttonguard", SIGTERM, false, false},
                      SignalCase{"SIGHUP to buttonguard", SIGHUP, false, false},
                      SignalCase{"Ctrl C to the group", SIGINT, true, false},
                      SignalCase{"Ctrl backslash to the group", SIGQUIT, true, false},
                      SignalCase{"SIGTERM before the command starts", SIGTERM, false, true},
                      SignalCase{"Ctrl C before the command starts", SIGINT, true, true},
                      SignalCase{"Ctrl backslash before the command starts", SIGQUIT, true, true}),
    [](const auto& info) { return TestName(info.param.name); });

// A caller watching a run that hangs must see how far it got: each line is flushed as it is
// written, even into a pipe. The store's lock, held here, stands in for a call that hangs.
TEST(ReportLines, ReachTheReaderWhileTheRunIsStillGoing) {
  TemporaryStore store;
  store.Write(StoreText(kMixed));
  const int lock = open((store.path() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  int output = -1;
  const pid_t tool = StartProcessWithPipe(
      BUTTONGUARD_EXECUTABLE, {"buttonguard", "block"},
      {.extraEnvironment = {"BUTTONGUARD_STORE=" + store.path()}}, STDOUT_FILENO, output);

  std::string seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (seen != "block\r\n0\r\n" && std::chrono::steady_clock::now() < deadline) {
    pollfd reader = {output, POLLIN, 0};
    if (poll(&reader, 1, 100) <= 0) continue;
    char buffer[64];
    const ssize_t got = read(output, buffer, sizeof buffer);
    if (got <= 0) break;
    seen.append(buffer, static_cast<std::size_t>(got));
  }
  EXPECT_EQ(seen, "block\r\n0\r\n");

  flock(lock, LOCK_UN);
  close(lock);
  EXPECT_EQ(seen + ReadToEnd(output), "block\r\n0\r\n1\r\n2\r\n3, 4, 1, 2, 0, 5\r\n00341205\r\n");
  EXPECT_EQ(WaitProcess(tool), 0);
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

// The built executable, run exactly as a script would run it, on a store of the test's own.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "command_cases.h"
#include "process_runner.h"
#include "store_format.h"
#include "temporary_store.h"

namespace fs = std::filesystem;

namespace {

// `text` with each `mark` in it replaced by `value`.
std::string Fill(std::string text, const std::string& mark, const std::string& value) {
  for (std::size_t at = 0; (at = text.find(mark, at)) != std::string::npos; at += value.size()) {
    text.replace(at, mark.size(), value);
  }
  return text;
}

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

  // SIGPIPE is ignored by buttonguard, never by its command.
  const ProcessRun piped = RunTool(store, {"run", "yes"}, {.outputClosed = true});
  EXPECT_EQ(piped.exitStatus, 128 + SIGPIPE);

  const ProcessRun killed = RunTool(store, {"run", "sh", "-c", "kill -KILL $$"});
  EXPECT_EQ(killed.exitStatus, 128 + SIGKILL);
  EXPECT_EQ(killed.errors, kBlockedReport + kRestoredLine);
  EXPECT_EQ(StoreValues(*store.Read()), kMixed);
}

// --report: standard error is the command's alone, and each run's report is added to the
// file, so that a script that cannot stand buttonguard's lines there keeps them all.
TEST(RunLine, AddsItsReportToTheFileNamedAndLeavesStandardErrorToTheCommand) {
  TemporaryStore store;
  store.Write(StoreText(kMixed));
  const std::string file = store.folder() + "/report.txt";
  // Exit status 9: the command inherited the report file.
  const std::vector<std::string> words = {
      "run", "--report", file, "sh", "-c",
      "echo e >&2; ls -l /proc/$$/fd | grep -q report.txt && exit 9; exit 7"};

  const ProcessRun first = RunTool(store, words);
  const ProcessRun second = RunTool(store, words);

  EXPECT_EQ(first.errors, "e\n");
  EXPECT_EQ(first.exitStatus, 7);
  EXPECT_EQ(second.exitStatus, 7);
  EXPECT_EQ(TemporaryStore::ReadPath(file),
            kBlockedReport + kRestoredLine + kBlockedReport + kRestoredLine);
}

// --report writes the file named and nothing else: a link at its end or on the way to it, or
// a device, is refused before anything is read, and nothing is made where a link leads.
TEST(RunLine, RefusesAReportFileReachedThroughALinkOrADevice) {
  TemporaryStore store;
  store.Write(StoreText(kMixed));
  const fs::path folder = store.folder();
  fs::create_directory(folder / "elsewhere");
  std::ofstream(folder / "elsewhere" / "target.txt") << "kept";
  fs::create_symlink(folder / "elsewhere" / "target.txt", folder / "linked.txt");
  fs::create_directory_symlink(folder / "elsewhere", folder / "linked-folder");
  for (const fs::path& report : {folder / "linked.txt", folder / "linked-folder" / "new.txt",
                                 fs::path("/dev/zero")}) {
    SCOPED_TRACE(report);
    const ProcessRun run = RunTool(store, {"run", "--report", report.string(), "true"});
    EXPECT_EQ(run.errors, "run\r\nreport failed 0x800700DE\r\n");
    EXPECT_EQ(run.exitStatus, 125);
  }
  EXPECT_EQ(TemporaryStore::ReadPath((folder / "elsewhere" / "target.txt").string()), "kept");
  EXPECT_FALSE(fs::exists(folder / "elsewhere" / "new.txt"));
  EXPECT_EQ(RunTool(store, {"run", "--report", "/dev/null", "true"}).exitStatus, 0);
  // A usage mistake makes no report file.
  EXPECT_EQ(RunTool(store, {"run", "--report", (folder / "new.txt").string(), "--bogus", "true"})
                .exitStatus,
            2);
  EXPECT_FALSE(fs::exists(folder / "new.txt"));
}

// How run finds its command. Each case lays out a folder: `work`, the current folder, where
// anyone may have put files, and `bin`, an absolute PATH folder. A "script" marks that it ran
// beside itself (NAME.ran); "text" is a plain file that is not executable; "no-shebang" is
// executable but no program; "folder" is a directory.
struct LookupCase {
  const char* name;
  std::string path;  // PATH for the run; {bin} stands for the absolute bin folder
  std::vector<std::pair<std::string, std::string>> files;  // under the case's folder: kind
  std::string command;
  std::string errors;
  int exitStatus;
  std::vector<std::string> ran;  // the scripts that must have run; no other may
};

void PrintTo(const LookupCase& c, std::ostream* out) { *out << c.name; }

class RunLookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(RunLookupTest, StartsOnlyWhatThePathAndTheNameAllow) {
  const LookupCase& c = GetParam();
  namespace fs = std::filesystem;
  TemporaryStore store;
  store.Write(StoreText(kMixed));
  const fs::path root = store.folder();
  fs::create_directories(root / "work");
  fs::create_directories(root / "bin");
  std::vector<fs::path> scripts;
  for (const auto& [file, kind] : c.files) {
    const fs::path where = root / file;
    fs::create_directories(where.parent_path());
    if (kind == "folder") {
      fs::create_directory(where);
      continue;
    }
    std::ofstream(where) << (kind == "script" ? "#!/bin/sh\n/usr/bin/touch \"$0.ran\"\n" : "echo hello\n");
    if (kind != "text") fs::permissions(where, fs::perms::owner_all);
    if (kind == "script") scripts.push_back(where);
  }
  std::string path = c.path;
  for (std::size_t at; (at = path.find("{bin}")) != std::string::npos;) {
    path.replace(at, 5, (root / "bin").string());
  }
  ProcessOptions options;
  options.workingDirectory = (root / "work").string();
  options.extraEnvironment = {"PATH=" + path};

  const ProcessRun run = RunTool(store, {"run", c.command}, options);

  EXPECT_EQ(run.errors, c.errors);
  EXPECT_EQ(run.exitStatus, c.exitStatus);
  for (const fs::path& script : scripts) {
    const std::string relative = fs::relative(script, root).string();
    const bool shouldRun = std::find(c.ran.begin(), c.ran.end(), relative) != c.ran.end();
    EXPECT_EQ(fs::exists(script.string() + ".ran"), shouldRun) << relative;
  }
  EXPECT_EQ(StoreValues(*store.Read()), kMixed);
}

const std::string kNotFound = "run\r\nnot started 0x80070002\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, RunLookupTest,
    ::testing::Values(
        LookupCase{"an empty PATH entry is not the current folder", ":/usr/bin:/bin",
                   {{"work/tool", "script"}}, "tool", kNotFound, 127, {}},
        LookupCase{"dot and relative PATH entries are skipped", ".:bin:/usr/bin:/bin",
                   {{"work/tool", "script"}, {"work/bin/tool", "script"}}, "tool", kNotFound,
                   127, {}},
        LookupCase{"a name with a path is used as given", "/usr/bin:/bin",
                   {{"work/tool", "script"}}, "./tool", kBlockedReport + kRestoredLine, 0,
                   {"work/tool"}},
        LookupCase{"a folder of the same name earlier in PATH is passed over", "{bin}/../work:{bin}",
                   {{"work/tool", "folder"}, {"bin/tool", "script"}}, "tool",
                   kBlockedReport + kRestoredLine, 0, {"bin/tool"}},
        LookupCase{"a file in PATH that may not be executed is refused untouched", "{bin}",
                   {{"bin/tool", "text"}}, "tool", "run\r\nnot started 0x80070005\r\n", 126, {}},
        LookupCase{"a file named by a path that may not be executed is refused untouched",
                   "/usr/bin:/bin", {{"work/tool", "text"}}, "./tool",
                   "run\r\nnot started 0x80070005\r\n", 126, {}},
        LookupCase{"an executable file that is no program fails to start and restores",
                   "{bin}", {{"bin/tool", "no-shebang"}}, "tool",
                   kBlockedReport + "not started 0x800700C1\r\n" + kRestoredLine, 126, {}}),
    [](const auto& info) { return TestName(info.param.name); });

// Schemes a person switches between while run's command runs: Balanced (A) and High
// performance (B). The command is a shell script; SWITCH X makes scheme X active, under the
// store's lock as the README tells a person to, and BLOCKED waits until `show` sees zeros.
const std::string kA = "{381b4222-f694-41f0-9685-ff5bb260df2e}";
const std::string kB = "{8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c}";

std::string SchemeLines(const std::string& identifier, const Values& v) {
  return "scheme " + identifier + "\npower-button " + std::to_string(v[0]) + " " +
         std::to_string(v[1]) + "\nlid-close " + std::to_string(v[2]) + " " +
         std::to_string(v[3]) + "\nsleep-button " + std::to_string(v[4]) + " " +
         std::to_string(v[5]) + "\n";
}

struct SchemeCase {
  const char* name;
  std::string storeExtra;  // lines after schemes A (active) and B
  std::string script;
  std::string errorsAfterBlock;  // after block's lines
  int exitStatus;
  Values aAfter;
  Values bAfter;
  std::string activeAfter;
};

void PrintTo(const SchemeCase& c, std::ostream* out) { *out << c.name; }

class RunSchemeTest : public ::testing::TestWithParam<SchemeCase> {};

TEST_P(RunSchemeTest, PutsBackEachValueOfEachSchemeItBlocked) {
  const SchemeCase& c = GetParam();
  TemporaryStore store;
  const Values kHigh = {2, 2, 2, 2, 2, 2};
  store.Write(SchemeLines(kA, kMixed) + SchemeLines(kB, kHigh) + c.storeExtra);
  const std::string prelude =
      "SWITCH() { flock \"$BUTTONGUARD_STORE.lock\" sed -i -e '/^active /d' -e \"\\$a active $1\" "
      "\"$BUTTONGUARD_STORE\"; }\n"
      "BLOCKED() { for i in $(seq 100); do \"$0\" show | grep -q '^0, 0, 0, 0, 0, 0' && return; "
      "sleep 0.1; done; exit 99; }\n";

  const ProcessRun run =
      RunTool(store, {"run", "sh", "-c", prelude + c.script, BUTTONGUARD_EXECUTABLE});

  EXPECT_EQ(run.errors, kBlockedReport + c.errorsAfterBlock);
  EXPECT_EQ(run.exitStatus, c.exitStatus);
  const std::optional<PowerStore> after = ParsePowerStore(store.Read().value_or(""));
  ASSERT_TRUE(after);
  ASSERT_EQ(after->schemes.size(), 2U);
  const auto values = [&](std::size_t i) {
    Values v{};
    for (std::size_t j = 0; j < v.size(); ++j) v[j] = after->schemes[i].values[j / 2][j % 2];
    return v;
  };
  EXPECT_EQ(values(0), c.aAfter);
  EXPECT_EQ(values(1), c.bAfter);
  // A scheme followed is blocked as the first one is: with its own entry.
  if (c.errorsAfterBlock.starts_with("followed ")) {
    EXPECT_NE(TemporaryStore::ReadPath(store.path() + ".log")
                  .value_or("")
                  .find("information 1 blocked " + kB + " 2, 2, 2, 2, 2, 2 | buttonguard run sh\n"),
              std::string::npos);
  }
  EXPECT_EQ(after->active, c.activeAfter == kA ? 0U : 1U);
}

const std::string kFollowedB = "followed " + kB + " 2, 2, 2, 2, 2, 2 00222222\r\n";
const std::string kBothRestored = "restored " + kB + " 2, 2, 2, 2, 2, 2\r\nrestored " + kA +
                                  " 3, 4, 1, 2, 0, 5\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, RunSchemeTest,
    ::testing::Values(
        SchemeCase{"a switch is followed and both schemes put back", "",
                   "SWITCH " + kB + " && BLOCKED", kFollowedB + kBothRestored, 0, kMixed,
                   {2, 2, 2, 2, 2, 2}, kB},
        SchemeCase{"no scheme is followed while another process holds the runs lock", "",
                   "exec 9<\"$BUTTONGUARD_STORE.records\" && flock 9 && SWITCH " + kB +
                       " && sleep 1.5 && \"$0\" show | grep -q \"^2, 2, 2, 2, 2, 2\" && "
                       "flock -u 9 && BLOCKED",
                   kFollowedB + kBothRestored, 0, kMixed, {2, 2, 2, 2, 2, 2}, kB},
        SchemeCase{"a switch back needs nothing more", "",
                   "SWITCH " + kB + " && BLOCKED && SWITCH " + kA + " && sleep 1.5",
                   kFollowedB + kBothRestored, 0, kMixed, {2, 2, 2, 2, 2, 2}, kA},
        SchemeCase{"a value a person changed is kept and the other five restored", "",
                   "flock \"$BUTTONGUARD_STORE.lock\" sed -i '0,/^lid-close 0 0/s//lid-close 0 1/' "
                   "\"$BUTTONGUARD_STORE\"",
                   "partly restored 3, 4, 1, 1, 0, 5\r\n", 0, {3, 4, 1, 1, 0, 5},
                   {2, 2, 2, 2, 2, 2}, kA},
        SchemeCase{"a follow that fails leaves the command and the first scheme alone",
                   "fail read 7 30\n", "SWITCH " + kB + " && sleep 2.5; exit 3",
                   "follow failed " + kB + " 0x8007001E\r\nrestored " + kA +
                       " 3, 4, 1, 2, 0, 5\r\n",
                   3, kMixed, {2, 2, 2, 2, 2, 2}, kB},
        SchemeCase{"a follow that fails part-way undoes its own writes",
                   "fail write 10 29\n", "SWITCH " + kB + " && sleep 2.5",
                   "follow failed " + kB + " 0x8007001D\r\nrestored " + kA +
                       " 3, 4, 1, 2, 0, 5\r\n",
                   0, kMixed, {2, 2, 2, 2, 2, 2}, kB},
        SchemeCase{"a follow whose undo fails too is put back at the end",
                   "fail write 10 29\nfail write 11 5\n", "SWITCH " + kB + " && sleep 2.5",
                   "follow failed " + kB + " 0x8007001D\r\nrestored " + kB +
                       " 2, 2, 2, 2, 2, 2\r\nrestored " + kA + " 3, 4, 1, 2, 0, 5\r\n",
                   0, kMixed, {2, 2, 2, 2, 2, 2}, kB},
        SchemeCase{"a policy that arrives while the command runs stops the follow", "",
                   "echo 'policy lid-close dc 1' >> \"$BUTTONGUARD_STORE\" && SWITCH " + kB +
                       " && sleep 2.5",
                   "follow failed " + kB + " 0x800704EC\r\nrestored " + kA +
                       " 3, 4, 1, 2, 0, 5\r\n",
                   0, kMixed, {2, 2, 2, 2, 2, 2}, kB}),
    [](const auto& info) { return TestName(info.param.name); });

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

// Whether buttonguard's command has become `sleep`, as Linux shows its children in /proc.
bool CommandSleeps(pid_t tool) {
  const std::string task = "/proc/" + std::to_string(tool) + "/task/" + std::to_string(tool);
  std::ifstream children(task + "/children");
  pid_t child = 0;
  if (!(children >> child)) return false;
  std::ifstream name("/proc/" + std::to_string(child) + "/comm");
  std::string command;
  return std::getline(name, command) && command == "sleep";
}

// Starts `run` of a 30 s sleep, through a shell (which resets its signal mask and
// dispositions) or as the command itself; the report is read from `report`.
pid_t StartGuardedSleep(const TemporaryStore& store, const ProcessOptions& options,
                        bool throughAShell, int& report) {
  ProcessOptions withStore = options;
  withStore.extraEnvironment.push_back("BUTTONGUARD_STORE=" + store.path());
  std::vector<std::string> arguments = {"buttonguard", "run", "sleep", "30"};
  if (throughAShell) arguments = {"buttonguard", "run", "sh", "-c", "exec sleep 30"};
  return StartProcessWithPipe(BUTTONGUARD_EXECUTABLE, arguments, withStore, STDERR_FILENO,
                              report);
}

struct SignalCase {
  const char* name;
  int signalNumber;
  bool toTheGroup;              // as a terminal sends it, to buttonguard and the command alike
  bool beforeTheCommandStarts;  // sent while the buttons are still being blocked
  bool throughAShell = true;    // false: the command would inherit any mask run left it
};

void PrintTo(const SignalCase& c, std::ostream* out) { *out << c.name; }

class RunSignalTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(RunSignalTest, TheCommandEndsAndTheValuesAreRestored) {
  const SignalCase& c = GetParam();
  TemporaryStore store;
  store.Write(StoreText(kMixed));
  ProcessOptions options;
  options.ownProcessGroup = true;
  // The store's lock, held here, keeps the run in its first read for as long as needed.
  const int lock = open((store.path() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lock, 0);
  if (c.beforeTheCommandStarts) {
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
  }
  int report = -1;
  const pid_t tool = StartGuardedSleep(store, options, c.throughAShell, report);

  if (c.beforeTheCommandStarts) {
    WaitUntil([&] { return HoldsSignal(tool, c.signalNumber); });
    EXPECT_TRUE(HoldsSignal(tool, c.signalNumber));
  } else {
    WaitUntil([&] { return CommandSleeps(tool); });
    EXPECT_TRUE(CommandSleeps(tool));
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
                      SignalCase{"Ctrl backslash before the command starts", SIGQUIT, true, true},
                      SignalCase{"SIGTERM to buttonguard of a plain command", SIGTERM, false,
                                 false, false},
                      SignalCase{"Ctrl C before a plain command starts", SIGINT, true, true,
                                 false}),
    [](const auto& info) { return TestName(info.param.name); });

// A setup program that hands off and exits: the shell starts a child that outlives it by two
// seconds, then looks at the buttons with show, and exits 3 at once. Only with --tree are the
// buttons still blocked when the child looks; either way the status is the shell's own.
TEST(RunTree, KeepsTheButtonsBlockedUntilEveryProcessTheCommandStartedHasEnded) {
  for (const bool tree : {false, true}) {
    TemporaryStore store;
    store.Write(StoreText(kMixed));
    const std::string seen = store.folder() + "/seen";
    const std::string child = std::string("(sleep 2; '") + BUTTONGUARD_EXECUTABLE + "' show > '" +
                              seen + ".part'; mv '" + seen + ".part' '" + seen +
                              "') > /dev/null 2>&1 & exit 3";
    std::vector<std::string> words = {"run", "sh", "-c", child};
    if (tree) words.insert(words.begin() + 1, "--tree");

    const ProcessRun run = RunTool(store, words);
    WaitUntil([&] { return fs::exists(seen); });

    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(TemporaryStore::ReadPath(seen).value_or("").substr(0, 24),
              tree ? "show\r\n0, 0, 0, 0, 0, 0\r\n" : "show\r\n3, 4, 1, 2, 0, 5\r\n")
        << (tree ? "--tree" : "without --tree");
    EXPECT_EQ(StoreValues(*store.Read()), kMixed);
  }
}

// SIGTERM to a run that follows the tree reaches the process the command left behind, and
// the buttons go back once it has ended.
TEST(RunTree, PassesSIGTERMToEveryProcessOfTheTree) {
  TemporaryStore store;
  store.Write(StoreText(kMixed));
  ProcessOptions options;
  options.extraEnvironment.push_back("BUTTONGUARD_STORE=" + store.path());
  int report = -1;
  const pid_t tool = StartProcessWithPipe(
      BUTTONGUARD_EXECUTABLE, {"buttonguard", "run", "--tree", "sh", "-c", "sleep 300 & exit 4"},
      options, STDERR_FILENO, report);
  // The shell has ended and its sleep has come back to buttonguard.
  WaitUntil([&] { return CommandSleeps(tool); });
  ASSERT_TRUE(CommandSleeps(tool));

  kill(tool, SIGTERM);
  // Long before the sleep would end by itself.
  int status = 0;
  bool ended = false;
  WaitUntil([&] { return ended = waitpid(tool, &status, WNOHANG) == tool; });
  if (!ended) kill(tool, SIGKILL);

  ASSERT_TRUE(ended) << "the sleep outlived the SIGTERM";
  EXPECT_EQ(WEXITSTATUS(status), 4);
  EXPECT_EQ(ReadToEnd(report), kBlockedReport + kRestoredLine);
  EXPECT_EQ(StoreValues(*store.Read()), kMixed);
}

// What a run killed outright leaves behind, and what recover, a later run and show make of it.
// Records are planted as run writes them: for a run killed with SIGKILL while its command
// sleeps, for this test's own process (alive), or for its process id with another start time
// (the id used again by another program), or for a process that never was (dead); or as raw text; or as a link to a dead run's record
// kept elsewhere, which must never be followed.
enum class Planted { KilledRun, LiveRun, DeadRun, DeletedScheme, ReusedProcessId, Raw, ALink };
enum class RecordFolder { Private, ALink, OpenToOthers, SomeoneElses };

struct RecoverCase {
  const char* name;
  std::vector<Planted> records;
  RecordFolder folder;
  std::string script;  // run by sh after the records are planted (a person's change)
  std::vector<std::string> words;
  std::string report;
  int exitStatus;
  Values valuesAfter;
  std::size_t recordsLeft;
  std::optional<std::string> log = std::nullopt;  // the entries beside the store, when checked
};

void PrintTo(const RecoverCase& c, std::ostream* out) { *out << c.name; }

std::uint64_t OwnStartTime() {
  std::ifstream stat("/proc/self/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
  }
  return std::stoull(field);
}

// The records folder beside the store, as run makes it: the owner's alone.
fs::path MakeRecordsFolder(const TemporaryStore& store) {
  const fs::path records = store.path() + ".records";
  fs::create_directory(records);
  fs::permissions(records, fs::perms::owner_all);
  return records;
}

// Kills a run outright (SIGKILL), as nothing can stop, then the command it started.
void KillRunOutright(pid_t tool, int report) {
  pid_t command = 0;
  std::ifstream("/proc/" + std::to_string(tool) + "/task/" + std::to_string(tool) +
                "/children") >> command;
  kill(tool, SIGKILL);
  EXPECT_EQ(WaitProcess(tool), -1);  // ended by the signal
  if (command > 0) kill(command, SIGKILL);
  close(report);
}

// A process id above any the kernel hands out, so never alive.
constexpr pid_t kNoSuchProcess = 999999999;
const std::string kLinkedRecord = "999999999-1-" + kA;

void PlantRecord(const fs::path& folder, pid_t process, std::uint64_t start,
                 const std::string& scheme = kA) {
  const std::string name = std::to_string(process) + "-" + std::to_string(start) + "-" + scheme;
  std::ofstream(folder / name) << scheme << " " << process << " " << start << " 3 4 1 2 0 5\n";
}

class RecoverTest : public ::testing::TestWithParam<RecoverCase> {};

TEST_P(RecoverTest, PutsBackWhatADeadRunLeftAndNothingElse) {
  const RecoverCase& c = GetParam();
  TemporaryStore store;
  store.Write(SchemeLines(kA, kMixed));
  const fs::path records = store.path() + ".records";
  for (Planted planted : c.records) {
    if (planted == Planted::KilledRun) {
      int report = -1;
      const pid_t tool = StartGuardedSleep(store, {}, false, report);
      WaitUntil([&] { return CommandSleeps(tool); });
      KillRunOutright(tool, report);
    } else {
      MakeRecordsFolder(store);
      store.Write(SchemeLines(kA, {0, 0, 0, 0, 0, 0}));
      if (planted == Planted::Raw) std::ofstream(records / "planted") << kA << " 1 1 3 4\n";
      if (planted == Planted::LiveRun) PlantRecord(records, getpid(), OwnStartTime());
      if (planted == Planted::DeadRun) PlantRecord(records, kNoSuchProcess, 1);
      if (planted == Planted::DeletedScheme) PlantRecord(records, kNoSuchProcess, 1, kB);
      if (planted == Planted::ReusedProcessId) PlantRecord(records, getpid(), OwnStartTime() + 1);
      if (planted == Planted::ALink) {
        PlantRecord(store.folder(), kNoSuchProcess, 1);
        fs::create_symlink(fs::path(store.folder()) / kLinkedRecord, records / kLinkedRecord);
      }
    }
  }
  // Readable by others is open enough to refuse; writable by them need not be.
  if (c.folder == RecordFolder::OpenToOthers) {
    fs::permissions(records, fs::perms::others_read | fs::perms::others_exec |
                                 fs::perms::group_read | fs::perms::group_exec,
                    fs::perm_options::add);
  }
  if (c.folder == RecordFolder::SomeoneElses && chown(records.c_str(), 65534, 65534) != 0) {
    GTEST_SKIP() << "only root can give the folder to someone else";
  }
  if (c.folder == RecordFolder::ALink) {
    fs::rename(records, store.folder() + "/elsewhere");
    fs::create_directory_symlink(store.folder() + "/elsewhere", records);
  }
  const std::optional<std::string> storeBefore = store.Read();
  ASSERT_EQ(std::system(("BUTTONGUARD_STORE='" + store.path() + "' sh -c '" + c.script + "' " + BUTTONGUARD_EXECUTABLE).c_str()), 0);

  std::vector<std::string> words = c.words;
  for (std::string& word : words) {
    if (word.starts_with("{store}")) word.replace(0, 7, store.path());
  }
  const ProcessRun run = RunTool(store, words);

  // {record}: the one record there is before the command, whose lines name it.
  std::string record;
  if (fs::exists(records) &&
      std::distance(fs::directory_iterator(records), fs::directory_iterator()) == 1) {
    record = fs::directory_iterator(records)->path().filename().string();
  }
  const std::string live = std::to_string(getpid()) + "-" + std::to_string(OwnStartTime()) + "-" + kA;
  const auto fill = [&](std::string text) {
    text = Fill(Fill(text, "{record}", record), "{live}", live);
    return Fill(Fill(text, "{pid}", std::to_string(getpid())), "{store}", store.path());
  };
  EXPECT_EQ(run.errors + run.output, fill(c.report));
  EXPECT_EQ(run.exitStatus, c.exitStatus);
  EXPECT_EQ(StoreValues(*store.Read()), c.valuesAfter);
  const auto left = fs::exists(records) ? std::distance(fs::directory_iterator(records),
                                                        fs::directory_iterator())
                                         : 0;
  EXPECT_EQ(static_cast<std::size_t>(left), c.recordsLeft);
  if (c.folder != RecordFolder::Private) {
    EXPECT_EQ(store.Read(), storeBefore);
  }
  if (c.log) {
    EXPECT_EQ(TemporaryStore::ReadPath(store.path() + ".log"), fill(*c.log));
  }
}

const Values kZeros = {0, 0, 0, 0, 0, 0};
const std::string kRecovered = "restored " + kA + " 3, 4, 1, 2, 0, 5\r\n";
// The entries of the killed run's block and of a recovery's put-back.
const std::string kKilledRunEntry =
    "information 1 blocked " + kA + " 3, 4, 1, 2, 0, 5 | buttonguard run sleep\n";
const std::string kRecoveredEntry = "information 2 restored " + kA + " 3, 4, 1, 2, 0, 5 | ";


INSTANTIATE_TEST_SUITE_P(
    Cases, RecoverTest,
    ::testing::Values(
        RecoverCase{"a killed run is put back and its record removed", {Planted::KilledRun},
                    RecordFolder::Private, "", {"recover"}, "recover\r\n" + kRecovered, 0,
                    kMixed, 0},
        RecoverCase{"a later run recovers first and then saves the real values",
                    {Planted::KilledRun}, RecordFolder::Private, "", {"run", "true"},
                    "run\r\n" + kRecovered + kBlockedReport.substr(5) + kRestoredLine, 0, kMixed,
                    0,
                    kKilledRunEntry + kRecoveredEntry + "buttonguard run true\ninformation 1 blocked " +
                        kA + " 3, 4, 1, 2, 0, 5 | buttonguard run true\n" + kRecoveredEntry +
                        "buttonguard run true\n"},
        RecoverCase{"a value changed after the kill is kept", {Planted::KilledRun},
                    RecordFolder::Private,
                    "sed -i \"0,/^lid-close 0 0/s//lid-close 0 1/\" \"$BUTTONGUARD_STORE\"",
                    {"recover"}, "recover\r\npartly restored " + kA + " 3, 4, 1, 1, 0, 5\r\n", 0,
                    {3, 4, 1, 1, 0, 5}, 0},
        RecoverCase{"show lists a dead run before the code", {Planted::KilledRun},
                    RecordFolder::Private, "", {"show"},
                    "show\r\n0, 0, 0, 0, 0, 0\r\ndead run " + kA +
                        " 3, 4, 1, 2, 0, 5 {record}\r\n00000000\r\n",
                    0, kZeros, 1},
        RecoverCase{"a check that fails is a warning and the values go back", {Planted::KilledRun},
                    RecordFolder::Private, "echo \"fail read 1 30\" >> \"$BUTTONGUARD_STORE\"",
                    {"recover"},
                    "recover\r\ncheck failed " + kA + " 0x8007001E\r\n" + kRecovered, 0, kMixed, 0,
                    kKilledRunEntry + "warning 3 check failed " + kA +
                        " 0x8007001E | buttonguard recover\n" + kRecoveredEntry +
                        "buttonguard recover\n"},
        RecoverCase{"block's failure and restore's put-back are logged", {}, RecordFolder::Private,
                    "echo \"fail read 1 5\" >> \"$BUTTONGUARD_STORE\" && \"$0\" block; "
                    "sed -i /^fail/d \"$BUTTONGUARD_STORE\"",
                    {"restore", "00341205"}, "restore\r\n3, 4, 1, 2, 0, 5\r\n", 0, kMixed, 0,
                    "error 4 block failed 0x80070005 | buttonguard block\n" + kRecoveredEntry +
                        "buttonguard restore\n"},
        RecoverCase{"a dead run's record for a scheme deleted since is dropped, once",
                    {Planted::DeletedScheme}, RecordFolder::Private, "", {"recover"},
                    "recover\r\nscheme gone 999999999-1-" + kB + " 0x80070490\r\n", 0, kZeros, 0,
                    "warning 3 scheme gone 999999999-1-" + kB + " 0x80070490 | buttonguard recover\n"},
        RecoverCase{"values already back are restored, not left as changed", {Planted::KilledRun},
                    RecordFolder::Private,
                    "sed -i -e \"s/^power-button 0 0/power-button 3 4/\" -e \"s/^lid-close 0 0/lid-close "
                    "1 2/\" -e \"s/^sleep-button 0 0/sleep-button 0 5/\" \"$BUTTONGUARD_STORE\"",
                    {"recover"}, "recover\r\n" + kRecovered, 0, kMixed, 0},
        RecoverCase{"a scheme list that cannot be read is no scheme gone", {Planted::KilledRun},
                    RecordFolder::Private, "echo \"fail query 5\" >> \"$BUTTONGUARD_STORE\"",
                    {"recover"}, "recover\r\n" + kRecovered, 0, kMixed, 0},
        RecoverCase{"a run waits for a lock held longer than a second", {}, RecordFolder::Private,
                    "mkdir -m 700 \"$BUTTONGUARD_STORE.records\" && "
                    "(flock \"$BUTTONGUARD_STORE.records\" sleep 2 &) && sleep 0.5",
                    {"run", "true"}, kBlockedReport + kRestoredLine, 0, kMixed, 0},
        RecoverCase{"a live run is listed and left alone", {Planted::LiveRun},
                    RecordFolder::Private, "", {"recover"},
                    "recover\r\nstill running " + kA + " {pid} {live}\r\n", 0, kZeros, 1},
        RecoverCase{"a dead run's scheme that a live run holds is left to it",
                    {Planted::LiveRun, Planted::DeadRun}, RecordFolder::Private, "", {"recover"},
                    "recover\r\nstill running " + kA + " {pid} {live}\r\nleft to run " + kA +
                        " {pid} 999999999-1-" + kA + "\r\n",
                    0, kZeros, 2},
        RecoverCase{"a run on a scheme a live run holds saves the values from before it and "
                    "leaves the scheme to it",
                    {Planted::LiveRun}, RecordFolder::Private,
                    "sed -i \"0,/^lid-close 0 0/s//lid-close 7 0/\" \"$BUTTONGUARD_STORE\"",
                    {"run", "true"},
                    "run\r\n0\r\n1\r\n2\r\n"
                    "3, 4, 7, 2, 0, 5\r\n00347205\r\nshared with run {pid}\r\nleft to run {pid}\r\n",
                    0, kZeros, 1,
                    "information 1 blocked " + kA + " 3, 4, 7, 2, 0, 5 | buttonguard run true\n"
                    "information 2 left to run " + kA + " {pid} | buttonguard run true\n"},
        RecoverCase{"a process id used again is no live run", {Planted::ReusedProcessId},
                    RecordFolder::Private, "", {"recover"}, "recover\r\n" + kRecovered, 0,
                    kMixed, 0},
        RecoverCase{"a malformed record is left and the others recovered",
                    {Planted::KilledRun, Planted::Raw}, RecordFolder::Private, "", {"recover"},
                    "recover\r\n" + kRecovered + "bad record planted 0x8007000D\r\n", 1, kMixed, 1,
                    kKilledRunEntry + kRecoveredEntry +
                        "buttonguard recover\nerror 4 bad record planted 0x8007000D | "
                        "buttonguard recover\n"},
        RecoverCase{"show names a record it cannot read", {Planted::Raw}, RecordFolder::Private,
                    "", {"show"},
                    "show\r\n0, 0, 0, 0, 0, 0\r\nbad record planted 0x8007000D\r\n00000000\r\n", 0,
                    kZeros, 1},
        RecoverCase{"a put-back that fails keeps its record", {Planted::KilledRun},
                    RecordFolder::Private, "echo \"fail write 1 29\" >> \"$BUTTONGUARD_STORE\"",
                    {"recover"}, "recover\r\nrestore failed " + kA + " 0x8007001D {record}\r\n", 1,
                    kZeros, 1},
        RecoverCase{"a block undone after a failed write leaves no record", {},
                    RecordFolder::Private, "echo \"fail write 5 29\" >> \"$BUTTONGUARD_STORE\"",
                    {"run", "true"},
                    "run\r\n0\r\n1\r\n3, 4, 1, 2, 0, 5\r\n00341205\r\n" + kRestoredLine, 125,
                    kMixed, 0},
        RecoverCase{"a put-back that fails outranks a command that failed to start", {},
                    RecordFolder::Private,
                    "echo echo hi > \"$BUTTONGUARD_STORE.tool\" && "
                    "chmod +x \"$BUTTONGUARD_STORE.tool\" && "
                    "echo \"fail write 7 29\" >> \"$BUTTONGUARD_STORE\"",
                    {"run", "{store}.tool"},
                    kBlockedReport + "not started 0x800700C1\r\nrestore failed 0x8007001D\r\n",
                    125, kZeros, 1},
        RecoverCase{"no run on a scheme whose recovery failed", {Planted::ReusedProcessId},
                    RecordFolder::Private, "echo \"fail write 1 5\" >> \"$BUTTONGUARD_STORE\"",
                    {"run", "true"},
                    "run\r\nrestore failed " + kA + " 0x80070005 {record}\r\nnot recovered " + kA +
                        " 0x80070005\r\n",
                    125, kZeros, 1,
                    "error 4 restore failed " + kA + " 0x80070005 {record} | buttonguard run true\n"
                    "error 4 not recovered " + kA + " 0x80070005 | buttonguard run true\n"},
        RecoverCase{"show says on standard error that runs would refuse the lock",
                    {Planted::ReusedProcessId}, RecordFolder::OpenToOthers, "", {"show"},
                    "lock refused {store}.records 0x80070005\r\nshow\r\n0, 0, 0, 0, 0, 0\r\n"
                    "00000000\r\n",
                    0, kZeros, 1},
        RecoverCase{"a request to keep the machine awake that fails is said and changes nothing",
                    {}, RecordFolder::Private, "echo \"fail awake 5\" >> \"$BUTTONGUARD_STORE\"",
                    {"run", "true"},
                    kBlockedReport + "awake failed 0x80070005\r\n" + kRestoredLine,
                    0, kMixed, 0},
        RecoverCase{"a display request that fails is said as one, and the system's kept", {},
                    RecordFolder::Private, "echo \"fail display 5\" >> \"$BUTTONGUARD_STORE\"",
                    {"run", "--display", "true"},
                    kBlockedReport + "display awake failed 0x80070005\r\n" + kRestoredLine, 0,
                    kMixed, 0},
        RecoverCase{"show never lists a live run as dead", {Planted::LiveRun},
                    RecordFolder::Private, "", {"show"},
                    "show\r\n0, 0, 0, 0, 0, 0\r\nlive run " + kA + " {pid} {live}\r\n00000000\r\n", 0,
                    kZeros, 1},
        RecoverCase{"a link among the records is never followed", {Planted::ALink},
                    RecordFolder::Private, "", {"recover"},
                    "recover\r\nbad record " + kLinkedRecord + " 0x8007000D\r\n", 1, kZeros, 1},
        RecoverCase{"a folder someone else owns is refused", {Planted::ReusedProcessId},
                    RecordFolder::SomeoneElses, "", {"recover"},
                    "recover\r\nlock refused {store}.records 0x80070005\r\n", 1, kZeros, 1},
        RecoverCase{"a folder that is a link is refused", {Planted::ReusedProcessId},
                    RecordFolder::ALink, "", {"recover"},
                    "recover\r\nlock refused {store}.records 0x80070005\r\n", 1, kZeros, 1},
        RecoverCase{"a folder open to others is refused", {Planted::ReusedProcessId},
                    RecordFolder::OpenToOthers, "", {"run", "true"},
                    "run\r\nlock refused {store}.records 0x80070005\r\n", 125, kZeros, 1,
                    "error 4 lock refused {store}.records 0x80070005 | buttonguard run true\n"}),
    [](const auto& info) { return TestName(info.param.name); });

// While run's command runs, show lists the power request that keeps the machine awake, as
// powercfg /requests would on Windows; it lapses with run, however run ends.
TEST(AwakeRequest, IsListedWhileTheCommandRunsAndLapsesWithRun) {
  TemporaryStore store;
  store.Write(StoreText(kMixed));
  const std::string show = std::string("'") + BUTTONGUARD_EXECUTABLE + "' show";
  // Named by its path, the program still gives the request its file name alone.
  const ProcessRun plain = RunTool(store, {"run", "/bin/sh", "-c", show});
  const ProcessRun display = RunTool(store, {"run", "--display", "--", "sh", "-c", show});
  EXPECT_NE(plain.output.find(" system buttonguard run: sh\r\n00000000"), std::string::npos)
      << plain.output;
  EXPECT_NE(display.output.find(" system display buttonguard run: sh\r\n"), std::string::npos)
      << display.output;

  int report = -1;
  const pid_t tool = StartGuardedSleep(store, {}, false, report);
  WaitUntil([&] { return CommandSleeps(tool); });
  EXPECT_NE(RunTool(store, {"show"}).output.find("\r\nawake "), std::string::npos);
  KillRunOutright(tool, report);
  EXPECT_EQ(RunTool(store, {"show"}).output.find("awake"), std::string::npos);
}

// Runs killed while an outer run holds their scheme wait for it, however many: neither
// recover nor a new run's start puts the scheme back under the live run. The dead runs' ids
// sort before the live run's, so that a recovery that read only the first records would
// find no holder.
TEST(ManyRecords, KilledRunsWaitingOnALiveRunAreAllLeftToIt) {
  TemporaryStore store;
  store.Write(SchemeLines(kA, kZeros));
  const fs::path records = MakeRecordsFolder(store);
  const std::string pid = std::to_string(getpid());
  const std::string live = pid + "-" + std::to_string(OwnStartTime()) + "-" + kA;
  PlantRecord(records, getpid(), OwnStartTime());
  std::string leftToRun;
  for (int i = 0; i < 40; ++i) {
    PlantRecord(records, 1000000000 + i, 1);
    leftToRun += "left to run " + kA + " " + pid + " " + std::to_string(1000000000 + i) + "-1-" +
                 kA + "\r\n";
  }
  const std::string lines = leftToRun + "still running " + kA + " " + pid + " " + live + "\r\n";

  const ProcessRun recover = RunTool(store, {"recover"});
  const ProcessRun run = RunTool(store, {"run", "true"});

  EXPECT_EQ(recover.output, "recover\r\n" + lines);
  EXPECT_EQ(recover.exitStatus, 0);
  EXPECT_EQ(run.errors, "run\r\n0\r\n1\r\n2\r\n3, 4, 1, 2, 0, 5\r\n00341205\r\n"
                        "shared with run " + pid + "\r\nleft to run " + pid + "\r\n");
  EXPECT_EQ(StoreValues(*store.Read()), kZeros);
  EXPECT_EQ(std::distance(fs::directory_iterator(records), fs::directory_iterator()), 41);
}

// Many runs at once on one scheme: each guards its command to the end and exits with its
// status, and the values from before the first go back after the last, with no record left.
TEST(ManyRecords, TwoHundredRunsAtOnceGuardTheirCommandsAndTheLastPutsBack) {
  constexpr int kRuns = 200;
  TemporaryStore store;
  store.Write(StoreText(kMixed));
  const std::string started = store.folder() + "/started";
  fs::create_directory(started);
  ASSERT_EQ(mkfifo((started + ".fifo").c_str(), 0600), 0);
  // Each command says it started, then waits for a line of its own from the pipe, which it
  // holds open for reading and writing so that nothing written is lost meanwhile.
  const std::string command =
      "touch \"$0/$$\" && exec 3<>\"$0.fifo\" && read -r line <&3; exit 7";
  ProcessOptions options;
  options.extraEnvironment.push_back("BUTTONGUARD_STORE=" + store.path());
  std::vector<pid_t> runs;
  for (int i = 0; i < kRuns; ++i) {
    runs.push_back(StartProcess(BUTTONGUARD_EXECUTABLE,
                                {"buttonguard", "run", "sh", "-c", command, started}, options));
  }
  const auto count = [&] {
    return std::distance(fs::directory_iterator(started), fs::directory_iterator());
  };
  for (int i = 0; i < 6000 && count() < kRuns; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(count(), kRuns);
  EXPECT_EQ(StoreValues(*store.Read()), kZeros);

  std::ofstream(started + ".fifo") << std::string(kRuns, '\n');
  int guarded = 0;
  for (const pid_t run : runs) guarded += WaitProcess(run) == 7 ? 1 : 0;
  EXPECT_EQ(guarded, kRuns);
  EXPECT_EQ(StoreValues(*store.Read()), kMixed);
  EXPECT_EQ(std::distance(fs::directory_iterator(store.path() + ".records"),
                          fs::directory_iterator()),
            0);
}

// A recovery that has loaded a dead run's record and is stopped before it puts the scheme
// back, and a run started meanwhile: the run must wait for it, or the recovery would write the
// dead run's values over the run's zeros while its command runs.
TEST(RunsLock, KeepsARunWaitingForARecoveryUnderWay) {
  TemporaryStore store;
  store.Write(SchemeLines(kA, kZeros));
  const fs::path records = MakeRecordsFolder(store);
  PlantRecord(records, getpid(), OwnStartTime() + 1);
  // The store's lock, held here, keeps the recovery at its first power call.
  const int lock = open((store.path() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  const ProcessOptions options = {.extraEnvironment = {"BUTTONGUARD_STORE=" + store.path()}};
  int recoverReport = -1;
  const pid_t recovery = StartProcessWithPipe(BUTTONGUARD_EXECUTABLE, {"buttonguard", "recover"},
                                              options, STDOUT_FILENO, recoverReport);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(recovery, SIGSTOP);
  int runReport = -1;
  const pid_t run = StartProcessWithPipe(BUTTONGUARD_EXECUTABLE,
                                         {"buttonguard", "run", "sleep", "1"}, options,
                                         STDERR_FILENO, runReport);
  flock(lock, LOCK_UN);
  close(lock);
  // Time enough for a run that does not wait to block and start its command.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(recovery, SIGCONT);

  EXPECT_EQ(WaitProcess(recovery), 0);
  EXPECT_EQ(ReadToEnd(recoverReport), "recover\r\nrestored " + kA + " 3, 4, 1, 2, 0, 5\r\n");
  EXPECT_EQ(WaitProcess(run), 0);
  EXPECT_EQ(ReadToEnd(runReport), kBlockedReport + kRestoredLine);
  EXPECT_EQ(StoreValues(*store.Read()), kMixed);
}

// A run killed at every one of its steps in turn: the store ends the process at its N-th call
// (a power call, a record written or removed), for N = 1, 2, ... until the run gets through.
// After each death, recover must leave every scheme exactly as it was, and no record.
struct CrashCase {
  const char* name;
  std::string script;  // the command, run by sh; SWITCH B makes scheme B active
};

void PrintTo(const CrashCase& c, std::ostream* out) { *out << c.name; }

class RunCrashTest : public ::testing::TestWithParam<CrashCase> {};

TEST_P(RunCrashTest, RecoverUndoesARunKilledAtAnyCall) {
  const Values kHigh = {2, 2, 2, 2, 2, 2};
  const std::string schemes = SchemeLines(kA, kMixed) + SchemeLines(kB, kHigh);
  // The command ends once the switch is followed, or once buttonguard is gone; it reads the
  // file itself, since a `show` would count calls of its own and die at the same N.
  const std::string prelude =
      "SWITCH() { flock \"$BUTTONGUARD_STORE.lock\" sed -i -e '/^active /d' -e \"\\$a active $1\" "
      "\"$BUTTONGUARD_STORE\"; }\n"
      "FOLLOWED() { for i in $(seq 50); do "
      "[ \"$(cut -d' ' -f4 /proc/$$/stat)\" = $PPID ] || return; [ \"$(grep -A3 "
      "\"scheme " + kB + "\" \"$BUTTONGUARD_STORE\" | grep -c ' 0 0$')\" = 3 ] && return; "
      "sleep 0.1; done; }\n";
  int crashes = 0;
  for (int call = 1; call < 200; ++call) {
    SCOPED_TRACE("crash at call " + std::to_string(call));
    TemporaryStore store;
    store.Write(schemes + "crash " + std::to_string(call) + "\n");
    const ProcessRun run = RunTool(
        store, {"run", "sh", "-c", prelude + GetParam().script, BUTTONGUARD_EXECUTABLE});
    std::string text = store.Read().value_or("");
    text.erase(text.find("crash "));  // the last line
    store.Write(text);
    if (run.exitStatus != -1) {
      EXPECT_EQ(run.exitStatus, 0) << run.errors;
    } else {
      ++crashes;
      const ProcessRun recover = RunTool(store, {"recover"});
      EXPECT_EQ(recover.exitStatus, 0) << recover.output;
    }
    const std::optional<PowerStore> after = ParsePowerStore(store.Read().value_or(""));
    ASSERT_TRUE(after);
    for (std::size_t i = 0; i < 2; ++i) {
      Values values{};
      for (std::size_t j = 0; j < values.size(); ++j) {
        values[j] = after->schemes[i].values[j / 2][j % 2];
      }
      EXPECT_EQ(values, i == 0 ? kMixed : kHigh) << "scheme " << i << "\n" << run.errors;
    }
    const fs::path records = store.path() + ".records";
    EXPECT_TRUE(!fs::exists(records) || fs::is_empty(records)) << run.errors;
    if (run.exitStatus != -1) break;
  }
  EXPECT_GT(crashes, 20);
}

INSTANTIATE_TEST_SUITE_P(Cases, RunCrashTest,
                         ::testing::Values(CrashCase{"one scheme", "exit 0"},
                                           CrashCase{"a switch followed", "SWITCH " + kB +
                                                                              " && FOLLOWED"}),
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
  EXPECT_TRUE(ErrorsAreAsExpected(c, run.errors));
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

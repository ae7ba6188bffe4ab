// buttonguard.exe under Wine: the platform's real C runtime, command-line splitting and DLL
// loader, with the simulated store built as the system folder's powrprof.dll. A launcher of
// ours reads the full 32-bit exit status on the Windows side, since Wine's own exit status is
// cut to eight bits.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "command_cases.h"
#include "guid_text.h"
#include "process_runner.h"
#include "store_format.h"
#include "temporary_store.h"

namespace {

namespace fs = std::filesystem;

// One suite runs both builds, x64 and x86; CTest names the one for each run.
fs::path WindowsBuild() {
  const char* chosen = std::getenv("BUTTONGUARD_TEST_WINDOWS_BUILD");
  return chosen != nullptr && *chosen != '\0' ? fs::path(chosen)
                                               : fs::path(BUTTONGUARD_WINDOWS_BUILD_DIR);
}

// Where the prefix keeps the system's DLLs of the build's kind: 32-bit ones in syswow64.
std::string SystemFolder() {
  const char* chosen = std::getenv("BUTTONGUARD_TEST_SYSTEM_FOLDER");
  return chosen != nullptr && *chosen != '\0' ? chosen : "system32";
}

const fs::path kWindowsBuild = WindowsBuild();
const fs::path kWinePrefix = BUTTONGUARD_WINE_PREFIX;
const std::string kWine = BUTTONGUARD_WINE_PROGRAM;

// Wine's server, kept running for the whole suite and started here with no pipes of ours:
// started by a test's run instead, it would hold that run's standard error open for seconds
// after the run.
fs::path WineServer() { return fs::path(kWine).parent_path() / "wineserver"; }

std::vector<std::string> PrefixEnvironment() {
  std::vector<std::string> environment = {"WINEPREFIX=" + kWinePrefix.string(), "WINEDEBUG=-all"};
  // Called directly, the 64-bit loader must be told that it starts every later process too.
  if (kWine.ends_with("wine64")) environment.push_back("WINELOADER=" + kWine);
  return environment;
}

// The x86 build's programs need a kernel that runs 32-bit Linux programs, as Wine's 32-bit
// loader is one.
bool HostRunsThisBuild() { return BUTTONGUARD_WINE_RUNS_32_BIT || SystemFolder() != "syswow64"; }

class WineServerEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    if (!kWine.empty() && fs::exists(WineServer())) {
      WaitProcess(StartProcess(WineServer().string(), {"wineserver", "-k"},
                               {.extraEnvironment = PrefixEnvironment()}));
    }
  }
};

[[maybe_unused]] ::testing::Environment* const kWineServerEnvironment =
    ::testing::AddGlobalTestEnvironment(new WineServerEnvironment);

fs::path Executable() { return kWindowsBuild / "buttonguard.exe"; }
fs::path Launcher() { return kWindowsBuild / "tests" / "windows" / "exit_status_launcher.exe"; }
// The program the tests run as a command, a holder of the lock, a pipe's server and so on.
fs::path CheckProgram() { return kWindowsBuild / "tests" / "windows" / "console_event_check.exe"; }

// Wine shows the host's root as drive Z:.
std::string WindowsPath(const fs::path& path) {
  std::string text = "Z:";
  text += fs::absolute(path).string();
  for (char& c : text) c = c == '/' ? '\\' : c;
  return text;
}

// Quotes one argument so that the platform's command-line splitting gives it back unchanged.
std::string Quote(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

struct WineRun {
  std::string output;
  std::string errors;         // without the line every run writes under Wine (below)
  std::string errorsAsWritten;
  std::int64_t exitStatus = -1;  // as the platform reports it; -1 never arrives from it here
  bool launched = false;
};

// The launcher's options for running `executable` with the raw command-line tail `tail`,
// exactly as a script would write it; it writes the exit status to `statusFile`.
ProcessOptions LauncherOptions(const fs::path& executable, const std::string& tail,
                               const TemporaryStore& store, const fs::path& statusFile,
                               const std::string& workingDirectory = "",
                               const std::vector<std::string>& extraEnvironment = {}) {
  std::string commandLine = Quote(WindowsPath(executable));
  if (!tail.empty()) commandLine += " " + tail;
  ProcessOptions options;
  options.extraEnvironment = PrefixEnvironment();
  options.extraEnvironment.insert(options.extraEnvironment.end(),
                                  {"WINEDLLOVERRIDES=powrprof=n", "LANG=C.UTF-8", "LC_ALL=C.UTF-8",
                                   "BUTTONGUARD_STORE=" + WindowsPath(store.path()),
                                   "BUTTONGUARD_CHILD_COMMAND_LINE=" + commandLine,
                                   "BUTTONGUARD_EXIT_STATUS_FILE=" + WindowsPath(statusFile)});
  options.extraEnvironment.insert(options.extraEnvironment.end(), extraEnvironment.begin(),
                                  extraEnvironment.end());
  options.workingDirectory = workingDirectory;
  return options;
}

// Wine's kernel32 has no power requests (ERROR_CALL_NOT_IMPLEMENTED), so every run that gets
// as far as its command says so, once, right after block's lines, and goes on. Found there, it
// is taken out, so that the tables say what a run says on Windows; anywhere else it stays, and
// fails the case.
const std::string kAwakeFailed = "awake failed 0x80070078\r\n";

std::string WithoutWineAwakeLine(std::string errors) {
  const std::size_t at = errors.find(kAwakeFailed);
  // The code line, eight hexadecimal digits, comes just before it.
  if (at != std::string::npos && at >= 10 && errors.compare(at - 2, 2, "\r\n") == 0 &&
      errors.find_first_not_of("0123456789ABCDEF", at - 10) == at - 2) {
    errors.erase(at, kAwakeFailed.size());
  }
  return errors;
}

// Runs `executable` under Wine and waits for it.
WineRun RunUnderWine(const fs::path& executable, const std::string& tail,
                     const TemporaryStore& store, const std::string& workingDirectory = "",
                     const std::vector<std::string>& extraEnvironment = {}) {
  const fs::path statusFile = fs::path(store.folder()) / "exit-status";
  fs::remove(statusFile);
  const ProcessOptions options = LauncherOptions(executable, tail, store, statusFile,
                                                 workingDirectory, extraEnvironment);
  // On a loaded machine Wine now and then fails to start the program at all (the launcher's
  // CreateProcessW, exit 3): nothing ran, so it is tried again. Any other failure is the
  // test's to see, with the launcher's status beside it.
  ProcessRun run = RunProcess(kWine, {kWine, Launcher().string()}, options);
  for (int tries = 1; tries < 5 && run.exitStatus == 3 && !fs::exists(statusFile); ++tries) {
    run = RunProcess(kWine, {kWine, Launcher().string()}, options);
  }
  if (run.exitStatus != 0) std::cerr << "the launcher exited with " << run.exitStatus << "\n";
  WineRun result;
  result.output = run.output;
  result.errorsAsWritten = run.errors;
  result.errors = WithoutWineAwakeLine(run.errors);
  result.launched = run.exitStatus == 0 && fs::exists(statusFile);
  if (result.launched) {
    result.exitStatus = static_cast<std::int32_t>(std::stoul(ReadFile(statusFile), nullptr, 16));
  }
  return result;
}

std::string Tail(const std::vector<std::string>& arguments) {
  std::string tail;
  for (const std::string& argument : arguments) {
    if (!tail.empty()) tail += ' ';
    tail += Quote(argument);
  }
  return tail;
}

// No package mends this, so it is a skip even under CI.
const std::string kKernelWithout32Bit =
    "this kernel cannot run 32-bit programs (Wine's 32-bit loader: Exec format error), so no "
    "32-bit Windows program runs under Wine here";

// Why the suite cannot run here, or empty. Creates the prefix on first use and puts the
// simulated store in its system folder.
std::string PrepareWine() {
  if (kWine.empty()) return "wine is not installed";
  if (!HostRunsThisBuild()) return kKernelWithout32Bit;
  for (const fs::path& needed :
       {Executable(), Launcher(), kWindowsBuild / "system32" / "powrprof.dll",
        kWindowsBuild / "planted" / "program.exe"}) {
    if (!fs::exists(needed)) {
      return needed.string() + " is missing: build the " + kWindowsBuild.filename().string() +
             " preset";
    }
  }
  const fs::path windows = kWinePrefix / "drive_c" / "windows";
  if (!fs::exists(windows / "system32" / "kernel32.dll")) {
    // Without .NET and HTML engines, which the tool never uses and Wine would offer to fetch.
    std::vector<std::string> environment = PrefixEnvironment();
    environment.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
    WaitProcess(StartProcess(kWine, {kWine, "wineboot", "--init"}, {.extraEnvironment = environment}));
    if (!fs::exists(windows)) return "wineboot could not create " + kWinePrefix.string();
  }
  if (!fs::exists(windows / SystemFolder() / "kernel32.dll")) {
    return "the Wine prefix cannot run this build: no " + SystemFolder() +
           " (install wine32, then remove " + kWinePrefix.string() + ")";
  }
  // Windows, and so run's session window, exist headless only with the null display driver;
  // the server reads the setting when it starts.
  WaitProcess(StartProcess(kWine,
                           {kWine, "reg", "add", R"(HKCU\Software\Wine\Drivers)", "/v", "Graphics",
                            "/d", "null", "/f"},
                           {.extraEnvironment = PrefixEnvironment()}));
  // The old server gone before the new one starts: one still ending may hold its socket.
  for (const char* step : {"-k", "-w", "-p"}) {
    WaitProcess(StartProcess(WineServer().string(), {"wineserver", step},
                             {.extraEnvironment = PrefixEnvironment()}));
  }
  // The first program also starts Wine's own services, which live as long as the server and
  // would hold a test's pipes open: they start here, on /dev/null.
  WaitProcess(StartProcess(kWine, {kWine, "cmd", "/c", "exit"},
                           {.extraEnvironment = PrefixEnvironment()}));
  fs::copy_file(kWindowsBuild / "system32" / "powrprof.dll",
                windows / SystemFolder() / "powrprof.dll", fs::copy_options::overwrite_existing);
  // On a loaded machine the new server may not start a program of this build at once: the
  // first test waits for nothing of the kind.
  const TemporaryStore store;
  const fs::path check = CheckProgram();
  for (int i = 0; i < 30 && !RunUnderWine(check, "await .", store).launched; ++i) {
  }
  return "";
}

class WineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static const std::string reason = PrepareWine();
    unavailable_ = reason;
  }

  void SetUp() override {
    if (unavailable_.empty()) return;
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true" && unavailable_ != kKernelWithout32Bit) {
      FAIL() << unavailable_;
    }
    GTEST_SKIP() << "Wine suite skipped: " << unavailable_;
  }

  static std::string unavailable_;
};

std::string WineTest::unavailable_;

const std::string kPolicyKey = R"(HKLM\SOFTWARE\Policies\Microsoft\Power\PowerSettings)";

void RunReg(const std::vector<std::string>& words) {
  std::vector<std::string> arguments = {kWine, "reg"};
  arguments.insert(arguments.end(), words.begin(), words.end());
  WaitProcess(StartProcess(kWine, arguments, {.extraEnvironment = PrefixEnvironment()}));
}

// A store's policy lines as group policy keeps them, in the prefix's real registry, written by
// the 64-bit reg: the store DLL answers the policy check from there, and buttonguard reads the
// values through the platform's own registry functions, on both builds.
class PlantedPolicies {
 public:
  explicit PlantedPolicies(const std::optional<std::string>& storeText) {
    const std::optional<PowerStore> store = ParsePowerStore(storeText.value_or(""));
    if (!store) return;
    for (const StoredPolicy& policy : store->policies) {
      RunReg({"add", kPolicyKey + "\\" + FormatGuidText(kKnownSettings[policy.setting].identifier),
              "/v", policy.source == PowerSource::Ac ? "ACSettingIndex" : "DCSettingIndex", "/t",
              "REG_DWORD", "/d", std::to_string(policy.value), "/f"});
      planted_ = true;
    }
  }
  ~PlantedPolicies() {
    if (planted_) RunReg({"delete", kPolicyKey, "/f"});
  }
  PlantedPolicies(const PlantedPolicies&) = delete;
  PlantedPolicies& operator=(const PlantedPolicies&) = delete;

 private:
  bool planted_ = false;
};

class WineCommandLineTest : public WineTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(WineCommandLineTest, WritesTheReportBytesAndExitsWithTheFull32BitStatus) {
  const CommandCase& c = GetParam();
  TemporaryStore store;
  store.Write(c.storeBefore);
  const PlantedPolicies policies(c.storeBefore);

  const WineRun run = RunUnderWine(Executable(), Tail(c.arguments), store);

  ASSERT_TRUE(run.launched) << run.output;
  EXPECT_EQ(run.output, c.report);
  EXPECT_EQ(run.exitStatus, c.exitStatus);
  EXPECT_TRUE(ErrorsAreAsExpected(c, run.errors));
  EXPECT_TRUE(StoreIsAsExpectedAfter(c, store.Read()));
}

INSTANTIATE_TEST_SUITE_P(Cases, WineCommandLineTest, ::testing::ValuesIn(CommandCases()),
                         [](const auto& info) { return CaseName(info.param); });

// Command lines as a batch file or PowerShell would pass them, split by the platform's rules.
struct SplitCase {
  const char* name;
  const char* tail;
  std::string report;
  std::int64_t exitStatus;
};

void PrintTo(const SplitCase& c, std::ostream* out) { *out << c.name; }

class WineSplittingTest : public WineTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(WineSplittingTest, SplitsQuotedArgumentsByThePlatformRules) {
  const SplitCase& c = GetParam();
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const WineRun run = RunUnderWine(Executable(), c.tail, store);
  ASSERT_TRUE(run.launched);
  EXPECT_EQ(run.output, c.report);
  EXPECT_EQ(run.exitStatus, c.exitStatus);
}

const std::string kRestored = "restore\r\n3, 3, 1, 1, 0, 0\r\n";

INSTANTIATE_TEST_SUITE_P(
    Lines, WineSplittingTest,
    ::testing::Values(
        SplitCase{"quoted words", R"("restore" "00331100")", kRestored, 0},
        SplitCase{"quotes inside a word", R"(re"sto"re 00"33"1100)", kRestored, 0},
        SplitCase{"a quoted space keeps one argument", R"(restore "0033 1100")", "restore\r\n", -1},
        SplitCase{"an empty quoted argument counts", R"(restore 00331100 "")", "restore\r\n", -1},
        SplitCase{"tabs and runs of spaces separate", "restore \t  00331100", kRestored, 0},
        SplitCase{"escaped quotes are part of the word", R"(\"block\")", "\"block\"\r\n", 0},
        SplitCase{"an unclosed quote runs to the end", R"("block)",
                  "block\r\n0\r\n1\r\n2\r\n3, 4, 1, 2, 0, 5\r\n00341205\r\n", 0x341205}),
    [](const auto& info) { return TestName(info.param.name); });

// A folder such as Downloads holding buttonguard.exe and, beside it, a planted file of ours.
fs::path FolderWithPlanted(const TemporaryStore& store, const std::string& planted,
                           const std::string& plantedAs) {
  const fs::path folder = fs::path(store.folder()) / "downloads";
  fs::create_directories(folder);
  fs::copy_file(Executable(), folder / "buttonguard.exe");
  fs::copy_file(kWindowsBuild / "planted" / planted, folder / plantedAs);
  return folder;
}

TEST_F(WineTest, APowrprofPlantedBesideTheExecutableIsNeverLoaded) {
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const fs::path folder = FolderWithPlanted(store, "powrprof.dll", "powrprof.dll");

  const WineRun run = RunUnderWine(folder / "buttonguard.exe", "block", store);

  ASSERT_TRUE(run.launched);
  EXPECT_EQ(run.output, "block\r\n0\r\n1\r\n2\r\n3, 4, 1, 2, 0, 5\r\n00341205\r\n");
  EXPECT_EQ(run.exitStatus, 0x341205);
  EXPECT_FALSE(fs::exists(folder / "planted-powrprof-was-loaded"));
}

// The wrapped command as cmd spells it, and what it writes to standard output.
std::string WineCommand(WrappedCommand command) {
  switch (command) {
    case WrappedCommand::None:
      return "";
    case WrappedCommand::ExitsWith0:
      return "cmd /c exit 0";
    case WrappedCommand::ExitsWith7:
      return "cmd /c exit 7";
    case WrappedCommand::PrintsALine:
      return "cmd /c echo printed";
    case WrappedCommand::NoSuchCommand:
      return "buttonguard-no-such-command";
    case WrappedCommand::RestoresOtherValues:
      return Quote(WindowsPath(Executable())) + " restore 00222222";
  }
  return "";
}

std::string WineCommandOutput(WrappedCommand command) {
  if (command == WrappedCommand::PrintsALine) return "printed\r\n";
  if (command == WrappedCommand::RestoresOtherValues) return "restore\r\n2, 2, 2, 2, 2, 2\r\n";
  return "";
}

class WineRunLineTest : public WineTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(WineRunLineTest, ReportsOnStandardErrorAndExitsWithTheFull32BitStatus) {
  const RunCase& c = GetParam();
  TemporaryStore store;
  store.Write(c.storeBefore);
  std::string tail = "run";
  for (const std::string& word : c.wordsBefore) tail += " " + word;
  if (c.command != WrappedCommand::None) tail += " " + WineCommand(c.command);
  const PlantedPolicies policies(c.storeBefore);

  const WineRun run = RunUnderWine(Executable(), tail, store);
  // A put-back that failed keeps its record, machine-wide: the next case's run would recover
  // it into a store it never belonged to.
  RunReg({"delete", R"(HKLM\SOFTWARE\buttonguard)", "/f", "/reg:64"});

  ASSERT_TRUE(run.launched) << run.output << run.errors;
  EXPECT_EQ(run.errors, c.report);
  EXPECT_EQ(run.output, c.commandRuns ? WineCommandOutput(c.command) : "");
  EXPECT_EQ(run.exitStatus, c.exitStatus);
  EXPECT_TRUE(StoreIsAsExpectedAfter(c, store.Read()));
}

INSTANTIATE_TEST_SUITE_P(Cases, WineRunLineTest, ::testing::ValuesIn(RunCases()),
                         [](const auto& info) { return CaseName(info.param); });

const std::string kRunBlocked =
    "run\r\n0\r\n1\r\n2\r\n3, 4, 1, 2, 0, 5\r\n00341205\r\nrestored 3, 4, 1, 2, 0, 5\r\n";

// cmd's echo prints its command line as it received it: the words after `run` must arrive as
// typed, not split and quoted again.
TEST_F(WineTest, RunHandsTheCommandLineOnExactlyAsTyped) {
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const std::string typed = R"(cmd /c echo "a  b" \"q\" x""y  "tail)";

  const WineRun run = RunUnderWine(Executable(), "run -- " + typed, store);

  ASSERT_TRUE(run.launched);
  EXPECT_EQ(run.output, typed.substr(std::string("cmd /c echo ").size()) + "\r\n");
  EXPECT_EQ(run.errors, kRunBlocked);
  EXPECT_EQ(run.exitStatus, 0);
}

TEST_F(WineTest, RunNeverStartsACmdPlantedBesideTheExecutableOrInTheCurrentFolder) {
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const fs::path folder = FolderWithPlanted(store, "program.exe", "cmd.exe");

  const WineRun run =
      RunUnderWine(folder / "buttonguard.exe", "run cmd /c exit 7", store, folder.string());

  ASSERT_TRUE(run.launched);
  EXPECT_EQ(run.exitStatus, 7);
  EXPECT_EQ(run.errors, kRunBlocked);
  EXPECT_FALSE(fs::exists(folder / "planted-cmd.exe-was-run"));
}

// How run finds and starts its command as an elevated process. Each case lays out a
// folder: `work`, the current folder, where whoever downloads things can put files, and
// `bin`, an absolute PATH folder. "planted NAME" is a program of ours that marks its folder
// when run; all other files hold the text given.
struct LookupCase {
  const char* name;
  std::string path;  // the PATH run sees; {bin} stands for the absolute bin folder
  std::vector<std::pair<std::string, std::string>> files;  // under the case's folder
  std::string tail;                                        // after "run"
  std::string errors;
  std::string output;
  std::int64_t exitStatus;
  std::vector<std::string> ran;  // the planted programs that must have run; no other may
};

void PrintTo(const LookupCase& c, std::ostream* out) { *out << c.name; }

class WineLookupTest : public WineTest, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(WineLookupTest, StartsOnlyWhatThePathAndTheNameAllow) {
  const LookupCase& c = GetParam();
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const fs::path root = fs::path(store.folder());
  std::vector<fs::path> planted;
  fs::create_directories(root / "work");
  fs::create_directories(root / "bin");
  for (const auto& [file, content] : c.files) {
    fs::create_directories((root / file).parent_path());
    if (content == "planted") {
      fs::copy_file(kWindowsBuild / "planted" / "program.exe", root / file);
      planted.push_back(root / file);
    } else {
      const std::string check = Quote(WindowsPath(CheckProgram()));
      std::string text = content;
      for (std::size_t at; (at = text.find("{check}")) != std::string::npos;) text.replace(at, 7, check);
      std::ofstream(root / file, std::ios::binary) << text;
    }
  }
  std::string path = c.path;
  if (const std::size_t at = path.find("{bin}"); at != std::string::npos) {
    path.replace(at, 5, WindowsPath(root / "bin"));
  }
  const std::string beforeText = store.Read().value_or("");

  const WineRun run = RunUnderWine(Executable(), "run " + c.tail, store, (root / "work").string(),
                                   {"BUTTONGUARD_CHILD_PATH=" + path});

  ASSERT_TRUE(run.launched) << run.errors;
  EXPECT_EQ(run.errors, c.errors);
  EXPECT_EQ(run.output, c.output);
  EXPECT_EQ(run.exitStatus, c.exitStatus);
  for (const fs::path& program : planted) {
    const fs::path mark =
        program.parent_path() / ("planted-" + program.filename().string() + "-was-run");
    const std::string relative = fs::relative(program, root).string();
    const bool shouldRun = std::find(c.ran.begin(), c.ran.end(), relative) != c.ran.end();
    EXPECT_EQ(fs::exists(mark), shouldRun) << relative;
  }
  if (c.errors != kRunBlocked) {
    EXPECT_EQ(store.Read().value_or(""), beforeText) << "the scheme was touched";
  } else {
    EXPECT_EQ(StoreValues(*store.Read()), (std::array<std::uint32_t, 6>{3, 4, 1, 2, 0, 5}));
  }
}

const std::string kSystem = R"(C:\windows\system32)";
const std::string kBatchFile = "@echo [%*]\r\n@exit /b 3\r\n";
const std::string kCannotStart = "run\r\nnot started 0x800700C1\r\n";
const std::string kRefusedForCmd = "run\r\nnot started 0x80070057\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, WineLookupTest,
    ::testing::Values(
        LookupCase{"a batch file on PATH gets each argument quoted for cmd, as text",
                   "{bin};" + kSystem,
                   {{"bin/tool.cmd", kBatchFile}, {"work/tool.exe", "planted"},
                    {"work/evil.exe", "planted"}},
                   R"(tool "a b" x&evil.exe "c|evil.exe" ^e (f) g,h i=j k;l "" /q)", kRunBlocked,
                   R"x(["a b" "x&evil.exe" "c|evil.exe" "^e" "(f)" "g,h" "i=j" "k;l" "" /q])x"
                   "\r\n",
                   3, {}},
        LookupCase{"an argument ending in a backslash reaches the program whole",
                   "{bin};" + kSystem,
                   {{"bin/tool.cmd", "@{check} args %*\r\n@{check} args \"%~1\" \"%~2\" "
                                     "\"%~3\"\r\n@exit /b 3\r\n"}},
                   R"(tool "C:\a b\\" C:\c\ --force)", kRunBlocked,
                   "[C:\\a b\\][C:\\c\\][--force]\r\n[C:\\a b\\][C:\\c\\][--force]\r\n", 3, {}},
        LookupCase{"a line longer than cmd takes is refused untouched", "{bin};" + kSystem,
                   {{"bin/tool.cmd", kBatchFile}}, "tool " + std::string(8200, 'a'),
                   "run\r\nnot started 0x80070018\r\n", "", Hresult(24), {}},
        LookupCase{"a quote a caller escaped for a program never ends cmd's quoting",
                   "{bin};" + kSystem, {{"bin/tool.cmd", kBatchFile}, {"work/evil.exe", "planted"}},
                   R"(tool "x\" & evil.exe & \"y")", kRefusedForCmd, "", Hresult(87), {}},
        LookupCase{"a percent sign cmd would expand is refused untouched", "{bin};" + kSystem,
                   {{"bin/tool.cmd", kBatchFile}}, "tool %WINDIR%", kRefusedForCmd, "",
                   Hresult(87), {}},
        LookupCase{"a line break that would end cmd's command is refused untouched",
                   "{bin};" + kSystem, {{"bin/tool.cmd", kBatchFile}, {"work/evil.exe", "planted"}},
                   "tool a\nevil.exe", kRefusedForCmd, "", Hresult(87), {}},
        LookupCase{"a batch file named by a quoted path with spaces", kSystem,
                   {{"work/sub dir/tool.cmd", kBatchFile}}, R"(".\sub dir\tool.cmd" /q)",
                   kRunBlocked, "[/q]\r\n", 3, {}},
        LookupCase{"dot, relative and unexpanded PATH entries are skipped",
                   ".;bin;%CD%\\bin;Z:bin;" + kSystem,
                   {{"work/tool.exe", "planted"}, {"work/bin/tool.exe", "planted"},
                    {"work/%CD%/bin/tool.exe", "planted"}},
                   "tool", "run\r\nnot started 0x80070002\r\n", "", Hresult(2), {}},
        LookupCase{"an empty PATH entry is skipped", ";;" + kSystem + ";",
                   {{"work/cmd.exe", "planted"}}, "cmd /c exit 7", kRunBlocked, "", 7, {}},
        LookupCase{"PATHEXT order puts .COM before .EXE", "{bin};" + kSystem,
                   {{"bin/tool.exe", "planted"}, {"bin/tool.com", "planted"}}, "tool",
                   kRunBlocked, "", 66, {"bin/tool.com"}},
        LookupCase{"a script CreateProcess cannot start is refused untouched", "{bin};" + kSystem,
                   {{"bin/tool.js", "WScript.Echo(1)"}, {"work/tool.exe", "planted"}}, "tool",
                   kCannotStart, "", Hresult(193), {}},
        LookupCase{"an installer named by a path is refused untouched", kSystem,
                   {{"work/update.msi", "not a program"}}, R"(.\update.msi)", kCannotStart, "",
                   Hresult(193), {}},
        LookupCase{"a text file named .exe is refused untouched", kSystem,
                   {{"work/fake.exe", "MZ but no more"}}, R"(.\fake.exe)", kCannotStart, "",
                   Hresult(193), {}}),
    [](const auto& info) { return TestName(info.param.name); });

// A power request that cannot be made (Wine has none) is said, and the buttons are guarded all
// the same; the program's name, never its arguments, would have named the request.
TEST_F(WineTest, RunGoesOnWhenThePlatformCannotKeepTheMachineAwake) {
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const WineRun run = RunUnderWine(Executable(), "run --display cmd /c exit 0", store);
  ASSERT_TRUE(run.launched) << run.errors;
  EXPECT_EQ(run.errorsAsWritten, kRunBlocked.substr(0, kRunBlocked.find("restored")) +
                                     kAwakeFailed + "restored 3, 4, 1, 2, 0, 5\r\n");
  EXPECT_EQ(run.exitStatus, 0);
}

// What only the 64-bit system folder holds (pnputil is the real one) is found and started
// there by the x86 build too, never looked for in SysWOW64 in its place.
TEST_F(WineTest, RunFindsWhatOnlyTheNativeSystemFolderHolds) {
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const fs::path system = kWinePrefix / "drive_c/windows/system32";
  fs::copy_file(kWindowsBuild / "planted/program.exe", system / "buttonguard-native.exe",
                fs::copy_options::overwrite_existing);

  const WineRun run = RunUnderWine(Executable(), "run buttonguard-native", store, "",
                                   {"BUTTONGUARD_CHILD_PATH=" + kSystem});
  // The program marks its run beside itself; a 32-bit one, as the x86 build's is, writes to
  // System32 through the redirector, into SysWOW64.
  const fs::path marks = kWinePrefix / "drive_c/windows" / SystemFolder();
  const bool ran = fs::remove(marks / "planted-buttonguard-native.exe-was-run");
  fs::remove(system / "buttonguard-native.exe");

  ASSERT_TRUE(run.launched) << run.errors;
  EXPECT_EQ(run.errors, kRunBlocked);
  EXPECT_EQ(run.exitStatus, 66);
  EXPECT_TRUE(ran);
}

// No console under test can be closed, logged off or shut down, so these events are delivered
// straight to run's handler, from a second thread while the main thread waits for the
// command, as the platform delivers them. Ctrl+C first, which must change nothing.
struct ConsoleEventCase {
  const char* name;
  int event;  // CTRL_CLOSE_EVENT 2, CTRL_LOGOFF_EVENT 5, CTRL_SHUTDOWN_EVENT 6
  bool duringTheBlock;
};

void PrintTo(const ConsoleEventCase& c, std::ostream* out) { *out << c.name; }

class WineConsoleEventTest : public WineTest,
                             public ::testing::WithParamInterface<ConsoleEventCase> {};

TEST_P(WineConsoleEventTest, PutsTheSchemeBackBeforeTheProcessEnds) {
  const ConsoleEventCase& c = GetParam();
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const fs::path check = CheckProgram();

  const WineRun run =
      RunUnderWine(check, "run " + Quote(WindowsPath(check)) + " wait", store, "",
                   {"BUTTONGUARD_CHECK_EVENT=" + std::to_string(c.event),
                    std::string("BUTTONGUARD_CHECK_MOMENT=") + (c.duringTheBlock ? "block" : "")});

  ASSERT_TRUE(run.launched) << run.errors;
  // 6: the command started although the end had come.
  EXPECT_EQ(static_cast<std::uint32_t>(run.exitStatus), 0xC000013AU);
  EXPECT_EQ(run.errors, kRunBlocked + (c.duringTheBlock ? "not started 0x800704C7\r\n" : ""));
  EXPECT_EQ(StoreValues(*store.Read()), (std::array<std::uint32_t, 6>{3, 4, 1, 2, 0, 5}));
}

INSTANTIATE_TEST_SUITE_P(Events, WineConsoleEventTest,
                         ::testing::Values(ConsoleEventCase{"close", 2, false},
                                           ConsoleEventCase{"logoff", 5, false},
                                           ConsoleEventCase{"shutdown", 6, false},
                                           ConsoleEventCase{"close while blocking", 2, true}),
                         [](const auto& info) { return TestName(info.param.name); });

// Commands run must outlast, each exiting 0 when what it checks held. `switch` makes High
// performance active and waits until run has blocked it; `end-session` ends the session as
// Wine does (WM_QUERYENDSESSION, WM_ENDSESSION) and waits until the scheme is back, which
// only run's session window can do while it still runs. {check}: console_event_check.exe.
struct GuardedCase {
  const char* name;
  std::string storeExtra;  // after the first scheme's lines
  std::string command;
  std::string errors;
  std::string outputFile;  // the command's output, redirected to a file; empty: not redirected
  std::string storeHolds;  // a line the store holds afterwards, or empty
  std::int64_t exitStatus = 0;
};

class WineGuardedCommandTest : public WineTest,
                               public ::testing::WithParamInterface<GuardedCase> {};

TEST_P(WineGuardedCommandTest, RunsAndPutsTheSchemesBack) {
  const GuardedCase& c = GetParam();
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}) + c.storeExtra);
  const fs::path output = fs::path(store.folder()) / "out.txt";
  std::string command = c.command;
  if (const std::size_t at = command.find("{check}"); at != std::string::npos) {
    const fs::path check = CheckProgram();
    command.replace(at, 7, Quote(WindowsPath(check)));
  }
  std::vector<std::string> redirect;
  if (!c.outputFile.empty()) redirect = {"BUTTONGUARD_CHILD_OUTPUT_FILE=" + WindowsPath(output)};

  const WineRun run = RunUnderWine(Executable(), "run " + command, store, "", redirect);

  ASSERT_TRUE(run.launched) << run.errors;
  // 4: the scheme stayed blocked (or was not); 7: wineboot did not start, or no window was
  // found; 9: a scheme was never followed.
  EXPECT_EQ(run.exitStatus, c.exitStatus);
  EXPECT_EQ(run.errors, c.errors);
  EXPECT_EQ(c.outputFile.empty() ? "" : ReadFile(output), c.outputFile);
  EXPECT_EQ(StoreValues(*store.Read()), (std::array<std::uint32_t, 6>{3, 4, 1, 2, 0, 5}));
  EXPECT_NE(store.Read()->find(c.storeHolds), std::string::npos);
}

const std::string kHigh = "{8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c}";
const std::string kRanUnguarded = "ran unguarded 0x800704C7\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, WineGuardedCommandTest,
    ::testing::Values(
        GuardedCase{"output redirected to a file", "", "cmd /c echo printed", kRunBlocked,
                    "printed\r\n", ""},
        GuardedCase{"a switch of the active scheme", "scheme " + kHigh +
                        "\npower-button 2 2\nlid-close 2 2\nsleep-button 2 2\n",
                    "{check} switch " + kHigh,
                    kRunBlocked.substr(0, kRunBlocked.find("restored")) + "followed " + kHigh +
                        " 2, 2, 2, 2, 2, 2 00222222\r\nrestored " + kHigh +
                        " 2, 2, 2, 2, 2, 2\r\nrestored {381b4222-f694-41f0-9685-ff5bb260df2e}"
                        " 3, 4, 1, 2, 0, 5\r\n",
                    "", "active " + kHigh},
        GuardedCase{"a switch while the tree starts process after process",
                    "scheme " + kHigh + "\npower-button 2 2\nlid-close 2 2\nsleep-button 2 2\n",
                    "--tree {check} churn " + kHigh,
                    kRunBlocked.substr(0, kRunBlocked.find("restored")) + "followed " + kHigh +
                        " 2, 2, 2, 2, 2, 2 00222222\r\nrestored " + kHigh +
                        " 2, 2, 2, 2, 2, 2\r\nrestored {381b4222-f694-41f0-9685-ff5bb260df2e}"
                        " 3, 4, 1, 2, 0, 5\r\n",
                    "", "active " + kHigh},
        GuardedCase{"a session end while the command runs", "", "{check} end-session",
                    kRunBlocked, "", ""},
        GuardedCase{"the Restart Manager closing buttonguard while the command runs", "",
                    "{check} close-app", kRunBlocked + kRanUnguarded, "", "", Hresult(1223)},
        GuardedCase{"a session end someone refused changes nothing", "", "{check} cancelled-end",
                    kRunBlocked, "", ""},
        // Held, the end is refused and the command guarded to its end; the Restart Manager's
        // close is never held.
        GuardedCase{"a session end held while the command runs", "",
                    "--hold-shutdown {check} held-end",
                    kRunBlocked.substr(0, kRunBlocked.find("restored")) + "session end held\r\n" +
                        kRunBlocked.substr(kRunBlocked.find("restored")),
                    "", ""},
        GuardedCase{"the Restart Manager's close is not held", "", "--hold-shutdown {check} close-app",
                    kRunBlocked + kRanUnguarded, "", "", Hresult(1223)}),
    [](const auto& info) { return TestName(info.param.name); });


// What run's records say in the prefix's registry (64-bit view, where both builds keep them).
std::string RecordKeyListing() {
  return RunProcess(kWine, {kWine, "reg", "query", R"(HKLM\SOFTWARE\buttonguard)", "/reg:64"},
                    {.extraEnvironment = PrefixEnvironment()})
      .output;
}

// run --tree waits for what its command started, in a job: a program that hands off and
// exits, a batch file that starts one, and one whose child ends first. Each child writes
// whether the scheme was still blocked when it looked; without --tree the hand-off finds it
// put back. The status is always the command's own.
TEST_F(WineTest, RunTreeKeepsTheButtonsBlockedUntilTheLastProcessOfTheJobEnds) {
  const std::string check = Quote(WindowsPath(CheckProgram()));
  struct TreeCase {
    const char* options;
    std::string command;  // "batch": a batch file that starts the hand-off's child
    const char* seen;
  };
  const TreeCase cases[] = {{"", check + " hand-off 1500 0", "unblocked"},
                            {"--tree ", check + " hand-off 1500 0", "blocked"},
                            {"--tree ", "batch", "blocked"},
                            {"--tree ", check + " hand-off 0 1000", "blocked"}};
  for (const TreeCase& c : cases) {
    TemporaryStore store;
    store.Write(StoreText({3, 4, 1, 2, 0, 5}));
    const fs::path batch = fs::path(store.folder()) / "hand-off.cmd";
    std::ofstream(batch) << "@start \"\" /b " << check << " look 1500\r\n@exit /b 3\r\n";
    const std::string command = c.command == "batch" ? Quote(WindowsPath(batch)) : c.command;

    const WineRun run = RunUnderWine(Executable(), std::string("run ") + c.options + command, store);
    const fs::path seen = store.path() + ".seen";
    WaitUntil([&] { return fs::exists(seen); });

    ASSERT_TRUE(run.launched) << run.errors;
    EXPECT_EQ(run.exitStatus, 3) << c.options << c.command;
    EXPECT_EQ(fs::exists(seen) ? ReadFile(seen) : "", c.seen) << c.options << c.command;
    EXPECT_EQ(StoreValues(*store.Read()), (std::array<std::uint32_t, 6>{3, 4, 1, 2, 0, 5}));
  }
}

// TerminateProcess gives buttonguard no say at all; the record it wrote before its first zero
// is all that is left, and recover puts the scheme back from it. The command, which waits
// until the scheme is no longer blocked, then ends by itself.
TEST_F(WineTest, RecoverPutsBackWhatARunEndedByTaskkillLeft) {
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const fs::path check = CheckProgram();
  const pid_t launcher = StartProcess(
      kWine, {kWine, Launcher().string()},
      LauncherOptions(Executable(), "run " + Quote(WindowsPath(check)) + " wait", store,
                      fs::path(store.folder()) / "killed-exit-status"));
  const std::string scheme = "-{381b4222-f694-41f0-9685-ff5bb260df2e}";
  const std::array<std::uint32_t, 6> zeros{};
  std::string listing;
  // The record comes before the first zero: killed before the sixth, recover would rightly
  // keep the values not yet zeroed ("partly restored"), which is not what this test is about.
  for (int i = 0; i < 60 && (listing.find(scheme) == std::string::npos ||
                             StoreValues(store.Read().value_or("")) != zeros);
       ++i) {
    listing = RecordKeyListing();
  }
  // "    PID-START-{scheme}    REG_SZ    ..."
  const std::size_t name = listing.find_first_not_of(' ', listing.find("\n    ") + 1);
  ASSERT_NE(listing.find(scheme), std::string::npos) << listing;
  const std::string processId = listing.substr(name, listing.find('-', name) - name);
  RunProcess(kWine, {kWine, "taskkill", "/F", "/PID", processId},
             {.extraEnvironment = PrefixEnvironment()});
  WaitProcess(launcher);
  EXPECT_EQ(StoreValues(*store.Read()), zeros);

  const WineRun run = RunUnderWine(Executable(), "recover", store);

  ASSERT_TRUE(run.launched) << run.errors;
  EXPECT_EQ(run.output, "recover\r\nrestored {381b4222-f694-41f0-9685-ff5bb260df2e} 3, 4, 1, 2, 0, 5\r\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(StoreValues(*store.Read()), (std::array<std::uint32_t, 6>{3, 4, 1, 2, 0, 5}));
  EXPECT_EQ(RecordKeyListing().find(scheme), std::string::npos);
}

// Wine's advapi32 keeps no Application log, but its ReportEventW traces each string of an
// entry on the "eventlog" channel at the entry's level: what shows that the entries, their
// text and their type reach the platform's own function.
TEST_F(WineTest, WritesEntriesThroughThePlatformsApplicationLog) {
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const std::vector<std::string> traced = {"WINEDEBUG=-all,+eventlog"};
  const WineRun block = RunUnderWine(Executable(), "block", store, "", traced);
  store.Write(StoreText({0, 0, 0, 0, 0, 0}, {"fail write 1 5"}));
  const WineRun restore = RunUnderWine(Executable(), "restore 00341205", store, "", traced);
  // A program path with %%1 in it, which Event Viewer would read as another message.
  const fs::path folder = fs::path(store.folder()) / "a%%1";
  fs::create_directory(folder);
  fs::copy_file(CheckProgram(), folder / "check.exe");
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const WineRun run =
      RunUnderWine(Executable(), "run " + Quote(WindowsPath(folder / "check.exe")) + " args", store, "", traced);

  const auto hasTrace = [](const WineRun& run, const std::string& level, const std::string& text) {
    return run.errorsAsWritten.find(level + ":eventlog:ReportEventW L\"" + text + "\"\n") !=
           std::string::npos;
  };
  const std::string blocked = "blocked {381b4222-f694-41f0-9685-ff5bb260df2e} 3, 4, 1, 2, 0, 5";
  EXPECT_TRUE(hasTrace(block, "trace", blocked)) << block.errorsAsWritten;
  EXPECT_TRUE(hasTrace(block, "trace", "buttonguard block"));
  EXPECT_TRUE(hasTrace(restore, "err", "restore failed 0x80070005")) << restore.errorsAsWritten;
  // Shown as typed: a word joiner keeps the two % apart.
  EXPECT_NE(run.errorsAsWritten.find("\\\\a%\\2060%1\\\\check.exe\""), std::string::npos)
      << run.errorsAsWritten;
}

// A process id that Windows gave again to another program (here, the one that plants the
// record) is no live run: its start time differs, and the scheme is put back.
TEST_F(WineTest, RecoverTakesARecordOfAProcessIdUsedAgainForADeadRun) {
  TemporaryStore store;
  store.Write(StoreText({0, 0, 0, 0, 0, 0}));
  const fs::path check = CheckProgram();
  const WineRun run = RunUnderWine(check, "reused-process-id", store);
  RunReg({"delete", R"(HKLM\SOFTWARE\buttonguard)", "/f", "/reg:64"});
  EXPECT_EQ(run.output,
            "recover\r\nrestored {381b4222-f694-41f0-9685-ff5bb260df2e} 3, 4, 1, 2, 0, 5\r\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(StoreValues(*store.Read()), (std::array<std::uint32_t, 6>{3, 4, 1, 2, 0, 5}));
}

// A process of the check program that writes its id to STORE.held once ready, started on
// its own; ended with taskkill when the test is done with it.
class CheckProcess {
 public:
  CheckProcess(const std::string& mode, const TemporaryStore& store) : held_(store.path() + ".held") {
    const fs::path check = CheckProgram();
    launcher_ = StartProcess(kWine, {kWine, Launcher().string()},
                             LauncherOptions(check, mode, store, fs::path(store.folder()) / "check-status"));
    WaitUntil([&] { return !ReadFile(held_).empty(); });
  }
  ~CheckProcess() { End(); }
  CheckProcess(const CheckProcess&) = delete;
  CheckProcess& operator=(const CheckProcess&) = delete;

  bool Ready() const { return !ReadFile(held_).empty(); }
  void End() {
    if (launcher_ == 0) return;
    RunProcess(kWine, {kWine, "taskkill", "/F", "/PID", ReadFile(held_)},
               {.extraEnvironment = PrefixEnvironment()});
    WaitProcess(launcher_);
    launcher_ = 0;
    fs::remove(held_);  // so that the next holder's id is its own
  }

 private:
  fs::path held_;
  pid_t launcher_ = 0;
};

// Two runs side by side, the first ending while the second's command runs: the scheme stays
// blocked until the second ends, which puts back the values from before the first.
TEST_F(WineTest, RunsSideBySideKeepTheSchemeBlockedUntilTheLastEnds) {
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const std::string check = Quote(WindowsPath(CheckProgram()));
  const fs::path mark = fs::path(store.folder()) / "second-runs";
  const fs::path firstStatus = fs::path(store.folder()) / "first-exit-status";
  int firstReport = -1;
  const pid_t first = StartProcessWithPipe(
      kWine, {kWine, Launcher().string()},
      LauncherOptions(Executable(), "run " + check + " await " + Quote(WindowsPath(mark)), store,
                      firstStatus),
      STDERR_FILENO, firstReport);
  WaitUntil([&] { return StoreValues(store.Read().value_or("")) == std::array<std::uint32_t, 6>{}; });

  const WineRun second = RunUnderWine(
      Executable(),
      "run " + check + " release " + Quote(WindowsPath(mark)) + " " + Quote(WindowsPath(firstStatus)),
      store);
  WaitProcess(first);
  const std::string firstErrors = WithoutWineAwakeLine(ReadToEnd(firstReport));

  ASSERT_TRUE(second.launched) << second.errors;
  EXPECT_EQ(ReadFile(store.path() + ".seen"), "blocked");
  EXPECT_EQ(firstErrors.substr(0, firstErrors.rfind(' ')), kRunBlocked.substr(0, kRunBlocked.find("restored")) + "left to run");
  EXPECT_NE(second.errors.find("00341205\r\nshared with run "), std::string::npos) << second.errors;
  EXPECT_TRUE(second.errors.ends_with("\r\nrestored 3, 4, 1, 2, 0, 5\r\n")) << second.errors;
  EXPECT_EQ(second.exitStatus, 0);
  EXPECT_EQ(StoreValues(*store.Read()), (std::array<std::uint32_t, 6>{3, 4, 1, 2, 0, 5}));
  EXPECT_EQ(RecordKeyListing().find("-{"), std::string::npos);
}

// The lock all buttonguard processes share: held by another process for longer than a run
// waits, the run gives up and touches nothing; its holder ended outright, the platform lets
// go of it and the next run goes ahead.
TEST_F(WineTest, TheRunsLockIsWaitedForAndLetGoWhenItsHolderDies) {
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  CheckProcess holder("hold-lock", store);
  ASSERT_TRUE(holder.Ready());

  const WineRun waited = RunUnderWine(Executable(), "run cmd /c exit 0", store);
  holder.End();
  const WineRun after = RunUnderWine(Executable(), "run cmd /c exit 0", store);

  EXPECT_EQ(waited.errors, "run\r\nlock failed 0x800705B4\r\n");
  EXPECT_EQ(waited.exitStatus, Hresult(1460));
  EXPECT_EQ(after.errors, kRunBlocked);
  EXPECT_EQ(after.exitStatus, 0);
  EXPECT_EQ(StoreValues(*store.Read()), (std::array<std::uint32_t, 6>{3, 4, 1, 2, 0, 5}));
}

// The lock's mutex made first by someone else, who could then hold it or let others: run,
// recover and show refuse it by name, and run and recover write nothing; gone, the next run
// makes it anew. One that only Administrators may hold is refused too, since the boot
// service (SYSTEM) would refuse it while runs went on. Wine keeps a kernel object's owner and
// access list as they were given.
TEST_F(WineTest, ALockSomeoneElseMadeIsRefusedByEveryRun) {
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const std::string refused = "lock refused Global\\buttonguard.runs 0x80070005\r\n";
  for (const char* descriptor : {"O:WDD:(A;;GA;;;WD)", "O:BAD:(A;;GA;;;BA)(A;;GA;;;SY)(A;;GA;;;WD)",
                                 "O:BAD:(A;;GA;;;BA)"}) {
    SCOPED_TRACE(descriptor);
    CheckProcess squatter(std::string("squat-lock ") + descriptor, store);
    ASSERT_TRUE(squatter.Ready());
    const WineRun run = RunUnderWine(Executable(), "run cmd /c exit 0", store);
    const WineRun recover = RunUnderWine(Executable(), "recover", store);
    const WineRun show = RunUnderWine(Executable(), "show", store);
    squatter.End();

    EXPECT_EQ(run.errors, "run\r\n" + refused);
    EXPECT_EQ(run.exitStatus, Hresult(5));
    EXPECT_EQ(recover.output, "recover\r\n" + refused);
    EXPECT_EQ(show.errors, refused);
    EXPECT_EQ(StoreValues(*store.Read()), (std::array<std::uint32_t, 6>{3, 4, 1, 2, 0, 5}));
  }
  const WineRun again = RunUnderWine(Executable(), "run cmd /c exit 0", store);
  EXPECT_EQ(again.errors, kRunBlocked);
}

// --report adds to a file on a disk and drops the report at NUL; a pipe (whose server could
// act as buttonguard), a device and a file reached through a link are refused before anything
// is read.
TEST_F(WineTest, RunReportIsAddedToADiskFileAndNeverToAPipe) {
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const fs::path file = fs::path(store.folder()) / "report.txt";
  std::ofstream(file, std::ios::binary) << "earlier\r\n";
  const WineRun added = RunUnderWine(Executable(), "run --report " + Quote(WindowsPath(file)) + " cmd /c exit 0", store);
  const WineRun dropped = RunUnderWine(Executable(), "run --report nul cmd /c exit 0", store);
  const CheckProcess server("pipe buttonguard-report", store);
  ASSERT_TRUE(server.Ready());
  const WineRun piped = RunUnderWine(Executable(), R"(run --report \\.\pipe\buttonguard-report cmd /c exit 0)", store);

  EXPECT_EQ(WithoutWineAwakeLine(ReadFile(file)), "earlier\r\n" + kRunBlocked);
  EXPECT_EQ(added.errors + dropped.errors, "");
  EXPECT_EQ(added.exitStatus + dropped.exitStatus, 0);
  EXPECT_EQ(piped.errors, "run\r\nreport failed 0x800700DE\r\n");
  EXPECT_EQ(piped.exitStatus, Hresult(222));
  // A device and a folder on the way that leads elsewhere (a link, which Wine gives the
  // file's final name through) are refused too, and nothing is made there.
  fs::create_directory(fs::path(store.folder()) / "elsewhere");
  fs::create_directory_symlink(fs::path(store.folder()) / "elsewhere",
                               fs::path(store.folder()) / "linked");
  const fs::path linked = fs::path(store.folder()) / "linked" / "report.txt";
  for (const std::string& report : {std::string(R"(\\.\C:)"), WindowsPath(linked)}) {
    const WineRun refused = RunUnderWine(Executable(), "run --report " + Quote(report) + " cmd /c exit 0", store);
    EXPECT_EQ(refused.errors, "run\r\nreport failed 0x800700DE\r\n") << report;
  }
  EXPECT_FALSE(fs::exists(fs::path(store.folder()) / "elsewhere" / "report.txt"));
  EXPECT_EQ(StoreValues(*store.Read()), (std::array<std::uint32_t, 6>{3, 4, 1, 2, 0, 5}));
}

// A dead run's record whose put-back fails keeps the scheme's zeros: a run must neither save
// them as the user's values nor start its command over them.
TEST_F(WineTest, NoRunOnASchemeWhoseRecoveryFailed) {
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  // A run makes the record key as buttonguard makes it; the record is then planted in it.
  ASSERT_EQ(RunUnderWine(Executable(), "run cmd /c exit 0", store).exitStatus, 0);
  const std::string scheme = "{381b4222-f694-41f0-9685-ff5bb260df2e}";
  RunReg({"add", R"(HKLM\SOFTWARE\buttonguard)", "/v", "99999-1-" + scheme, "/d",
          scheme + " 99999 1 3 4 1 2 0 5", "/reg:64"});
  store.Write(StoreText({0, 0, 0, 0, 0, 0}, {"fail write 1 5"}));

  const WineRun run = RunUnderWine(Executable(), "run cmd /c exit 0", store);
  const std::string records = RecordKeyListing();
  RunReg({"delete", R"(HKLM\SOFTWARE\buttonguard)", "/f", "/reg:64"});

  EXPECT_EQ(run.errors, "run\r\nrestore failed " + scheme + " 0x80070005 99999-1-" + scheme +
                            "\r\nnot recovered " + scheme + " 0x80070005\r\n");
  EXPECT_EQ(run.exitStatus, Hresult(5));
  EXPECT_EQ(StoreValues(*store.Read()), (std::array<std::uint32_t, 6>{}));
  EXPECT_NE(records.find("99999-1-" + scheme), std::string::npos) << records;
}

// A record key that others may change could hold records planted for an elevated tool to act
// on: recover refuses it and reads nothing, and run blocks nothing. Each case is the key's
// owner and access list, as SDDL.
class WineRecordKeyTest : public WineTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(WineRecordKeyTest, ARecordKeyOthersMayChangeIsRefused) {
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  const fs::path check = CheckProgram();
  ASSERT_EQ(RunUnderWine(check, std::string("open-record-key ") + GetParam(), store).exitStatus, 0);

  const WineRun recover = RunUnderWine(Executable(), "recover", store);
  const WineRun run = RunUnderWine(Executable(), "run cmd /c exit 0", store);
  RunReg({"delete", R"(HKLM\SOFTWARE\buttonguard)", "/f", "/reg:64"});

  EXPECT_EQ(recover.output, "recover\r\nrecords failed 0x80070005\r\n");
  EXPECT_EQ(recover.exitStatus, Hresult(5));
  EXPECT_EQ(run.errors, "run\r\nrecords failed 0x80070005\r\nnot recovered "
                        "{381b4222-f694-41f0-9685-ff5bb260df2e} 0x80070005\r\n");
  EXPECT_EQ(run.exitStatus, Hresult(5));
  EXPECT_EQ(StoreValues(*store.Read()), (std::array<std::uint32_t, 6>{3, 4, 1, 2, 0, 5}));
}

const char* const kRecordKeyCaseNames[] = {"Users_may_do_anything", "Users_may_set_values",
                                           "an_entry_for_subkeys_too", "Users_own_it"};

INSTANTIATE_TEST_SUITE_P(
    Keys, WineRecordKeyTest,
    ::testing::Values("D:P(A;;KA;;;BA)(A;;KA;;;SY)(A;;KA;;;BU)",  // Users may do anything
                      "D:P(A;;KA;;;BA)(A;;KA;;;SY)(A;;0x2;;;BU)",  // Users may set values
                      "D:P(A;;KA;;;BA)(A;;KA;;;SY)(A;CI;KA;;;BU)",  // and so may its subkeys'
                      "O:BUD:P(A;;KA;;;BA)(A;;KA;;;SY)"),  // Users own it
    [](const auto& info) { return std::string(kRecordKeyCaseNames[info.index]); });

}  // namespace

// Run's records: their text, and that a record is on the disk before run's first zero.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "block_attempt.h"
#include "recording_power_library.h"
#include "run_records.h"
#include "store_file.h"

namespace fs = std::filesystem;

namespace {

std::string CaseName(const char* text) {
  std::string name = text;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

const std::string kScheme = "{381b4222-f694-41f0-9685-ff5bb260df2e}";

struct TextCase {
  const char* name;
  std::string text;
  bool parses;
};

void PrintTo(const TextCase& c, std::ostream* out) { *out << c.name; }

class RecordTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(RecordTextTest, ParsesExactlyTheFormItWritesAndGivesItsNameBack) {
  const TextCase& c = GetParam();
  RunRecord record;
  ASSERT_EQ(ParseRecordText(c.text, record), c.parses);
  if (!c.parses) return;
  const RecordText written = FormatRecordText(record);
  EXPECT_EQ(std::string(written.text, written.size), c.text);
  EXPECT_EQ(
      std::string(FormatRecordName(record).text),
      std::to_string(record.processId) + "-" + std::to_string(record.processStart) + "-" + kScheme);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RecordTextTest,
    ::testing::Values(
        TextCase{"a record", kScheme + " 4242 733573 3 4 1 2 0 5", true},
        TextCase{"the largest ids and times",
                 kScheme + " 4294967295 18446744073709551615 15 15 15 15 15 15", true},
        TextCase{"a process id beyond 32 bits", kScheme + " 4294967296 1 1 1 1 1 1 1", false},
        TextCase{"a start time beyond 64 bits", kScheme + " 1 18446744073709551616 1 1 1 1 1 1",
                 false},
        TextCase{"a value the code cannot carry", kScheme + " 1 1 16 1 1 1 1 1", false},
        TextCase{"five values", kScheme + " 1 1 1 1 1 1 1", false},
        TextCase{"seven values", kScheme + " 1 1 1 1 1 1 1 1 1", false},
        TextCase{"a trailing space", kScheme + " 1 1 1 1 1 1 1 1 ", false},
        TextCase{"two spaces", kScheme + "  1 1 1 1 1 1 1 1", false},
        TextCase{"a leading zero", kScheme + " 01 1 1 1 1 1 1 1", false},
        TextCase{"a sign", kScheme + " 1 1 -1 1 1 1 1 1", false},
        TextCase{"an upper-case scheme", "{381B4222-F694-41F0-9685-FF5BB260DF2E} 1 1 1 1 1 1 1 1",
                 false},
        TextCase{"a scheme without braces", "381b4222-f694-41f0-9685-ff5bb260df2e 1 1 1 1 1 1 1 1",
                 false}),
    [](const auto& info) { return CaseName(info.param.name); });

// What run's block leaves for a test to look at, in a folder of the test's own: the store
// path, which only says where the records folder is.
std::string recordsFolder;

void NoteTheRecords() {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(recordsFolder, error)) {
    std::ifstream file(entry.path());
    std::stringstream text;
    text << file.rdbuf();
    recording_power::Note("record " + text.str());
  }
}

struct OrderCase {
  const char* name;
  bool folderIsALink;
  std::vector<std::string> notedBeforeTheFirstZero;  // the ends of the lines noted
  std::uint32_t recordStatus;
};

void PrintTo(const OrderCase& c, std::ostream* out) { *out << c.name; }

class RecordOrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(RecordOrderTest, TheRecordIsWrittenBeforeTheFirstZeroOrNothingIsWritten) {
  const OrderCase& c = GetParam();
  const fs::path folder =
      fs::temp_directory_path() / ("buttonguard-order-" + std::to_string(getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder / "elsewhere");
  recordsFolder = (folder / "store.records").string();
  if (c.folderIsALink) fs::create_directory_symlink(folder / "elsewhere", recordsFolder);
  recording_power::Scenario scenario;
  scenario.values = {3, 4, 1, 2, 0, 5};
  scenario.beforeEachWrite = NoteTheRecords;
  recording_power::Reset(scenario);
  std::FILE* report = std::tmpfile();

  SchemeIdentifier scheme;
  const BlockAttempt attempt = AttemptBlock({report}, &scheme);

  std::vector<std::string> noted;
  bool zeroSeen = false;
  for (const std::string& call : recording_power::Calls()) {
    zeroSeen = zeroSeen || call.rfind("PowerWrite", 0) == 0;
    if (!zeroSeen && call.rfind("record ", 0) == 0) noted.push_back(call.substr(call.size() - 12));
  }
  EXPECT_EQ(noted, c.notedBeforeTheFirstZero);
  EXPECT_EQ(zeroSeen, c.recordStatus == 0);
  EXPECT_EQ(attempt.recordStatus, c.recordStatus);
  EXPECT_TRUE(fs::is_empty(folder / "elsewhere"));
  std::fclose(report);
  fs::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordOrderTest,
    ::testing::Values(OrderCase{"a record on the disk first", false, {"3 4 1 2 0 5\n"}, 0},
                      OrderCase{
                          "a folder that is a link: no zero", true, {}, kRecordsRefusedStatus}),
    [](const auto& info) { return CaseName(info.param.name); });

// The lock is taken around every step of every run, every second while a command runs: it
// must cost no descriptor each time.
TEST(RunsLock, KeepsOneFolderOpenHoweverOftenItIsTaken) {
  const fs::path folder = fs::temp_directory_path() / ("buttonguard-lock-" + std::to_string(getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  recordsFolder = (folder / "store.records").string();
  const auto openDescriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  };
  ASSERT_EQ(LockRuns(), 0U);
  UnlockRuns();
  const auto before = openDescriptors();
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(LockRuns(), 0U);
    UnlockRuns();
  }
  EXPECT_EQ(openDescriptors(), before);
  fs::remove_all(folder);
}

// What the platform says of a record's process decides whether it is that run. A refusal
// to open it is another account's process that took the id, never the run: taking it for
// alive would keep the buttons blocked for good.
TEST(IsThatRun, OnlyAProcessOpenedWithTheSameStartThatStillRunsIsTheRun) {
  RunRecord record;
  record.processId = 4242;
  record.processStart = 733573;
  constexpr std::uint32_t kAccessDenied = 5;
  constexpr std::uint32_t kNoSuchProcess = 87;  // ERROR_INVALID_PARAMETER
  EXPECT_TRUE(IsThatRun(record, 0, 733573, true));
  EXPECT_FALSE(IsThatRun(record, kAccessDenied, 0, false));
  EXPECT_FALSE(IsThatRun(record, kNoSuchProcess, 0, false));
  EXPECT_FALSE(IsThatRun(record, 0, 733574, true));
  EXPECT_FALSE(IsThatRun(record, 0, 733573, false));
}

}  // namespace

// The records folder is found beside the store; here, beside a store of the test's own.
DWORD LocateStoreFile(std::string& path) {
  path = recordsFolder.substr(0, recordsFolder.size() - std::string(".records").size());
  return 0;
}

// No store here to hold a crash line.
void CountCallForCrash() {}

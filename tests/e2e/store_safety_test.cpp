// The store and the built tool under conditions a script can create: several runs at once, a
// run killed at any moment, a reader that goes away, and store files that are not stores.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "command_cases.h"
#include "process_runner.h"
#include "temporary_store.h"

namespace {

namespace fs = std::filesystem;
using Values = std::array<std::uint32_t, 6>;

const std::string kTool = BUTTONGUARD_EXECUTABLE;

ProcessOptions StoreAt(const TemporaryStore& store) {
  return {.extraEnvironment = {"BUTTONGUARD_STORE=" + store.path()}};
}

TEST(StoreConcurrency, ProcessesWritingTheirOwnValuesAtOnceNeverLoseAWrite) {
  TemporaryStore store;
  store.Write(StoreText({0, 0, 0, 0, 0, 0}));
  constexpr int kWrites = 150;
  std::vector<pid_t> hammers;
  for (int position = 0; position < 6; ++position) {
    hammers.push_back(StartProcess(STORE_HAMMER,
                                   {"store_hammer", std::to_string(position),
                                    std::to_string(kWrites)},
                                   StoreAt(store)));
  }
  for (pid_t hammer : hammers) EXPECT_EQ(WaitProcess(hammer), 0);
  EXPECT_EQ(StoreValues(store.Read().value_or("")),
            (Values{kWrites, kWrites, kWrites, kWrites, kWrites, kWrites}));
}

TEST(StoreConcurrency, ManyBlocksAndRestoresAtOnceLeaveAStoreOfValuesTheyWrote) {
  TemporaryStore store;
  store.Write(StoreText({1, 1, 1, 1, 1, 1}));
  constexpr int kProcesses = 8;
  constexpr int kRuns = 200;
  // Process i restores the code whose six digits are all i + 1; blocks write zeros.
  std::vector<std::thread> runners;
  std::vector<int> failures(kProcesses, 0);
  for (int i = 0; i < kProcesses; ++i) {
    runners.emplace_back([&, i] {
      const std::string code = "00" + std::string(6, static_cast<char>('1' + i));
      for (int run = 0; run < kRuns; ++run) {
        const std::vector<std::string> arguments =
            run % 2 == 0 ? std::vector<std::string>{"buttonguard", "block"}
                         : std::vector<std::string>{"buttonguard", "restore", code};
        if (WaitProcess(StartProcess(kTool, arguments, StoreAt(store))) != 0) ++failures[i];
      }
    });
  }
  for (std::thread& runner : runners) runner.join();

  for (int i = 0; i < kProcesses; ++i) EXPECT_EQ(failures[i], 0) << "process " << i;
  const auto values = StoreValues(store.Read().value_or(""));
  ASSERT_TRUE(values.has_value()) << *store.Read();
  for (std::uint32_t value : *values) EXPECT_LE(value, static_cast<std::uint32_t>(kProcesses));
  // Only the store, its lock and its log remain: every run cleaned up its temporary file.
  EXPECT_EQ(std::distance(fs::directory_iterator(store.folder()), fs::directory_iterator()), 3);
}

TEST(StoreKilledRuns, AKillAtAnyMomentLeavesTheOldStoreOrTheNewOneNeverATornOne) {
  TemporaryStore store;
  const Values original = {3, 4, 1, 2, 0, 5};
  const Values restored = {3, 3, 1, 1, 0, 0};
  std::mt19937 random(20261208);
  // Long enough for most kills to land inside a run, short enough that some do not.
  std::uniform_int_distribution<int> delayMicroseconds(0, 3000);
  int killedMidway = 0;
  for (int attempt = 0; attempt < 200; ++attempt) {
    store.Write(StoreText(original));
    const bool blocking = attempt % 2 == 0;
    const pid_t tool = StartProcess(
        kTool,
        blocking ? std::vector<std::string>{"buttonguard", "block"}
                 : std::vector<std::string>{"buttonguard", "restore", "00331100"},
        StoreAt(store));
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
    kill(tool, SIGKILL);
    if (WaitProcess(tool) == -1) ++killedMidway;

    const auto values = StoreValues(store.Read().value_or(""));
    ASSERT_TRUE(values.has_value()) << "attempt " << attempt << ":\n" << *store.Read();
    // Each value is the one before the run or the one the run writes, never anything else.
    for (std::size_t i = 0; i < values->size(); ++i) {
      const std::uint32_t written = blocking ? 0 : restored[i];
      EXPECT_TRUE((*values)[i] == original[i] || (*values)[i] == written)
          << "attempt " << attempt << " value " << i;
    }
  }
  // The test means nothing if every kill came too late.
  EXPECT_GT(killedMidway, 20);
}

TEST(StoreOutput, AReaderThatGoesAwayDoesNotStopTheBlockHalfway) {
  TemporaryStore store;
  store.Write(StoreText({3, 4, 1, 2, 0, 5}));
  ProcessOptions options = StoreAt(store);
  options.outputClosed = true;
  const ProcessRun run = RunProcess(kTool, {"buttonguard", "block"}, options);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(StoreValues(store.Read().value_or("")), (Values{0, 0, 0, 0, 0, 0}));
}

// Store files that are not stores: every one fails the block clearly and stays as it was.
enum class Kind { Text, Directory, SymbolicLink, Unreadable };

struct BadStore {
  const char* name;
  Kind kind;
  std::string text;
};

void PrintTo(const BadStore& c, std::ostream* out) { *out << c.name; }

class BadStoreTest : public ::testing::TestWithParam<BadStore> {};

TEST_P(BadStoreTest, FailsTheBlockAndLeavesTheFileAsItWas) {
  const BadStore& bad = GetParam();
  TemporaryStore store;
  const std::string target = store.folder() + "/elsewhere";
  ProcessOptions options = StoreAt(store);
  switch (bad.kind) {
    case Kind::Text:
      store.Write(bad.text);
      break;
    case Kind::Directory:
      fs::create_directory(store.path());
      break;
    case Kind::SymbolicLink:
      std::ofstream(target) << StoreText({1, 1, 1, 1, 1, 1});
      fs::create_symlink(target, store.path());
      break;
    case Kind::Unreadable:
      // The tool runs as "nobody" here, which cannot start it from a private folder.
      if (geteuid() == 0 && RunProcess("/bin/sh", {"sh", "-c", "test -x \"$0\"", kTool},
                                       {.unprivileged = true})
                                    .exitStatus != 0) {
        GTEST_SKIP() << "the user nobody cannot reach " << kTool
                     << ": build in a folder every user may enter to run this case";
      }
      store.Write(StoreText({1, 1, 1, 1, 1, 1}));
      chmod(store.path().c_str(), 0);
      options.unprivileged = true;
      break;
  }
  const auto before = fs::symlink_status(store.path());
  const std::optional<std::string> textBefore = store.Read();
  const std::optional<std::string> targetBefore = TemporaryStore::ReadPath(target);

  const ProcessRun run = RunProcess(kTool, {"buttonguard", "block"}, options);

  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.output, "block\r\n0\r\n0, 0, 0, 0, 0, 0\r\n00000000\r\n");
  EXPECT_EQ(fs::symlink_status(store.path()).type(), before.type());
  EXPECT_EQ(store.Read(), textBefore);
  EXPECT_EQ(TemporaryStore::ReadPath(target), targetBefore);
}

const std::string kValid = StoreText({1, 1, 1, 1, 1, 1});

INSTANTIATE_TEST_SUITE_P(
    Files, BadStoreTest,
    ::testing::Values(
        BadStore{"empty", Kind::Text, ""},
        BadStore{"truncated", Kind::Text, kValid.substr(0, kValid.size() - 12)},
        BadStore{"binary garbage", Kind::Text, std::string("\x7f" "ELF\0\x01\x02\xff\xfe", 9)},
        BadStore{"a huge value", Kind::Text,
                 StoreText({1, 1, 1, 1, 1, 1}).replace(kValid.find("lid-close 1"), 11,
                                                       "lid-close 99999999999")},
        BadStore{"a setting twice", Kind::Text, kValid + "power-button 2 2\n"},
        BadStore{"an unknown key", Kind::Text, kValid + "hibernate-button 1 1\n"},
        BadStore{"far too large", Kind::Text, kValid + std::string(100000, '#')},
        BadStore{"a directory in its place", Kind::Directory, ""},
        BadStore{"a symbolic link in its place", Kind::SymbolicLink, ""},
        BadStore{"no permission", Kind::Unreadable, ""}),
    [](const auto& info) { return TestName(info.param.name); });

}  // namespace

// What a run of buttonguard costs. First, whole processes: `buttonguard block` and
// `buttonguard restore` on a simulated store against a bare process that does nothing, in
// alternation so that the machine's drift touches all three alike; medians and their ratio.
// Then many runs at once on one scheme: how long until the last has ended, and what the
// slowest added to its command. Last, with Google Benchmark, the in-process cost of
// RunCommand for each command.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "button_policy.h"
#include "run_command.h"
#include "simulated_power.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Starts `arguments` with its output discarded.
pid_t Start(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::perror("posix_spawn");
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  return child;
}

double Microseconds(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double, std::micro>(end - start).count();
}

double RunOnceMicroseconds(const std::vector<std::string>& arguments) {
  const auto start = Clock::now();
  const pid_t child = Start(arguments);
  int status = 0;
  waitpid(child, &status, 0);
  return Microseconds(start, Clock::now());
}

// `count` runs of `run true` started at once: the time until the last has ended, and the
// longest any one took from its start to its end, less what `true` alone takes.
void CompareRunsAtOnce(double bareTrue) {
  const std::string trueProgram = TRUE_PROGRAM;
  std::printf("Runs of buttonguard run true started at once on one scheme:\n");
  for (const int count : {1, 10, 100, 200}) {
    std::vector<std::pair<pid_t, Clock::time_point>> started;
    const auto first = Clock::now();
    for (int i = 0; i < count; ++i) {
      started.emplace_back(Start({BUTTONGUARD_EXECUTABLE, "run", trueProgram}), Clock::now());
    }
    double slowest = 0;
    for (int ended = 0; ended < count; ++ended) {
      int status = 0;
      const pid_t child = waitpid(-1, &status, 0);
      const auto end = Clock::now();
      for (const auto& [pid, start] : started) {
        if (pid == child) slowest = std::max(slowest, Microseconds(start, end));
      }
    }
    const double total = Microseconds(first, Clock::now());
    const double added = slowest - bareTrue;
    std::printf("  %3d at once: all ended in %8.0f us; the slowest added %8.0f us, %6.0f us a run\n",
                count, total, added, added / count);
  }
  std::printf("\n");
}

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

void CompareWholeProcesses(int rounds) {
  std::vector<double> bare;
  std::vector<double> block;
  std::vector<double> restore;
  std::vector<double> bareTrue;
  std::vector<double> runTrue;
  const std::string trueProgram = TRUE_PROGRAM;
  for (int round = 0; round < rounds; ++round) {
    bare.push_back(RunOnceMicroseconds({BARE_PROCESS}));
    block.push_back(RunOnceMicroseconds({BUTTONGUARD_EXECUTABLE, "block"}));
    restore.push_back(RunOnceMicroseconds({BUTTONGUARD_EXECUTABLE, "restore", "00111111"}));
    bareTrue.push_back(RunOnceMicroseconds({trueProgram}));
    runTrue.push_back(RunOnceMicroseconds({BUTTONGUARD_EXECUTABLE, "run", trueProgram}));
  }
  const double bareMedian = Median(bare);
  std::printf("Whole processes, median of %d alternated runs each:\n", rounds);
  std::printf("  %-28s %9.0f us\n", "bare process", bareMedian);
  std::printf("  %-28s %9.0f us  %.2fx the bare process\n", "buttonguard block",
              Median(block), Median(block) / bareMedian);
  std::printf("  %-28s %9.0f us  %.2fx the bare process\n", "buttonguard restore 00111111",
              Median(restore), Median(restore) / bareMedian);
  // What run costs around a command that does nothing, against the two runs a script would
  // otherwise make around it.
  const double added = Median(runTrue) - Median(bareTrue);
  const double blockAndRestore = Median(block) + Median(restore);
  std::printf("  %-28s %9.0f us\n", "true", Median(bareTrue));
  std::printf("  %-28s %9.0f us  adds %.0f us: %.2fx one block plus one restore\n\n",
              "buttonguard run true", Median(runTrue), added, added / blockAndRestore);
  CompareRunsAtOnce(Median(bareTrue));
}

void RunInProcess(benchmark::State& state, std::vector<const char16_t*> arguments) {
  std::FILE* report = std::fopen("/dev/null", "wb");
  for (auto _ : state) {
    savedButtonPolicy = {};
    ResetStoreCallCounts();
    benchmark::DoNotOptimize(
        RunCommand(static_cast<int>(arguments.size()), arguments.data(), report));
  }
  std::fclose(report);
}

void BM_RunCommandBlock(benchmark::State& state) {
  RunInProcess(state, {u"buttonguard", u"block"});
}
BENCHMARK(BM_RunCommandBlock)->Unit(benchmark::kMicrosecond);

void BM_RunCommandRestore(benchmark::State& state) {
  RunInProcess(state, {u"buttonguard", u"restore", u"00111111"});
}
BENCHMARK(BM_RunCommandRestore)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // A store of the benchmark's own, in the system's temporary folder.
  const std::string folder =
      (std::filesystem::temp_directory_path() / "buttonguard-benchmark").string();
  std::filesystem::create_directories(folder);
  setenv("BUTTONGUARD_STORE", (folder + "/power-scheme").c_str(), 1);

  int rounds = 300;
  const char* configured = std::getenv("BUTTONGUARD_BENCHMARK_ROUNDS");
  if (configured != nullptr) rounds = std::max(1, std::atoi(configured));
  CompareWholeProcesses(rounds);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(folder);
  return 0;
}

// RunCommand over arbitrary argument vectors, against the in-memory simulated store with
// fuzzer-chosen values and faults. Beyond finding crashes and undefined behaviour, it checks:
// - a refused command makes no platform call;
// - after a block whose read succeeded on values that fit the code, restoring the printed code
//   through a fault-free store puts back exactly the values read.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "button_policy.h"
#include "run_command.h"
#include "simulated_power.h"
#include "store_file_in_memory.h"
#include "store_format.h"

namespace {

const char* const kCalls[] = {"query", "read", "write", "activate"};
const char* const kSettings[] = {"power-button", "lid-close", "sleep-button"};

std::string FuzzedStore(FuzzedDataProvider& input, std::array<std::uint32_t, 6>& values) {
  PowerStore store = DefaultPowerStore();
  StoredScheme& scheme = store.schemes[0];
  for (std::size_t i = 0; i < values.size(); ++i) {
    // Mostly valid actions, now and then something the code cannot carry.
    values[i] = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::uint32_t>(0, 15)
                                    : input.ConsumeIntegral<std::uint32_t>();
    scheme.values[i / 2][i % 2] = values[i];
  }
  std::string text = FormatPowerStore(store);
  const int faults = input.ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < faults; ++i) {
    const std::string call = kCalls[input.ConsumeIntegralInRange(0, 3)];
    const std::string status = std::to_string(input.ConsumeIntegralInRange<std::uint32_t>(1, 0xFFFFFFFF));
    if ((call == "read" || call == "write") && input.ConsumeBool()) {
      text += "fail " + call + " " + kSettings[input.ConsumeIntegralInRange(0, 2)] +
              (input.ConsumeBool() ? " ac " : " dc ") + status + "\n";
    } else if (call == "read" || call == "write") {
      text += "fail " + call + " " + std::to_string(input.ConsumeIntegralInRange(1, 7)) + " " +
              status + "\n";
    } else {
      text += "fail " + call + " " + status + "\n";
    }
  }
  return text;
}

struct Run {
  CommandResult result;
  std::string report;
};

Run RunFresh(const std::vector<std::u16string>& words) {
  savedButtonPolicy = {};
  ResetStoreCallCounts();
  std::vector<const char16_t*> arguments;
  for (const std::u16string& word : words) arguments.push_back(word.c_str());
  arguments.push_back(nullptr);

  std::FILE* report = std::tmpfile();
  if (report == nullptr) std::abort();
  Run run;
  // The help and usage errors go nowhere: millions of them would bury the fuzzer's own lines.
  static std::FILE* const help = std::fopen("/dev/null", "wb");
  run.result = RunCommand(static_cast<int>(words.size()), arguments.data(), report, help);
  std::rewind(report);
  for (int c; (c = std::fgetc(report)) != EOF;) run.report += static_cast<char>(c);
  std::fclose(report);
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::array<std::uint32_t, 6> values{};
  SetMemoryStore(FuzzedStore(input, values));

  std::vector<std::u16string> words;
  const int count = input.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < count; ++i) {
    std::u16string word;
    switch (input.ConsumeIntegralInRange(0, 4)) {
      case 0:
        word = u"block";
        break;
      case 1:
        word = input.ConsumeBool() ? u"restore" : u"show";
        break;
      case 2: {
        // Something close to a code, so that restore gets past its refusals often.
        const char16_t kCodeUnits[] = u"0123456789abcdefABCDEFgx ";
        const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(6, 10);
        for (std::size_t j = 0; j < length; ++j) {
          word += kCodeUnits[input.ConsumeIntegralInRange<std::size_t>(0, 24)];
        }
        break;
      }
      default: {
        const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, 12);
        for (std::size_t j = 0; j < length; ++j) {
          word += static_cast<char16_t>(input.ConsumeIntegral<std::uint16_t>());
        }
      }
    }
    words.push_back(word);
  }

  // run starts processes and changes signal handling: the end-to-end suites cover it.
  if (words.size() >= 2 && words[1] == u"run") return 0;
  const Run run = RunFresh(words);
  const bool refused = run.result.outcome == CommandOutcome::UsageError;
  if (refused && MemoryStoreAccessCount() != 0) std::abort();
  if (refused != (run.result.exitStatus == -1)) std::abort();

  const bool blocked = words.size() >= 2 && words[1] == u"block";
  const auto storeHolds = [](const std::array<std::uint32_t, 6>& expected) {
    const std::optional<PowerStore> now = ParsePowerStore(MemoryStore().value_or(""));
    if (!now || now->schemes.empty()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if (now->schemes[0].values[i / 2][i % 2] != expected[i]) return false;
    }
    return true;
  };
  // A block that failed changes nothing, unless it says what it could not undo.
  if (blocked && run.result.exitStatus < 0 && run.report.find("not undone") == std::string::npos &&
      MemoryStore() && ParsePowerStore(*MemoryStore()) && !storeHolds(values)) {
    std::abort();
  }
  const bool blockedAll = blocked && run.report.rfind("block\r\n0\r\n1\r\n2\r\n", 0) == 0;
  if (!blockedAll) return 0;

  // The code is the last line; its value is also the exit status.
  const std::string code = run.report.substr(run.report.size() - 10, 8);
  if (std::strtoul(code.c_str(), nullptr, 16) != static_cast<unsigned long>(run.result.exitStatus)) {
    std::abort();
  }
  SetMemoryStore(std::nullopt);
  const Run restored = RunFresh({u"buttonguard", u"restore", std::u16string(code.begin(), code.end())});
  if (restored.result.exitStatus != 0) std::abort();
  if (!storeHolds(values)) std::abort();
  return 0;
}

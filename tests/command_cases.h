#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_command.h"

// Whole command lines with the store they start from and everything they must produce: the
// report bytes, the 32-bit exit status, the outcome a narrow exit status carries, and the
// store afterwards. The same table drives the in-process tests and the tests of the built
// executable, on this host and under Wine.
struct CommandCase {
  const char* name;
  std::vector<std::string> arguments;      // after argument 0, as UTF-8
  std::optional<std::string> storeBefore;  // nullopt: there is no store file yet
  std::string report;
  std::int32_t exitStatus;
  CommandOutcome outcome;
  // The six values in the store afterwards; nullopt: the file is exactly as before (or still
  // absent).
  std::optional<std::array<std::uint32_t, 6>> valuesAfter;
  // What standard error, the help's place, holds: this text somewhere in it, or (nullptr)
  // nothing at all.
  const char* errorsHold = nullptr;
};

// The exit status of a failure with this Win32 status, written out for the tables.
constexpr std::int32_t Hresult(std::uint32_t status) {
  return static_cast<std::int32_t>(0x80070000U | status);
}

// Store text with these values (record order) and extra lines such as fault lines.
std::string StoreText(const std::array<std::uint32_t, 6>& values,
                      const std::vector<std::string>& extraLines = {});

// The six values of a store text, or nullopt if it is not a store.
std::optional<std::array<std::uint32_t, 6>> StoreValues(const std::string& text);

const std::vector<CommandCase>& CommandCases();

// What `run` starts, as each suite spells it on its platform (a shell there, cmd here).
enum class WrappedCommand {
  None,  // run without a command
  ExitsWith0,
  ExitsWith7,
  PrintsALine,  // writes "printed" and a line end to standard output
  NoSuchCommand,
  RestoresOtherValues,  // buttonguard restore 00222222: someone changes the scheme meanwhile
};

// `run` command lines with everything they must produce. The report goes to standard error;
// standard output holds the command's output alone, and nothing when it must not start.
struct RunCase {
  const char* name;
  std::vector<std::string> wordsBefore;  // between "run" and the command: "--", or nothing
  WrappedCommand command;
  std::optional<std::string> storeBefore;
  std::string report;
  bool commandRuns;
  std::int32_t exitStatus;  // as Windows delivers it
  int narrowExitStatus;     // as a host with 8-bit statuses delivers it
  std::optional<std::array<std::uint32_t, 6>> valuesAfter;
};

const std::vector<RunCase>& RunCases();

// The shared cases' store check, for a run case.
::testing::AssertionResult StoreIsAsExpectedAfter(const RunCase& c,
                                                  const std::optional<std::string>& storeAfter);

inline void PrintTo(const RunCase& c, std::ostream* out) { *out << c.name; }

// The store as the case expects it after the run: its values, or the file exactly as before.
::testing::AssertionResult StoreIsAsExpectedAfter(const CommandCase& c,
                                                  const std::optional<std::string>& storeAfter);

// Standard error as the case expects it: holding its text, or empty.
::testing::AssertionResult ErrorsAreAsExpected(const CommandCase& c, const std::string& errors);

// Shows a case by its name in test listings, instead of its bytes.
inline void PrintTo(const CommandCase& c, std::ostream* out) { *out << c.name; }

// For test names: `text` with everything but letters and digits made an underscore.
std::string TestName(const char* text);
inline std::string CaseName(const CommandCase& c) { return TestName(c.name); }
inline std::string CaseName(const RunCase& c) { return TestName(c.name); }

#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// A stand-in for the platform's power and component-object functions that logs every call it
// receives, in a form a test can compare line by line, and fails one chosen call on demand.
// It knows the platform's identifiers from its own table, typed independently of the tool.
namespace recording_power {

enum class CallKind { Query, Read, Write, Activate, Check };

struct Fault {
  CallKind kind = CallKind::Query;
  int ordinal = 0;  // the n-th call of that kind, from 1; reads and writes count AC and DC alike
  std::uint32_t status = 0;
};

struct Scenario {
  // The scheme's values in record order: power button AC, DC, lid AC, DC, sleep AC, DC.
  std::array<std::uint32_t, 6> values = {};
  std::vector<Fault> faults;
  // What a failing read leaves in the caller's variable; unset means it is left alone.
  bool failedReadWritesValue = false;
  std::uint32_t failedReadValue = 0;
  // Values a group policy holds, in record order, and the policy's value in the registry;
  // `heldUnreadable` marks one held whose value the registry does not give.
  std::array<bool, 6> held = {};
  std::array<std::uint32_t, 6> policyValues = {};
  std::array<bool, 6> heldUnreadable = {};
  // Called before each write is logged, so that a test can log what it sees then (Note).
  void (*beforeEachWrite)() = nullptr;
};

void Reset(const Scenario& scenario = {});

// One line per call, e.g. "PowerReadACValueIndex lid-close", "PowerWriteDCValueIndex
// sleep-button 0", "PowerSetActiveScheme", "LocalFree".
const std::vector<std::string>& Calls();

// Adds a line of the test's own to the log.
void Note(const std::string& line);

// The values the scheme holds now, after the writes.
const std::array<std::uint32_t, 6>& SchemeValues();

}  // namespace recording_power

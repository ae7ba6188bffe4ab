#pragma once

#include <cstddef>
#include <cstdint>

#include "button_policy.h"
#include "run_records.h"

// Runs share the machine: two scripts may run buttonguard at once, or a command run under it
// may run it again. While any live run holds a scheme, the scheme stays blocked; the values
// from before the first of them go back when the last one ends. What each run holds is what
// its records say, so every function here is called with the lock all buttonguard processes
// share held (LockRuns).

// Every record, in name order whatever order the platform lists them in. Returns 0, or the
// status of why they could not all be had; then what was loaded may be fewer than there are.
std::uint32_t LoadSortedRecords(HeapList<StoredRecord>& records);

// What the records of other runs say of one scheme.
struct SchemeShare {
  std::uint32_t liveRun = 0;  // the process id of a live run that holds it, or 0
  bool recorded = false;      // another run, live or dead, recorded values for it
  ButtonPolicy before;        // what that record saved: the values from before the first run
  std::uint32_t status = 0;   // the records could not be read: nothing is known
};
SchemeShare LookUpShare(const SchemeIdentifier& scheme);

// The values a run saves for a scheme in which it read `read`: a zero it reads there is
// another run's when that run recorded the scheme, and the value from before stands in for it.
inline ButtonPolicy ValuesBeforeTheFirstRun(const ButtonPolicy& read, const SchemeShare& share) {
  ButtonPolicy saved = read;
  for (auto field : kButtonPolicyFields) {
    if (share.recorded && read.*field == 0) saved.*field = share.before.*field;
  }
  return saved;
}

// Removes the records of dead runs of `scheme` once their values are back.
void ForgetDeadRunsOf(const SchemeIdentifier& scheme);

#pragma once

#include <cstdint>

#include "button_policy.h"
#include "report_writer.h"

// The blocking steps that `block` and `run` share: the marks "0", "1" and "2", the reads,
// the zeros and the activation, then the value line and the code line, whatever happened.
struct BlockAttempt {
  std::uint32_t readStatus = 0;  // the read that failed, or 0
  bool valuesFitCode = true;     // false: a value above 15, so nothing was written
  // ERROR_ACCESS_DISABLED_BY_POLICY: a group policy keeps a value in play, so nothing was
  // written; any other: the policy check itself failed; 0: on to the writes.
  std::uint32_t policyStatus = 0;
  PolicyOverrides overrides;       // what the policy check found
  std::uint32_t recordStatus = 0;  // run's record could not be written, so nothing was
  std::uint32_t blockStatus = 0;   // the write or activation that failed, or 0
  std::uint32_t code = 0;          // the code of the values saved
  // The process id of a live run that holds the scheme too, or 0: the zeros read there were
  // its, and the values saved are the ones from before the first run.
  std::uint32_t sharedWith = 0;

  // All six are 0 and the scheme is active: the code gives back what was there.
  bool Blocked() const { return Written() && blockStatus == 0; }
  // Some zeros may already be in the scheme, so the values read must be written back.
  bool WroteSome() const { return Written() && blockStatus != 0; }
  // The writes were attempted.
  bool Written() const {
    return readStatus == 0 && valuesFitCode && policyStatus == 0 && recordStatus == 0;
  }
  // The status that stopped the attempt: the failed call's, or ERROR_INVALID_DATA for a value
  // the code cannot carry; 0 when it blocked.
  std::uint32_t FailureStatus() const;
};

// 0 when no group policy keeps a button in play; kHeldByPolicyStatus when one does; the
// check's own status when it failed.
std::uint32_t CheckPolicies(PolicyOverrides& overrides);

// Leaves the values read in savedButtonPolicy. Without `scheme`, each power call looks the
// active scheme up afresh, as block always has. With it, the active scheme is looked up once,
// given back there, and read, zeroed and activated by its identifier: a switch in between
// can never zero a scheme that was not read. That is run's block, so the scheme's record is
// written, durably, before its first zero, and a record that cannot be written stops it; and
// where other runs recorded the scheme, a zero read there takes the value from before the
// first of them (the lock all buttonguard processes share held).
BlockAttempt AttemptBlock(ReportTarget report, SchemeIdentifier* scheme = nullptr);

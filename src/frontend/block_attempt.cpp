#include "block_attempt.h"

#include "button_policy.h"
#include "policy_code.h"
#include "report_writer.h"

std::uint32_t BlockAttempt::FailureStatus() const {
  if (readStatus != 0) return readStatus;
  if (!valuesFitCode) return kValuesBeyondCodeStatus;
  return blockStatus;
}

BlockAttempt AttemptBlock(ReportTarget report) {
  BlockAttempt attempt;
  WriteReportLine(report, "0");
  attempt.readStatus = AccessButtonPolicy(PolicyAccessMode::Read);
  if (attempt.readStatus == 0) {
    WriteReportLine(report, "1");
    // A value the code cannot carry could never be given back, so nothing is zeroed.
    attempt.valuesFitCode = PolicyFitsCode(savedButtonPolicy);
    if (attempt.valuesFitCode) {
      attempt.blockStatus = AccessButtonPolicy(PolicyAccessMode::Block);
      if (attempt.blockStatus == 0) WriteReportLine(report, "2");
    }
  }
  WritePolicyValuesLine(report, savedButtonPolicy);
  attempt.code = PackPolicyCode(savedButtonPolicy);
  WritePolicyCodeLine(report, attempt.code);
  return attempt;
}

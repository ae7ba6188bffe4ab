#include "block_attempt.h"

#include "button_policy.h"
#include "policy_code.h"
#include "report_writer.h"
#include "run_records.h"
#include "shared_schemes.h"

std::uint32_t BlockAttempt::FailureStatus() const {
  if (readStatus != 0) return readStatus;
  if (!valuesFitCode) return kValuesBeyondCodeStatus;
  if (policyStatus != 0) return policyStatus;
  if (recordStatus != 0) return recordStatus;
  return blockStatus;
}

std::uint32_t CheckPolicies(PolicyOverrides& overrides) {
  std::uint32_t status = ReadPolicyOverrides(overrides);
  if (status == 0 && overrides.KeepInPlay()) status = kHeldByPolicyStatus;
  return status;
}

namespace {

std::uint32_t ReadOnce(SchemeIdentifier& scheme) {
  if (const std::uint32_t status = QueryActiveScheme(scheme)) return status;
  return AccessSchemeButtonPolicy(PolicyAccessMode::Read, scheme);
}

}  // namespace

BlockAttempt AttemptBlock(ReportTarget report, SchemeIdentifier* scheme) {
  BlockAttempt attempt;
  WriteReportLine(report, "0");
  attempt.readStatus =
      scheme != nullptr ? ReadOnce(*scheme) : AccessButtonPolicy(PolicyAccessMode::Read);
  if (attempt.readStatus == 0) {
    WriteReportLine(report, "1");
    if (scheme != nullptr) {
      // Records that cannot be read might hide another run's zeros: nothing is written.
      const SchemeShare share = LookUpShare(*scheme);
      attempt.recordStatus = share.status;
      attempt.sharedWith = share.liveRun;
      savedButtonPolicy = ValuesBeforeTheFirstRun(savedButtonPolicy, share);
    }
    // A value the code cannot carry could never be given back, so nothing is zeroed.
    attempt.valuesFitCode = PolicyFitsCode(savedButtonPolicy);
    // Zeros under a group policy that keeps a button in play would block nothing.
    if (attempt.valuesFitCode) attempt.policyStatus = CheckPolicies(attempt.overrides);
    // Recovery can undo only the zeros it knows of.
    if (attempt.Written() && scheme != nullptr) {
      attempt.recordStatus = WriteRunRecord(OwnRunRecord(*scheme, savedButtonPolicy));
    }
    if (attempt.Written()) {
      attempt.blockStatus = scheme != nullptr
                                ? AccessSchemeButtonPolicy(PolicyAccessMode::Block, *scheme)
                                : AccessButtonPolicy(PolicyAccessMode::Block);
      if (attempt.blockStatus == 0) WriteReportLine(report, "2");
    }
  }
  // Block's own look-ups leave the scheme in accessedScheme; one unread is no scheme to name.
  const SchemeIdentifier* const named = attempt.readStatus != 0 ? nullptr
                                        : scheme != nullptr     ? scheme
                                                                : &accessedScheme;
  if (attempt.Blocked()) {
    WriteSchemeValuesLine(EventKind::Blocked, "blocked", named, savedButtonPolicy);
  } else {
    WriteSchemeStatusLine(EventKind::Failure, "block failed", named, attempt.FailureStatus());
  }
  WritePolicyValuesLine(report, savedButtonPolicy);
  attempt.code = PackPolicyCode(savedButtonPolicy);
  WritePolicyCodeLine(report, attempt.code);
  if (attempt.Blocked() && attempt.sharedWith != 0) {
    WriteSchemeProcessLine(report, "shared with run", nullptr, attempt.sharedWith);
  }
  return attempt;
}

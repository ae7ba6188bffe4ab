#include "followed_schemes.h"

#include <cstddef>

#include "block_attempt.h"
#include "policy_code.h"
#include "run_records.h"
#include "shared_schemes.h"

namespace {

enum class Outcome {
  Done,         // put back, or never blocked: nothing more to do
  Blocked,      // holds run's zeros; put back at the end
  NotFollowed,  // seen once and refused (a failure, or one too many): not tried again
};

struct FollowedScheme {
  SchemeIdentifier identifier;
  ButtonPolicy saved;
  Outcome outcome = Outcome::Done;
  std::uint32_t sharedWith = 0;  // a live run that held it too when run blocked it
};

// Room for the schemes run blocks and for as many it could not, so that neither is tried, or
// reported, again every second.
constexpr std::size_t kRemembered = 2 * kMostFollowedSchemes;

struct Followed {
  FollowedScheme schemes[kRemembered];
  std::size_t count = 0;
  std::size_t blocked = 0;  // how many were ever blocked
};

Followed followed;

FollowedScheme* Find(const SchemeIdentifier& identifier) {
  for (std::size_t i = 0; i < followed.count; ++i) {
    if (followed.schemes[i].identifier == identifier) return &followed.schemes[i];
  }
  return nullptr;
}

// The scheme is back (or holds no zero of run's): its record has done its job. A removal
// that fails costs the next recovery only a read.
void ForgetRecord(const SchemeIdentifier& scheme, const ButtonPolicy& saved) {
  static_cast<void>(RemoveRunRecord(OwnRunRecord(scheme, saved)));
}

bool IsActive(const SchemeIdentifier& identifier, std::uint32_t& lookUpStatus) {
  SchemeIdentifier active;
  lookUpStatus = QueryActiveScheme(active);
  return lookUpStatus == 0 && active == identifier;
}

// Blocks `scheme`, the active one; returns the status that stopped it, or 0.
std::uint32_t Block(FollowedScheme& scheme) {
  if (const std::uint32_t status =
          AccessSchemeButtonPolicy(PolicyAccessMode::Read, scheme.identifier)) {
    return status;
  }
  const SchemeShare share = LookUpShare(scheme.identifier);
  if (share.status != 0) return share.status;
  scheme.saved = ValuesBeforeTheFirstRun(savedButtonPolicy, share);
  scheme.sharedWith = share.liveRun;
  if (!PolicyFitsCode(scheme.saved)) return kValuesBeyondCodeStatus;
  PolicyOverrides overrides;
  if (const std::uint32_t status = CheckPolicies(overrides)) return status;
  if (const std::uint32_t status = WriteRunRecord(OwnRunRecord(scheme.identifier, scheme.saved))) {
    return status;
  }
  const std::uint32_t status = AccessSchemeButtonPolicy(PolicyAccessMode::Block, scheme.identifier);
  if (status == 0) return 0;
  // Some of the six may be zeros now, and they are run's own, written back at once; unless
  // another run holds the scheme, whose zeros they were already.
  savedButtonPolicy = scheme.saved;
  if (scheme.sharedWith == 0 &&
      AccessSchemeButtonPolicy(PolicyAccessMode::Restore, scheme.identifier) != 0) {
    scheme.outcome = Outcome::Blocked;  // the end tries again
  } else {
    ForgetRecord(scheme.identifier, scheme.saved);
  }
  return status;
}

}  // namespace

std::uint32_t PutBackValueByValue(const SchemeIdentifier& scheme, const ButtonPolicy& saved,
                                  ReportTarget report, bool nameTheScheme,
                                  std::string_view record) {
  ButtonPolicy merged = saved;
  int kept = 0;
  const std::uint32_t checkStatus = AccessSchemeButtonPolicy(PolicyAccessMode::Read, scheme);
  if (checkStatus == 0) {
    int stillZero = 0;
    for (auto field : kButtonPolicyFields) {
      const std::uint32_t now = savedButtonPolicy.*field;
      if (now == 0) {
        ++stillZero;
        continue;
      }
      merged.*field = now;
      // A value already back (a put-back that failed part-way wrote it) is no one's change.
      if (now != saved.*field) ++kept;
    }
    if (stillZero == 0 && kept > 0) {
      WriteLoggedValuesLine(report, EventKind::PutBack, "left as changed", scheme, nameTheScheme,
                            merged);
      return 0;
    }
  } else {
    // An unreadable scheme is no sign of a newer choice, and the saved values are the user's.
    WriteLoggedStatusLine(report, EventKind::Warning, "check failed", scheme, nameTheScheme,
                          checkStatus);
  }
  // Activating a scheme that is not the active one would undo a person's switch; where the
  // active one cannot be looked up, the scheme is activated, as it always was.
  std::uint32_t lookUpStatus = 0;
  const bool activate = IsActive(scheme, lookUpStatus) || lookUpStatus != 0;
  savedButtonPolicy = merged;
  const std::uint32_t status =
      AccessSchemeButtonPolicy(PolicyAccessMode::Restore, scheme, activate);
  if (status != 0) {
    WriteLoggedStatusLine(report, EventKind::Failure, "restore failed", scheme, nameTheScheme,
                          status, record);
  } else {
    WriteLoggedValuesLine(report, EventKind::PutBack, kept == 0 ? "restored" : "partly restored",
                          scheme, nameTheScheme, merged);
  }
  return status;
}

void StartFollowing(const SchemeIdentifier& first, const ButtonPolicy& saved) {
  followed.schemes[0] = {first, saved, Outcome::Blocked, 0};
  followed.count = 1;
  followed.blocked = 1;
}

bool ActiveSchemeIsKnown() {
  SchemeIdentifier active;
  return QueryActiveScheme(active) != 0 || Find(active) != nullptr;
}

void FollowActiveScheme(ReportTarget report) {
  SchemeIdentifier active;
  // A failed look-up is tried again a second later; it changes nothing meanwhile.
  if (QueryActiveScheme(active) != 0 || Find(active) != nullptr) return;
  if (followed.count == kRemembered) return;
  FollowedScheme& scheme = followed.schemes[followed.count++];
  scheme = {active, ButtonPolicy{}, Outcome::NotFollowed, 0};
  if (followed.blocked == kMostFollowedSchemes) {
    WriteSchemeLine(report, "not followed", active);
    return;
  }
  if (const std::uint32_t status = Block(scheme)) {
    WriteLoggedStatusLine(report, EventKind::Failure, "follow failed", active, true, status);
    return;
  }
  scheme.outcome = Outcome::Blocked;
  ++followed.blocked;
  WriteSchemeValuesLine(report, "followed", &active, scheme.saved, /*withCode=*/true);
  if (scheme.sharedWith != 0) {
    WriteSchemeProcessLine(report, "shared with run", &active, scheme.sharedWith);
  }
  WriteSchemeValuesLine(EventKind::Blocked, "blocked", &active, scheme.saved);
}

std::uint32_t PutFollowedSchemesBack(ReportTarget report) {
  // With one scheme, the report is the one run has always written.
  const bool nameTheSchemes = followed.count > 1;
  std::uint32_t firstFailure = 0;
  for (std::size_t i = followed.count; i-- > 0;) {
    FollowedScheme& scheme = followed.schemes[i];
    if (scheme.outcome != Outcome::Blocked) continue;
    scheme.outcome = Outcome::Done;
    const SchemeIdentifier* const named = nameTheSchemes ? &scheme.identifier : nullptr;
    // Whether another run still holds it, its records say; unread, they might hide one whose
    // command a put-back would leave unguarded, so nothing is written and the record stays.
    const SchemeShare share = LookUpShare(scheme.identifier);
    std::uint32_t status = share.status;
    if (status != 0) {
      WriteSchemeStatusLine(report, "records failed", named, status);
      WriteSchemeStatusLine(EventKind::Failure, "records failed", &scheme.identifier, status);
    } else if (share.liveRun != 0) {
      // The last of the runs puts back what was there before the first.
      WriteSchemeProcessLine(report, "left to run", named, share.liveRun);
      WriteSchemeProcessLine(EventKind::PutBack, "left to run", scheme.identifier, share.liveRun);
      ForgetRecord(scheme.identifier, scheme.saved);
    } else {
      status = PutBackValueByValue(scheme.identifier, scheme.saved, report, nameTheSchemes);
      // A put-back that failed keeps its record, for recovery; one that succeeded gave back,
      // too, what runs that died while sharing the scheme saved.
      if (status == 0) ForgetRecord(scheme.identifier, scheme.saved);
      if (status == 0 && share.recorded) ForgetDeadRunsOf(scheme.identifier);
    }
    if (firstFailure == 0) firstFailure = status;
  }
  return firstFailure;
}

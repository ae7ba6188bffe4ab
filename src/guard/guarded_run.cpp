#include "guarded_run.h"

#include <atomic>

#include "block_attempt.h"
#include "button_policy.h"
#include "command_process.h"
#include "dead_runs.h"
#include "followed_schemes.h"
#include "keep_awake.h"
#include "policy_code.h"
#include "report_writer.h"
#include "run_records.h"
#include "win32_status.h"

namespace {

// What the thread that puts the scheme back needs: the main thread after the command, or on
// Windows the thread the platform calls when it is about to end the process. Touched only
// with the scheme lock held.
struct SchemeGuard {
  std::FILE* report = nullptr;
  bool blocked = false;  // schemes hold run's zeros and nobody has dealt with them yet
  bool ending = false;   // the end is announced and the schemes were put back: nothing may start
  std::uint32_t restoreStatus = 0;
};

SchemeGuard guard;

// Set, without the lock, as soon as the platform says the end is coming: the main thread may
// get the lock first, and must then neither block nor start anything.
std::atomic<bool> endAnnounced{false};

// A stretch of work under the scheme lock, and under the lock all buttonguard processes share
// (when it could be had: `runsLockStatus` 0). Its report lines are written only once the locks
// are let go, so that the thread putting the scheme back before the end never waits behind a
// stalled report.
struct LockedScheme {
  HeldReportLines held;
  ReportTarget report{guard.report, &held};
  std::uint32_t runsLockStatus;

  LockedScheme() {
    LockScheme();
    runsLockStatus = LockRuns();
  }
  ~LockedScheme() {
    if (runsLockStatus == 0) UnlockRuns();
    LockReport();
    UnlockScheme();
    WriteHeldReportLines(guard.report, held);
    UnlockReport();
  }
  LockedScheme(const LockedScheme&) = delete;
  LockedScheme& operator=(const LockedScheme&) = delete;
};

// Acts once, whichever thread comes first. Values other than run's zeros are a newer choice
// (a person, another tool, an overlapping run that already restored) and are never
// overwritten. Without the lock all processes share, nothing is written: the records keep
// what recovery needs.
void PutSchemeBack(const LockedScheme& scheme) {
  if (!guard.blocked) return;
  if (scheme.runsLockStatus != 0) {
    WriteRunsLockFailure(scheme.report, scheme.runsLockStatus);
    guard.restoreStatus = scheme.runsLockStatus;
    return;
  }
  guard.blocked = false;
  guard.restoreStatus = PutFollowedSchemesBack(scheme.report);
}

// Once the end is announced, whichever thread holds the lock first puts the scheme back.
// True when it is back (or was never blocked) and nothing more may start.
bool EndIfAnnounced(const LockedScheme& scheme) {
  if (endAnnounced.load()) guard.ending = true;
  if (guard.ending) PutSchemeBack(scheme);
  return guard.ending;
}

// Zeros that a failed block wrote are run's own: the values it read go straight back; unless
// another live run holds the scheme, whose zeros they were already.
void UndoBlock(ReportTarget report, const SchemeIdentifier& scheme, std::uint32_t sharedWith) {
  const ButtonPolicy saved = savedButtonPolicy;
  if (sharedWith != 0) {
    static_cast<void>(RemoveRunRecord(OwnRunRecord(scheme, saved)));
    WriteSchemeProcessLine(report, "left to run", nullptr, sharedWith);
    WriteSchemeProcessLine(EventKind::PutBack, "left to run", scheme, sharedWith);
    return;
  }
  guard.restoreStatus = AccessSchemeButtonPolicy(PolicyAccessMode::Restore, scheme);
  if (guard.restoreStatus == 0) {
    static_cast<void>(RemoveRunRecord(OwnRunRecord(scheme, saved)));
    WriteLoggedValuesLine(report, EventKind::PutBack, "restored", scheme, false, saved);
  } else {
    WriteLoggedStatusLine(report, EventKind::Failure, "restore failed", scheme, false,
                          guard.restoreStatus);
  }
}

// The platform is about to end the process (console closed, logoff, shutdown).
void PutSchemeBackBeforeTheEnd() {
  endAnnounced.store(true);
  const LockedScheme scheme;
  EndIfAnnounced(scheme);
}

CommandResult SchemeFailure(std::uint32_t status) {
  return {HresultFromWin32(status), CommandOutcome::SchemeFailure};
}

CommandResult NotRun(std::uint32_t status) {
  return {HresultFromWin32(status), IsNotFoundStatus(status)
                                        ? CommandOutcome::CommandNotFound
                                        : CommandOutcome::CommandNotExecutable};
}

constexpr unsigned kFollowEvery = 1000;  // milliseconds

// ERROR_CANCELLED: the end announced (a logoff, a shutdown, the Restart Manager closing
// buttonguard) cancelled the guard, before the command could start or while it ran.
constexpr std::uint32_t kEndedBeforeTheStart = 1223;
constexpr std::uint32_t kGuardCancelled = kEndedBeforeTheStart;

// An end of the session that the hold refused is said once, in the report and the log.
void SayHeldSessionEnds() {
  if (TakeHeldSessionEnds() == 0) return;
  LockReport();
  WriteReportLine({guard.report}, "session end held");
  UnlockReport();
  WriteEvent(EventKind::Warning, "session end held");
}

CommandResult EndedBeforeTheStart(ReportTarget report) {
  WriteStatusLine(report, "not started", kEndedBeforeTheStart);
  if (guard.restoreStatus != 0) return SchemeFailure(guard.restoreStatus);
  return NotRun(kEndedBeforeTheStart);
}

}  // namespace

CommandResult GuardedRun(const RunRequest& request, std::FILE* report) {
  const int commandIndex = request.commandIndex;
  const char16_t* const* const arguments = request.arguments;
  SetEventOrigin(u"run", arguments[commandIndex]);

  // A command that cannot be found or started must not cost the buttons anything.
  if (const std::uint32_t status = FindCommand(request.argumentCount, arguments, commandIndex)) {
    WriteStatusLine({report}, "not started", status);
    return NotRun(status);
  }

  // A run killed before left its zeros behind: put back first, or this run would save them as
  // the user's values.
  if (const std::uint32_t status = LockRuns()) {
    WriteRunsLockFailure({report}, status);
    return SchemeFailure(status);
  }
  // What cannot be put back keeps its record for a later recovery, and the run goes on, but
  // never on such a scheme (below).
  UnrecoveredSchemes unrecovered;
  static_cast<void>(RecoverDeadRuns({report}, &unrecovered, false));
  UnlockRuns();

  guard = SchemeGuard{report, false, false, 0};
  endAnnounced.store(false);
  HoldInterruptions(&PutSchemeBackBeforeTheEnd);
  {
    const LockedScheme scheme;
    if (EndIfAnnounced(scheme)) return EndedBeforeTheStart(scheme.report);
    if (scheme.runsLockStatus != 0) {
      WriteRunsLockFailure(scheme.report, scheme.runsLockStatus);
      return SchemeFailure(scheme.runsLockStatus);
    }
    // The zeros a dead run left there would be saved as the user's values.
    SchemeIdentifier active;
    if (unrecovered.Any() && QueryActiveScheme(active) == 0) {
      if (const std::uint32_t status = unrecovered.StatusOf(active)) {
        WriteLoggedStatusLine(scheme.report, EventKind::Failure, "not recovered", active, true,
                              status);
        return SchemeFailure(status);
      }
    }
    SchemeIdentifier first;
    const BlockAttempt attempt = AttemptBlock(scheme.report, &first);
    if (!attempt.Blocked()) {
      if (attempt.policyStatus == kHeldByPolicyStatus) {
        WritePolicyOverridesLine(scheme.report, attempt.overrides);
      }
      if (attempt.recordStatus != 0) {
        WriteStatusLine(scheme.report, "record failed", attempt.recordStatus);
      }
      // The command never runs with buttons half blocked; zeros already written are undone.
      if (attempt.WroteSome()) UndoBlock(scheme.report, first, attempt.sharedWith);
      return SchemeFailure(attempt.FailureStatus());
    }
    StartFollowing(first, savedButtonPolicy);
    guard.blocked = true;
    if (request.holdShutdown) HoldSessionEnd(arguments[commandIndex]);
  }

  // Started under the lock, and not at all once the end is announced: a command started then
  // would outlive buttonguard unguarded.
  std::uint32_t startStatus = 0;
  {
    const LockedScheme scheme;
    if (EndIfAnnounced(scheme)) return EndedBeforeTheStart(scheme.report);
    // Idle sleep would end the job as surely as the power button; a request that cannot be
    // made is said, and the buttons are guarded all the same.
    bool displayOnly = false;
    if (const std::uint32_t status =
            HoldAwake(arguments[commandIndex], request.display, displayOnly)) {
      WriteStatusLine(scheme.report, displayOnly ? "display awake failed" : "awake failed", status);
    }
    startStatus = StartCommand(request.wholeTree);
    if (startStatus != 0) WriteStatusLine(scheme.report, "not started", startStatus);
  }
  std::int32_t commandStatus = 0;
  std::uint32_t waitStatus = 0;
  if (startStatus == 0) {
    // Once a second, the active scheme: one a person or a policy switched to is blocked too.
    while ((waitStatus = WaitForCommand(commandStatus, kFollowEvery)) == kCommandStillRunning) {
      SayHeldSessionEnds();
      LockScheme();
      const bool known = ActiveSchemeIsKnown();
      UnlockScheme();
      if (known) continue;
      const LockedScheme scheme;
      // Without the shared lock, this second's look is skipped; the next one tries again.
      if (!guard.ending && scheme.runsLockStatus == 0) FollowActiveScheme(scheme.report);
    }
  }

  SayHeldSessionEnds();
  std::uint32_t restoreStatus = 0;
  bool ranUnguarded = false;
  {
    const LockedScheme scheme;
    if (waitStatus != 0) WriteStatusLine(scheme.report, "wait failed", waitStatus);
    // The end came while the command ran and the values went back then, yet buttonguard lived
    // on (the platform need not end it, nor the Restart Manager): the command ran on with the
    // buttons in play, which its own status cannot tell.
    ranUnguarded = guard.ending && startStatus == 0;
    if (ranUnguarded) {
      WriteStatusLine(scheme.report, "ran unguarded", kGuardCancelled);
      WriteSchemeStatusLine(EventKind::Warning, "ran unguarded", nullptr, kGuardCancelled);
    }
    PutSchemeBack(scheme);
    restoreStatus = guard.restoreStatus;
  }
  ReleaseSessionEnd();
  ReleaseAwake();
  // Buttons left blocked matter more than anything the command did.
  if (restoreStatus != 0) return SchemeFailure(restoreStatus);
  if (startStatus != 0) return NotRun(startStatus);
  if (waitStatus != 0) return SchemeFailure(waitStatus);
  if (ranUnguarded) return SchemeFailure(kGuardCancelled);
  return {commandStatus, CommandOutcome::CommandEnded};
}

#include "guarded_run.h"

#include <string_view>

#include "block_attempt.h"
#include "button_policy.h"
#include "command_process.h"
#include "report_writer.h"

namespace {

// What the thread that puts the scheme back needs: the main thread after the command, or on
// Windows the console's handler thread when the process is about to be ended. Touched only
// with the scheme lock held.
struct SchemeGuard {
  std::FILE* report = nullptr;
  ButtonPolicy saved;    // the values read before blocking
  bool blocked = false;  // the scheme holds run's zeros and nobody has dealt with it yet
  std::uint32_t restoreStatus = 0;
};

SchemeGuard guard;

void WriteSavedValuesBack() {
  savedButtonPolicy = guard.saved;
  guard.restoreStatus = AccessButtonPolicy(PolicyAccessMode::Restore);
  if (guard.restoreStatus == 0) {
    WritePolicyValuesLine(guard.report, guard.saved, "restored");
  } else {
    WriteStatusLine(guard.report, "restore failed", guard.restoreStatus);
  }
}

// Acts once, whichever thread comes first. Values other than run's zeros are a newer choice
// (a person, another tool, an overlapping run that already restored) and are never
// overwritten.
void PutSchemeBack() {
  if (!guard.blocked) return;
  guard.blocked = false;
  const std::uint32_t checkStatus = AccessButtonPolicy(PolicyAccessMode::Read);
  if (checkStatus == 0 && !(savedButtonPolicy == ButtonPolicy{})) {
    WritePolicyValuesLine(guard.report, savedButtonPolicy, "left as changed");
    savedButtonPolicy = guard.saved;
    return;
  }
  // An unreadable scheme is no sign of a newer choice, and the saved values are the user's.
  if (checkStatus != 0) WriteStatusLine(guard.report, "check failed", checkStatus);
  WriteSavedValuesBack();
}

CommandResult SchemeFailure(std::uint32_t status) {
  return {HresultFromWin32(status), CommandOutcome::SchemeFailure};
}

CommandResult NotRun(std::uint32_t status) {
  return {HresultFromWin32(status), IsNotFoundStatus(status)
                                        ? CommandOutcome::CommandNotFound
                                        : CommandOutcome::CommandNotExecutable};
}

}  // namespace

CommandResult GuardedRun(int argumentCount, const char16_t* const* arguments, std::FILE* report) {
  int commandIndex = 2;
  if (argumentCount > 2 && std::u16string_view(arguments[2]) == u"--") commandIndex = 3;
  if (commandIndex >= argumentCount) return {-1, CommandOutcome::UsageError};

  // A command that cannot be found must not cost the buttons anything.
  if (const std::uint32_t status = FindCommand(argumentCount, arguments, commandIndex)) {
    WriteStatusLine(report, "not started", status);
    return NotRun(status);
  }

  guard = SchemeGuard{report, ButtonPolicy{}, false, 0};
  HoldInterruptions(&PutSchemeBack);
  LockScheme();
  const BlockAttempt attempt = AttemptBlock(report);
  if (!attempt.Blocked()) {
    // The command never runs with buttons half blocked; zeros already written are undone.
    guard.saved = savedButtonPolicy;
    if (attempt.WroteSome()) WriteSavedValuesBack();
    UnlockScheme();
    return SchemeFailure(attempt.FailureStatus());
  }
  guard.saved = savedButtonPolicy;
  guard.blocked = true;
  UnlockScheme();

  const std::uint32_t startStatus = StartCommand();
  std::int32_t commandStatus = 0;
  if (startStatus != 0) {
    WriteStatusLine(report, "not started", startStatus);
  } else {
    commandStatus = WaitForCommand();
  }

  LockScheme();
  PutSchemeBack();
  const std::uint32_t restoreStatus = guard.restoreStatus;
  UnlockScheme();
  // Buttons left blocked matter more than anything the command did.
  if (restoreStatus != 0) return SchemeFailure(restoreStatus);
  if (startStatus != 0) return NotRun(startStatus);
  return {commandStatus, CommandOutcome::CommandEnded};
}

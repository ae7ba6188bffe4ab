#include "run_command.h"

#include <string_view>

#include "block_attempt.h"
#include "button_policy.h"
#include "command_process.h"
#include "dead_runs.h"
#include "guarded_run.h"
#include "keep_awake.h"
#include "policy_code.h"
#include "report_writer.h"
#include "run_records.h"
#include "usage_text.h"

namespace {

constexpr std::int32_t kUsageErrorStatus = -1;

CommandResult PowerFailure(std::uint32_t status) {
  return {HresultFromWin32(status), CommandOutcome::PowerFailure};
}

CommandResult UsageError() { return {kUsageErrorStatus, CommandOutcome::UsageError}; }

// A write or the activation failed part-way: the values read go back at once, so that a
// block that failed changes nothing and no one has to reason out which code to restore. When
// that fails too, a line gives the values as they are now (a 0 stayed blocked); the code
// line above is then the one to restore.
void UndoFailedBlock(ReportTarget report) {
  const ButtonPolicy saved = savedButtonPolicy;
  const std::uint32_t status = AccessButtonPolicy(PolicyAccessMode::Restore);
  if (status == 0) return;
  if (AccessButtonPolicy(PolicyAccessMode::Read) != 0) {
    WriteStatusLine(report, "not undone", status);
  } else {
    WritePolicyValuesLine(report, savedButtonPolicy, "not undone");
  }
  WriteSchemeStatusLine(EventKind::Failure, "not undone", nullptr, status);
  savedButtonPolicy = saved;
}

CommandResult Block(ReportTarget report) {
  const BlockAttempt attempt = AttemptBlock(report);
  // What a policy keeps in play is named, as run names it.
  if (attempt.policyStatus == kHeldByPolicyStatus) {
    WritePolicyOverridesLine(report, attempt.overrides);
  }
  if (attempt.Blocked()) return {static_cast<std::int32_t>(attempt.code), CommandOutcome::Done};
  if (attempt.WroteSome()) UndoFailedBlock(report);
  // A failed block's code is never its exit status: only a status that is a code is one to
  // restore.
  return PowerFailure(attempt.FailureStatus());
}

CommandResult Restore(int argumentCount, const char16_t* const* arguments, ReportTarget report,
                      ReportTarget help) {
  if (argumentCount != 3) {
    WriteUsageError(help, "restore", "takes exactly one code");
    return UsageError();
  }
  if (!ParsePolicyCode(arguments[2], savedButtonPolicy)) {
    WriteUsageError(help, "restore", "not a code: characters 3 to 8 must be hexadecimal digits");
    return UsageError();
  }
  WritePolicyValuesLine(report, savedButtonPolicy);
  const std::uint32_t status = AccessButtonPolicy(PolicyAccessMode::Restore);
  if (status != 0) {
    WriteSchemeStatusLine(EventKind::Failure, "restore failed", nullptr, status);
    return PowerFailure(status);
  }
  WriteSchemeValuesLine(EventKind::PutBack, "restored", &accessedScheme, savedButtonPolicy);
  return {0, CommandOutcome::Done};
}

// The values as block would print them, without changing anything: did a script leave this
// machine blocked? Only what was read whole is printed: a failed read says so on standard
// error instead, where no script that reads show's lines looks, and never passes for zeros.
CommandResult Show(ReportTarget report, ReportTarget help) {
  const std::uint32_t readStatus = AccessButtonPolicy(PolicyAccessMode::Read);
  const bool fitsCode = readStatus == 0 && PolicyFitsCode(savedButtonPolicy);
  if (readStatus != 0) {
    WriteStatusLine(help, "read failed", readStatus);
  } else {
    WritePolicyValuesLine(report, savedButtonPolicy);
  }
  // Whatever the scheme says, these are what the buttons do.
  PolicyOverrides overrides;
  const std::uint32_t policyStatus = readStatus == 0 ? ReadPolicyOverrides(overrides) : 0;
  if (readStatus == 0 && policyStatus == 0 && overrides.Any()) {
    WritePolicyOverridesLine(report, overrides);
  }
  // A missing line must not pass for "nothing there": what could not be checked is said.
  if (policyStatus != 0) WriteStatusLine(help, "policy check failed", policyStatus);
  // Zeros above may be a live run's, or a dead one's to recover: worth knowing before
  // trusting them. A lock that runs would refuse stops every run and recovery, so it is said
  // first.
  if (const std::uint32_t status = CheckRunsLock()) {
    WriteRunsLockFailure(help, status);
  } else if (const std::uint32_t listStatus = ListRuns(report)) {
    WriteStatusLine(help, "records failed", listStatus);
  }
  // What keeps the machine awake, where the platform lets it be read.
  static_cast<void>(ListAwakeRequests(
      [](const char* line, void* target) {
        WriteLabelledLine(*static_cast<ReportTarget*>(target), "awake", line);
      },
      &report));
  const std::uint32_t code = PackPolicyCode(savedButtonPolicy);
  if (fitsCode) WritePolicyCodeLine(report, code);
  if (readStatus != 0) return PowerFailure(readStatus);
  if (!fitsCode) {
    WriteStatusLine(help, "no code", kValuesBeyondCodeStatus);
    return PowerFailure(kValuesBeyondCodeStatus);
  }
  return {static_cast<std::int32_t>(code), CommandOutcome::Done};
}

// Puts back what runs that died left blocked.
CommandResult RecoverDeadRunsLocked(ReportTarget report) {
  if (const std::uint32_t status = RecoverDeadRunsUnderLock(report)) return PowerFailure(status);
  return {0, CommandOutcome::Done};
}

CommandResult Recover(int argumentCount, ReportTarget report, ReportTarget help) {
  if (argumentCount != 2) {
    WriteUsageError(help, "recover", "takes no argument");
    return UsageError();
  }
  return RecoverDeadRunsLocked(report);
}

// `run [OPTIONS] [--] COMMAND [ARGUMENTS...]`: the options read, the report file opened, and
// the rest left to the guard.
CommandResult Run(int argumentCount, const char16_t* const* arguments, std::FILE* report) {
  // Options come before the command, or before its `--`; a word that looks like one and is
  // none is a mistake to point out, not a command to look for.
  RunRequest request{argumentCount, arguments, 2};
  const char16_t* reportPath = nullptr;
  const char* mistake = nullptr;
  int& commandIndex = request.commandIndex;
  for (; commandIndex < argumentCount && mistake == nullptr; ++commandIndex) {
    const std::u16string_view word = arguments[commandIndex];
    if (word == u"--") {
      ++commandIndex;
      break;
    }
    if (word == u"--display") {
      request.display = true;
    } else if (word == u"--hold-shutdown") {
      request.holdShutdown = true;
    } else if (word == u"--tree") {
      request.wholeTree = true;
      if (!kCanFollowTree) mistake = "--tree is not supported here";
    } else if (word == u"--report") {
      if (++commandIndex < argumentCount) reportPath = arguments[commandIndex];
    } else if (word.starts_with(u"-")) {
      mistake = "unknown option (a command starting with - goes after --)";
    } else {
      break;
    }
  }
  if (mistake == nullptr && commandIndex >= argumentCount) mistake = "no command to run";
  // Without its file, the report of a script that asked for one would go where the script
  // cannot stand it (PowerShell 5.1 turns standard error into errors): nothing is done.
  std::uint32_t reportStatus = 0;
  std::FILE* const file = mistake == nullptr && reportPath != nullptr
                              ? OpenReportFile(reportPath, reportStatus)
                              : nullptr;
  if (mistake != nullptr || reportStatus != 0) {
    WriteReportLine({report}, "run");
    if (mistake != nullptr) {
      WriteUsageError({report}, "run", mistake);
      return UsageError();
    }
    WriteStatusLine({report}, "report failed", reportStatus);
    return {HresultFromWin32(reportStatus), CommandOutcome::SchemeFailure};
  }
  if (file != nullptr) report = file;
  WriteReportLine({report}, "run");
  return GuardedRun(request, report);
}

// A word after block that asks for help, or looks like an option it does not have: a second
// `block /x` would otherwise save the first one's zeros as the values. Other words stay
// ignored, as scripts have passed them.
bool AsksBlockSomethingElse(int argumentCount, const char16_t* const* arguments) {
  for (int i = 2; i < argumentCount; ++i) {
    const std::u16string_view word = arguments[i];
    if (IsHelpWord(word) || word == u"help" || word.starts_with(u"-") || word.starts_with(u"/")) {
      return true;
    }
  }
  return false;
}

}  // namespace

CommandResult RecoverAtBoot() {
  SetEventOrigin(u"boot recovery");
  HeldReportLines discarded;
  return RecoverDeadRunsLocked({nullptr, &discarded});
}

int NarrowExitStatus(const CommandResult& result) {
  if (result.outcome == CommandOutcome::CommandEnded) return result.exitStatus;
  return static_cast<int>(result.outcome);
}

CommandResult RunCommand(int argumentCount, const char16_t* const* arguments, std::FILE* report,
                         std::FILE* runReport) {
  const ReportTarget help{runReport};
  if (argumentCount < 2) {
    WriteUsage(help);
    return UsageError();
  }
  const std::u16string_view command = arguments[1];
  // A help word after a command asks about it; it never runs the command (block used to
  // ignore the word and block).
  if (const std::string_view known = KnownCommand(command);
      !known.empty() && argumentCount >= 3 &&
      (IsHelpWord(arguments[2]) ||
       (known == "block" && AsksBlockSomethingElse(argumentCount, arguments)))) {
    WriteReportLine({known == "run" ? runReport : report}, known);
    WriteCommandHelp(help, known);
    return UsageError();
  }
  if (command == u"run") return Run(argumentCount, arguments, runReport);
  const ReportTarget target{report};
  SetEventOrigin(command);
  WriteReportLine(target, command);
  if (command == u"block") return Block(target);
  if (command == u"restore") return Restore(argumentCount, arguments, target, help);
  if (command == u"show") return Show(target, help);
  if (command == u"recover") return Recover(argumentCount, target, help);
  // Any other word is echoed and succeeds, as it always has; the help goes beside it, and
  // for a word that is no command (a script's typo would otherwise pass for done) a line
  // naming the commands.
  if (argumentCount == 2 && IsHelpWord(command)) {
    WriteUsage(help);
  } else if (argumentCount == 2 && command == u"--version") {
    WriteVersion(help);
  } else {
    WriteReportLine(help,
                    "buttonguard: not a command (block, restore, run, show, recover; --help)");
  }
  return {0, CommandOutcome::Done};
}

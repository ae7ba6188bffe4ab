#pragma once

#include <cstdint>
#include <cstdio>

#include "win32_status.h"

// How a run went, for hosts whose exit status is too narrow to carry a policy code. The
// values are those exit statuses; `run` adds the ones shells use for a command that could not
// be run.
enum class CommandOutcome : int {
  Done = 0,             // block wrote "2"; restore wrote and activated; show read; another word
  PowerFailure = 1,     // the power library reported a failure, or block refused to zero values
  UsageError = 2,       // no argument; restore without exactly one code text; run without command
  SchemeFailure = 125,  // run: blocking failed, or the scheme could not be put back
  CommandNotExecutable = 126,  // run: the command was found but could not be started
  CommandNotFound = 127,       // run: no such command
  // run: the command ran and the scheme was dealt with; the exit status is the command's own
  // (after a signal, 128 plus its number), in CommandResult::exitStatus. Not itself a status.
  CommandEnded = 256,
};

struct CommandResult {
  // The 32-bit exit status as Windows delivers it: the policy code after block and show, 0 for
  // success, -1 for a usage error, HRESULT_FROM_WIN32 of a power failure's status, the
  // command's own status after run.
  std::int32_t exitStatus = 0;
  CommandOutcome outcome = CommandOutcome::Done;
};

// Runs one command line (argument 0 names the program and is not used). block, restore and
// show write their report to `report`; run writes its to `runReport`, so that the standard
// output belongs to the command it runs, and so does the help for a person.
CommandResult RunCommand(int argumentCount, const char16_t* const* arguments,
                         std::FILE* report = stdout, std::FILE* runReport = stderr);

// `recover` as the boot-time service runs it: a service has no console, so its report goes
// nowhere, and the application log, whose entries name the boot recovery, keeps what it did.
CommandResult RecoverAtBoot();

// The exit status on a host whose statuses are 8 bits wide: the outcome, or the command's own
// status after run.
int NarrowExitStatus(const CommandResult& result);

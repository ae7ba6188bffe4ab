#pragma once

#include <cstdint>

// How a command went: what the guard hands the command words, and they the process's exit.

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

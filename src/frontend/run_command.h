#pragma once

#include <cstdint>
#include <cstdio>

// How a run went, for hosts whose exit status is too narrow to carry a policy code. The
// values are those exit statuses.
enum class CommandOutcome : int {
  Done = 0,          // block wrote "2"; restore wrote and activated; another word was echoed
  PowerFailure = 1,  // the power library reported a failure, or block refused to zero values
  UsageError = 2,    // no argument; restore without exactly one code text
};

struct CommandResult {
  // The 32-bit exit status as Windows delivers it: the policy code after block, 0 for success,
  // -1 for a usage error, HRESULT_FROM_WIN32 of a power failure's status.
  std::int32_t exitStatus = 0;
  CommandOutcome outcome = CommandOutcome::Done;
};

// Runs one command line (argument 0 names the program and is not used) and writes its report
// to `report`.
CommandResult RunCommand(int argumentCount, const char16_t* const* arguments,
                         std::FILE* report = stdout);

// The platform's HRESULT_FROM_WIN32 for a non-zero status: always negative, so never mistaken
// for a policy code.
std::int32_t HresultFromWin32(std::uint32_t status);

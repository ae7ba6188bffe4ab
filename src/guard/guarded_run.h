#pragma once

#include <cstdio>

#include "run_command.h"

// `run [--] COMMAND [ARGUMENTS...]`: blocks the buttons exactly as block does, runs the
// command, and puts the saved values back when it ends, however it ends, unless someone else
// has changed the scheme meanwhile. The report, from the echo line on, goes to `report`, or
// to the file that `--report` names.
CommandResult GuardedRun(int argumentCount, const char16_t* const* arguments, std::FILE* report);

#pragma once

// The command words: what a command line asks for, dispatched to the guard and the power
// functions below; the process entries and the boot service call nothing else.

#include <cstdint>
#include <cstdio>

#include "command_result.h"
#include "win32_status.h"

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

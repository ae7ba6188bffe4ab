#pragma once

#include <string_view>

#include "report_writer.h"

// What a person at a console, or reading a failed deployment's log, learns of the command
// line. All of it goes to standard error: standard output and the exit statuses are a contract
// with scripts, which the help never changes.

// The commands, a line or two each, what the exit status carries, and where the rest is.
void WriteUsage(ReportTarget report);

// One command's usage, for `COMMAND --help` and the other help words after a command.
void WriteCommandHelp(ReportTarget report, std::string_view command);

// The command `word` names exactly, or empty.
std::string_view KnownCommand(std::u16string_view word);

// "buttonguard COMMAND: WHAT", then that command's line of the usage ("usage: buttonguard
// restore CODE").
void WriteUsageError(ReportTarget report, std::string_view command, std::string_view what);

// "buttonguard VERSION", the version the Windows executable's version resource carries too.
void WriteVersion(ReportTarget report);

// "/?", "-?", "-h" and "--help": the words people try first.
bool IsHelpWord(std::u16string_view word);

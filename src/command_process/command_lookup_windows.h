#pragma once

#include <windows.h>

// What FindCommand settled on, for StartCommand: the program CreateProcessW is given as its
// application name, so that its own search never runs, and the command line the program
// gets. A batch file is started through the system's cmd.exe, with its full path on that
// command line.
struct FoundCommand {
  const wchar_t* program;
  wchar_t* commandLine;
};

FoundCommand TheFoundCommand();

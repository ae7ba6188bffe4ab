#pragma once

// The guard: what keeps the buttons blocked for a run and gives them back, however it ends.

#include <cstdio>

#include "command_result.h"

// What `run` was asked to guard: the command is arguments[commandIndex], its arguments follow.
struct RunRequest {
  int argumentCount = 0;
  const char16_t* const* arguments = nullptr;
  int commandIndex = 0;
  bool display = false;       // keep the display on too, not only the system
  bool wholeTree = false;     // follow every process the command starts
  bool holdShutdown = false;  // refuse a person's end of the session while the buttons are held
};

// Blocks the buttons exactly as block does, runs the command, and puts the saved values back
// when it ends, however it ends, unless someone else has changed the scheme meanwhile. The
// report, after the echo line the caller wrote, goes to `report`.
CommandResult GuardedRun(const RunRequest& request, std::FILE* report);

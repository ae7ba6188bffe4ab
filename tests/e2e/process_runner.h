#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ProcessOptions {
  // "NAME=value" entries added to this process's environment; they win over its own.
  std::vector<std::string> extraEnvironment;
  // The reader of the child's standard output is gone before it starts.
  bool outputClosed = false;
  // When this process is root, the child runs as the unprivileged user "nobody" instead.
  bool unprivileged = false;
};

struct ProcessRun {
  std::string output;  // everything the process wrote to standard output
  int exitStatus = -1;  // -1 when it did not exit normally
};

// Runs `program` with `arguments` (argument 0 included) and waits for it.
ProcessRun RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                      const ProcessOptions& options = {});

// Starts `program` with its standard output discarded; the caller waits with WaitProcess.
pid_t StartProcess(const std::string& program, const std::vector<std::string>& arguments,
                   const ProcessOptions& options = {});

// The exit status, or -1 when the process did not exit normally (a signal ended it).
int WaitProcess(pid_t process);

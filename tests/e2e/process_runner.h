#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

struct ProcessOptions {
  // "NAME=value" entries added to this process's environment; they win over its own.
  std::vector<std::string> extraEnvironment{};
  // The reader of the child's standard output is gone before it starts.
  bool outputClosed = false;
  // When this process is root, the child runs as the unprivileged user "nobody" instead.
  bool unprivileged = false;
  // The child's current folder; empty: this process's.
  std::string workingDirectory{};
  // The child leads a process group of its own, as a shell's job does, so that a test can send
  // a signal to the group as a terminal would.
  bool ownProcessGroup = false;
};

struct ProcessRun {
  std::string output;   // everything the process wrote to standard output
  std::string errors;   // everything it wrote to standard error
  int exitStatus = -1;  // -1 when it did not exit normally
};

// Runs `program` with `arguments` (argument 0 included) and waits for it.
ProcessRun RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                      const ProcessOptions& options = {});

// Starts `program` with its standard output and error discarded; the caller waits with
// WaitProcess.
pid_t StartProcess(const std::string& program, const std::vector<std::string>& arguments,
                   const ProcessOptions& options = {});

// Starts `program` with its descriptor `childDescriptor` (1 or 2) writing into a pipe whose
// reading end goes to `readEnd`, for the caller to read while the process still runs; the
// other of the two is discarded.
pid_t StartProcessWithPipe(const std::string& program, const std::vector<std::string>& arguments,
                           const ProcessOptions& options, int childDescriptor, int& readEnd);

// Reads `descriptor` until its writers close it, then closes it.
std::string ReadToEnd(int descriptor);

// The exit status, or -1 when the process did not exit normally (a signal ended it).
int WaitProcess(pid_t process);

// Polls `condition` until it holds or 20 s have passed; the caller checks which.
template <typename Condition>
void WaitUntil(Condition condition) {
  for (int i = 0; i < 2000 && !condition(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

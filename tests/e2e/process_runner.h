#pragma once

#include <string>
#include <vector>

struct ProcessRun {
  std::string output;  // everything the process wrote to standard output
  int exitStatus = -1;  // -1 when it did not exit normally
};

// Runs `program` with `arguments` (argument 0 included) and this process's environment plus
// `extraEnvironment` ("NAME=value" entries, which win), and waits for it.
ProcessRun RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                      const std::vector<std::string>& extraEnvironment = {});

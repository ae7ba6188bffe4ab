#include <csignal>
#include <string>
#include <vector>

#include "run_command.h"
#include "utf8_arguments.h"

// The exit status here is 8 bits wide and cannot carry a policy code, which the report's last
// line gives anyway; it says how the run went, or after run the command's own status.
int main(int argc, char** argv) {
  // A caller that stops reading early (`buttonguard block | head -1`) must not kill the tool
  // between two writes to the power scheme: writes to the gone reader fail instead, and the
  // command finishes.
  // Setting a valid disposition cannot fail.
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));

  std::vector<std::u16string> decoded;
  decoded.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) decoded.push_back(DecodeUtf8Argument(argv[i]));
  std::vector<const char16_t*> arguments;
  arguments.reserve(decoded.size() + 1);
  for (const std::u16string& argument : decoded) arguments.push_back(argument.c_str());
  arguments.push_back(nullptr);

  return NarrowExitStatus(RunCommand(argc, arguments.data()));
}

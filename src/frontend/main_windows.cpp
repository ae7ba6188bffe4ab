#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "run_command.h"

// The platform has already split the command line by its own rules into UTF-16 arguments.
int wmain(int argc, wchar_t** argv) {
  // The report writes its own CR LF; text mode would double the CR.
  _setmode(_fileno(stdout), _O_BINARY);

  std::vector<std::u16string> copied;
  copied.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    const std::wstring_view argument = argv[i];
    copied.emplace_back(argument.begin(), argument.end());
  }
  std::vector<const char16_t*> arguments;
  for (const std::u16string& argument : copied) arguments.push_back(argument.c_str());
  arguments.push_back(nullptr);

  return RunCommand(argc, arguments.data()).exitStatus;
}

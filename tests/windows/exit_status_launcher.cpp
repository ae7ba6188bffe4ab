// Runs the command line in BUTTONGUARD_CHILD_COMMAND_LINE exactly as written, sharing this
// process's standard handles, and writes the child's 32-bit exit status as eight hexadecimal
// digits to the file named by BUTTONGUARD_EXIT_STATUS_FILE. Returns 0 when it could do so.
// BUTTONGUARD_CHILD_PATH, when set, is the child's PATH exactly (Wine makes up its own from
// the registry); BUTTONGUARD_CHILD_OUTPUT_FILE, when set, is a file that takes the child's
// standard output instead, as `> file` in a script would.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring Environment(const wchar_t* name) {
  static wchar_t buffer[32768];
  const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
  return length > 0 && length < 32768 ? std::wstring(buffer, length) : std::wstring();
}

}  // namespace

int wmain() {
  std::wstring commandLine = Environment(L"BUTTONGUARD_CHILD_COMMAND_LINE");
  const std::wstring statusFile = Environment(L"BUTTONGUARD_EXIT_STATUS_FILE");
  if (commandLine.empty() || statusFile.empty()) return 2;
  const std::wstring path = Environment(L"BUTTONGUARD_CHILD_PATH");
  if (!path.empty()) SetEnvironmentVariableW(L"PATH", path.c_str());
  const std::wstring outputFile = Environment(L"BUTTONGUARD_CHILD_OUTPUT_FILE");

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  if (!outputFile.empty()) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    startup.hStdOutput = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                     &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (startup.hStdOutput == INVALID_HANDLE_VALUE) return 7;
  }
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return 3;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitStatus = 0;
  const BOOL gotStatus = GetExitCodeProcess(process.hProcess, &exitStatus);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!gotStatus) return 4;

  FILE* file = _wfopen(statusFile.c_str(), L"wb");
  if (file == nullptr) return 5;
  std::fprintf(file, "%08lX", static_cast<unsigned long>(exitStatus));
  return std::fclose(file) == 0 ? 0 : 6;
}

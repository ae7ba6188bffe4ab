// Starting and waiting for run's command on Windows. The command shares buttonguard's console,
// so Ctrl+C and Ctrl+Break reach it directly; buttonguard ignores them and waits. Closing the
// console, logoff and shutdown end buttonguard within seconds whatever it does, so the
// console's handler thread puts the scheme back first.

#include "command_process.h"
#include "console_events_windows.h"
#include "power_platform.h"

namespace {

// The platform's limit for a command line and, with the long-path prefix, for a path.
constexpr DWORD kLongest = 32768;

// Taken from the heap when run starts: as static arrays MinGW's linker would put their
// zeros into the executable, a quarter of a megabyte.
struct CommandBuffers {
  wchar_t applicationPath[kLongest];
  wchar_t commandLine[kLongest];
  wchar_t searchPath[kLongest];
  wchar_t executableExtensions[kLongest];
};
CommandBuffers* buffers = nullptr;
HANDLE commandProcess = nullptr;

SRWLOCK schemeLock = SRWLOCK_INIT;
void (*putSchemeBackBeforeEnd)() = nullptr;

bool IsBlank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

const wchar_t* SkipBlanks(const wchar_t* text) {
  while (IsBlank(*text)) ++text;
  return text;
}

// Argument 0 by the C runtime's rule: quotes group, backslashes are plain characters.
const wchar_t* SkipProgramName(const wchar_t* text) {
  bool quoted = false;
  for (; *text != L'\0'; ++text) {
    if (*text == L'"') {
      quoted = !quoted;
    } else if (!quoted && IsBlank(*text)) {
      break;
    }
  }
  return text;
}

// Any later argument by the C runtime's rules: backslashes escape only a quote that follows
// them, an odd number making it literal; "" inside quotes is one literal quote.
const wchar_t* SkipArgument(const wchar_t* text) {
  bool quoted = false;
  while (*text != L'\0' && (quoted || !IsBlank(*text))) {
    if (*text == L'\\') {
      std::size_t backslashes = 0;
      while (*text == L'\\') ++text, ++backslashes;
      if (*text == L'"' && backslashes % 2 == 1) ++text;
      continue;
    }
    if (*text == L'"') {
      if (quoted && text[1] == L'"') {
        text += 2;
        continue;
      }
      quoted = !quoted;
    }
    ++text;
  }
  return text;
}

// The command and its arguments exactly as typed: everything after the words before it, so
// that `cmd /c` and installers with quoting rules of their own see what the user wrote.
bool CopyCommandLineTail(int commandIndex) {
  const wchar_t* tail = SkipBlanks(SkipProgramName(GetCommandLineW()));
  for (int i = 1; i < commandIndex; ++i) tail = SkipBlanks(SkipArgument(tail));
  std::size_t length = 0;
  while (tail[length] != L'\0') ++length;
  if (length >= kLongest) return false;
  for (std::size_t i = 0; i <= length; ++i) buffers->commandLine[i] = tail[i];
  return true;
}

// applicationPath = folder (may be empty), a separator when needed, name, extension.
bool Compose(const wchar_t* folder, std::size_t folderLength, const char16_t* name,
             const wchar_t* extension, std::size_t extensionLength) {
  std::size_t used = 0;
  const auto append = [&used](const wchar_t* part, std::size_t count) {
    if (used + count >= kLongest) return false;
    for (std::size_t i = 0; i < count; ++i) buffers->applicationPath[used++] = part[i];
    return true;
  };
  if (folderLength > 0) {
    if (!append(folder, folderLength)) return false;
    const wchar_t last = folder[folderLength - 1];
    if (last != L'\\' && last != L'/' && !append(L"\\", 1)) return false;
  }
  std::size_t nameLength = 0;
  while (name[nameLength] != u'\0') ++nameLength;
  if (!append(reinterpret_cast<const wchar_t*>(name), nameLength)) return false;
  if (!append(extension, extensionLength)) return false;
  buffers->applicationPath[used] = L'\0';
  return true;
}

bool IsFile(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool HasExtension(const char16_t* name) {
  const char16_t* dot = nullptr;
  for (const char16_t* unit = name; *unit != u'\0'; ++unit) {
    if (*unit == u'.') dot = unit;
    if (*unit == u'\\' || *unit == u'/') dot = nullptr;
  }
  return dot != nullptr && dot[1] != u'\0';
}

bool HasPathSeparator(const char16_t* name) {
  for (const char16_t* unit = name; *unit != u'\0'; ++unit) {
    if (*unit == u'\\' || *unit == u'/' || *unit == u':') return true;
  }
  return false;
}

// In `folder`: the name as given when it has an extension, then with each of PATHEXT's.
bool FindIn(const wchar_t* folder, std::size_t folderLength, const char16_t* name,
            const wchar_t* extensions) {
  if (HasExtension(name) && Compose(folder, folderLength, name, L"", 0) &&
      IsFile(buffers->applicationPath)) {
    return true;
  }
  for (const wchar_t* extension = extensions; *extension != L'\0';) {
    std::size_t length = 0;
    while (extension[length] != L'\0' && extension[length] != L';') ++length;
    if (length > 0 && Compose(folder, folderLength, name, extension, length) &&
        IsFile(buffers->applicationPath)) {
      return true;
    }
    extension += length;
    if (*extension == L';') ++extension;
  }
  return false;
}

// A variable's value in a buffer of its own; empty when unset or too long.
const wchar_t* Variable(const wchar_t* name, wchar_t* buffer) {
  const DWORD length = GetEnvironmentVariableW(name, buffer, kLongest);
  if (length == 0 || length >= kLongest) buffer[0] = L'\0';
  return buffer;
}

}  // namespace

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // Console closed, logoff or shutdown: the platform ends the process when this returns, or
  // after a few seconds. The main thread may be in the middle of the power calls: wait for it.
  AcquireSRWLockExclusive(&schemeLock);
  if (putSchemeBackBeforeEnd != nullptr) putSchemeBackBeforeEnd();
  ReleaseSRWLockExclusive(&schemeLock);
  return FALSE;  // the default handler ends the process, as it would have without us
}

bool IsNotFoundStatus(std::uint32_t status) {
  return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND;
}

std::uint32_t FindCommand(int /*argumentCount*/, const char16_t* const* arguments,
                          int commandIndex) {
  const char16_t* name = arguments[commandIndex];
  if (name[0] == u'\0') return ERROR_FILE_NOT_FOUND;
  buffers = static_cast<CommandBuffers*>(HeapAlloc(GetProcessHeap(), 0, sizeof(CommandBuffers)));
  if (buffers == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  if (!CopyCommandLineTail(commandIndex)) return ERROR_FILENAME_EXCED_RANGE;
  const wchar_t* extensions = Variable(L"PATHEXT", buffers->executableExtensions);
  if (extensions[0] == L'\0') extensions = L".COM;.EXE;.BAT;.CMD";

  if (HasPathSeparator(name)) {
    if (Compose(L"", 0, name, L"", 0)) {
      const DWORD attributes = GetFileAttributesW(buffers->applicationPath);
      if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ERROR_ACCESS_DENIED : 0;
      }
    }
    return !HasExtension(name) && FindIn(L"", 0, name, extensions) ? 0 : ERROR_FILE_NOT_FOUND;
  }

  // PATH only: not the current folder and not buttonguard's own, where CreateProcess's own
  // search would look first and a planted cmd.exe would run elevated.
  const wchar_t* folder = Variable(L"PATH", buffers->searchPath);
  while (*folder != L'\0') {
    std::size_t length = 0;
    while (folder[length] != L'\0' && folder[length] != L';') ++length;
    const wchar_t* start = folder;
    std::size_t trimmed = length;
    if (trimmed >= 2 && start[0] == L'"' && start[trimmed - 1] == L'"') {
      ++start;
      trimmed -= 2;
    }
    if (trimmed > 0 && FindIn(start, trimmed, name, extensions)) return 0;
    folder += length;
    if (*folder == L';') ++folder;
  }
  return ERROR_FILE_NOT_FOUND;
}

void HoldInterruptions(void (*putSchemeBack)()) {
  putSchemeBackBeforeEnd = putSchemeBack;
  // Without a console (a service, a scheduled task) there are no events to handle.
  static_cast<void>(SetConsoleCtrlHandler(OnConsoleEvent, TRUE));
}

void LockScheme() { AcquireSRWLockExclusive(&schemeLock); }
void UnlockScheme() { ReleaseSRWLockExclusive(&schemeLock); }

std::uint32_t StartCommand() {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(buffers->applicationPath, buffers->commandLine, nullptr, nullptr, TRUE, 0,
                      nullptr, nullptr, &startup, &process)) {
    const DWORD status = GetLastError();
    return status != 0 ? status : ERROR_GEN_FAILURE;
  }
  CloseHandle(process.hThread);
  commandProcess = process.hProcess;
  return 0;
}

std::int32_t WaitForCommand() {
  WaitForSingleObject(commandProcess, INFINITE);
  DWORD exitStatus = 0;
  if (!GetExitCodeProcess(commandProcess, &exitStatus)) exitStatus = GetLastError();
  CloseHandle(commandProcess);
  commandProcess = nullptr;
  return static_cast<std::int32_t>(exitStatus);
}

// Finding run's command on Windows, as an elevated process must: the current folder and
// buttonguard's own are never searched, nor any PATH folder that is not absolute, and a
// command is refused before the scheme is touched unless CreateProcessW can start it.

#include <cstdlib>

#include "command_lookup_windows.h"
#include "command_process.h"
#include "start_kind.h"

namespace {

// The platform's limit for a command line and, with the long-path prefix, for a path.
constexpr DWORD kLongest = 32768;
constexpr std::size_t kLongestCmdLine = 8191;

// Taken from the heap when run starts, and only then: a third of a megabyte that every other
// command would otherwise carry in its address space for nothing.
struct CommandBuffers {
  wchar_t program[kLongest];
  wchar_t commandLine[kLongest];
  wchar_t candidate[kLongest];  // the file being tried, then the one found
  wchar_t searchPath[kLongest];
  wchar_t executableExtensions[kLongest];
};
CommandBuffers* buffers = nullptr;

bool IsBlank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }
bool IsSeparator(wchar_t unit) { return unit == L'\\' || unit == L'/'; }

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

std::size_t Length(const wchar_t* text) {
  std::size_t length = 0;
  while (text[length] != L'\0') ++length;
  return length;
}

// Text built up piece by piece in one of the buffers; a piece that would not fit spoils it.
struct Builder {
  wchar_t* text;
  std::size_t used = 0;
  bool fits = true;

  Builder& Append(const wchar_t* part, std::size_t count) {
    if (!fits || used + count >= kLongest) {
      fits = false;
      return *this;
    }
    for (std::size_t i = 0; i < count; ++i) text[used++] = part[i];
    text[used] = L'\0';
    return *this;
  }
  Builder& Append(const wchar_t* part) { return Append(part, Length(part)); }
};

// The command and its arguments exactly as typed: everything after the words before it, so
// that `cmd /c` and installers with quoting rules of their own see what the user wrote.
const wchar_t* CommandLineTail(int commandIndex) {
  const wchar_t* tail = SkipBlanks(SkipProgramName(GetCommandLineW()));
  for (int i = 1; i < commandIndex; ++i) tail = SkipBlanks(SkipArgument(tail));
  return tail;
}

// candidate = folder (may be empty), a separator when needed, name, extension.
bool Compose(const wchar_t* folder, std::size_t folderLength, const char16_t* name,
             const wchar_t* extension, std::size_t extensionLength) {
  Builder path{buffers->candidate};
  path.Append(folder, folderLength);
  if (folderLength > 0 && !IsSeparator(folder[folderLength - 1])) path.Append(L"\\", 1);
  const auto* wideName = reinterpret_cast<const wchar_t*>(name);
  path.Append(wideName).Append(extension, extensionLength);
  return path.fits;
}

bool IsFile(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The extension of the last part of `path`, dot included, or nullptr.
const wchar_t* ExtensionOf(const wchar_t* path) {
  const wchar_t* dot = nullptr;
  for (const wchar_t* unit = path; *unit != L'\0'; ++unit) {
    if (*unit == L'.') dot = unit;
    if (IsSeparator(*unit)) dot = nullptr;
  }
  return dot != nullptr && dot[1] != L'\0' ? dot : nullptr;
}

bool HasExtension(const char16_t* name) {
  return ExtensionOf(reinterpret_cast<const wchar_t*>(name)) != nullptr;
}

bool HasPathSeparator(const char16_t* name) {
  for (const char16_t* unit = name; *unit != u'\0'; ++unit) {
    if (*unit == u'\\' || *unit == u'/' || *unit == u':') return true;
  }
  return false;
}

// In `folder`: the name as given when it has an extension, then with each of PATHEXT's, in
// PATHEXT's order.
bool FindIn(const wchar_t* folder, std::size_t folderLength, const char16_t* name,
            const wchar_t* extensions) {
  if (HasExtension(name) && Compose(folder, folderLength, name, L"", 0) &&
      IsFile(buffers->candidate)) {
    return true;
  }
  for (const wchar_t* extension = extensions; *extension != L'\0';) {
    std::size_t length = 0;
    while (extension[length] != L'\0' && extension[length] != L';') ++length;
    if (length > 0 && Compose(folder, folderLength, name, extension, length) &&
        IsFile(buffers->candidate)) {
      return true;
    }
    extension += length;
    if (*extension == L';') ++extension;
  }
  return false;
}

// A drive path (X:\...) or a UNC path (\\server\share\...). Anything else, and anything
// still holding an unexpanded %VARIABLE%, would be looked up from the current folder.
bool IsAbsoluteFolder(const wchar_t* folder, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (folder[i] == L'%') return false;
  }
  const bool drive = length >= 3 && ((folder[0] | 0x20) >= L'a' && (folder[0] | 0x20) <= L'z') &&
                     folder[1] == L':' && IsSeparator(folder[2]);
  const bool unc =
      length >= 3 && IsSeparator(folder[0]) && IsSeparator(folder[1]) && !IsSeparator(folder[2]);
  return drive || unc;
}

// A variable's value in a buffer of its own; empty when unset or too long.
const wchar_t* Variable(const wchar_t* name, wchar_t* buffer) {
  const DWORD length = GetEnvironmentVariableW(name, buffer, kLongest);
  if (length == 0 || length >= kLongest) buffer[0] = L'\0';
  return buffer;
}

// Leaves the file found in buffers->candidate.
std::uint32_t Search(const char16_t* name) {
  const wchar_t* extensions = Variable(L"PATHEXT", buffers->executableExtensions);
  if (extensions[0] == L'\0') extensions = L".COM;.EXE;.BAT;.CMD";

  if (HasPathSeparator(name)) {
    if (Compose(L"", 0, name, L"", 0)) {
      const DWORD attributes = GetFileAttributesW(buffers->candidate);
      if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ERROR_ACCESS_DENIED : 0;
      }
    }
    return !HasExtension(name) && FindIn(L"", 0, name, extensions) ? 0 : ERROR_FILE_NOT_FOUND;
  }

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
    if (IsAbsoluteFolder(start, trimmed) && FindIn(start, trimmed, name, extensions)) return 0;
    folder += length;
    if (*folder == L';') ++folder;
  }
  return ERROR_FILE_NOT_FOUND;
}

// An app execution alias: a reparse point of its own tag, which the platform documents as
// what FindFirstFileW gives in dwReserved0 for a reparse point.
bool IsAppExecutionAlias(const wchar_t* path) {
  constexpr DWORD kAppExecutionLinkTag = 0x8000001B;  // IO_REPARSE_TAG_APPEXECLINK
  WIN32_FIND_DATAW found = {};
  const HANDLE search = FindFirstFileW(path, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         found.dwReserved0 == kAppExecutionLinkTag;
}

// What cmd.exe reads as something other than text even inside quotes: % expands a variable,
// a quote ends the quoting, and a line break ends the command. No quoting carries these to a
// batch file as written, so such an argument is refused.
bool CmdCannotCarry(const wchar_t* text) {
  for (; *text != L'\0'; ++text) {
    if (*text == L'%' || *text == L'"' || *text == L'\r' || *text == L'\n') return true;
  }
  return false;
}

// Outside quotes, cmd.exe acts on & | < > ^ ( ), and parts a batch file's parameters at
// spaces, commas, semicolons and equals signs; anything but these plain characters is quoted,
// and an empty argument too, so that it still counts as one.
bool NeedsQuotesForCmd(const wchar_t* text) {
  if (*text == L'\0') return true;
  for (; *text != L'\0'; ++text) {
    const wchar_t unit = *text;
    const bool plain = (unit >= L'a' && unit <= L'z') || (unit >= L'A' && unit <= L'Z') ||
                       (unit >= L'0' && unit <= L'9') || unit == L'-' || unit == L'_' ||
                       unit == L'.' || unit == L'/' || unit == L'\\' || unit == L':' ||
                       unit == L'+' || unit == L'@' || unit == L'#' || unit == L'$' ||
                       unit == L'~' || unit == L'[' || unit == L']' || unit == L'{' ||
                       unit == L'}' || unit == L'\'';
    if (!plain) return true;
  }
  return false;
}

// cmd.exe from the system folder, never %ComSpec% or PATH, without AutoRun (/d) or delayed
// expansion (/v:off, which a registry value can turn on for every cmd.exe), given the batch
// file's full path in quotes so that cmd.exe never looks the name up again, current folder
// first. With /s, cmd.exe strips the outer pair of quotes and runs the rest. The arguments are
// the ones buttonguard split, never the raw text: callers quote by the C runtime's rules,
// which cmd.exe does not know, so raw text quoted correctly for a program could still run
// commands here.
std::uint32_t StartThroughCmd(const wchar_t* batchFile, int argumentCount,
                              const char16_t* const* arguments, int firstArgument) {
  if (CmdCannotCarry(batchFile)) return ERROR_INVALID_PARAMETER;
  Builder program{buffers->program};
  const UINT folderLength = GetSystemDirectoryW(buffers->program, kLongest);
  if (folderLength == 0 || folderLength >= kLongest) return ERROR_PATH_NOT_FOUND;
  program.used = folderLength;
  program.Append(L"\\cmd.exe");
  Builder line{buffers->commandLine};
  line.Append(L"\"").Append(buffers->program).Append(L"\" /d /v:off /s /c ");
  const std::size_t commandStart = line.used;
  line.Append(L"\"\"");
  line.Append(batchFile).Append(L"\"");
  for (int i = firstArgument; i < argumentCount; ++i) {
    const auto* argument = reinterpret_cast<const wchar_t*>(arguments[i]);
    if (CmdCannotCarry(argument)) return ERROR_INVALID_PARAMETER;
    // A batch file passes its arguments on as they came (%*, or "%~1" with the quotes taken
    // off and put back), and the program they reach splits them by the C runtime's rules,
    // where backslashes before a quote escape it: those at the end are doubled inside quotes,
    // so that "C:\dir\" can never swallow the quote and the arguments after it.
    std::size_t length = 0;
    std::size_t trailing = 0;
    for (; argument[length] != L'\0'; ++length)
      trailing = argument[length] == L'\\' ? trailing + 1 : 0;
    const bool quoted = trailing > 0 || NeedsQuotesForCmd(argument);
    line.Append(quoted ? L" \"" : L" ").Append(argument);
    for (std::size_t j = 0; j < trailing; ++j) line.Append(L"\\");
    if (quoted) line.Append(L"\"");
  }
  line.Append(L"\"");
  if (!program.fits || !line.fits) return ERROR_FILENAME_EXCED_RANGE;
  // cmd.exe takes a command of at most this many characters; a longer one it cuts or refuses
  // with a message of its own, once the buttons are blocked.
  return line.used - commandStart <= kLongestCmdLine ? 0 : ERROR_BAD_LENGTH;
}

// Only what CreateProcessW starts: programs it can load, and batch files through cmd.exe.
// Anything else (.js, .vbs, .msc, .msi, ...) would only fail once the scheme is blocked.
std::uint32_t PrepareStart(const wchar_t* commandLineTail, int argumentCount,
                           const char16_t* const* arguments, int commandIndex) {
  const wchar_t* found = buffers->candidate;
  // The full path, into `searchPath`, whose folders are no longer needed.
  const DWORD fullLength = GetFullPathNameW(found, kLongest, buffers->searchPath, nullptr);
  if (fullLength == 0 || fullLength >= kLongest) return ERROR_FILENAME_EXCED_RANGE;
  const wchar_t* fullPath = buffers->searchPath;
  const wchar_t* extension = ExtensionOf(fullPath);
  if (extension == nullptr) return ERROR_BAD_EXE_FORMAT;
  DWORD binaryType = 0;
  switch (HowToStart(reinterpret_cast<const char16_t*>(extension), IsAppExecutionAlias(fullPath))) {
    case StartKind::ThroughCmd:
      return StartThroughCmd(fullPath, argumentCount, arguments, commandIndex + 1);
    case StartKind::CheckedProgram:
      if (GetBinaryTypeW(fullPath, &binaryType) &&
          (binaryType == SCS_32BIT_BINARY || binaryType == SCS_64BIT_BINARY)) {
        break;
      }
      return ERROR_BAD_EXE_FORMAT;
    case StartKind::Program:
      break;
    case StartKind::Refused:
      return ERROR_BAD_EXE_FORMAT;
  }
  Builder program{buffers->program};
  Builder line{buffers->commandLine};
  program.Append(fullPath);
  line.Append(commandLineTail);
  return program.fits && line.fits ? 0 : ERROR_FILENAME_EXCED_RANGE;
}

}  // namespace

FoundCommand TheFoundCommand() { return {buffers->program, buffers->commandLine}; }

bool IsInSystemFolder(const wchar_t* program) {
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  return length > 0 && length < MAX_PATH && Length(program) > length &&
         IsSeparator(program[length]) &&
         CompareStringOrdinal(program, static_cast<int>(length), folder, static_cast<int>(length),
                              TRUE) == CSTR_EQUAL;
}

bool IsNotFoundStatus(std::uint32_t status) {
  return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND;
}

std::uint32_t FindCommand(int argumentCount, const char16_t* const* arguments, int commandIndex) {
  const char16_t* name = arguments[commandIndex];
  if (name[0] == u'\0') return ERROR_FILE_NOT_FOUND;
  const NativeSystemFolder native;
  buffers = static_cast<CommandBuffers*>(std::malloc(sizeof(CommandBuffers)));
  if (buffers == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  if (const std::uint32_t status = Search(name)) return status;
  return PrepareStart(CommandLineTail(commandIndex), argumentCount, arguments, commandIndex);
}

// Starting and waiting for run's command on Windows. The command shares buttonguard's console,
// so Ctrl+C and Ctrl+Break reach it directly; buttonguard ignores them and waits. Closing the
// console, logoff and shutdown end buttonguard within seconds whatever it does, so the scheme
// is put back first: on the console's handler thread for a close, on the session window's
// thread for logoff and shutdown.

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "command_lookup_windows.h"
#include "command_process.h"
#include "console_events_windows.h"
#include "session_end_windows.h"

namespace {

HANDLE commandProcess = nullptr;
std::int32_t commandStatus = 0;
// With the whole tree followed: the job that holds the command and all it starts, and the
// port the job says on that its last process has ended.
HANDLE treeJob = nullptr;
HANDLE treePort = nullptr;

SRWLOCK schemeLock = SRWLOCK_INIT;
SRWLOCK reportLock = SRWLOCK_INIT;
void (*putBackBeforeTheEnd)() = nullptr;

std::uint32_t LastStatus() {
  const DWORD status = GetLastError();
  return status != 0 ? status : ERROR_GEN_FAILURE;
}

// Inheritable copies of buttonguard's standard handles, one a handle however many of the
// three it serves as; the command inherits these and nothing else.
struct StandardHandles {
  HANDLE forCommand[3] = {};
  HANDLE distinct[3] = {};
  DWORD count = 0;

  ~StandardHandles() {
    for (DWORD i = 0; i < count; ++i) CloseHandle(distinct[i]);
  }
};

std::uint32_t CopyStandardHandles(StandardHandles& handles) {
  const DWORD kinds[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  HANDLE originals[3] = {};
  for (int i = 0; i < 3; ++i) {
    originals[i] = GetStdHandle(kinds[i]);
    // None at all (a service, a detached process): the command gets none either.
    if (originals[i] == nullptr || originals[i] == INVALID_HANDLE_VALUE) continue;
    for (int j = 0; j < i && handles.forCommand[i] == nullptr; ++j) {
      if (originals[j] == originals[i]) handles.forCommand[i] = handles.forCommand[j];
    }
    if (handles.forCommand[i] != nullptr) continue;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), originals[i], GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
      return LastStatus();
    }
    handles.forCommand[i] = copy;
    handles.distinct[handles.count++] = copy;
  }
  return 0;
}

// The attribute that limits what the command inherits to `handles`.
struct InheritanceList {
  LPPROC_THREAD_ATTRIBUTE_LIST attributes = nullptr;

  ~InheritanceList() {
    if (attributes == nullptr) return;
    DeleteProcThreadAttributeList(attributes);
    std::free(attributes);
  }
};

std::uint32_t LimitInheritance(InheritanceList& list, StandardHandles& handles) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  void* memory = std::malloc(size);
  if (memory == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  auto* attributes = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(memory);
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
    const std::uint32_t status = LastStatus();
    std::free(memory);
    return status;
  }
  list.attributes = attributes;
  if (!UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.distinct,
                                 handles.count * sizeof(HANDLE), nullptr, nullptr)) {
    return LastStatus();
  }
  return 0;
}

// Processes may still leave the job on purpose (breakaway), as the servers of some installers
// do; a program that asks to leave a job that allows none would fail to start them instead.
std::uint32_t MakeTreeJob() {
  treeJob = CreateJobObjectW(nullptr, nullptr);
  treePort = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT port = {treeJob, treePort};
  // A limit the platform takes in the extended form only.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  if (treeJob == nullptr || treePort == nullptr ||
      !SetInformationJobObject(treeJob, JobObjectAssociateCompletionPortInformation, &port,
                               sizeof port) ||
      !SetInformationJobObject(treeJob, JobObjectExtendedLimitInformation, &limits,
                               sizeof limits)) {
    return LastStatus();
  }
  return 0;
}

}  // namespace

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // Console closed, or logoff or shutdown where the platform still sends them this way: the
  // process ends when this returns, or after a few seconds.
  putBackBeforeTheEnd();
  return FALSE;  // the default handler ends the process, as it would have without us
}

void HoldInterruptions(void (*beforeTheEnd)()) {
  putBackBeforeTheEnd = beforeTheEnd;
  // Without a console (a service, a scheduled task) there are no console events.
  static_cast<void>(SetConsoleCtrlHandler(OnConsoleEvent, TRUE));
  WatchForSessionEnd(beforeTheEnd);
}

void LockScheme() { AcquireSRWLockExclusive(&schemeLock); }
void UnlockScheme() { ReleaseSRWLockExclusive(&schemeLock); }
void LockReport() { AcquireSRWLockExclusive(&reportLock); }
void UnlockReport() { ReleaseSRWLockExclusive(&reportLock); }

namespace {

// The path as the platform makes it absolute, in `full` (at most kLongestPath units); 0 when
// it cannot be had.
constexpr DWORD kLongestPath = 32768;

// A drive-letter path ("C:\\...") or a share's ("\\\\server\\share\\..."): never a device
// ("\\\\.\\PhysicalDrive0", "\\\\.\\C:") or a path the platform takes without parsing it
// ("\\\\?\\...").
bool IsFilePath(const wchar_t* full) {
  const bool drive =
      ((full[0] | 0x20) >= L'a' && (full[0] | 0x20) <= L'z') && full[1] == L':' && full[2] == L'\\';
  const bool share = full[0] == L'\\' && full[1] == L'\\' && full[2] != L'.' && full[2] != L'?';
  return drive || share;
}

// True when no folder on the way to `full` (below its drive or share) is a reparse point,
// which would take the file somewhere else: a junction, a link, a mount point.
bool HasNoLinkOnTheWay(wchar_t* full) {
  for (wchar_t* cut = full + 3; *cut != L'\0'; ++cut) {
    if (*cut != L'\\') continue;
    *cut = L'\0';
    const DWORD attributes = GetFileAttributesW(full);
    *cut = L'\\';
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return false;
    }
  }
  return true;
}

// The name the platform gives the open file is the one asked for, in its long form (a short
// 8.3 name such as ADMINI~1 is the same file): nothing on the way was swapped for a link
// since it was looked at.
bool IsTheFileAsked(HANDLE file, const wchar_t* asked) {
  static wchar_t opened[kLongestPath];
  static wchar_t longName[kLongestPath];
  const DWORD longLength = GetLongPathNameW(asked, longName, kLongestPath);
  if (longLength == 0 || longLength >= kLongestPath) return false;
  const wchar_t* full = longName;
  const DWORD length =
      GetFinalPathNameByHandleW(file, opened, kLongestPath, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= kLongestPath) return false;
  // "\\\\?\\C:\\..." for a drive, "\\\\?\\UNC\\server\\..." for a share.
  const wchar_t* name = opened;
  if (std::wcsncmp(name, L"\\\\?\\UNC\\", 8) == 0) {
    name += 7;
    if (full[0] != L'\\') return false;
    ++full;
  } else if (std::wcsncmp(name, L"\\\\?\\", 4) == 0) {
    name += 4;
  }
  return CompareStringOrdinal(name, -1, full, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

std::FILE* OpenReportFile(const char16_t* path, std::uint32_t& status) {
  const auto* name = reinterpret_cast<const wchar_t*>(path);
  // Whatever the caller names is opened with buttonguard's rights, so it must be the file
  // named and nothing else: a file on a disk reached without a link (or the NUL device that
  // drops the report), never a device or a pipe, whose server could act as buttonguard (it
  // may learn who connected, identification only). Refused before anything is read. Only
  // added to, and not inherited: the command inherits its standard handles and nothing else.
  static wchar_t full[kLongestPath];
  const DWORD length = GetFullPathNameW(name, kLongestPath, full, nullptr);
  // The platform gives every name of the NUL device (nul, NUL:, nul.txt) as \\.\NUL.
  const bool nul =
      length == 7 && CompareStringOrdinal(full, 7, L"\\\\.\\NUL", 7, TRUE) == CSTR_EQUAL;
  if (length == 0 || length >= kLongestPath ||
      (!nul && (!IsFilePath(full) || !HasNoLinkOnTheWay(full)))) {
    status = length == 0 ? LastStatus() : ERROR_BAD_FILE_TYPE;
    return nullptr;
  }
  // A link at the end is opened itself, not followed, and then refused.
  const HANDLE handle = CreateFileW(full, FILE_APPEND_DATA | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
                                        SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                    nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    status = LastStatus();
    return nullptr;
  }
  const bool made = GetLastError() != ERROR_ALREADY_EXISTS;
  const DWORD type = GetFileType(handle);
  BY_HANDLE_FILE_INFORMATION information{};
  const bool plain = nul ? type == FILE_TYPE_CHAR
                         : type == FILE_TYPE_DISK &&
                               GetFileInformationByHandle(handle, &information) != FALSE &&
                               (information.dwFileAttributes &
                                (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
                               IsTheFileAsked(handle, full);
  std::FILE* file = nullptr;
  if (!plain) {
    status = ERROR_BAD_FILE_TYPE;
  } else {
    const int descriptor =
        _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_BINARY);
    file = descriptor >= 0 ? _fdopen(descriptor, "ab") : nullptr;
    if (file != nullptr) return file;
    status = ERROR_NOT_ENOUGH_MEMORY;
    if (descriptor >= 0) {
      _close(descriptor);
      return nullptr;
    }
  }
  CloseHandle(handle);
  // Made here and refused: nothing is left where a link led.
  if (made && !nul) DeleteFileW(full);
  return nullptr;
}

std::uint32_t StartCommand(bool wholeTree) {
  StandardHandles handles;
  InheritanceList inheritance;
  if (const std::uint32_t status = CopyStandardHandles(handles)) return status;
  if (handles.count > 0) {
    if (const std::uint32_t status = LimitInheritance(inheritance, handles)) return status;
  }
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = handles.forCommand[0];
  startup.StartupInfo.hStdOutput = handles.forCommand[1];
  startup.StartupInfo.hStdError = handles.forCommand[2];
  startup.lpAttributeList = inheritance.attributes;
  if (wholeTree) {
    if (const std::uint32_t status = MakeTreeJob()) return status;
  }
  const FoundCommand command = TheFoundCommand();
  PROCESS_INFORMATION process = {};
  const NativeSystemFolder native(IsInSystemFolder(command.program));
  // In the job before its first instruction, so that nothing it starts escapes.
  if (!CreateProcessW(command.program, command.commandLine, nullptr, nullptr,
                      handles.count > 0 ? TRUE : FALSE,
                      (inheritance.attributes != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0) |
                          (wholeTree ? CREATE_SUSPENDED : 0),
                      nullptr, nullptr, &startup.StartupInfo, &process)) {
    return LastStatus();
  }
  std::uint32_t status = 0;
  if (wholeTree && (!AssignProcessToJobObject(treeJob, process.hProcess) ||
                    ResumeThread(process.hThread) == static_cast<DWORD>(-1))) {
    status = LastStatus();
    TerminateProcess(process.hProcess, status);
  }
  CloseHandle(process.hThread);
  commandProcess = process.hProcess;
  return status;
}

std::uint32_t WaitForCommand(std::int32_t& exitStatus, unsigned milliseconds) {
  if (commandProcess != nullptr) {
    DWORD code = 0;
    const DWORD waited = WaitForSingleObject(commandProcess, milliseconds);
    if (waited == WAIT_TIMEOUT) return kCommandStillRunning;
    const bool failed = waited == WAIT_FAILED || !GetExitCodeProcess(commandProcess, &code);
    const std::uint32_t status = failed ? LastStatus() : 0;
    CloseHandle(commandProcess);
    commandProcess = nullptr;
    commandStatus = static_cast<std::int32_t>(code);
    if (failed || treeJob == nullptr) {
      exitStatus = commandStatus;
      return status;
    }
  }
  // The job's own count of its processes decides, read afresh whenever a message comes and
  // whenever none came in time: a job some program of the tree made for itself sends its
  // messages to this port too (its last process gone while the tree runs on), and a message
  // may be lost. Never longer than `milliseconds` however many messages come, so that the
  // active scheme is still looked at every second.
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  for (;;) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (!QueryInformationJobObject(treeJob, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof accounting, nullptr)) {
      return LastStatus();
    }
    if (accounting.ActiveProcesses == 0) {
      exitStatus = commandStatus;
      return 0;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return kCommandStillRunning;
    DWORD message = 0;
    ULONG_PTR job = 0;
    OVERLAPPED* unused = nullptr;
    if (!GetQueuedCompletionStatus(treePort, &message, &job, &unused,
                                   static_cast<DWORD>(deadline - now)) &&
        GetLastError() != WAIT_TIMEOUT) {
      return LastStatus();
    }
  }
}

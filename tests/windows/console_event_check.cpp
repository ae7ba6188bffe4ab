// Delivers the console events that no console under test can send (close, logoff, shutdown
// reach a process only from a real console window or session), straight to run's handler.
//
// `console_event_check run COMMAND...` is buttonguard's run, with a second thread that
// delivers `BUTTONGUARD_CHECK_EVENT` (a CTRL_*_EVENT number) and then ends the process as the
// platform would. By default the event comes while the command runs, after a Ctrl+C that must
// change nothing. With BUTTONGUARD_CHECK_MOMENT=block it comes while run is still blocking,
// held in its first read by the store's lock; run must then never start its command.
//
// Commands for run: `console_event_check wait` waits until the scheme is no longer blocked,
// and a second longer, as a command that outlives buttonguard would; `console_event_check end-session` ends the
// session as logoff does (Wine's `wineboot --end-session`), then waits the same way;
// `console_event_check switch SCHEME` makes SCHEME active and waits until run has blocked it.
// `console_event_check close-app` sends run's window the Restart Manager's request to close
// (ENDSESSION_CLOSEAPP) and waits the same way; `console_event_check cancelled-end` sends it
// an end someone else refused, and checks that the scheme stays blocked; `held-end` ends the
// session as `end-session` does, and checks that run refused it (wineboot exits 1) and the
// scheme stays blocked.
// `console_event_check look MS` waits MS milliseconds, then writes to STORE.seen whether the
// scheme is still blocked. `console_event_check hand-off LOOK EXIT` starts `look LOOK` and exits
// 3 after EXIT milliseconds: as a setup program that hands its work on does when EXIT is 0,
// and outliving its child when LOOK is the shorter.
// `console_event_check reused-process-id`, run on its own, writes a record naming its own
// process, alive, with another start time, as a dead run's id used again would look, and
// recovers in-process, writing recover's report.
// `console_event_check open-record-key SDDL`, run on its own, gives run's record key that
// owner and access list, one that lets someone other than administrators change it.
// `console_event_check hold-lock`, run on its own, takes the lock all buttonguard processes
// share, writes its process id to STORE.held, and holds the lock until it is ended.
// `console_event_check squat-lock SDDL` makes the lock's mutex first, with that security
// descriptor, writes its process id to STORE.held, and keeps the mutex until it is ended.
// `console_event_check pipe NAME`, run on its own, serves the pipe \\.\pipe\NAME, writes its
// process id to STORE.held, and ends once a client has connected.
// `console_event_check args ...` prints its arguments as the C runtime split them, each in [].
// `console_event_check await MARK` waits until MARK exists; `console_event_check release
// MARK AWAIT` makes MARK, waits until AWAIT exists, then writes to STORE.seen whether the
// scheme is still blocked: two runs side by side, the first ending while the second runs.

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "console_events_windows.h"
#include "run_command.h"
#include "run_records.h"

namespace {

constexpr int kPolls = 3000;                   // of 10 ms: half a minute at the most
constexpr UINT kEndedByTheEvent = 0xC000013A;  // what the default handler ends a process with
constexpr int kCtrlCChangedSomething = 3;

std::wstring Variable(const wchar_t* name) {
  wchar_t buffer[4096];
  const DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
  return length > 0 && length < 4096 ? std::wstring(buffer, length) : std::wstring();
}

HANDLE OpenShared(const std::wstring& path, DWORD access, DWORD disposition) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The store's own lock, as every store call takes it; released by closing it.
HANDLE LockStore() {
  const std::wstring store = Variable(L"BUTTONGUARD_STORE");
  const HANDLE lock = OpenShared(store + L".lock", GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
  OVERLAPPED whole = {};
  if (lock == INVALID_HANDLE_VALUE || !LockFileEx(lock, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
    ExitProcess(5);
  }
  return lock;
}

// Under the store's lock: the store replaces its file by renaming over it, which a read at
// that moment would make fail.
std::string ReadStore() {
  const HANDLE file = CreateFileW(Variable(L"BUTTONGUARD_STORE").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string text;
  if (file == INVALID_HANDLE_VALUE) return text;
  char buffer[1024];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

// Whether `scheme` (the first one when empty) holds zeros.
bool SchemeBlocked(const std::string& scheme = "") {
  const HANDLE lock = LockStore();
  const std::string text = ReadStore();
  CloseHandle(lock);
  const std::size_t start = scheme.empty() ? 0 : text.find("scheme " + scheme + "\n");
  return start != std::string::npos &&
         text.find("power-button 0 0\nlid-close 0 0\nsleep-button 0 0\n", start) !=
             std::string::npos;
}

// Makes `scheme` the active one, under the store's lock, as a person editing the file would.
void SwitchTo(const std::string& scheme) {
  const HANDLE lock = LockStore();
  std::string text = ReadStore();
  if (const std::size_t active = text.find("active "); active != std::string::npos) {
    text.erase(active, text.find('\n', active) + 1 - active);
  }
  text += "active " + scheme + "\n";
  const HANDLE file = CreateFileW(Variable(L"BUTTONGUARD_STORE").c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
  DWORD written = 0;
  if (file == INVALID_HANDLE_VALUE ||
      !WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    ExitProcess(8);
  }
  CloseHandle(file);
  CloseHandle(lock);
}

// Beside the store: the command is running. An event that ends buttonguard while the command
// is still starting is not what this check is about.
std::wstring StartedMark() { return Variable(L"BUTTONGUARD_STORE") + L".command-started"; }

bool WaitUntil(bool blocked) {
  for (int i = 0; i < kPolls; ++i) {
    if (SchemeBlocked() == blocked) return true;
    Sleep(10);
  }
  return false;
}

constexpr int kStartedAfterTheEnd = 6;

// The messages of a session's end, sent straight to run's window as the platform sends them.
bool SendSessionEnd(WPARAM ends, LPARAM reason) {
  const HWND window = FindWindowW(L"buttonguard.session", nullptr);
  if (window == nullptr) return false;
  SendMessageW(window, WM_QUERYENDSESSION, 0, reason);
  SendMessageW(window, WM_ENDSESSION, ends, reason);
  return true;
}

DWORD WINAPI DeliverTheEvent(void*) {
  OnConsoleEvent(static_cast<DWORD>(_wtoi(Variable(L"BUTTONGUARD_CHECK_EVENT").c_str())));
  return 0;
}

HANDLE storeLocked = CreateEventW(nullptr, TRUE, FALSE, nullptr);

DWORD WINAPI DeliverTheEventDuringTheBlock(void*) {
  const HANDLE store = LockStore();
  SetEvent(storeLocked);
  // The session window comes just before the block, whose first read then waits for the store.
  for (int i = 0; FindWindowW(L"buttonguard.session", nullptr) == nullptr; ++i) {
    if (i == kPolls) ExitProcess(2);
    Sleep(10);
  }
  Sleep(300);
  const HANDLE event = CreateThread(nullptr, 0, DeliverTheEvent, nullptr, 0, nullptr);
  Sleep(300);
  CloseHandle(store);
  WaitForSingleObject(event, INFINITE);
  // Time enough for a run that missed the event to start its command.
  Sleep(1000);
  const bool started = GetFileAttributesW(StartedMark().c_str()) != INVALID_FILE_ATTRIBUTES;
  ExitProcess(started ? kStartedAfterTheEnd : kEndedByTheEvent);
}

DWORD WINAPI DeliverEvents(void*) {
  if (!WaitUntil(true)) ExitProcess(2);
  for (int i = 0; GetFileAttributesW(StartedMark().c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
    if (i == kPolls) ExitProcess(2);
    Sleep(10);
  }
  OnConsoleEvent(CTRL_C_EVENT);
  OnConsoleEvent(CTRL_BREAK_EVENT);
  if (!SchemeBlocked()) ExitProcess(kCtrlCChangedSomething);
  OnConsoleEvent(static_cast<DWORD>(_wtoi(Variable(L"BUTTONGUARD_CHECK_EVENT").c_str())));
  ExitProcess(kEndedByTheEvent);
}

}  // namespace

// Gives run's record key the owner and access list `sddl`, as a careless administrator (or a
// tool) might: run and recover must then refuse the key.
int OpenTheRecordKey(const wchar_t* sddl) {
  HKEY key = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\buttonguard", 0, nullptr, 0,
                      WRITE_DAC | WRITE_OWNER | KEY_WOW64_64KEY, nullptr, &key,
                      nullptr) != ERROR_SUCCESS ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return 10;
  }
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  const bool withOwner = GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner;
  const LSTATUS status = RegSetKeySecurity(
      key, DACL_SECURITY_INFORMATION | (withOwner ? OWNER_SECURITY_INFORMATION : 0), descriptor);
  LocalFree(descriptor);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? 0 : 11;
}

// This process's id in STORE.held, for taskkill: it is ready.
void WriteOwnId() {
  const HANDLE held = OpenShared(Variable(L"BUTTONGUARD_STORE") + L".held", GENERIC_WRITE,
                                 CREATE_ALWAYS);
  const std::string id = std::to_string(GetCurrentProcessId());
  DWORD written = 0;
  WriteFile(held, id.data(), static_cast<DWORD>(id.size()), &written, nullptr);
  CloseHandle(held);
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void AwaitFile(const std::wstring& path) {
  for (int i = 0; i < kPolls && !Exists(path); ++i) Sleep(10);
}

void MakeFile(const std::wstring& path) {
  CloseHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Starts `commandLine`, and waits for it to end when asked to.
bool Start(std::wstring commandLine, bool wait) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return false;
  }
  if (wait) WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

// Starts this program again with `mode`, and lets it run on its own.
bool StartItself(const wchar_t* mode) {
  wchar_t self[MAX_PATH];
  if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return false;
  return Start(L"\"" + std::wstring(self) + L"\" " + mode, false);
}

int WriteWhatItSees() {
  const char* seen = SchemeBlocked() ? "blocked" : "unblocked";
  const HANDLE file = OpenShared(Variable(L"BUTTONGUARD_STORE") + L".seen", GENERIC_WRITE,
                                 CREATE_ALWAYS);
  DWORD written = 0;
  WriteFile(file, seen, static_cast<DWORD>(std::strlen(seen)), &written, nullptr);
  CloseHandle(file);
  return 0;
}

int RecoverARecordOfThisProcessId() {
  const SchemeIdentifier balanced{
      0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}};
  RunRecord record = OwnRunRecord(balanced, ButtonPolicy{3, 4, 1, 2, 0, 5});
  record.processStart += 1;
  if (WriteRunRecord(record) != 0) return 12;
  _setmode(_fileno(stdout), _O_BINARY);
  const char16_t* const words[] = {u"console_event_check", u"recover", nullptr};
  return RunCommand(2, words).exitStatus;
}

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wcscmp(argv[1], L"reused-process-id") == 0) {
    return RecoverARecordOfThisProcessId();
  }
  if (argc == 3 && std::wcscmp(argv[1], L"open-record-key") == 0) return OpenTheRecordKey(argv[2]);
  if (argc == 2 && std::wcscmp(argv[1], L"hold-lock") == 0) {
    if (LockRuns() != 0) return 12;
    WriteOwnId();
    Sleep(INFINITE);
  }
  if (argc == 3 && std::wcscmp(argv[1], L"squat-lock") == 0) {
    // The lock's name taken first, by an object of someone else's making (`argv[2]`: its
    // security descriptor), held open while it lives.
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            argv[2], SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr) ||
        CreateMutexW(&attributes, FALSE, L"Global\\buttonguard.runs") == nullptr) {
      return 12;
    }
    WriteOwnId();
    Sleep(INFINITE);
  }
  if (argc == 3 && std::wcscmp(argv[1], L"pipe") == 0) {
    const HANDLE pipe = CreateNamedPipeW((std::wstring(L"\\\\.\\pipe\\") + argv[2]).c_str(),
                                         PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 13;
    WriteOwnId();
    ConnectNamedPipe(pipe, nullptr);
    return 0;
  }
  if (argc >= 2 && std::wcscmp(argv[1], L"args") == 0) {
    for (int i = 2; i < argc; ++i) std::printf("[%ls]", argv[i]);
    std::printf("\n");
    return 0;
  }
  if (argc == 3 && std::wcscmp(argv[1], L"await") == 0) {
    AwaitFile(argv[2]);
    return Exists(argv[2]) ? 0 : 4;
  }
  if (argc == 4 && std::wcscmp(argv[1], L"release") == 0) {
    MakeFile(argv[2]);
    AwaitFile(argv[3]);
    return WriteWhatItSees();
  }
  if (argc == 4 && std::wcscmp(argv[1], L"hand-off") == 0) {
    if (!StartItself((L"look " + std::wstring(argv[2])).c_str())) return 7;
    Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
    return 3;
  }
  if (argc == 3 && std::wcscmp(argv[1], L"look") == 0) {
    Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    return WriteWhatItSees();
  }
  if (argc == 3 && std::wcscmp(argv[1], L"churn") == 0) {
    // As an installer running many small steps: process after process, each a message to
    // the job's port, while the switch waits to be followed.
    const std::string scheme(argv[2], argv[2] + std::wcslen(argv[2]));
    SwitchTo(scheme);
    wchar_t self[MAX_PATH];
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return 7;
    for (int i = 0; i < kPolls && !SchemeBlocked(scheme); ++i) {
      Start(L"\"" + std::wstring(self) + L"\" await .", true);
    }
    return SchemeBlocked(scheme) ? 0 : 9;
  }
  if (argc == 3 && std::wcscmp(argv[1], L"switch") == 0) {
    const std::string scheme(argv[2], argv[2] + std::wcslen(argv[2]));
    SwitchTo(scheme);
    for (int i = 0; i < kPolls && !SchemeBlocked(scheme); ++i) Sleep(10);
    return SchemeBlocked(scheme) ? 0 : 9;
  }
  if (argc == 2 && std::wcscmp(argv[1], L"close-app") == 0) {
    if (!SendSessionEnd(TRUE, ENDSESSION_CLOSEAPP)) return 7;
    return WaitUntil(false) ? 0 : 4;
  }
  if (argc == 2 && std::wcscmp(argv[1], L"held-end") == 0) {
    // wineboot exits 1 when a window refused the end; the scheme must still be blocked then.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    wchar_t commandLine[] = L"wineboot.exe --end-session";
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
      return 7;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD refused = 0;
    GetExitCodeProcess(process.hProcess, &refused);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (refused != 1) return 8;
    return SchemeBlocked() ? 0 : 4;
  }
  if (argc == 2 && std::wcscmp(argv[1], L"cancelled-end") == 0) {
    if (!SendSessionEnd(FALSE, 0)) return 7;
    Sleep(500);
    return SchemeBlocked() ? 0 : 4;
  }
  const bool endSession = argc == 2 && std::wcscmp(argv[1], L"end-session") == 0;
  if (argc == 2 && (endSession || std::wcscmp(argv[1], L"wait") == 0)) {
    CloseHandle(CreateFileW(StartedMark().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (endSession && !Start(L"wineboot.exe --end-session", true)) return 7;
    if (!WaitUntil(false)) return 4;
    // An end that ends buttonguard does so within this second; one that does not (the
    // Restart Manager's) leaves it to see the command end.
    Sleep(1000);
    return 0;
  }

  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::u16string> words;
  for (int i = 0; i < argc; ++i) words.emplace_back(argv[i], argv[i] + std::wcslen(argv[i]));
  std::vector<const char16_t*> arguments;
  for (const std::u16string& word : words) arguments.push_back(word.c_str());
  arguments.push_back(nullptr);

  const bool duringTheBlock = Variable(L"BUTTONGUARD_CHECK_MOMENT") == L"block";
  CloseHandle(CreateThread(nullptr, 0, duringTheBlock ? DeliverTheEventDuringTheBlock : DeliverEvents,
                           nullptr, 0, nullptr));
  if (duringTheBlock) WaitForSingleObject(storeLocked, INFINITE);
  RunCommand(argc, arguments.data());
  // The command may end as soon as the handler has put the scheme back; the event's thread
  // ends the process, as the platform would.
  Sleep(INFINITE);
  return 1;
}

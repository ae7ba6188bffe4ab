#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string_view>

#include "boot_recovery_service_windows.h"
#include "run_command.h"

namespace {

// The tool works on char16_t; the platform hands out wchar_t, the same UTF-16 units under
// another type. Copying them, once, keeps the shared code free of aliasing tricks.
const char16_t* const* CopyArguments(int count, wchar_t** arguments) {
  const auto argumentCount = static_cast<std::size_t>(count);
  std::size_t units = 0;
  for (std::size_t i = 0; i < argumentCount; ++i) units += std::wcslen(arguments[i]) + 1;
  // One block: the pointer array, then the text it points into.
  const std::size_t pointerBytes = sizeof(char16_t*) * (argumentCount + 1);
  void* block = std::malloc(pointerBytes + sizeof(char16_t) * units);
  if (block == nullptr) return nullptr;
  auto** pointers = static_cast<char16_t**>(block);
  auto* text = reinterpret_cast<char16_t*>(static_cast<char*>(block) + pointerBytes);
  for (std::size_t i = 0; i < argumentCount; ++i) {
    pointers[i] = text;
    for (const wchar_t* unit = arguments[i]; *unit != L'\0'; ++unit) {
      *text++ = static_cast<char16_t>(*unit);
    }
    *text++ = u'\0';
  }
  pointers[argumentCount] = nullptr;
  return pointers;
}

// What msvcrt's splitter fills in about the C runtime's heap; 0 keeps its default.
struct StartupInfo {
  // cppcheck-suppress unusedStructMember ; msvcrt reads it
  int newMode;
};

}  // namespace

// What the C runtime does on a fatal error: a console program writes to standard error, any
// other shows a message box, which would hang an unattended elevated process. MinGW's start-up
// code says which; no header declares it. 1: _CONSOLE_APP.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): msvcrt's name
extern "C" void __set_app_type(int type);
constexpr int kConsoleApp = 1;

// msvcrt's own command-line splitter, the one MinGW's start-up code calls; no header declares it.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): msvcrt's name
extern "C" int __wgetmainargs(int* count, wchar_t*** arguments, wchar_t*** environment,
                              int expandWildcards, StartupInfo* startupInfo);

// The platform has already split the command line by its own rules into UTF-16 arguments.
int wmain(int argc, wchar_t** argv) {
  // The tool runs elevated: a DLL that the platform loads on demand later (for the session
  // window, for the component-object library) comes from the system folder, never from the
  // folder buttonguard was started from.
  static_cast<void>(SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32));
  const char16_t* const* arguments = CopyArguments(argc, argv);
  if (arguments == nullptr) return HresultFromWin32(8);  // ERROR_NOT_ENOUGH_MEMORY
  // Started by the service control manager, with no console and no standard streams.
  if (argc == 2 && std::u16string_view(arguments[1]) == kBootRecoveryServiceArgument) {
    return RunBootRecoveryService();
  }
  // The report writes its own CR LF; text mode would double the CR.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // The process ends right after; the copies go with it.
  return RunCommand(argc, arguments).exitStatus;
}

// The process entry (the linker's -e). MinGW's start-up code, a fifth of the executable, sets up
// what this tool never uses: static constructors, thread-local storage, pseudo-relocations and
// a crash handler; the executable check fails the build that comes to need any of them.
// msvcrt.dll has initialised its own stdio and heap before this runs. Arguments are split
// exactly as that start-up code splits them: by msvcrt, without wildcard expansion.
// Windows may call the entry with the stack aligned to 4 bytes only (32-bit).
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void ButtonguardEntry() {
  __set_app_type(kConsoleApp);
  int count = 0;
  wchar_t** arguments = nullptr;
  wchar_t** environment = nullptr;
  StartupInfo startupInfo{0};
  if (__wgetmainargs(&count, &arguments, &environment, 0, &startupInfo) < 0) {
    std::exit(HresultFromWin32(8));  // ERROR_NOT_ENOUGH_MEMORY
  }
  // exit, not ExitProcess: it flushes standard output and error first.
  std::exit(wmain(count, arguments));
}

#pragma once

#include <windows.h>

// What FindCommand settled on, for StartCommand: the program CreateProcessW is given as its
// application name, so that its own search never runs, and the command line the program
// gets. A batch file is started through the system's cmd.exe, with its full path on that
// command line.
struct FoundCommand {
  const wchar_t* program;
  wchar_t* commandLine;
};

FoundCommand TheFoundCommand();

// Whether `program` lies in the system folder, where the x86 build must see the native one.
bool IsInSystemFolder(const wchar_t* program);

// The x86 build on 64-bit Windows would see SysWOW64 where System32 is named: a program only
// the 64-bit system has (pnputil) would not be found, and cmd.exe or reg.exe would be their
// 32-bit selves, writing to the 32-bit registry view. So the file system redirector is off,
// on this thread alone, while run probes files to look its command up, and while it starts a
// program of the system folder, and on again at once. The platform warns that a DLL loaded
// meanwhile (a delay load included) loads wrongly for the life of the process: the lookup
// only asks about files (attributes, full path, directory entry, image type), and the window
// around CreateProcessW, which may load what it needs, opens only for the system folder's
// programs, whose start needs it. Elsewhere this changes nothing, and a 64-bit build, which
// sees the native folder already, does not call it at all.
class NativeSystemFolder {
 public:
  explicit NativeSystemFolder(bool needed = true) {
    if constexpr (kRedirected) {
      if (needed) off_ = Wow64DisableWow64FsRedirection(&previous_) != FALSE;
    }
  }
  ~NativeSystemFolder() {
    if constexpr (kRedirected) {
      if (off_) static_cast<void>(Wow64RevertWow64FsRedirection(previous_));
    }
  }
  NativeSystemFolder(const NativeSystemFolder&) = delete;
  NativeSystemFolder& operator=(const NativeSystemFolder&) = delete;

 private:
  static constexpr bool kRedirected = sizeof(void*) == 4;
  void* previous_ = nullptr;
  bool off_ = false;
};

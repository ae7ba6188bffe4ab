// The tool runs elevated, and powrprof.dll is not one of the system's known DLLs: imported the
// ordinary way, a copy planted in the folder the executable starts from would be loaded, and
// run, with administrator rights. So the library is loaded from the system folder only and
// its functions are reached through the platform's own names defined here.

#include "power_platform.h"

namespace {

struct LoadedLibrary {
  bool attempted = false;
  HMODULE module = nullptr;
  DWORD status = 0;
};

// The tool is single-threaded, so a plain flag is enough to load the library once.
LoadedLibrary powerLibrary;

const LoadedLibrary& PowerLibrary() {
  if (!powerLibrary.attempted) {
    powerLibrary.attempted = true;
    powerLibrary.module = LoadLibraryExW(L"powrprof.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (powerLibrary.module == nullptr) {
      powerLibrary.status = GetLastError();
      if (powerLibrary.status == 0) powerLibrary.status = ERROR_MOD_NOT_FOUND;
    }
  }
  return powerLibrary;
}

// Finds `name` in the system's power library; the platform's status if it or the library is
// missing.
template <typename Function>
DWORD Resolve(const char* name, Function& function) {
  const LoadedLibrary& library = PowerLibrary();
  if (library.module == nullptr) return library.status;
  const FARPROC address = GetProcAddress(library.module, name);
  if (address == nullptr) {
    const DWORD status = GetLastError();
    return status != 0 ? status : ERROR_PROC_NOT_FOUND;
  }
  // Through the generic function pointer type, which converts to any other without a warning.
  function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
  return 0;
}

using GetActiveSchemeFunction = DWORD(WINAPI*)(HKEY, GUID**);
using ReadValueIndexFunction = DWORD(WINAPI*)(HKEY, const GUID*, const GUID*, const GUID*,
                                              LPDWORD);
using WriteValueIndexFunction = DWORD(WINAPI*)(HKEY, const GUID*, const GUID*, const GUID*,
                                               DWORD);
using SetActiveSchemeFunction = DWORD(WINAPI*)(HKEY, const GUID*);

}  // namespace

DWORD WINAPI PowerGetActiveScheme(HKEY root, GUID** activeScheme) {
  GetActiveSchemeFunction function = nullptr;
  if (const DWORD status = Resolve("PowerGetActiveScheme", function); status != 0) return status;
  return function(root, activeScheme);
}

DWORD WINAPI PowerReadACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                   const GUID* setting, LPDWORD value) {
  ReadValueIndexFunction function = nullptr;
  if (const DWORD status = Resolve("PowerReadACValueIndex", function); status != 0) return status;
  return function(root, scheme, subgroup, setting, value);
}

DWORD WINAPI PowerReadDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                   const GUID* setting, LPDWORD value) {
  ReadValueIndexFunction function = nullptr;
  if (const DWORD status = Resolve("PowerReadDCValueIndex", function); status != 0) return status;
  return function(root, scheme, subgroup, setting, value);
}

DWORD WINAPI PowerWriteACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                    const GUID* setting, DWORD value) {
  WriteValueIndexFunction function = nullptr;
  if (const DWORD status = Resolve("PowerWriteACValueIndex", function); status != 0) {
    return status;
  }
  return function(root, scheme, subgroup, setting, value);
}

DWORD WINAPI PowerWriteDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                    const GUID* setting, DWORD value) {
  WriteValueIndexFunction function = nullptr;
  if (const DWORD status = Resolve("PowerWriteDCValueIndex", function); status != 0) {
    return status;
  }
  return function(root, scheme, subgroup, setting, value);
}

DWORD WINAPI PowerSetActiveScheme(HKEY root, const GUID* scheme) {
  SetActiveSchemeFunction function = nullptr;
  if (const DWORD status = Resolve("PowerSetActiveScheme", function); status != 0) return status;
  return function(root, scheme);
}

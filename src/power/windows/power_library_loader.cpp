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

// One thread at a time makes power calls (run holds a lock around them once a second thread
// may exist), so a plain flag is enough to load the library once.
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

// `name` from the system's power library, or nullptr with the platform's status in `status`.
template <typename Function>
Function Resolve(const char* name, DWORD& status) {
  const LoadedLibrary& library = PowerLibrary();
  if (library.module == nullptr) {
    status = library.status;
    return nullptr;
  }
  const FARPROC address = GetProcAddress(library.module, name);
  if (address == nullptr) {
    status = GetLastError();
    if (status == 0) status = ERROR_PROC_NOT_FOUND;
    return nullptr;
  }
  // Through the generic function pointer type, which converts to any other without a warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// Calls `name` from the system's power library, or returns why it cannot be had.
template <typename Function, typename... Arguments>
DWORD CallPowerFunction(const char* name, Arguments... arguments) {
  DWORD status = 0;
  const Function function = Resolve<Function>(name, status);
  return function != nullptr ? function(arguments...) : status;
}

using GetActiveSchemeFunction = DWORD(WINAPI*)(HKEY, GUID**);
using ReadValueIndexFunction = DWORD(WINAPI*)(HKEY, const GUID*, const GUID*, const GUID*,
                                              LPDWORD);
using WriteValueIndexFunction = DWORD(WINAPI*)(HKEY, const GUID*, const GUID*, const GUID*,
                                               DWORD);
using SetActiveSchemeFunction = DWORD(WINAPI*)(HKEY, const GUID*);
using AccessCheckFunction = DWORD(WINAPI*)(POWER_DATA_ACCESSOR, const GUID*);
using EnumerateFunction = DWORD(WINAPI*)(HKEY, const GUID*, const GUID*, POWER_DATA_ACCESSOR,
                                         ULONG, UCHAR*, DWORD*);

}  // namespace

// The parameter names are the platform's own, as its header declares them.

DWORD WINAPI PowerGetActiveScheme(HKEY UserRootPowerKey, GUID** ActivePolicyGuid) {
  return CallPowerFunction<GetActiveSchemeFunction>("PowerGetActiveScheme", UserRootPowerKey,
                                                    ActivePolicyGuid);
}

DWORD WINAPI PowerReadACValueIndex(HKEY RootPowerKey, const GUID* SchemeGuid,
                                   const GUID* SubGroupOfPowerSettingsGuid,
                                   const GUID* PowerSettingGuid, LPDWORD AcValueIndex) {
  return CallPowerFunction<ReadValueIndexFunction>("PowerReadACValueIndex", RootPowerKey,
                                                   SchemeGuid, SubGroupOfPowerSettingsGuid,
                                                   PowerSettingGuid, AcValueIndex);
}

DWORD WINAPI PowerReadDCValueIndex(HKEY RootPowerKey, const GUID* SchemeGuid,
                                   const GUID* SubGroupOfPowerSettingsGuid,
                                   const GUID* PowerSettingGuid, LPDWORD DcValueIndex) {
  return CallPowerFunction<ReadValueIndexFunction>("PowerReadDCValueIndex", RootPowerKey,
                                                   SchemeGuid, SubGroupOfPowerSettingsGuid,
                                                   PowerSettingGuid, DcValueIndex);
}

DWORD WINAPI PowerWriteACValueIndex(HKEY RootPowerKey, const GUID* SchemeGuid,
                                    const GUID* SubGroupOfPowerSettingsGuid,
                                    const GUID* PowerSettingGuid, DWORD AcValueIndex) {
  return CallPowerFunction<WriteValueIndexFunction>("PowerWriteACValueIndex", RootPowerKey,
                                                    SchemeGuid, SubGroupOfPowerSettingsGuid,
                                                    PowerSettingGuid, AcValueIndex);
}

DWORD WINAPI PowerWriteDCValueIndex(HKEY RootPowerKey, const GUID* SchemeGuid,
                                    const GUID* SubGroupOfPowerSettingsGuid,
                                    const GUID* PowerSettingGuid, DWORD DcValueIndex) {
  return CallPowerFunction<WriteValueIndexFunction>("PowerWriteDCValueIndex", RootPowerKey,
                                                    SchemeGuid, SubGroupOfPowerSettingsGuid,
                                                    PowerSettingGuid, DcValueIndex);
}

DWORD WINAPI PowerSetActiveScheme(HKEY UserRootPowerKey, const GUID* SchemeGuid) {
  return CallPowerFunction<SetActiveSchemeFunction>("PowerSetActiveScheme", UserRootPowerKey,
                                                    SchemeGuid);
}

DWORD WINAPI PowerEnumerate(HKEY RootPowerKey, const GUID* SchemeGuid,
                            const GUID* SubGroupOfPowerSettingsGuid,
                            POWER_DATA_ACCESSOR AccessFlags, ULONG Index, UCHAR* Buffer,
                            DWORD* BufferSize) {
  return CallPowerFunction<EnumerateFunction>("PowerEnumerate", RootPowerKey, SchemeGuid,
                                              SubGroupOfPowerSettingsGuid, AccessFlags, Index,
                                              Buffer, BufferSize);
}

DWORD WINAPI PowerSettingAccessCheck(POWER_DATA_ACCESSOR AccessFlags, const GUID* PowerGuid) {
  return CallPowerFunction<AccessCheckFunction>("PowerSettingAccessCheck", AccessFlags, PowerGuid);
}

// Stands where an attacker would put a powrprof.dll: beside the executable. If the tool ever
// loads it, it leaves a mark in the folder and every call fails with a status no real library
// gives.

#include "folder_mark.h"
#include "power_platform.h"

namespace {
constexpr DWORD kPlantedStatus = 0x4242;
}

// Marks the folder the library was loaded from, whatever the process's current folder.
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) MarkModuleFolder(self, L"planted-powrprof-was-loaded");
  return TRUE;
}

DWORD WINAPI PowerGetActiveScheme(HKEY, GUID**) { return kPlantedStatus; }
DWORD WINAPI PowerReadACValueIndex(HKEY, const GUID*, const GUID*, const GUID*, LPDWORD) {
  return kPlantedStatus;
}
DWORD WINAPI PowerReadDCValueIndex(HKEY, const GUID*, const GUID*, const GUID*, LPDWORD) {
  return kPlantedStatus;
}
DWORD WINAPI PowerWriteACValueIndex(HKEY, const GUID*, const GUID*, const GUID*, DWORD) {
  return kPlantedStatus;
}
DWORD WINAPI PowerWriteDCValueIndex(HKEY, const GUID*, const GUID*, const GUID*, DWORD) {
  return kPlantedStatus;
}
DWORD WINAPI PowerSetActiveScheme(HKEY, const GUID*) { return kPlantedStatus; }
DWORD WINAPI PowerSettingAccessCheck(POWER_DATA_ACCESSOR, const GUID*) { return kPlantedStatus; }
DWORD WINAPI PowerEnumerate(HKEY, const GUID*, const GUID*, POWER_DATA_ACCESSOR, ULONG, UCHAR*,
                            DWORD*) {
  return kPlantedStatus;
}

// Stands where an attacker would put a powrprof.dll: beside the executable. If the tool ever
// loads it, it leaves a mark in the folder and every call fails with a status no real library
// gives.

#include "power_platform.h"

namespace {
constexpr DWORD kPlantedStatus = 0x4242;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    const HANDLE mark = CreateFileW(L"planted-powrprof-was-loaded", GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
  }
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

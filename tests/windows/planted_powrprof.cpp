// Stands where an attacker would put a powrprof.dll: beside the executable. If the tool ever
// loads it, it leaves a mark in the folder and every call fails with a status no real library
// gives.

#include "power_platform.h"

namespace {
constexpr DWORD kPlantedStatus = 0x4242;
}

// Marks the folder the library was loaded from, whatever the process's current folder.
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH + 32] = {};
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  wchar_t* name = path + length;
  while (name > path && name[-1] != L'\\' && name[-1] != L'/') --name;
  lstrcpyW(name, L"planted-powrprof-was-loaded");
  const HANDLE mark = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
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

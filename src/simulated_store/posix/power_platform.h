#pragma once

// The part of the platform's power-management, component-object and registry interface that
// buttonguard calls, with the platform's names, types, calling convention and status values, so that the
// code calling it compiles unchanged on a host without the platform's headers. The simulated
// store implements these functions on such hosts.

#include <cstddef>
#include <cstdint>

using DWORD = std::uint32_t;
using LPDWORD = DWORD*;
using HRESULT = std::int32_t;
using OLECHAR = char16_t;
using LPCOLESTR = const OLECHAR*;
using HLOCAL = void*;
using LONG = std::int32_t;
using LPCWSTR = const wchar_t*;
using PVOID = void*;
using ULONG = std::uint32_t;
using UCHAR = unsigned char;

struct PowerRootKey {};  // stands for the platform's registry key handle
using HKEY = PowerRootKey*;

// The one predefined registry key buttonguard reads, for group policy's power settings.
inline PowerRootKey localMachineRootKey;
inline HKEY const HKEY_LOCAL_MACHINE = &localMachineRootKey;
inline constexpr DWORD RRF_RT_REG_DWORD = 0x10;
inline constexpr DWORD RRF_SUBKEY_WOW6464KEY = 0x10000;

enum POWER_DATA_ACCESSOR {
  ACCESS_AC_POWER_SETTING_INDEX = 0,
  ACCESS_DC_POWER_SETTING_INDEX = 1,
  ACCESS_SCHEME = 16,
};

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using CLSID = GUID;
using LPCLSID = CLSID*;

// The platform's calling convention; the host's own is the only one here.
#define WINAPI

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
inline constexpr DWORD ERROR_READ_FAULT = 30;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_ACCESS_DISABLED_BY_POLICY = 1260;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057U);
inline constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3U);

// Parameter names follow the simulated store's definitions; the platform's documentation
// calls them RootPowerKey, SchemeGuid, SubGroupOfPowerSettingsGuid, PowerSettingGuid and
// AcValueIndex or DcValueIndex.
extern "C" {
DWORD WINAPI PowerGetActiveScheme(HKEY root, GUID** activeScheme);
DWORD WINAPI PowerReadACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                   const GUID* setting, LPDWORD value);
DWORD WINAPI PowerReadDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                   const GUID* setting, LPDWORD value);
DWORD WINAPI PowerWriteACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                    const GUID* setting, DWORD value);
DWORD WINAPI PowerWriteDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                    const GUID* setting, DWORD value);
DWORD WINAPI PowerSetActiveScheme(HKEY root, const GUID* scheme);
// 0, or ERROR_ACCESS_DISABLED_BY_POLICY where a group policy holds the setting's value.
DWORD WINAPI PowerSettingAccessCheck(POWER_DATA_ACCESSOR source, const GUID* setting);
// With ACCESS_SCHEME only: the identifier of scheme `index`, ERROR_NO_MORE_ITEMS past the last.
DWORD WINAPI PowerEnumerate(HKEY root, const GUID* scheme, const GUID* subgroup,
                            POWER_DATA_ACCESSOR flags, ULONG index, UCHAR* buffer, DWORD* size);

// Only HKEY_LOCAL_MACHINE's group policy power settings, where the simulated store keeps its
// policies; platform's names: hkey, lpSubKey, lpValue, dwFlags, pdwType, pvData, pcbData.
LONG WINAPI RegGetValueW(HKEY root, LPCWSTR key, LPCWSTR valueName, DWORD flags, LPDWORD type,
                         PVOID data, LPDWORD size);

HRESULT WINAPI CLSIDFromString(LPCOLESTR text, LPCLSID value);
HLOCAL WINAPI LocalFree(HLOCAL memory);
}

// Power requests, which keep the machine (and the display) awake for as long as their handle
// is open or the process lives. Simple reason strings only.
using HANDLE = void*;
using BOOL = int;
using WCHAR = char16_t;  // UTF-16, as the platform's wide characters
using LPWSTR = WCHAR*;
// The platform's own definition: the all-ones address.
// NOLINTNEXTLINE(performance-no-int-to-ptr)
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});
inline constexpr DWORD POWER_REQUEST_CONTEXT_VERSION = 0;
inline constexpr DWORD POWER_REQUEST_CONTEXT_SIMPLE_STRING = 1;
inline constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
enum POWER_REQUEST_TYPE { PowerRequestDisplayRequired = 0, PowerRequestSystemRequired = 1 };
struct REASON_CONTEXT {
  DWORD Version;
  DWORD Flags;
  union {
    LPWSTR SimpleReasonString;
  } Reason;
};

extern "C" {
// INVALID_HANDLE_VALUE on failure, with the status for GetLastError.
HANDLE WINAPI PowerCreateRequest(REASON_CONTEXT* context);
BOOL WINAPI PowerSetRequest(HANDLE request, POWER_REQUEST_TYPE type);
BOOL WINAPI CloseHandle(HANDLE handle);  // a power request's handle only
DWORD WINAPI GetLastError();
}

// What `powercfg /requests` shows on Windows, which the simulated store keeps of the requests
// of live processes: one line per request, "PID system [display] REASON", given to `each`.
DWORD ListSimulatedPowerRequests(void (*each)(const char* line, void* context), void* context);

// The application log: entries of a registered source, each a type, an identifier and
// insertion strings.
using WORD = std::uint16_t;
using PSID = void*;
inline constexpr WORD EVENTLOG_ERROR_TYPE = 1;
inline constexpr WORD EVENTLOG_WARNING_TYPE = 2;
inline constexpr WORD EVENTLOG_INFORMATION_TYPE = 4;

extern "C" {
// Null on failure.
HANDLE WINAPI RegisterEventSourceW(const WCHAR* server, const WCHAR* source);
BOOL WINAPI ReportEventW(HANDLE log, WORD type, WORD category, DWORD eventId, PSID user,
                         WORD stringCount, DWORD dataSize, const WCHAR** strings, PVOID data);
}

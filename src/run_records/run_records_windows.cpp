#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include "run_records.h"

// Records are values of HKLM\SOFTWARE\buttonguard (the 64-bit view from both builds, so that
// a recovery by either finds the records of both), named as FormatRecordName gives, holding
// FormatRecordText as REG_SZ. The registry, not a folder: RegFlushKey makes a value durable
// in one call, and there is no file, link or short name to plant. The key is created admitting
// Administrators and SYSTEM alone; an existing key whose owner is anyone else, or that lets
// anyone else change it, is refused and never read.

namespace {

constexpr wchar_t kRecordKey[] = L"SOFTWARE\\buttonguard";

// What lets a holder change the key or what is in it.
constexpr ACCESS_MASK kChangingAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK |
                                        DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                        GENERIC_ALL;

bool IsAdministratorsOrSystem(PSID sid) {
  return sid != nullptr && (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) != FALSE ||
                            IsWellKnownSid(sid, WinLocalSystemSid) != FALSE);
}

// Only Administrators and SYSTEM own the key and may change it. Entries that only pass on to
// subkeys do not count; any entry of a kind this check does not read refuses the key.
std::uint32_t CheckKeySecurity(HKEY key) {
  alignas(SECURITY_DESCRIPTOR) BYTE buffer[1024];
  DWORD size = sizeof buffer;
  const auto descriptor = static_cast<PSECURITY_DESCRIPTOR>(buffer);
  if (const LSTATUS status = RegGetKeySecurity(
          key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor, &size)) {
    return status == ERROR_INSUFFICIENT_BUFFER ? kRecordsRefusedStatus
                                               : static_cast<std::uint32_t>(status);
  }
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  PACL list = nullptr;
  if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) == FALSE ||
      !IsAdministratorsOrSystem(owner) ||
      GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) == FALSE ||
      present == FALSE || list == nullptr) {
    return kRecordsRefusedStatus;  // no list at all admits everyone
  }
  for (DWORD i = 0; i < list->AceCount; ++i) {
    void* entry = nullptr;
    if (GetAce(list, i, &entry) == FALSE) return kRecordsRefusedStatus;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || header->AceType == ACCESS_DENIED_ACE_TYPE) {
      continue;
    }
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return kRecordsRefusedStatus;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & kChangingAccess) != 0 &&
        !IsAdministratorsOrSystem(static_cast<PSID>(&allowed->SidStart))) {
      return kRecordsRefusedStatus;
    }
  }
  return 0;
}

// Opens the record key, creating it when `create` is set; checks who may change it. Null
// with status 0: there is none and none was to be made.
HKEY OpenRecordKey(bool create, REGSAM access, std::uint32_t& status) {
  HKEY key = nullptr;
  access |= READ_CONTROL | KEY_WOW64_64KEY;
  LSTATUS opened = ERROR_SUCCESS;
  if (create) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    // Owned by Administrators whoever creates it (an administrator's own account would not
    // pass the check), and protected from what HKLM\SOFTWARE passes on: Administrators and
    // SYSTEM alone.
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"O:BAD:P(A;;KA;;;BA)(A;;KA;;;SY)", SDDL_REVISION_1, &attributes.lpSecurityDescriptor,
            nullptr) == FALSE) {
      status = GetLastError();
      return nullptr;
    }
    opened = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             access, &attributes, &key, nullptr);
    LocalFree(attributes.lpSecurityDescriptor);
  } else {
    opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, access, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
      status = 0;
      return nullptr;
    }
  }
  status = static_cast<std::uint32_t>(opened);
  if (status == 0) status = CheckKeySecurity(key);
  if (status != 0 && key != nullptr) {
    RegCloseKey(key);
    key = nullptr;
  }
  return key;
}

// The record's name as the registry takes it.
void WidenName(const RecordName& name, wchar_t (&wide)[kRecordNameSize]) {
  for (std::size_t i = 0; i < kRecordNameSize; ++i) {
    wide[i] = static_cast<unsigned char>(name.text[i]);
  }
}

std::uint64_t StartTime(HANDLE process) {
  FILETIME created{};
  FILETIME ended{};
  FILETIME kernel{};
  FILETIME user{};
  if (GetProcessTimes(process, &created, &ended, &kernel, &user) == FALSE) return 0;
  return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

}  // namespace

RunRecord OwnRunRecord(const SchemeIdentifier& scheme, const ButtonPolicy& saved) {
  return {scheme, saved, GetCurrentProcessId(), StartTime(GetCurrentProcess())};
}

bool IsRunAlive(const RunRecord& record) {
  const HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, record.processId);
  // No such process; any other refusal (a protected process) counts as alive, so that a live
  // run is never undone.
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  // A process that has ended lives on as long as someone holds a handle to it.
  const bool alive =
      StartTime(process) == record.processStart && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return alive;
}

std::uint32_t WriteRunRecord(const RunRecord& record) {
  std::uint32_t status = 0;
  // RegFlushKey needs the right to query values too.
  const HKEY key = OpenRecordKey(true, KEY_SET_VALUE | KEY_QUERY_VALUE, status);
  if (key == nullptr) return status;
  wchar_t name[kRecordNameSize];
  WidenName(FormatRecordName(record), name);
  const RecordText text = FormatRecordText(record);
  wchar_t wide[kRecordTextSize + 1] = {};
  for (std::size_t i = 0; i < text.size; ++i) wide[i] = static_cast<unsigned char>(text.text[i]);
  status = static_cast<std::uint32_t>(
      RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide),
                     static_cast<DWORD>((text.size + 1) * sizeof(wchar_t))));
  // On the disk before any zero is written.
  if (status == 0) status = static_cast<std::uint32_t>(RegFlushKey(key));
  RegCloseKey(key);
  return status;
}

std::uint32_t RemoveRunRecord(const RunRecord& record) {
  std::uint32_t status = 0;
  const HKEY key = OpenRecordKey(false, KEY_SET_VALUE, status);
  if (key == nullptr) return status;
  wchar_t name[kRecordNameSize];
  WidenName(FormatRecordName(record), name);
  const LSTATUS removed = RegDeleteValueW(key, name);
  RegCloseKey(key);
  return removed == ERROR_FILE_NOT_FOUND ? 0 : static_cast<std::uint32_t>(removed);
}

std::uint32_t LoadRunRecords(StoredRecord* records, std::size_t capacity, std::size_t& count) {
  count = 0;
  std::uint32_t status = 0;
  const HKEY key = OpenRecordKey(false, KEY_QUERY_VALUE, status);
  if (key == nullptr) return status;
  for (DWORD index = 0;; ++index) {
    wchar_t name[kRecordNameSize] = {};
    DWORD nameLength = kRecordNameSize;
    wchar_t text[kRecordTextSize + 1] = {};
    DWORD type = 0;
    DWORD bytes = sizeof text - sizeof(wchar_t);  // room for a terminator of our own
    const LSTATUS found = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                        reinterpret_cast<BYTE*>(text), &bytes);
    if (found == ERROR_NO_MORE_ITEMS) break;
    if (found != ERROR_SUCCESS && found != ERROR_MORE_DATA) {
      status = static_cast<std::uint32_t>(found);
      break;
    }
    if (count == capacity) {
      status = kMoreRecordsStatus;
      break;
    }
    StoredRecord& stored = records[count++];
    stored = StoredRecord{};
    bool ascii = true;
    for (std::size_t i = 0; i < kRecordNameSize - 1 && name[i] != L'\0'; ++i) {
      ascii = ascii && name[i] < 128;
      stored.name.text[i] = name[i] < 128 ? static_cast<char>(name[i]) : '?';
    }
    // Too long a name or text, another type, or anything beyond ASCII: no record of ours.
    if (found == ERROR_MORE_DATA || type != REG_SZ || !ascii) continue;
    char narrow[kRecordTextSize];
    std::size_t size = 0;
    for (std::size_t i = 0; i < bytes / sizeof(wchar_t) && text[i] != L'\0'; ++i) {
      if (text[i] >= 128 || size == sizeof narrow) {
        ascii = false;
        break;
      }
      narrow[size++] = static_cast<char>(text[i]);
    }
    stored.wellFormed = ascii && ParseRecordText(std::string_view(narrow, size), stored.record) &&
                        std::string_view(stored.name.text) == FormatRecordName(stored.record).text;
  }
  RegCloseKey(key);
  return status;
}

namespace {

HANDLE runsLock = nullptr;  // kept for the life of the process, like the namespace it is in

// Only Administrators and SYSTEM may use it; a process of theirs owns it as Administrators.
constexpr wchar_t kRunsLockSecurity[] = L"O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)";

// The lock in a private namespace whose boundary is the Administrators group: only a process
// with that group enabled in its token, an elevated one, can make or open the namespace, so no
// one else can make the lock first, or open it to hold it. Where the platform has no private
// namespaces (Wine has none), a global name stands in, and a lock that someone else made is
// refused; that one a non-administrator could make first, though never hold once it is ours.
HANDLE MakeRunsLock(SECURITY_ATTRIBUTES& attributes, std::uint32_t& status) {
  HANDLE boundary = CreateBoundaryDescriptorW(L"buttonguard", 0);
  if (boundary == nullptr) {
    const HANDLE mutex = CreateMutexW(&attributes, FALSE, L"Global\\buttonguard.runs");
    if (mutex == nullptr) {
      status = GetLastError();
      return nullptr;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    status = GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                             nullptr, nullptr, &descriptor);
    if (status == 0 && !IsAdministratorsOrSystem(owner)) status = kRecordsRefusedStatus;
    LocalFree(descriptor);
    if (status == 0) return mutex;
    CloseHandle(mutex);
    return nullptr;
  }
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  HANDLE space = nullptr;
  if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) != FALSE &&
      AddSIDToBoundaryDescriptor(&boundary, administrators) != FALSE) {
    space = CreatePrivateNamespaceW(&attributes, boundary, L"buttonguard");
    if (space == nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
      space = OpenPrivateNamespaceW(boundary, L"buttonguard");
    }
  }
  // The namespace handle is never closed: while any process holds one, every process that
  // opens the namespace meets the same lock in it.
  const HANDLE mutex = space != nullptr ? CreateMutexW(&attributes, FALSE, L"buttonguard\\runs")
                                        : nullptr;
  status = mutex != nullptr ? 0 : GetLastError();
  DeleteBoundaryDescriptor(boundary);
  return mutex;
}

}  // namespace

std::uint32_t LockRuns() {
  if (runsLock == nullptr) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kRunsLockSecurity, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr) ==
        FALSE) {
      return GetLastError();
    }
    std::uint32_t status = 0;
    runsLock = MakeRunsLock(attributes, status);
    LocalFree(attributes.lpSecurityDescriptor);
    if (runsLock == nullptr) return status != 0 ? status : ERROR_GEN_FAILURE;
  }
  switch (WaitForSingleObject(runsLock, kLongestRunsLockWait)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its holder died mid-step; the records tell recovery what it left
      return 0;
    case WAIT_TIMEOUT:
      return kRunsLockTimeoutStatus;
    default:
      return GetLastError();
  }
}

void UnlockRuns() { static_cast<void>(ReleaseMutex(runsLock)); }

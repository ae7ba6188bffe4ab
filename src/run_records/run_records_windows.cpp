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
constexpr ACCESS_MASK kChangingKeyAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK |
                                           DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                           GENERIC_ALL;

// Administrators or SYSTEM.
bool IsTrusted(PSID sid) {
  return sid != nullptr && (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) != FALSE ||
                            IsWellKnownSid(sid, WinLocalSystemSid) != FALSE);
}

// Only the trusted own the object and have any of `changing` on it. Entries that only pass
// on to what is inside do not count; any entry of a kind this check does not read refuses it.
std::uint32_t CheckSecurity(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK changing) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  PACL list = nullptr;
  if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) == FALSE || !IsTrusted(owner) ||
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
    if ((allowed->Mask & changing) != 0 && !IsTrusted(static_cast<PSID>(&allowed->SidStart))) {
      return kRecordsRefusedStatus;
    }
  }
  return 0;
}

std::uint32_t CheckKeySecurity(HKEY key) {
  alignas(SECURITY_DESCRIPTOR) BYTE buffer[1024];
  DWORD size = sizeof buffer;
  const auto descriptor = static_cast<PSECURITY_DESCRIPTOR>(buffer);
  if (const LSTATUS status = RegGetKeySecurity(
          key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor, &size)) {
    return status == ERROR_INSUFFICIENT_BUFFER ? kRecordsRefusedStatus
                                               : static_cast<std::uint32_t>(status);
  }
  return CheckSecurity(descriptor, kChangingKeyAccess);
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
  // A run's process takes its access list from the default of the token that started it: an
  // elevated administrator's grants Administrators and SYSTEM all access, SYSTEM's grants
  // Administrators query and synchronize, which is all this asks. So does the mandatory
  // integrity policy, which leaves both rights to a lower level. Any refusal is therefore
  // another process (the System process, a CSRSS, another account's) that took the id.
  const HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, record.processId);
  if (process == nullptr) return IsThatRun(record, GetLastError(), 0, false);
  // A process that has ended lives on as long as someone holds a handle to it.
  const bool alive =
      IsThatRun(record, 0, StartTime(process), WaitForSingleObject(process, 0) == WAIT_TIMEOUT);
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

std::uint32_t LoadRunRecords(HeapList<StoredRecord>& records) {
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
    if (!records.Add(StoredRecord{})) {
      status = kNotEnoughMemory;
      break;
    }
    StoredRecord& stored = records[records.size() - 1];
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

// The lock is a mutex in the global namespace: one name for every session, service and
// environment, which nothing a caller sets can change. A kernel object keeps the owner and
// access list it was made with, wherever (a file system need not), and its holder's death
// releases it: the next waiter is told it was abandoned and takes it. It lives while any
// process holds a handle to it, so whichever process comes first makes it, and every later
// one checks what it found.
constexpr wchar_t kRunsLock[] = L"Global\\buttonguard.runs";
HANDLE runsLock = nullptr;

// What holding the lock takes.
constexpr ACCESS_MASK kHoldingAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// Owned by Administrators or SYSTEM, and an access list that admits exactly the two of them,
// each with what holding the lock takes: an elevated administrator and the boot service then
// both use it, and anything else (a lock someone else made, even one only one of the two may
// hold) both refuse, by name.
std::uint32_t CheckLockSecurity(HANDLE lock) {
  PSID owner = nullptr;
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::uint32_t status = GetSecurityInfo(lock, SE_KERNEL_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &owner, nullptr, &list, nullptr, &descriptor);
  if (status != 0) return status;
  bool administrators = false;
  bool system = false;
  if (!IsTrusted(owner) || list == nullptr) status = kRecordsRefusedStatus;
  for (DWORD i = 0; status == 0 && i < list->AceCount; ++i) {
    void* entry = nullptr;
    if (GetAce(list, i, &entry) == FALSE ||
        static_cast<const ACE_HEADER*>(entry)->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      status = kRecordsRefusedStatus;
      break;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    const auto sid = static_cast<PSID>(&allowed->SidStart);
    const bool holds =
        (allowed->Mask & GENERIC_ALL) != 0 || (allowed->Mask & kHoldingAccess) == kHoldingAccess;
    if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) != FALSE) {
      administrators = administrators || holds;
    } else if (IsWellKnownSid(sid, WinLocalSystemSid) != FALSE) {
      system = system || holds;
    } else {
      status = kRecordsRefusedStatus;
    }
  }
  LocalFree(descriptor);
  if (status == 0 && (!administrators || !system)) status = kRecordsRefusedStatus;
  return status;
}

// Administrators (elevated) or SYSTEM: what the lock admits and every run's records need.
bool IsElevated() {
  alignas(SID) BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) != FALSE &&
         CheckTokenMembership(nullptr, administrators, &member) != FALSE && member != FALSE;
}

std::uint32_t OpenRunsLock() {
  // Not elevated, the lock would be refused too, for a reason that is not the lock's.
  if (!IsElevated()) return kNotElevatedStatus;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
  // Owned by Administrators whoever makes it, whatever the default owner of the maker's
  // objects, and admitting Administrators and SYSTEM alone.
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)", SDDL_REVISION_1, &attributes.lpSecurityDescriptor,
          nullptr) == FALSE) {
    return GetLastError();
  }
  runsLock = CreateMutexExW(&attributes, kRunsLock, 0, kHoldingAccess | READ_CONTROL);
  std::uint32_t status = runsLock != nullptr ? CheckLockSecurity(runsLock) : GetLastError();
  LocalFree(attributes.lpSecurityDescriptor);
  if (status != 0 && runsLock != nullptr) {
    CloseHandle(runsLock);
    runsLock = nullptr;
  }
  return status;
}

}  // namespace

const char* RunsLockName() { return "Global\\buttonguard.runs"; }

std::uint32_t CheckRunsLock() {
  if (!IsElevated()) return kNotElevatedStatus;
  const HANDLE lock = OpenMutexW(kHoldingAccess | READ_CONTROL, FALSE, kRunsLock);
  if (lock == nullptr) return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : GetLastError();
  const std::uint32_t status = CheckLockSecurity(lock);
  CloseHandle(lock);
  return status;
}

std::uint32_t LockRuns() {
  if (runsLock == nullptr) {
    if (const std::uint32_t status = OpenRunsLock()) return status;
  }
  switch (WaitForSingleObject(runsLock, kLongestRunsLockWait)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its holder died mid-step; the records say what it left
      return 0;
    case WAIT_TIMEOUT:
      return kRunsLockTimeoutStatus;
    default:
      return GetLastError();
  }
}

void UnlockRuns() { static_cast<void>(ReleaseMutex(runsLock)); }

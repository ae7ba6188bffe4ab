#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <iterator>

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

// Administrators, SYSTEM, or `alsoTrusted` when it is given.
bool IsTrusted(PSID sid, PSID alsoTrusted) {
  return sid != nullptr && (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) != FALSE ||
                            IsWellKnownSid(sid, WinLocalSystemSid) != FALSE ||
                            (alsoTrusted != nullptr && EqualSid(sid, alsoTrusted) != FALSE));
}

// Only the trusted own the object and have any of `changing` on it. Entries that only pass
// on to what is inside do not count; any entry of a kind this check does not read refuses it.
std::uint32_t CheckSecurity(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK changing,
                            PSID alsoTrusted = nullptr) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  PACL list = nullptr;
  if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) == FALSE ||
      !IsTrusted(owner, alsoTrusted) ||
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
    if ((allowed->Mask & changing) != 0 &&
        !IsTrusted(static_cast<PSID>(&allowed->SidStart), alsoTrusted)) {
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

// The lock is a file in a folder of its own under the machine's program data: only
// Administrators and SYSTEM may make files there, so no one else can make the lock or hold
// it, and the platform lets go of a file's locks when the process holding them ends, however
// it ends. Opened once and kept for the life of the process.
HANDLE runsLock = INVALID_HANDLE_VALUE;
char runsLockName[MAX_PATH];  // for the report, when the lock or its folder is refused

// What lets a holder change a folder, a file or what is in them.
constexpr ACCESS_MASK kChangingFileAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                            FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
                                            WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The account buttonguard runs as, an administrator's (the manifest asks for elevation), or
// null when it cannot be read. Its own files count as an administrator's: a file system that
// keeps no owner of its own (Wine's) shows every file as this account's, and a folder that
// this account's own unelevated processes made could at worst hold the lock, which fails the
// run with nothing written; whoever else made it is refused.
PSID OwnAccount() {
  alignas(TOKEN_USER) static BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  HANDLE token = nullptr;
  DWORD size = 0;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == FALSE) return nullptr;
  const BOOL read = GetTokenInformation(token, TokenUser, user, sizeof user, &size);
  CloseHandle(token);
  return read != FALSE ? reinterpret_cast<TOKEN_USER*>(user)->User.Sid : nullptr;
}

void NameTheLock(const wchar_t* path) {
  std::size_t i = 0;
  for (; path[i] != L'\0' && i + 1 < MAX_PATH; ++i) {
    runsLockName[i] = path[i] < 128 ? static_cast<char>(path[i]) : '?';
  }
  runsLockName[i] = '\0';
}

// A folder or file of the lock's, opened without following a link planted in its place, and
// refused unless it is what it should be and only Administrators and SYSTEM own and change it.
// A file made here takes its access list from the folder, whose entries pass it on.
HANDLE OpenLockPart(const wchar_t* path, DWORD access, DWORD disposition, bool folder,
                    PSID ownAccount, std::uint32_t& status) {
  // No share of deletion: while it is open, no one may take it away or rename it.
  const HANDLE handle = CreateFileW(
      path, access | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
      FILE_FLAG_OPEN_REPARSE_POINT | (folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL),
      nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    status = GetLastError();
    return handle;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetFileInformationByHandle(handle, &information) == FALSE) {
    status = GetLastError();
  } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
             ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) {
    status = kRecordsRefusedStatus;
  } else {
    status = GetSecurityInfo(handle, SE_FILE_OBJECT,
                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                             nullptr, nullptr, nullptr, &descriptor);
    if (status == 0) status = CheckSecurity(descriptor, kChangingFileAccess, ownAccount);
    LocalFree(descriptor);
  }
  if (status == 0) return handle;
  CloseHandle(handle);
  return INVALID_HANDLE_VALUE;
}

std::uint32_t OpenRunsLock() {
  // The machine's, not the caller's: a service and every user's elevated console see the same.
  wchar_t path[MAX_PATH];
  constexpr wchar_t kFolder[] = L"\\buttonguard";
  constexpr wchar_t kFile[] = L"\\runs.lock";
  const DWORD length = GetEnvironmentVariableW(L"ProgramData", path, MAX_PATH);
  if (length == 0 || length + std::size(kFolder) + std::size(kFile) > MAX_PATH) {
    return ERROR_PATH_NOT_FOUND;
  }
  wchar_t* end = path + length;
  for (wchar_t c : kFolder) *end++ = c;
  const PSID ownAccount = OwnAccount();
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
  // Owned by Administrators whoever makes it, and protected from what the parent passes on;
  // the file made inside inherits its entries.
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", SDDL_REVISION_1,
          &attributes.lpSecurityDescriptor, nullptr) == FALSE) {
    return GetLastError();
  }
  std::uint32_t status = 0;
  if (CreateDirectoryW(path, &attributes) == FALSE && GetLastError() != ERROR_ALREADY_EXISTS) {
    status = GetLastError();
  }
  LocalFree(attributes.lpSecurityDescriptor);
  // Held open while the file is made, so that the folder checked is the one it is made in.
  const HANDLE folder = status != 0
                            ? INVALID_HANDLE_VALUE
                            : OpenLockPart(path, 0, OPEN_EXISTING, true, ownAccount, status);
  if (folder != INVALID_HANDLE_VALUE) {
    --end;  // over the terminator
    for (wchar_t c : kFile) *end++ = c;
    runsLock =
        OpenLockPart(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, false, ownAccount, status);
    CloseHandle(folder);
  }
  // The folder, or the file once the folder passed: whichever was refused.
  NameTheLock(path);
  return status;
}

}  // namespace

const char* RunsLockName() { return runsLockName; }

std::uint32_t LockRuns() {
  if (runsLock == INVALID_HANDLE_VALUE) {
    if (const std::uint32_t status = OpenRunsLock()) return status;
  }
  // A lock the platform cannot wait for with a time limit: asked for again every few
  // milliseconds, while its holder finishes a step.
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    OVERLAPPED first = {};
    if (LockFileEx(runsLock, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &first) != FALSE) {
      return 0;
    }
    const DWORD status = GetLastError();
    if (status != ERROR_LOCK_VIOLATION && status != ERROR_IO_PENDING) return status;
    if (GetTickCount64() - start >= kLongestRunsLockWait) return kRunsLockTimeoutStatus;
    Sleep(5);
  }
}

void UnlockRuns() {
  OVERLAPPED first = {};
  static_cast<void>(UnlockFileEx(runsLock, 0, 1, 0, &first));
}

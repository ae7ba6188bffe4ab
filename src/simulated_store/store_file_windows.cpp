// The store file for the Windows build of the simulated store: the powrprof.dll that the Wine
// tests put in place of the system's.

#include <string>

#include "store_file.h"

namespace {

// A real store is a few hundred bytes; anything far larger is not one.
constexpr LONGLONG kLargestStore = LONGLONG{64} * 1024;

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                      length);
  return wide;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                      length, nullptr, nullptr);
  return narrow;
}

std::wstring Environment(const wchar_t* name) {
  wchar_t buffer[32768];
  const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
  return length > 0 && length < 32768 ? std::wstring(buffer, length) : std::wstring();
}

DWORD CreateParentFolders(const std::wstring& path) {
  for (std::size_t separator = path.find_first_of(L"\\/", 1); separator != std::wstring::npos;
       separator = path.find_first_of(L"\\/", separator + 1)) {
    const std::wstring folder = path.substr(0, separator);
    if (folder.back() == L':' || folder.back() == L'\\' || folder.back() == L'/') continue;
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return GetLastError();
    }
  }
  return 0;
}

bool WriteAll(HANDLE file, std::string_view text) {
  while (!text.empty()) {
    DWORD written = 0;
    if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
      return false;
    }
    text.remove_prefix(written);
  }
  return true;
}

}  // namespace

DWORD LocateStoreFile(std::string& path) {
  std::wstring wide = Environment(L"BUTTONGUARD_STORE");
  if (wide.empty()) {
    wide = Environment(L"LOCALAPPDATA");
    if (wide.empty()) return ERROR_PATH_NOT_FOUND;
    wide += L"\\buttonguard\\power-scheme";
  }
  path = Narrow(wide);
  return 0;
}

StoreLock::StoreLock(const std::string& storePath) {
  const std::wstring lockPath = Widen(storePath + ".lock");
  const auto openLockFile = [&lockPath] {
    return CreateFileW(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE file = openLockFile();
  // The folders are made on first use only, not on every call.
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) {
    status_ = CreateParentFolders(Widen(storePath));
    if (status_ != 0) return;
    file = openLockFile();
  }
  if (file == INVALID_HANDLE_VALUE) {
    status_ = GetLastError();
    return;
  }
  OVERLAPPED whole = {};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
    status_ = GetLastError();
    CloseHandle(file);
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
}

StoreLock::~StoreLock() {
  // Closing the handle releases the lock.
  // The shared header keeps one integer for a descriptor or a handle.
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));  // NOLINT(performance-no-int-to-ptr)
}

DWORD ReadStoreFile(const std::string& path, std::string& text, bool& missing) {
  missing = false;
  text.clear();
  const HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD status = GetLastError();
    missing = status == ERROR_FILE_NOT_FOUND;
    return missing ? 0 : status;
  }
  DWORD status = 0;
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size)) {
    status = GetLastError();
  } else if (size.QuadPart > kLargestStore) {
    status = ERROR_INVALID_DATA;
  } else {
    text.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD got = 0;
    if (!ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &got, nullptr)) {
      status = GetLastError();
    }
    text.resize(got);
  }
  CloseHandle(file);
  return status;
}

DWORD ReplaceStoreFile(const std::string& path, std::string_view text) {
  const std::wstring target = Widen(path);
  const std::wstring temporary = target + L".new." + std::to_wstring(GetCurrentProcessId());
  const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  const bool written = WriteAll(file, text) && FlushFileBuffers(file);
  DWORD status = written ? 0 : GetLastError();
  CloseHandle(file);
  if (status == 0 && !MoveFileExW(temporary.c_str(), target.c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    status = GetLastError();
  }
  if (status != 0) DeleteFileW(temporary.c_str());
  return status;
}

GUID* AllocateSchemeIdentifier(const GUID& identifier) {
  auto* copy = static_cast<GUID*>(LocalAlloc(LMEM_FIXED, sizeof(GUID)));
  if (copy != nullptr) *copy = identifier;
  return copy;
}

void EndProcessAtOnce() {
  TerminateProcess(GetCurrentProcess(), 1);
  ExitProcess(1);  // TerminateProcess on the own process does not return; the compiler can't know
}

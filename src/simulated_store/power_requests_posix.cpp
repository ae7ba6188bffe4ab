// Power requests on POSIX hosts, as files in a folder beside the simulated store
// ("<store>.awake/PID", holding "system [display] REASON"), each locked (flock) by the process
// that holds the request for as long as it holds it. The lock goes with the process however it
// ends, even by SIGKILL, so a request of a process that is gone is no request any more, as on
// Windows, where the platform drops a dead process's requests.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "power_platform.h"
#include "simulated_power.h"
#include "store_file.h"

namespace {

DWORD lastError = 0;

struct Request {
  int file = -1;
  std::string path;
  bool system = false;
  bool display = false;
  std::string reason;
};

HANDLE Fail(DWORD status) {
  lastError = status;
  return INVALID_HANDLE_VALUE;
}

std::string RequestFolder() {
  std::string store;
  return LocateStoreFile(store) == 0 ? store + ".awake" : std::string();
}

bool Rewrite(const Request& request) {
  std::string text;
  if (request.system) text += "system ";
  if (request.display) text += "display ";
  text += request.reason;
  return ftruncate(request.file, 0) == 0 &&
         pwrite(request.file, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

}  // namespace

HANDLE WINAPI PowerCreateRequest(REASON_CONTEXT* context) {
  if (context == nullptr || context->Version != POWER_REQUEST_CONTEXT_VERSION ||
      context->Flags != POWER_REQUEST_CONTEXT_SIMPLE_STRING ||
      context->Reason.SimpleReasonString == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (const DWORD status = InjectedAwakeFault()) return Fail(status);
  const std::string folder = RequestFolder();
  if (folder.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  auto* request = new Request;
  request->path = folder + "/" + std::to_string(getpid());
  for (const WCHAR* unit = context->Reason.SimpleReasonString; *unit != u'\0'; ++unit) {
    request->reason += *unit < 128 ? static_cast<char>(*unit) : '?';
  }
  constexpr int kFlags = O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  request->file = open(request->path.c_str(), kFlags, 0600);
  // The folder is made on first use only: every syscall here is part of what run costs.
  if (request->file < 0 && errno == ENOENT && mkdir(folder.c_str(), 0700) == 0) {
    request->file = open(request->path.c_str(), kFlags, 0600);
  }
  // What it keeps awake is written when it is set; until then it lists as nothing but its
  // reason, which no one reads before it is set.
  if (request->file < 0 || flock(request->file, LOCK_EX) != 0) {
    if (request->file >= 0) close(request->file);
    delete request;
    return Fail(ERROR_ACCESS_DENIED);
  }
  return request;
}

BOOL WINAPI PowerSetRequest(HANDLE request, POWER_REQUEST_TYPE type) {
  auto* held = static_cast<Request*>(request);
  (type == PowerRequestSystemRequired ? held->system : held->display) = true;
  if (Rewrite(*held)) return 1;
  lastError = ERROR_WRITE_FAULT;
  return 0;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
  auto* request = static_cast<Request*>(handle);
  unlink(request->path.c_str());
  close(request->file);
  delete request;
  return 1;
}

DWORD WINAPI GetLastError() { return lastError; }

DWORD ListSimulatedPowerRequests(void (*each)(const char* line, void* context), void* context) {
  const std::string folder = RequestFolder();
  DIR* listing = folder.empty() ? nullptr : opendir(folder.c_str());
  if (listing == nullptr) return errno == ENOENT ? 0 : ERROR_ACCESS_DENIED;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    const int file = openat(dirfd(listing), entry->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (file < 0) continue;
    // Unlocked: its process is gone, and so is the request.
    if (flock(file, LOCK_SH | LOCK_NB) == 0) {
      close(file);
      continue;
    }
    char text[256];
    const ssize_t size = read(file, text, sizeof text - 1);
    close(file);
    if (size <= 0) continue;
    const std::string line = std::string(entry->d_name) + " " + std::string(text, size);
    each(line.c_str(), context);
  }
  closedir(listing);
  return 0;
}

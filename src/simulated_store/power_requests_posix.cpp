// Power requests on POSIX hosts, as slots of one file beside the simulated store
// ("<store>.requests", 256 bytes a slot, holding "system [display] REASON"), each locked (a
// byte-range lock, fcntl) by the process that holds the request for as long as it holds it.
// The lock goes with the process however it ends, even by SIGKILL, so a request of a process
// that is gone is no request any more, as on Windows, where the platform drops a dead
// process's requests. One file, made once: a request costs no file made or removed.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "power_platform.h"
#include "simulated_power.h"
#include "store_file.h"

namespace {

constexpr off_t kSlotSize = 256;
constexpr int kSlots = 64;

DWORD lastError = 0;

struct Request {
  int file = -1;
  off_t slot = 0;  // its offset
  bool system = false;
  bool display = false;
  std::string reason;
};

HANDLE Fail(DWORD status) {
  lastError = status;
  return INVALID_HANDLE_VALUE;
}

std::string RequestFile() {
  std::string store;
  return LocateStoreFile(store) == 0 ? store + ".requests" : std::string();
}

// The slot's lock, asked for (F_SETLK) or looked at (F_GETLK, which reports another
// process's lock in `range`).
bool SlotLock(int file, off_t slot, int command, struct flock& range) {
  range = {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = slot;
  range.l_len = kSlotSize;
  return fcntl(file, command, &range) == 0;
}

bool Rewrite(const Request& request) {
  char text[kSlotSize] = {};
  std::string line;
  if (request.system) line += "system ";
  if (request.display) line += "display ";
  line += request.reason;
  // The slot's last byte stays 0, ending the text however long the reason.
  std::copy_n(line.data(), std::min(line.size(), sizeof text - 1), text);
  return pwrite(request.file, text, sizeof text, request.slot) == kSlotSize;
}

}  // namespace

HANDLE WINAPI PowerCreateRequest(REASON_CONTEXT* context) {
  if (context == nullptr || context->Version != POWER_REQUEST_CONTEXT_VERSION ||
      context->Flags != POWER_REQUEST_CONTEXT_SIMPLE_STRING ||
      context->Reason.SimpleReasonString == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (const DWORD status = InjectedAwakeFault()) return Fail(status);
  const std::string path = RequestFile();
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  auto* request = new Request;
  for (const WCHAR* unit = context->Reason.SimpleReasonString; *unit != u'\0'; ++unit) {
    request->reason += *unit < 128 ? static_cast<char>(*unit) : '?';
  }
  request->file = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  struct flock range {};
  for (int slot = 0; request->file >= 0 && slot < kSlots; ++slot) {
    if (!SlotLock(request->file, slot * kSlotSize, F_SETLK, range)) continue;
    request->slot = slot * kSlotSize;
    // What it keeps awake is written when it is set; until then it lists as nothing, and never
    // as what an earlier holder of the slot kept awake.
    const bool cleared = Rewrite({request->file, request->slot, false, false, ""});
    if (cleared) return request;
    break;
  }
  if (request->file >= 0) close(request->file);
  delete request;
  return Fail(ERROR_ACCESS_DENIED);
}

BOOL WINAPI PowerSetRequest(HANDLE request, POWER_REQUEST_TYPE type) {
  auto* held = static_cast<Request*>(request);
  if (const DWORD status = type == PowerRequestDisplayRequired ? InjectedDisplayFault() : 0) {
    lastError = status;
    return 0;
  }
  (type == PowerRequestSystemRequired ? held->system : held->display) = true;
  if (Rewrite(*held)) return 1;
  lastError = ERROR_WRITE_FAULT;
  return 0;
}

// Closing the file lets go of its slot's lock: the request is no more.
BOOL WINAPI CloseHandle(HANDLE handle) {
  auto* request = static_cast<Request*>(handle);
  close(request->file);
  delete request;
  return 1;
}

DWORD WINAPI GetLastError() { return lastError; }

DWORD ListSimulatedPowerRequests(void (*each)(const char* line, void* context), void* context) {
  const std::string path = RequestFile();
  const int file = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (file < 0) return errno == ENOENT ? 0 : ERROR_ACCESS_DENIED;
  for (int slot = 0; slot < kSlots; ++slot) {
    // Unlocked: its process is gone, and so is the request.
    struct flock range {};
    if (!SlotLock(file, slot * kSlotSize, F_GETLK, range) || range.l_type == F_UNLCK) continue;
    char text[kSlotSize + 1] = {};
    if (pread(file, text, kSlotSize, slot * kSlotSize) <= 0 || text[0] == '\0') continue;
    const std::string line = std::to_string(range.l_pid) + " " + text;
    each(line.c_str(), context);
  }
  close(file);
  return 0;
}

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstdlib>

#include "store_file.h"

namespace {

// A real store is a few hundred bytes; anything far larger is not one, and reading it whole
// would only cost memory.
constexpr off_t kLargestStore = off_t{64} * 1024;

DWORD StatusFromErrno(int error, DWORD otherwise) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    default:
      return otherwise;
  }
}

DWORD CreateParentFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      return StatusFromErrno(errno, ERROR_PATH_NOT_FOUND);
    }
  }
  return 0;
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

DWORD LocateStoreFile(std::string& path) {
  const char* configured = std::getenv("BUTTONGUARD_STORE");
  if (configured != nullptr && configured[0] != '\0') {
    path = configured;
  } else {
    const char* stateHome = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (stateHome != nullptr && stateHome[0] == '/') {
      path = stateHome;
    } else if (home != nullptr && home[0] != '\0') {
      path = std::string(home) + "/.local/state";
    } else {
      return ERROR_PATH_NOT_FOUND;
    }
    path += "/buttonguard/power-scheme";
  }
  return 0;
}

StoreLock::StoreLock(const std::string& storePath) {
  const std::string lockPath = storePath + ".lock";
  int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  // The folders are made on first use only, not on every call.
  if (fd < 0 && errno == ENOENT) {
    status_ = CreateParentFolders(storePath);
    if (status_ != 0) return;
    fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  }
  if (fd < 0) {
    status_ = StatusFromErrno(errno, ERROR_WRITE_FAULT);
    return;
  }
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      status_ = StatusFromErrno(errno, ERROR_WRITE_FAULT);
      close(fd);
      return;
    }
  }
  handle_ = fd;
}

StoreLock::~StoreLock() {
  // Closing the descriptor releases the lock.
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

DWORD ReadStoreFile(const std::string& path, std::string& text, bool& missing) {
  missing = false;
  text.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT) {
      missing = true;
      return 0;
    }
    return errno == ELOOP ? ERROR_INVALID_DATA : StatusFromErrno(errno, ERROR_READ_FAULT);
  }
  struct stat status {};
  DWORD result = 0;
  if (fstat(fd, &status) != 0) {
    result = ERROR_READ_FAULT;
  } else if (!S_ISREG(status.st_mode) || status.st_size > kLargestStore) {
    result = ERROR_INVALID_DATA;
  } else {
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        result = ERROR_READ_FAULT;
        break;
      }
      if (got == 0) break;
      text.append(buffer, static_cast<std::size_t>(got));
      if (text.size() > static_cast<std::size_t>(kLargestStore)) {
        result = ERROR_INVALID_DATA;
        break;
      }
    }
  }
  close(fd);
  return result;
}

DWORD ReplaceStoreFile(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".new." + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                      0644);
  if (fd < 0) return StatusFromErrno(errno, ERROR_WRITE_FAULT);
  // The rename is what makes a killed or crashed run harmless. There is no fsync: it would
  // guard the simulated store against a power cut of the host, at six disk flushes a run.
  const bool written = WriteAll(fd, text);
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
    const DWORD status = StatusFromErrno(errno, ERROR_WRITE_FAULT);
    unlink(temporary.c_str());
    return status;
  }
  return 0;
}

void EndProcessAtOnce() {
  // SIGKILL cannot be caught, blocked or ignored.
  static_cast<void>(kill(getpid(), SIGKILL));
  _exit(137);
}

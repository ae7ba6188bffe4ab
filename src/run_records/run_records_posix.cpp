#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "run_records.h"
#include "simulated_power.h"
#include "store_file.h"

// Records live in a folder beside the simulated store, one file each: "<store>.records/NAME".
// The folder is the store owner's alone (mode 0700); one that is a symbolic link, that someone
// else owns or that others may enter is refused, and no link inside it is ever followed.

namespace {

constexpr std::uint32_t kPathNotFound = 3;  // ERROR_PATH_NOT_FOUND
constexpr std::uint32_t kWriteFault = 29;   // ERROR_WRITE_FAULT

std::uint32_t StatusFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP:
    case ENOTDIR:
      return kRecordsRefusedStatus;
    case ENOENT:
      return kPathNotFound;
    default:
      return kWriteFault;
  }
}

// The records folder, opened without following a link, and only when it is the owner's
// alone. `create` makes a missing one; otherwise a missing one gives -1 with status 0.
int OpenRecordFolder(bool create, std::uint32_t& status) {
  status = 0;
  std::string path;
  if (const DWORD located = LocateStoreFile(path)) {
    status = located;
    return -1;
  }
  path += ".records";
  int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0 && errno == ENOENT) {
    if (!create) return -1;
    if (mkdir(path.c_str(), 0700) == 0) {
      // The new folder's name must be on the disk too, or a power cut could take the first
      // record away with it.
      const int parent =
          open(path.substr(0, path.rfind('/') + 1).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (parent >= 0) {
        static_cast<void>(fsync(parent));
        close(parent);
      }
    } else if (errno != EEXIST) {
      status = StatusFromErrno(errno);
      return -1;
    }
    folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (folder < 0) {
    status = StatusFromErrno(errno);
    return -1;
  }
  struct stat info {};
  if (fstat(folder, &info) != 0 || info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
    close(folder);
    status = kRecordsRefusedStatus;
    return -1;
  }
  return folder;
}

std::uint32_t CloseWithStatus(int folder, std::uint32_t status) {
  close(folder);
  return status;
}

bool WriteAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// A process's state and start time (clock ticks after boot) from /proc/PID/stat. The name in
// brackets may hold spaces and brackets itself; the fields follow its last ")".
bool ReadProcessStat(const std::string& path, char& state, std::uint64_t& start) {
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return false;
  char text[1024];
  const std::size_t size = std::fread(text, 1, sizeof text - 1, file);
  static_cast<void>(std::fclose(file));
  text[size] = '\0';
  const std::string line(text, size);
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return false;
  state = line[close + 2];
  // The start time is field 22; the state is field 3.
  std::size_t position = close + 2;
  for (int field = 3; field < 22; ++field) {
    position = line.find(' ', position);
    if (position == std::string::npos) return false;
    ++position;
  }
  start = std::strtoull(line.c_str() + position, nullptr, 10);
  return true;
}

}  // namespace

RunRecord OwnRunRecord(const SchemeIdentifier& scheme, const ButtonPolicy& saved) {
  static std::uint64_t ownStart = 0;
  static bool known = false;
  if (!known) {
    char state = 0;
    known = ReadProcessStat("/proc/self/stat", state, ownStart);
  }
  return {scheme, saved, static_cast<std::uint32_t>(getpid()), ownStart};
}

bool IsRunAlive(const RunRecord& record) {
  const auto pid = static_cast<pid_t>(record.processId);
  if (pid <= 0 || static_cast<std::uint32_t>(pid) != record.processId) return false;
  char state = 0;
  std::uint64_t start = 0;
  // Without its /proc entry nothing proves the process is that run: neither an id that no
  // process holds nor one whose start cannot be read is taken for it.
  if (!ReadProcessStat("/proc/" + std::to_string(pid) + "/stat", state, start)) {
    return IsThatRun(record, kRecordsRefusedStatus, 0, false);
  }
  // A zombie has ended; it only waits for its parent to collect its status.
  return IsThatRun(record, 0, start, state != 'Z' && state != 'X');
}

std::uint32_t WriteRunRecord(const RunRecord& record) {
  CountCallForCrash();
  std::uint32_t status = 0;
  const int folder = OpenRecordFolder(true, status);
  if (folder < 0) return status;
  const RecordName name = FormatRecordName(record);
  const std::string temporary = std::string(name.text) + ".tmp";
  RecordText text = FormatRecordText(record);
  text.text[text.size++] = '\n';  // the longest text leaves room to spare
  // A temporary file left by a run killed while writing it is its own: made afresh.
  unlinkat(folder, temporary.c_str(), 0);
  const int file =
      openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (file < 0) return CloseWithStatus(folder, StatusFromErrno(errno));
  // Renamed whole, so that no reader ever sees half a record; then flushed, file and folder,
  // before any zero is written. Flushing after the rename lets one journal commit carry the
  // text and the name: a power cut before the flush, when no zero has been written yet, can
  // at worst leave the record empty.
  if (!WriteAll(file, text.text, text.size) ||
      renameat(folder, temporary.c_str(), folder, name.text) != 0) {
    status = StatusFromErrno(errno);
    unlinkat(folder, temporary.c_str(), 0);
  } else if (fsync(file) != 0 || fsync(folder) != 0) {
    // Not durable, so no zero may follow; nor may a record that claims what was never blocked.
    status = StatusFromErrno(errno);
    unlinkat(folder, name.text, 0);
  }
  close(file);
  close(folder);
  return status;
}

std::uint32_t RemoveRunRecord(const RunRecord& record) {
  CountCallForCrash();
  std::uint32_t status = 0;
  const int folder = OpenRecordFolder(false, status);
  if (folder < 0) return status;
  if (unlinkat(folder, FormatRecordName(record).text, 0) != 0 && errno != ENOENT) {
    status = StatusFromErrno(errno);
  }
  close(folder);
  return status;
}

std::uint32_t LoadRunRecords(HeapList<StoredRecord>& records) {
  std::uint32_t status = 0;
  const int folder = OpenRecordFolder(false, status);
  if (folder < 0) return status;
  DIR* listing = fdopendir(dup(folder));
  if (listing == nullptr) {
    status = StatusFromErrno(errno);
    close(folder);
    return status;
  }
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || name.ends_with(".tmp")) continue;
    if (!records.Add(StoredRecord{})) {
      status = kNotEnoughMemory;
      break;
    }
    StoredRecord& stored = records[records.size() - 1];
    const std::size_t length = std::min(name.size(), kRecordNameSize - 1);
    for (std::size_t i = 0; i < length; ++i) {
      stored.name.text[i] = static_cast<unsigned char>(name[i]) < 128 ? name[i] : '?';
    }
    // A link, a folder or anything else that is not a plain file is no record.
    const int file = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) continue;
    struct stat info {};
    char text[kRecordTextSize + 1] = {};
    ssize_t size = -1;
    if (fstat(file, &info) == 0 && S_ISREG(info.st_mode)) size = read(file, text, sizeof text);
    close(file);
    if (size <= 0 || text[size - 1] != '\n') continue;
    stored.wellFormed = ParseRecordText(std::string_view(text, static_cast<std::size_t>(size) - 1),
                                        stored.record) &&
                        name == FormatRecordName(stored.record).text;
  }
  closedir(listing);
  close(folder);
  return status;
}

namespace {
// The records folder, opened at the first lock and kept for the life of the process: it is
// locked while runsLocked is set.
int runsLock = -1;
bool runsLocked = false;
std::string runsLockName;
}  // namespace

const char* RunsLockName() {
  if (runsLockName.empty() && LocateStoreFile(runsLockName) == 0) runsLockName += ".records";
  return runsLockName.c_str();
}

std::uint32_t CheckRunsLock() {
  if (runsLock >= 0) return 0;
  std::uint32_t status = 0;
  const int folder = OpenRecordFolder(false, status);
  if (folder >= 0) close(folder);
  return status;
}

namespace {
// When the records folder last changed: a record written or removed, or the lock taken.
timespec FolderStamp() {
  struct stat info {};
  return fstat(runsLock, &info) == 0 ? info.st_mtim : timespec{};
}
}  // namespace

// The lock is the records folder itself: the store owner's alone, checked when it is opened,
// and let go by the system with the process that held it, however it ends.
std::uint32_t LockRuns() {
  if (runsLock < 0) {
    std::uint32_t status = 0;
    runsLock = OpenRecordFolder(true, status);
    if (runsLock < 0) return status;
  }
  // Given up only when one holder keeps it for the whole wait: each holder stamps the folder
  // when it takes the lock, so a wait behind many runs, each holding it briefly, goes on.
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  timespec stamp = FolderStamp();
  while (flock(runsLock, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (const timespec seen = FolderStamp();
        seen.tv_sec != stamp.tv_sec || seen.tv_nsec != stamp.tv_nsec) {
      stamp = seen;
      start = now;
    }
    const long long waited =
        (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (error != EWOULDBLOCK && error != EINTR) return kWriteFault;
    if (waited >= kLongestRunsLockWait) return kRunsLockTimeoutStatus;
    const timespec pause = {0, 5000000};
    nanosleep(&pause, nullptr);
  }
  static_cast<void>(futimens(runsLock, nullptr));
  runsLocked = true;
  return 0;
}

void UnlockRuns() {
  if (runsLocked) flock(runsLock, LOCK_UN);
  runsLocked = false;
}

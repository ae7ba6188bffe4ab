// Starting and waiting for run's command on POSIX hosts. While the command runs, SIGINT and
// SIGQUIT from the terminal reach it through the process group and buttonguard ignores them;
// one that came before the command existed is passed on to it once it does. SIGTERM and
// SIGHUP are held pending and passed on to the command, so that buttonguard itself always
// lives to put the scheme back after the command has ended.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "command_process.h"
#include "utf8_arguments.h"

namespace {

// The Win32 statuses the report and the Windows build use, so both say the same thing.
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kNotEnoughMemory = 8;
constexpr std::uint32_t kBadExeFormat = 193;
constexpr std::uint32_t kBadFileType = 222;  // ERROR_BAD_FILE_TYPE
constexpr std::uint32_t kGeneralFailure = 31;

// Signals passed on to the command rather than ending buttonguard.
constexpr int kPassedOn[] = {SIGTERM, SIGHUP};
// Signals the terminal sends the whole process group; the command alone acts on them.
constexpr int kLeftToCommand[] = {SIGINT, SIGQUIT};

struct Command {
  std::string path;
  std::vector<std::string> arguments;
  pid_t process = -1;
  bool wholeTree = false;
  bool ended = false;  // the command itself; with the whole tree, others may live on
  std::int32_t exitStatus = 0;
};

Command command;
sigset_t originalMask;
sigset_t awaited;             // SIGCHLD and the signals passed on
sigset_t fromTheTerminal;     // SIGINT and SIGQUIT, unless whoever started us ignored them
sigset_t restoredForCommand;  // dispositions the command gets back as the defaults

std::uint32_t StatusFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return kFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kAccessDenied;
    case ENOMEM:
      return kNotEnoughMemory;
    case ENOEXEC:
      return kBadExeFormat;
    default:
      return kGeneralFailure;
  }
}

// 0 for a file this process may execute; otherwise why not, as a Win32 status.
std::uint32_t CheckExecutable(const std::string& path) {
  struct stat info = {};
  if (stat(path.c_str(), &info) != 0) return StatusFromErrno(errno);
  if (S_ISDIR(info.st_mode)) return kAccessDenied;
  if (access(path.c_str(), X_OK) != 0) return StatusFromErrno(errno);
  return 0;
}

std::string SearchPath() {
  if (const char* path = std::getenv("PATH")) return path;
  // As execvp does when PATH is unset.
  const std::size_t length = confstr(_CS_PATH, nullptr, 0);
  std::string fallback(length, '\0');
  if (length > 0) {
    confstr(_CS_PATH, fallback.data(), length);
    fallback.pop_back();
  }
  return fallback;
}

// Like execvp's search, but only absolute folders: an empty entry, ".", or a relative one
// would mean the current folder, where anyone may have put a file of that name.
std::uint32_t LookUp(const std::string& name, std::string& found) {
  if (name.empty()) return kFileNotFound;
  if (name.find('/') != std::string::npos) {
    found = name;
    return CheckExecutable(name);
  }
  const std::string path = SearchPath();
  std::uint32_t status = kFileNotFound;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    const std::string_view folder(path.data() + start, end - start);
    start = end + 1;
    if (folder.empty() || folder.front() != '/') continue;
    std::string candidate(folder);
    candidate += '/';
    candidate += name;
    const std::uint32_t candidateStatus = CheckExecutable(candidate);
    if (candidateStatus == 0) {
      found = candidate;
      return 0;
    }
    // A file that exists but cannot be run says more than a later "not found".
    if (candidateStatus != kFileNotFound && candidateStatus != kPathNotFound) {
      status = candidateStatus;
    }
  }
  return status;
}

void IgnoreChildEnd(int) {}

// Every process below buttonguard, parents before their children, from each process's parent
// in /proc. A descendant whose parent ended has come back to buttonguard (the subreaper), so
// none is missed.
std::vector<pid_t> Descendants() {
  std::vector<std::pair<pid_t, pid_t>> parents;  // process, its parent
  if (DIR* folder = opendir("/proc")) {
    while (const dirent* entry = readdir(folder)) {
      char* digitsEnd = nullptr;
      const long process = std::strtol(entry->d_name, &digitsEnd, 10);
      if (process <= 0 || *digitsEnd != '\0') continue;
      std::FILE* stat = std::fopen(("/proc/" + std::string(entry->d_name) + "/stat").c_str(), "re");
      if (stat == nullptr) continue;
      char line[512];
      const std::size_t size = std::fread(line, 1, sizeof line - 1, stat);
      static_cast<void>(std::fclose(stat));
      line[size] = '\0';
      // "PID (NAME) STATE PPID ...": the name may hold anything, up to its last ')'.
      const char* end = std::strrchr(line, ')');
      if (end == nullptr || std::strlen(end) < 5) continue;
      parents.emplace_back(static_cast<pid_t>(process),
                           static_cast<pid_t>(std::strtol(end + 4, nullptr, 10)));
    }
    closedir(folder);
  }
  std::vector<pid_t> found = {getpid()};
  for (std::size_t i = 0; i < found.size(); ++i) {
    for (const auto& [process, parent] : parents) {
      if (parent == found[i]) found.push_back(process);
    }
  }
  found.erase(found.begin());
  return found;
}

// A signal meant to end buttonguard goes to the command, or with the whole tree followed, to
// every process of it still alive.
void PassOn(int signalNumber) {
  if (!command.wholeTree) {
    if (!command.ended) kill(command.process, signalNumber);
    return;
  }
  for (pid_t process : Descendants()) kill(process, signalNumber);
}

}  // namespace

std::FILE* OpenReportFile(const char16_t* path, std::uint32_t& status) {
  // Whatever the caller names is opened with buttonguard's rights, so it must be that file
  // and no other: no link at its end (O_NOFOLLOW) or on the way to it (the name the kernel
  // gives the open file is the name asked for, made absolute), a regular file or /dev/null.
  // Closed on exec, so the command never holds it.
  const std::string name = EncodeUtf8Argument(path);
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  int descriptor = open(name.c_str(), kFlags);
  // Made here, it is taken away again when refused: nothing is left where a link led.
  const bool made = descriptor < 0 && errno == ENOENT;
  if (made) descriptor = open(name.c_str(), kFlags | O_CREAT | O_EXCL, 0644);
  if (descriptor < 0) {
    status = errno == ELOOP ? kBadFileType : StatusFromErrno(errno);
    return nullptr;
  }
  struct stat info {};
  struct stat null {};
  const bool plain =
      fstat(descriptor, &info) == 0 &&
      (S_ISREG(info.st_mode) ||
       (S_ISCHR(info.st_mode) && stat("/dev/null", &null) == 0 && info.st_rdev == null.st_rdev));
  std::string asked = name;
  if (!asked.starts_with('/')) {
    char folder[4096];
    asked = getcwd(folder, sizeof folder) != nullptr ? std::string(folder) + "/" + name : "";
  }
  char opened[4096];
  const ssize_t length =
      readlink(("/proc/self/fd/" + std::to_string(descriptor)).c_str(), opened, sizeof opened);
  const bool same = length > 0 && std::filesystem::path(asked).lexically_normal() ==
                                      std::filesystem::path(
                                          std::string(opened, static_cast<std::size_t>(length)));
  std::FILE* file = plain && same ? fdopen(descriptor, "a") : nullptr;
  if (file == nullptr) {
    status = plain && same ? kNotEnoughMemory : kBadFileType;
    close(descriptor);
    if (made) unlink(name.c_str());
  }
  return file;
}

// No session here asks before it ends.
void HoldSessionEnd(std::u16string_view /*program*/) {}
void ReleaseSessionEnd() {}
unsigned TakeHeldSessionEnds() { return 0; }

bool IsNotFoundStatus(std::uint32_t status) {
  return status == kFileNotFound || status == kPathNotFound;
}

std::uint32_t FindCommand(int argumentCount, const char16_t* const* arguments, int commandIndex) {
  command = {};
  for (int i = commandIndex; i < argumentCount; ++i) {
    command.arguments.push_back(EncodeUtf8Argument(arguments[i]));
  }
  return LookUp(command.arguments.front(), command.path);
}

void HoldInterruptions(void (* /*beforeTheEnd*/)()) {
  // Nothing here ends the process behind the main thread's back, so the scheme is always put
  // back there.
  sigemptyset(&awaited);
  sigaddset(&awaited, SIGCHLD);
  sigemptyset(&fromTheTerminal);
  sigemptyset(&restoredForCommand);
  // main turned SIGPIPE off for buttonguard's own sake, not the command's.
  sigaddset(&restoredForCommand, SIGPIPE);
  for (int signalNumber : kPassedOn) {
    struct sigaction current = {};
    sigaction(signalNumber, nullptr, &current);
    // Ignored by whoever started buttonguard (nohup): ignored by the command too.
    if (current.sa_handler != SIG_IGN) sigaddset(&awaited, signalNumber);
  }
  for (int signalNumber : kLeftToCommand) {
    struct sigaction current = {};
    sigaction(signalNumber, nullptr, &current);
    if (current.sa_handler == SIG_IGN) continue;
    // Held, not yet ignored: until the command exists, a Ctrl+C has no one else to reach.
    sigaddset(&fromTheTerminal, signalNumber);
    sigaddset(&restoredForCommand, signalNumber);
  }
  // A blocked SIGCHLD whose action is "ignore" may be dropped instead of kept pending; a
  // handler keeps it. The command's own disposition goes back to the default at exec.
  struct sigaction childEnd = {};
  childEnd.sa_handler = IgnoreChildEnd;
  sigaction(SIGCHLD, &childEnd, nullptr);
  sigset_t held = awaited;
  for (int signalNumber : kLeftToCommand) {
    if (sigismember(&fromTheTerminal, signalNumber)) sigaddset(&held, signalNumber);
  }
  sigprocmask(SIG_BLOCK, &held, &originalMask);
}

void LockScheme() {}
void UnlockScheme() {}
void LockReport() {}
void UnlockReport() {}

std::uint32_t StartCommand(bool wholeTree) {
  command.wholeTree = wholeTree;
  command.ended = false;
#if defined(__linux__)
  // From now on, a descendant whose parent ends becomes buttonguard's child, not init's, so
  // that it can be waited for.
  if (wholeTree && prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return StatusFromErrno(errno);
#endif
  std::vector<char*> argv;
  argv.reserve(command.arguments.size() + 1);
  for (std::string& argument : command.arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  // Whatever the terminal sent while the buttons were being blocked is the command's, taken
  // as late as possible so that one sent during the start itself is rarely lost.
  sigset_t missed;
  sigemptyset(&missed);
  const timespec now = {0, 0};
  for (int signalNumber; (signalNumber = sigtimedwait(&fromTheTerminal, nullptr, &now)) > 0;) {
    sigaddset(&missed, signalNumber);
  }

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setsigmask(&attributes, &originalMask);
  posix_spawnattr_setsigdefault(&attributes, &restoredForCommand);
  const int error = posix_spawn(&command.process, command.path.c_str(), nullptr, &attributes,
                                argv.data(), environ);
  posix_spawnattr_destroy(&attributes);

  // From here the terminal reaches the command itself. A signal still pending came during the
  // start, so it reached the command too, unless it came in the instant before the command
  // existed; that narrow gap is the one place a Ctrl+C can still be lost.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  for (int signalNumber : kLeftToCommand) {
    if (sigismember(&fromTheTerminal, signalNumber)) sigaction(signalNumber, &ignore, nullptr);
  }
  if (error != 0) {
    command.process = -1;
    return StatusFromErrno(error);
  }
  for (int signalNumber : kLeftToCommand) {
    if (sigismember(&missed, signalNumber)) kill(command.process, signalNumber);
  }
  return 0;
}

std::uint32_t WaitForCommand(std::int32_t& exitStatus, unsigned milliseconds) {
  timespec deadline = {};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    ++deadline.tv_sec;
    deadline.tv_nsec -= 1000000000L;
  }
  int status = 0;
  for (;;) {
    if (!command.ended) {
      const pid_t ended = waitpid(command.process, &status, WNOHANG);
      if (ended == command.process) {
        command.ended = true;
        command.exitStatus = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
      }
      // Only our own child is waited for, so this cannot happen; if it did, the command is
      // gone without a status, and no status is made up for it.
      if (ended < 0 && errno != EINTR) return StatusFromErrno(errno);
    }
    if (command.ended && !command.wholeTree) break;
    if (command.ended) {
      // The tree's processes that ended are buttonguard's to reap; when none is left, nothing
      // of the tree runs any more.
      pid_t reaped = 0;
      while ((reaped = waitpid(-1, &status, WNOHANG)) > 0) {
      }
      if (reaped < 0 && errno == ECHILD) break;
    }
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec left = {deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
      --left.tv_sec;
      left.tv_nsec += 1000000000L;
    }
    if (left.tv_sec < 0) return kCommandStillRunning;
    // A SIGCHLD that arrived since the waitpid above is still pending, so none is missed.
    const int signalNumber = sigtimedwait(&awaited, nullptr, &left);
    if (signalNumber == SIGTERM || signalNumber == SIGHUP) PassOn(signalNumber);
  }
  exitStatus = command.exitStatus;
  return 0;
}

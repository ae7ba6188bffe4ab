#include "process_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace {

constexpr uid_t kNobody = 65534;

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('=') + 1);
    bool overridden = false;
    for (const std::string& replacement : extra) overridden |= replacement.rfind(name, 0) == 0;
    if (!overridden) merged.push_back(text);
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Forks and execs with `outputFd` as the child's standard output.
pid_t Launch(const std::string& program, const std::vector<std::string>& arguments,
             const ProcessOptions& options, int outputFd, int otherFd) {
  std::vector<std::string> argumentCopy = arguments;
  std::vector<std::string> environment = MergedEnvironment(options.extraEnvironment);
  std::vector<char*> argv = Pointers(argumentCopy);
  std::vector<char*> envp = Pointers(environment);

  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    if (otherFd >= 0) close(otherFd);
    dup2(outputFd, STDOUT_FILENO);
    if (outputFd != STDOUT_FILENO) close(outputFd);
    if (options.unprivileged && geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(126);
    }
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  return child;
}

}  // namespace

int WaitProcess(pid_t process) {
  int status = 0;
  while (waitpid(process, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t StartProcess(const std::string& program, const std::vector<std::string>& arguments,
                   const ProcessOptions& options) {
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull < 0) throw std::runtime_error("cannot open /dev/null");
  const pid_t child = Launch(program, arguments, options, devNull, -1);
  close(devNull);
  return child;
}

ProcessRun RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                      const ProcessOptions& options) {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (options.outputClosed) {
    close(pipeEnds[0]);
    pipeEnds[0] = -1;
  }
  const pid_t child = Launch(program, arguments, options, pipeEnds[1], pipeEnds[0]);
  close(pipeEnds[1]);

  ProcessRun run;
  if (pipeEnds[0] >= 0) {
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(pipeEnds[0], buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      run.output.append(buffer, static_cast<std::size_t>(got));
    }
    close(pipeEnds[0]);
  }
  run.exitStatus = WaitProcess(child);
  return run;
}

#include "process_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
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
  // Within `extra`, a later setting of a name replaces an earlier one.
  for (std::size_t i = 0; i < extra.size(); ++i) {
    const std::string name = extra[i].substr(0, extra[i].find('=') + 1);
    bool replacedLater = false;
    for (std::size_t j = i + 1; j < extra.size(); ++j)
      replacedLater |= extra[j].rfind(name, 0) == 0;
    if (!replacedLater) merged.push_back(extra[i]);
  }
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Forks and execs with `outputFd` and `errorFd` as the child's standard output and error.
// Every other descriptor of ours is close-on-exec.
pid_t Launch(const std::string& program, const std::vector<std::string>& arguments,
             const ProcessOptions& options, int outputFd, int errorFd) {
  std::vector<std::string> argumentCopy = arguments;
  std::vector<std::string> environment = MergedEnvironment(options.extraEnvironment);
  std::vector<char*> argv = Pointers(argumentCopy);
  std::vector<char*> envp = Pointers(environment);

  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    if (options.ownProcessGroup) setpgid(0, 0);
    dup2(outputFd, STDOUT_FILENO);
    dup2(errorFd, STDERR_FILENO);
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
      _exit(126);
    }
    if (options.unprivileged && geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(126);
    }
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  return child;
}

int OpenDevNull() {
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull < 0) throw std::runtime_error("cannot open /dev/null");
  return devNull;
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
  const int devNull = OpenDevNull();
  const pid_t child = Launch(program, arguments, options, devNull, devNull);
  close(devNull);
  return child;
}

pid_t StartProcessWithPipe(const std::string& program, const std::vector<std::string>& arguments,
                           const ProcessOptions& options, int childDescriptor, int& readEnd) {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const int devNull = OpenDevNull();
  const bool output = childDescriptor == STDOUT_FILENO;
  const pid_t child = Launch(program, arguments, options, output ? pipeEnds[1] : devNull,
                             output ? devNull : pipeEnds[1]);
  close(devNull);
  close(pipeEnds[1]);
  readEnd = pipeEnds[0];
  return child;
}

ProcessRun RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                      const ProcessOptions& options) {
  int outputPipe[2];
  int errorPipe[2];
  if (pipe2(outputPipe, O_CLOEXEC) != 0 || pipe2(errorPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (options.outputClosed) {
    close(outputPipe[0]);
    outputPipe[0] = -1;
  }
  const pid_t child = Launch(program, arguments, options, outputPipe[1], errorPipe[1]);
  close(outputPipe[1]);
  close(errorPipe[1]);

  // Both at once, so that a child filling one pipe never waits on a reader busy with the other.
  ProcessRun run;
  pollfd readers[2] = {{outputPipe[0], POLLIN, 0}, {errorPipe[0], POLLIN, 0}};
  std::string* texts[2] = {&run.output, &run.errors};
  int open = (outputPipe[0] >= 0 ? 1 : 0) + 1;
  while (open > 0) {
    if (poll(readers, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (readers[i].fd < 0 || readers[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(readers[i].fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        close(readers[i].fd);
        readers[i].fd = -1;
        --open;
        continue;
      }
      texts[i]->append(buffer, static_cast<std::size_t>(got));
    }
  }
  run.exitStatus = WaitProcess(child);
  return run;
}

std::string ReadToEnd(int descriptor) {
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = read(descriptor, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(descriptor);
  return text;
}

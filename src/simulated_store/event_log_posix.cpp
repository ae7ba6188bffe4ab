// The application log on POSIX hosts: each entry one line appended to "<store>.log" beside
// the simulated store: its type, its identifier, then its strings separated by " | "
// ("information 1 blocked {...} 3, 4, 1, 2, 0, 5 | buttonguard run true").

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "power_platform.h"
#include "store_file.h"
#include "utf8_arguments.h"

namespace {

int theLog = 0;

const char* TypeName(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return "error";
    case EVENTLOG_WARNING_TYPE:
      return "warning";
    default:
      return "information";
  }
}

}  // namespace

HANDLE WINAPI RegisterEventSourceW(const WCHAR*, const WCHAR* source) {
  return source != nullptr && *source != 0 ? &theLog : nullptr;
}

// cppcheck-suppress constParameter ; the platform's signature
BOOL WINAPI ReportEventW(HANDLE log, WORD type, WORD, DWORD eventId, PSID, WORD stringCount,
                         DWORD, const WCHAR** strings, PVOID) {
  std::string path;
  if (log != &theLog || LocateStoreFile(path) != 0) return 0;
  std::string line = std::string(TypeName(type)) + ' ' + std::to_string(eventId);
  for (WORD i = 0; i < stringCount; ++i) {
    line += i == 0 ? " " : " | ";
    line += EncodeUtf8Argument(strings[i]);
  }
  line += '\n';
  // One write with O_APPEND: lines of processes writing at once never interleave.
  const int file = open((path + ".log").c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (file < 0) return 0;
  const bool written = write(file, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(file);
  return written ? 1 : 0;
}


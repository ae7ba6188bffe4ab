#include "usage_text.h"

#include <initializer_list>

#include "buttonguard_version.h"

namespace {

struct CommandUsage {
  std::string_view command;
  std::string_view synopsis;     // after "buttonguard "
  std::string_view description;  // lines after the synopsis, each already indented
};

constexpr CommandUsage kCommands[] = {
    {"block", "block",
     "    set the power button, lid and sleep button actions (mains and battery) to\r\n"
     "    \"do nothing\"; print the old ones as an 8-digit code, also the exit status"},
    {"restore", "restore CODE", "    put back the values of a code that block printed"},
    {"run", "run [--display] [--tree] [--report FILE] [--] COMMAND...",
     "    block, run COMMAND (--tree: and all it starts) and put the values back\r\n"
     "    however it ends; keep the machine (--display: and display) awake meanwhile;\r\n"
     "    report to standard error or FILE; exit with COMMAND's status"},
    {"show", "show", "    print the values and their code, changing nothing"},
    {"recover", "recover", "    put back what a run that was killed outright left blocked"},
};

constexpr std::string_view kClosing =
    "A failure exits with a negative status, 0x8007xxxx (Linux: 1 or 125 to 127), a\r\n"
    "usage error with -1 (Linux: 2). More: README.md, beside the program.";

// One line made of `parts`.
void WriteJoined(ReportTarget report, std::initializer_list<std::string_view> parts) {
  char line[160];
  std::size_t size = 0;
  for (std::string_view part : parts) {
    for (char c : part) {
      if (size < sizeof line) line[size++] = c;
    }
  }
  WriteReportLine(report, std::string_view(line, size));
}

}  // namespace

void WriteUsage(ReportTarget report) {
  WriteReportLine(report, "usage: buttonguard COMMAND");
  for (const CommandUsage& usage : kCommands) {
    WriteJoined(report, {"  buttonguard ", usage.synopsis});
    WriteReportLine(report, usage.description);
  }
  WriteReportLine(report, kClosing);
}

void WriteUsageError(ReportTarget report, std::string_view command, std::string_view what) {
  for (const CommandUsage& usage : kCommands) {
    if (usage.command != command) continue;
    WriteJoined(report, {"buttonguard ", usage.command, ": ", what});
    WriteJoined(report, {"usage: buttonguard ", usage.synopsis});
  }
}

void WriteVersion(ReportTarget report) {
  WriteJoined(report, {"buttonguard ", BUTTONGUARD_VERSION_TEXT});
}

bool IsHelpWord(std::u16string_view word) {
  return word == u"/?" || word == u"-?" || word == u"-h" || word == u"--help";
}

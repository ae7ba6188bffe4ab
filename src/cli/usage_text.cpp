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
    {"run", "run [--display] [--tree] [--hold-shutdown] [--report FILE] [--] COMMAND...",
     "    block, run COMMAND (--tree: and all it starts) and put the values back\r\n"
     "    however it ends; keep the machine (--display: and display) awake meanwhile;\r\n"
     "    --hold-shutdown: refuse a person's shut down, restart or sign out meanwhile;\r\n"
     "    report to standard error or FILE; exit with COMMAND's status"},
    {"show", "show", "    print the values and their code, changing nothing; exit with the code"},
    {"recover", "recover", "    put back what a run that was killed outright left blocked"},
};

constexpr std::string_view kClosing =
    "Values: power button, lid, sleep button, each on mains (AC) and battery (DC):\r\n"
    "0 do nothing, 1 sleep, 2 hibernate, 3 shut down, 4 turn off the display. The code\r\n"
    "is 00 and a hex digit per value. Restore a code only when block exited with it\r\n"
    "(Linux: 0), or after a \"not undone\" line: a block that failed puts back what it\r\n"
    "wrote. Failures exit with 0x8007xxxx, a negative status (Linux: 1 or 125 to 127,\r\n"
    "which run's command may use too), usage errors with -1 (Linux: 2).\r\n"
    "More: README.md beside the program.";

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

// Each command's synopsis and description.
void WriteCommandUsage(ReportTarget report, const CommandUsage& usage) {
  WriteJoined(report, {"  buttonguard ", usage.synopsis});
  WriteReportLine(report, usage.description);
}

}  // namespace

void WriteUsage(ReportTarget report) {
  WriteReportLine(report, "usage: buttonguard COMMAND");
  for (const CommandUsage& usage : kCommands) WriteCommandUsage(report, usage);
  WriteReportLine(report, kClosing);
}

void WriteCommandHelp(ReportTarget report, std::string_view command) {
  for (const CommandUsage& usage : kCommands) {
    if (usage.command != command) continue;
    WriteReportLine(report, "usage:");
    WriteCommandUsage(report, usage);
    WriteReportLine(report, kClosing);
  }
}

std::string_view KnownCommand(std::u16string_view word) {
  for (const CommandUsage& usage : kCommands) {
    bool same = word.size() == usage.command.size();
    for (std::size_t i = 0; same && i < word.size(); ++i) {
      same = word[i] == static_cast<unsigned char>(usage.command[i]);
    }
    if (same) return usage.command;
  }
  return {};
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

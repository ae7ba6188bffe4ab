#pragma once

#include <string_view>

// Entries in the platform's application log: on Windows the Application log, source
// "buttonguard"; elsewhere the simulated store's log file. Whoever finds a machine with its
// buttons at "do nothing" can tell from them which job blocked it, and whether a put-back or
// a recovery ran. An entry that cannot be written is dropped without a word: the log never
// changes a report, an exit status or how long a command takes.

// The entry's identifier, as the message table in the executable numbers its texts.
enum class EventKind : unsigned short {
  Blocked = 1,  // information: values saved and the six set to "do nothing"
  PutBack = 2,  // information: a scheme put back, in whole or in part, or left as changed
  Warning = 3,  // something could not be checked, or the guard was cut short
  Failure = 4,  // a scheme could not be blocked, put back or recovered
};

// Who writes the entries from now on: buttonguard's command word and, for run, the command's
// program, named in every entry. Both texts must live as long as the process writes entries.
void SetEventOrigin(std::u16string_view word, std::u16string_view program = {});

// One entry: `text`, an ASCII report line, and the origin.
void WriteEvent(EventKind kind, std::string_view text);

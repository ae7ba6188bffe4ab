#pragma once

// The report lines: every line the tool prints about values, codes and statuses.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "application_log.h"
#include "button_policy.h"

// The report goes out as bytes the tool writes itself, identical on every platform: each
// UTF-16 unit below 256 becomes that one byte, any other unit "?", and every line ends in
// CR LF. Each line is flushed at once, so a caller watching the progress marks sees how far a
// run got even if it never finishes.

// Lines kept in memory while `run` holds the scheme lock: a write to a full pipe or a console
// with a text selection can stall for longer than the platform waits for a process that is
// being ended, and the thread that puts the scheme back must never wait behind it.
struct HeldReportLines {
  char bytes[1024] = {};
  std::size_t size = 0;
};

// Where report lines go: straight to `stream`, or into `held` when it is set; held lines with
// no stream are dropped.
struct ReportTarget {
  std::FILE* stream;
  HeldReportLines* held = nullptr;
};

// Writes the held lines to `stream` (if any) in one go and empties `held`.
void WriteHeldReportLines(std::FILE* stream, HeldReportLines& held);

void WriteReportLine(ReportTarget report, std::u16string_view text);
void WriteReportLine(ReportTarget report, std::string_view asciiText);

// "%d, %d, %d, %d, %d, %d": the six values in record order, as signed decimals, after
// `label` and a space when a label is given ("restored 3, 4, 1, 2, 0, 5").
void WritePolicyValuesLine(ReportTarget report, const ButtonPolicy& policy,
                           std::string_view label = {});

// `label`, a space and the status as HRESULT_FROM_WIN32 in "0x%08X" ("restore failed
// 0x80070005"), so that a status line can never be taken for a policy code.
void WriteStatusLine(ReportTarget report, std::string_view label, std::uint32_t status);

// The code as "%08X".
void WritePolicyCodeLine(ReportTarget report, std::uint32_t code);

// "policy" and the six positions in record order: the value a group policy holds there, "?"
// where the policy's value cannot be read, "-" where no policy holds it
// ("policy -, -, -, 1, -, -").
void WritePolicyOverridesLine(ReportTarget report, const PolicyOverrides& overrides);

// The same lines about one scheme of several: `label`, the scheme's identifier in the
// platform's registry form ("{381b4222-f694-41f0-9685-ff5bb260df2e}"), then the six values,
// optionally followed by their code, or the status, or nothing more. Without a scheme, they
// are the lines above.
// Lines about a record that stays end with its name (`record`), which an administrator
// removes it by.
void WriteSchemeValuesLine(ReportTarget report, std::string_view label,
                           const SchemeIdentifier* scheme, const ButtonPolicy& policy,
                           bool withCode = false, std::string_view record = {});
void WriteSchemeStatusLine(ReportTarget report, std::string_view label,
                           const SchemeIdentifier* scheme, std::uint32_t status,
                           std::string_view record = {});
void WriteSchemeLine(ReportTarget report, std::string_view label, const SchemeIdentifier& scheme);
// `label`, the scheme when given, and a run's process id ("left to run {...} 1234").
void WriteSchemeProcessLine(ReportTarget report, std::string_view label,
                            const SchemeIdentifier* scheme, std::uint32_t processId,
                            std::string_view record = {});

// The same lines as application log entries of `kind`.
void WriteSchemeValuesLine(EventKind kind, std::string_view label, const SchemeIdentifier* scheme,
                           const ButtonPolicy& policy);
void WriteSchemeStatusLine(EventKind kind, std::string_view label, const SchemeIdentifier* scheme,
                           std::uint32_t status);
void WriteNamedStatusLine(EventKind kind, std::string_view label, std::string_view name,
                          std::uint32_t status);
void WriteSchemeProcessLine(EventKind kind, std::string_view label, const SchemeIdentifier& scheme,
                            std::uint32_t processId);

// A line about `scheme` in the report, naming the scheme there only when `nameInReport` is
// set, and the same line, naming it always, as an application log entry of `kind`.
void WriteLoggedValuesLine(ReportTarget report, EventKind kind, std::string_view label,
                           const SchemeIdentifier& scheme, bool nameInReport,
                           const ButtonPolicy& policy);
void WriteLoggedStatusLine(ReportTarget report, EventKind kind, std::string_view label,
                           const SchemeIdentifier& scheme, bool nameInReport, std::uint32_t status,
                           std::string_view record = {});

// `label`, a space and `text` (ASCII; cut to fit a line of 160 characters).
void WriteLabelledLine(ReportTarget report, std::string_view label, std::string_view text);

// `label`, a space, `name` (ASCII, at most 260 characters) and a space, then the status
// ("bad record 1234-5678-{...} 0x8007000D").
void WriteNamedStatusLine(ReportTarget report, std::string_view label, std::string_view name,
                          std::uint32_t status);

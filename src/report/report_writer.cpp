#include "report_writer.h"

#include <cstddef>

#include "policy_code.h"
#include "scheme_text.h"
#include "win32_status.h"

// Formatting is done by hand, without the C library's printf family or std::string: on
// Windows either would pull tens of kilobytes of runtime into a tool that prints six numbers.

namespace {

constexpr char kLineEnd[] = "\r\n";

// A report that cannot be written must not stop a command halfway through changing the power
// scheme: the run goes on, and on Windows its exit status still carries the code.
void WriteBytes(ReportTarget report, const char* bytes, std::size_t count) {
  HeldReportLines* const held = report.held;
  if (held != nullptr) {
    // More than the held lines can take is never written under the lock; should it ever be,
    // the lines still go out in order, only unheld.
    if (count > sizeof held->bytes - held->size) WriteHeldReportLines(report.stream, *held);
    if (count <= sizeof held->bytes - held->size) {
      for (std::size_t i = 0; i < count; ++i) held->bytes[held->size++] = bytes[i];
      return;
    }
  }
  static_cast<void>(std::fwrite(bytes, 1, count, report.stream));
}

void EndLine(ReportTarget report) {
  WriteBytes(report, kLineEnd, 2);
  if (report.held == nullptr) static_cast<void>(std::fflush(report.stream));
}

// Writes `value` as a decimal at `out`; returns the end.
char* AppendDecimal(char* out, std::uint32_t magnitude) {
  char reversed[10];
  std::size_t count = 0;
  do {
    reversed[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  while (count > 0) *out++ = reversed[--count];
  return out;
}

char* AppendSignedDecimal(char* out, std::int32_t value) {
  auto magnitude = static_cast<std::uint32_t>(value);
  if (value < 0) {
    *out++ = '-';
    magnitude = 0U - magnitude;
  }
  return AppendDecimal(out, magnitude);
}

// Labels are the report's own fixed words; a longer one is cut rather than overrunning.
constexpr std::size_t kLongestLabel = 24;

// At most `longest` characters of `text`. (Not substr: its range check would bring the C++
// runtime's exceptions into the executable.)
char* AppendCut(char* out, std::string_view text, std::size_t longest) {
  for (std::size_t i = 0; i < text.size() && i < longest; ++i) *out++ = text[i];
  return out;
}

char* AppendLabel(char* out, std::string_view label) {
  if (label.empty()) return out;
  out = AppendCut(out, label, kLongestLabel);
  *out++ = ' ';
  return out;
}

// The longest label, a space, the identifier (38) and a space.
constexpr std::size_t kLongestSchemePrefix = kLongestLabel + 1 + kSchemeTextLength + 1;

// `label` and a space, then, for a scheme, its identifier and a space.
char* AppendSchemePrefix(char* out, std::string_view label, const SchemeIdentifier* scheme) {
  out = AppendLabel(out, label);
  if (scheme == nullptr) return out;
  out = AppendSchemeText(out, *scheme);
  *out++ = ' ';
  return out;
}

char* AppendValues(char* out, const ButtonPolicy& policy) {
  const char* const start = out;
  for (auto field : kButtonPolicyFields) {
    if (out != start) {
      *out++ = ',';
      *out++ = ' ';
    }
    out = AppendSignedDecimal(out, static_cast<std::int32_t>(policy.*field));
  }
  return out;
}

char* AppendStatus(char* out, std::uint32_t status) {
  *out++ = '0';
  *out++ = 'x';
  const PolicyCodeText digits =
      FormatPolicyCode(static_cast<std::uint32_t>(HresultFromWin32(status)));
  for (std::size_t i = 0; i < 8; ++i) *out++ = digits.digits[i];
  return out;
}

void WriteBuilt(ReportTarget report, const char* line, const char* end) {
  WriteReportLine(report, std::string_view(line, static_cast<std::size_t>(end - line)));
}

// The lines that go to the report and to the application log alike, built in place.
template <std::size_t kLength>
struct BuiltLine {
  char text[kLength];

  std::string_view View(const char* end) const {
    return {text, static_cast<std::size_t>(end - text)};
  }
};

// A space and the name of the record a line is about, when there is one: what an
// administrator removes it by.
constexpr std::size_t kLongestRecord = 1 + 71;

char* AppendRecord(char* out, std::string_view record) {
  if (record.empty()) return out;
  *out++ = ' ';
  return AppendCut(out, record, kLongestRecord - 1);
}

struct SchemeValuesLine : BuiltLine<kLongestSchemePrefix + std::size_t{6} * 11 +
                                    std::size_t{5} * 2 + 1 + 8 + kLongestRecord> {
  char* Build(std::string_view label, const SchemeIdentifier* scheme, const ButtonPolicy& policy) {
    return AppendValues(AppendSchemePrefix(text, label, scheme), policy);
  }
};

struct SchemeStatusLine : BuiltLine<kLongestSchemePrefix + 10 + kLongestRecord> {
  char* Build(std::string_view label, const SchemeIdentifier* scheme, std::uint32_t status,
              std::string_view record = {}) {
    return AppendRecord(AppendStatus(AppendSchemePrefix(text, label, scheme), status), record);
  }
};

struct SchemeProcessLine : BuiltLine<kLongestSchemePrefix + 10 + kLongestRecord> {
  char* Build(std::string_view label, const SchemeIdentifier* scheme, std::uint32_t processId,
              std::string_view record = {}) {
    return AppendRecord(AppendDecimal(AppendSchemePrefix(text, label, scheme), processId), record);
  }
};

// A record's name, or a path of the platform's usual length.
constexpr std::size_t kLongestName = 260;

struct NamedStatusLine : BuiltLine<kLongestLabel + 1 + kLongestName + 1 + 10> {
  char* Build(std::string_view label, std::string_view name, std::uint32_t status) {
    char* end = AppendCut(AppendLabel(text, label), name, kLongestName);
    *end++ = ' ';
    return AppendStatus(end, status);
  }
};

}  // namespace

void WriteHeldReportLines(std::FILE* stream, HeldReportLines& held) {
  if (stream != nullptr) {
    static_cast<void>(std::fwrite(held.bytes, 1, held.size, stream));
    static_cast<void>(std::fflush(stream));
  }
  held.size = 0;
}

void WriteReportLine(ReportTarget report, std::u16string_view text) {
  char chunk[256];
  std::size_t used = 0;
  for (char16_t unit : text) {
    chunk[used++] = unit < 256 ? static_cast<char>(unit) : '?';
    if (used == sizeof chunk) {
      WriteBytes(report, chunk, used);
      used = 0;
    }
  }
  WriteBytes(report, chunk, used);
  EndLine(report);
}

void WriteReportLine(ReportTarget report, std::string_view asciiText) {
  WriteBytes(report, asciiText.data(), asciiText.size());
  EndLine(report);
}

void WritePolicyValuesLine(ReportTarget report, const ButtonPolicy& policy,
                           std::string_view label) {
  WriteSchemeValuesLine(report, label, nullptr, policy);
}

void WriteStatusLine(ReportTarget report, std::string_view label, std::uint32_t status) {
  WriteSchemeStatusLine(report, label, nullptr, status);
}

void WritePolicyCodeLine(ReportTarget report, std::uint32_t code) {
  WriteReportLine(report, FormatPolicyCode(code).digits);
}

void WritePolicyOverridesLine(ReportTarget report, const PolicyOverrides& overrides) {
  char line[7 + std::size_t{6} * 11 + std::size_t{5} * 2];
  char* end = AppendLabel(line, "policy");
  for (std::size_t i = 0; i < overrides.held.size(); ++i) {
    if (i > 0) {
      *end++ = ',';
      *end++ = ' ';
    }
    if (!overrides.held[i]) {
      *end++ = '-';
    } else if (!overrides.readable[i]) {
      *end++ = '?';
    } else {
      end = AppendSignedDecimal(
          end, static_cast<std::int32_t>(overrides.values.*kButtonPolicyFields[i]));
    }
  }
  WriteBuilt(report, line, end);
}

void WriteSchemeValuesLine(ReportTarget report, std::string_view label,
                           const SchemeIdentifier* scheme, const ButtonPolicy& policy,
                           bool withCode, std::string_view record) {
  SchemeValuesLine line;
  char* end = line.Build(label, scheme, policy);
  if (withCode) {
    *end++ = ' ';
    const PolicyCodeText code = FormatPolicyCode(PackPolicyCode(policy));
    for (std::size_t i = 0; i < 8; ++i) *end++ = code.digits[i];
  }
  WriteBuilt(report, line.text, AppendRecord(end, record));
}

void WriteSchemeStatusLine(ReportTarget report, std::string_view label,
                           const SchemeIdentifier* scheme, std::uint32_t status,
                           std::string_view record) {
  SchemeStatusLine line;
  WriteBuilt(report, line.text, line.Build(label, scheme, status, record));
}

void WriteNamedStatusLine(ReportTarget report, std::string_view label, std::string_view name,
                          std::uint32_t status) {
  NamedStatusLine line;
  WriteBuilt(report, line.text, line.Build(label, name, status));
}

void WriteSchemeValuesLine(EventKind kind, std::string_view label, const SchemeIdentifier* scheme,
                           const ButtonPolicy& policy) {
  SchemeValuesLine line;
  WriteEvent(kind, line.View(line.Build(label, scheme, policy)));
}

void WriteSchemeStatusLine(EventKind kind, std::string_view label, const SchemeIdentifier* scheme,
                           std::uint32_t status) {
  SchemeStatusLine line;
  WriteEvent(kind, line.View(line.Build(label, scheme, status)));
}

void WriteNamedStatusLine(EventKind kind, std::string_view label, std::string_view name,
                          std::uint32_t status) {
  NamedStatusLine line;
  WriteEvent(kind, line.View(line.Build(label, name, status)));
}

void WriteLoggedValuesLine(ReportTarget report, EventKind kind, std::string_view label,
                           const SchemeIdentifier& scheme, bool nameInReport,
                           const ButtonPolicy& policy) {
  WriteSchemeValuesLine(report, label, nameInReport ? &scheme : nullptr, policy);
  WriteSchemeValuesLine(kind, label, &scheme, policy);
}

void WriteLoggedStatusLine(ReportTarget report, EventKind kind, std::string_view label,
                           const SchemeIdentifier& scheme, bool nameInReport, std::uint32_t status,
                           std::string_view record) {
  WriteSchemeStatusLine(report, label, nameInReport ? &scheme : nullptr, status, record);
  SchemeStatusLine line;
  WriteEvent(kind, line.View(line.Build(label, &scheme, status, record)));
}

void WriteSchemeLine(ReportTarget report, std::string_view label, const SchemeIdentifier& scheme) {
  char line[kLongestSchemePrefix];
  // Without the space that would lead to values.
  WriteBuilt(report, line, AppendSchemePrefix(line, label, &scheme) - 1);
}

void WriteSchemeProcessLine(ReportTarget report, std::string_view label,
                            const SchemeIdentifier* scheme, std::uint32_t processId,
                            std::string_view record) {
  SchemeProcessLine line;
  WriteBuilt(report, line.text, line.Build(label, scheme, processId, record));
}

void WriteSchemeProcessLine(EventKind kind, std::string_view label, const SchemeIdentifier& scheme,
                            std::uint32_t processId) {
  SchemeProcessLine line;
  WriteEvent(kind, line.View(line.Build(label, &scheme, processId)));
}

void WriteLabelledLine(ReportTarget report, std::string_view label, std::string_view text) {
  constexpr std::size_t kLongestText = 160;
  char line[kLongestLabel + 1 + kLongestText];
  WriteBuilt(report, line, AppendCut(AppendLabel(line, label), text, kLongestText));
}

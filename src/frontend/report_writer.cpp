#include "report_writer.h"

#include <cstddef>

#include "policy_code.h"

// Formatting is done by hand, without the C library's printf family or std::string: on
// Windows either would pull tens of kilobytes of runtime into a tool that prints six numbers.

namespace {

constexpr char kLineEnd[] = "\r\n";

void EndLine(std::FILE* report) {
  std::fwrite(kLineEnd, 1, 2, report);
  std::fflush(report);
}

// Writes `value` as a signed decimal at `out`; returns the end.
char* AppendSignedDecimal(char* out, std::int32_t value) {
  auto magnitude = static_cast<std::uint32_t>(value);
  if (value < 0) {
    *out++ = '-';
    magnitude = 0U - magnitude;
  }
  char reversed[10];
  std::size_t count = 0;
  do {
    reversed[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  while (count > 0) *out++ = reversed[--count];
  return out;
}

}  // namespace

void WriteReportLine(std::FILE* report, std::u16string_view text) {
  char chunk[256];
  std::size_t used = 0;
  for (char16_t unit : text) {
    chunk[used++] = unit < 256 ? static_cast<char>(unit) : '?';
    if (used == sizeof chunk) {
      std::fwrite(chunk, 1, used, report);
      used = 0;
    }
  }
  std::fwrite(chunk, 1, used, report);
  EndLine(report);
}

void WriteReportLine(std::FILE* report, std::string_view asciiText) {
  std::fwrite(asciiText.data(), 1, asciiText.size(), report);
  EndLine(report);
}

void WritePolicyValuesLine(std::FILE* report, const ButtonPolicy& policy) {
  // Six values of at most 11 characters and five separators.
  char line[6 * 11 + 5 * 2];
  char* end = line;
  for (auto field : kButtonPolicyFields) {
    if (end != line) {
      *end++ = ',';
      *end++ = ' ';
    }
    end = AppendSignedDecimal(end, static_cast<std::int32_t>(policy.*field));
  }
  WriteReportLine(report, std::string_view(line, static_cast<std::size_t>(end - line)));
}

void WritePolicyCodeLine(std::FILE* report, std::uint32_t code) {
  WriteReportLine(report, FormatPolicyCode(code).digits);
}

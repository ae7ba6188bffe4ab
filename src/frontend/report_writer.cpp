#include "report_writer.h"

#include <cstdint>

namespace {

void FinishLine(std::FILE* report, std::string& bytes) {
  bytes += "\r\n";
  std::fwrite(bytes.data(), 1, bytes.size(), report);
  std::fflush(report);
}

}  // namespace

void WriteReportLine(std::FILE* report, std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size() + 2);
  for (char16_t unit : text) bytes += unit < 256 ? static_cast<char>(unit) : '?';
  FinishLine(report, bytes);
}

void WriteReportLine(std::FILE* report, std::string_view asciiText) {
  std::string bytes(asciiText);
  FinishLine(report, bytes);
}

std::string FormatPolicyValues(const ButtonPolicy& policy) {
  std::string text;
  for (auto field : kButtonPolicyFields) {
    if (!text.empty()) text += ", ";
    text += std::to_string(static_cast<std::int32_t>(policy.*field));
  }
  return text;
}

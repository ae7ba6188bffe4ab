#include <cstddef>
#include <cstdint>
#include <string_view>

#include "run_records.h"
#include "scheme_text.h"

// By hand, as the report is: std::string and printf would pull their runtime into the
// Windows executable.

namespace {

char* AppendDecimal(char* out, std::uint64_t value) {
  char reversed[20];
  std::size_t count = 0;
  do {
    reversed[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) *out++ = reversed[--count];
  return out;
}

// Takes the next word, up to a single space or the end.
std::string_view NextWord(std::string_view& text) {
  std::size_t length = 0;
  while (length < text.size() && text[length] != ' ') ++length;
  const std::string_view word(text.data(), length);
  text.remove_prefix(length < text.size() ? length + 1 : length);
  return word;
}

// Decimal digits only, no leading zero, at most `largest`.
bool ParseDecimal(std::string_view text, std::uint64_t largest, std::uint64_t& value) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text.front() == '0')) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (largest - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

}  // namespace

RecordName FormatRecordName(const RunRecord& record) {
  RecordName name{};
  char* out = AppendDecimal(name.text, record.processId);
  *out++ = '-';
  out = AppendDecimal(out, record.processStart);
  *out++ = '-';
  AppendSchemeText(out, record.scheme);
  return name;
}

RecordText FormatRecordText(const RunRecord& record) {
  RecordText text{};
  char* out = AppendSchemeText(text.text, record.scheme);
  *out++ = ' ';
  out = AppendDecimal(out, record.processId);
  *out++ = ' ';
  out = AppendDecimal(out, record.processStart);
  for (auto field : kButtonPolicyFields) {
    *out++ = ' ';
    out = AppendDecimal(out, record.saved.*field);
  }
  text.size = static_cast<std::size_t>(out - text.text);
  return text;
}

bool ParseRecordText(std::string_view text, RunRecord& record) {
  // Words are parted by single spaces: none may end the text.
  if (text.empty() || text.back() == ' ') return false;
  RunRecord parsed;
  std::uint64_t processId = 0;
  if (!ParseSchemeText(NextWord(text), parsed.scheme) ||
      !ParseDecimal(NextWord(text), 0xFFFFFFFFU, processId) ||
      !ParseDecimal(NextWord(text), ~std::uint64_t{0}, parsed.processStart)) {
    return false;
  }
  parsed.processId = static_cast<std::uint32_t>(processId);
  for (auto field : kButtonPolicyFields) {
    std::uint64_t value = 0;
    if (text.empty() || !ParseDecimal(NextWord(text), 15, value)) return false;
    parsed.saved.*field = static_cast<std::uint32_t>(value);
  }
  if (!text.empty()) return false;
  record = parsed;
  return true;
}

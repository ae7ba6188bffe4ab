#include "scheme_text.h"

#include <cstddef>
#include <cstdint>

// By hand: std::string and printf would pull their runtime into the Windows executable.

namespace {

char* AppendHex(char* out, std::uint32_t value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    *out++ = "0123456789abcdef"[(value >> shift) & 0xFU];
  }
  return out;
}

// `digits` lower-case hexadecimal digits at `position`, which the caller knows to be there.
// (No substr: its range check would pull the C++ runtime's exceptions into the executable.)
bool ParseHex(std::string_view text, std::size_t position, std::size_t digits,
              std::uint32_t& value) {
  value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    const char c = text[position + i];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0) return false;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  return true;
}

// Where each of the last eight bytes starts: two after the third dash, six after the fourth.
constexpr std::size_t kBytePositions[8] = {20, 22, 25, 27, 29, 31, 33, 35};

}  // namespace

char* AppendSchemeText(char* out, const SchemeIdentifier& scheme) {
  *out++ = '{';
  out = AppendHex(out, scheme.data1, 8);
  *out++ = '-';
  out = AppendHex(out, scheme.data2, 4);
  *out++ = '-';
  out = AppendHex(out, scheme.data3, 4);
  *out++ = '-';
  for (std::size_t i = 0; i < scheme.data4.size(); ++i) {
    if (i == 2) *out++ = '-';
    out = AppendHex(out, scheme.data4[i], 2);
  }
  *out++ = '}';
  return out;
}

bool ParseSchemeText(std::string_view text, SchemeIdentifier& scheme) {
  if (text.size() != kSchemeTextLength || text.front() != '{' || text.back() != '}') return false;
  for (std::size_t dash : {9U, 14U, 19U, 24U}) {
    if (text[dash] != '-') return false;
  }
  SchemeIdentifier parsed;
  std::uint32_t data2 = 0;
  std::uint32_t data3 = 0;
  if (!ParseHex(text, 1, 8, parsed.data1) || !ParseHex(text, 10, 4, data2) ||
      !ParseHex(text, 15, 4, data3)) {
    return false;
  }
  parsed.data2 = static_cast<std::uint16_t>(data2);
  parsed.data3 = static_cast<std::uint16_t>(data3);
  for (std::size_t i = 0; i < parsed.data4.size(); ++i) {
    std::uint32_t byte = 0;
    if (!ParseHex(text, kBytePositions[i], 2, byte)) return false;
    parsed.data4[i] = static_cast<std::uint8_t>(byte);
  }
  scheme = parsed;
  return true;
}

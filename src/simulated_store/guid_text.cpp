#include "guid_text.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

constexpr std::size_t kGuidTextLength = 38;

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hex digits at `position`; false if any is not one.
bool ReadHex(std::string_view text, std::size_t position, std::size_t digits,
             std::uint32_t& value) {
  value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    const int digit = HexDigitValue(text[position + i]);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  return true;
}

}  // namespace

bool ParseGuidText(std::string_view text, GUID& value) {
  if (text.size() != kGuidTextLength || text.front() != '{' || text.back() != '}') return false;
  for (std::size_t dash : {9U, 14U, 19U, 24U}) {
    if (text[dash] != '-') return false;
  }
  std::uint32_t data1 = 0;
  std::uint32_t data2 = 0;
  std::uint32_t data3 = 0;
  if (!ReadHex(text, 1, 8, data1) || !ReadHex(text, 10, 4, data2) || !ReadHex(text, 15, 4, data3)) {
    return false;
  }
  // The last eight bytes: two after the third dash, six after the fourth.
  constexpr std::size_t kBytePositions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  std::uint8_t bytes[8] = {};
  for (std::size_t i = 0; i < 8; ++i) {
    std::uint32_t byte = 0;
    if (!ReadHex(text, kBytePositions[i], 2, byte)) return false;
    bytes[i] = static_cast<std::uint8_t>(byte);
  }
  value.Data1 = data1;
  value.Data2 = static_cast<std::uint16_t>(data2);
  value.Data3 = static_cast<std::uint16_t>(data3);
  for (std::size_t i = 0; i < 8; ++i) value.Data4[i] = bytes[i];
  return true;
}

std::string FormatGuidText(const GUID& value) {
  char text[kGuidTextLength + 1] = {};
  // The buffer fits the text exactly, so the count snprintf returns tells nothing new.
  static_cast<void>(std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned long>(value.Data1), static_cast<unsigned>(value.Data2),
                static_cast<unsigned>(value.Data3), value.Data4[0], value.Data4[1], value.Data4[2],
                value.Data4[3], value.Data4[4], value.Data4[5], value.Data4[6], value.Data4[7]));
  return text;
}

bool SameGuid(const GUID& left, const GUID& right) {
  if (left.Data1 != right.Data1 || left.Data2 != right.Data2 || left.Data3 != right.Data3) {
    return false;
  }
  for (std::size_t i = 0; i < 8; ++i) {
    if (left.Data4[i] != right.Data4[i]) return false;
  }
  return true;
}

#include "policy_code.h"

#include <cstddef>

namespace {

constexpr std::size_t kCodeTextLength = 8;
constexpr std::size_t kFirstFieldPosition = 2;
constexpr std::uint32_t kFieldMask = 0xF;

int HexDigitValue(char16_t unit) {
  if (unit >= u'0' && unit <= u'9') return unit - u'0';
  if (unit >= u'A' && unit <= u'F') return unit - u'A' + 10;
  if (unit >= u'a' && unit <= u'f') return unit - u'a' + 10;
  return -1;
}

}  // namespace

std::uint32_t PackPolicyCode(const ButtonPolicy& policy) {
  std::uint32_t code = 0;
  for (auto field : kButtonPolicyFields) code = (code << 4) | (policy.*field & kFieldMask);
  return code;
}

PolicyCodeText FormatPolicyCode(std::uint32_t code) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  PolicyCodeText text = {};
  for (std::size_t i = kCodeTextLength; i > 0; --i, code >>= 4)
    text.digits[i - 1] = kDigits[code & 0xF];
  return text;
}

bool ParsePolicyCode(std::u16string_view text, ButtonPolicy& policy) {
  if (text.size() < kCodeTextLength) return false;
  ButtonPolicy parsed;
  std::size_t position = kFirstFieldPosition;
  for (auto field : kButtonPolicyFields) {
    const int digit = HexDigitValue(text[position++]);
    if (digit < 0) return false;
    parsed.*field = static_cast<std::uint32_t>(digit);
  }
  policy = parsed;
  return true;
}

bool PolicyFitsCode(const ButtonPolicy& policy) {
  for (auto field : kButtonPolicyFields) {
    if (policy.*field > kFieldMask) return false;
  }
  return true;
}

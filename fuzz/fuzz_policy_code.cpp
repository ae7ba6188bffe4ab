// The code-text parser over arbitrary UTF-16 input. It must never read past the text, and must
// either refuse it, leaving the policy alone, or yield six values 0 to 15 that format back to
// the same six digits.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "policy_code.h"

namespace {

char16_t UpperCase(char16_t unit) {
  return unit >= u'a' && unit <= u'f' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

bool IsHexDigit(char16_t unit) {
  const char16_t upper = UpperCase(unit);
  return (upper >= u'0' && upper <= u'9') || (upper >= u'A' && upper <= u'F');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t length = size / 2;
  // Exactly `length` units and no terminator, so AddressSanitizer sees any read past the end.
  const std::unique_ptr<char16_t[]> units(new char16_t[length == 0 ? 1 : length]);
  std::memcpy(units.get(), data, length * 2);
  const std::u16string_view text(units.get(), length);

  const ButtonPolicy untouched = {99, 99, 99, 99, 99, 99};
  ButtonPolicy policy = untouched;
  const bool accepted = ParsePolicyCode(text, policy);

  bool shouldAccept = length >= 8;
  for (std::size_t i = 2; shouldAccept && i < 8; ++i) shouldAccept = IsHexDigit(text[i]);
  if (accepted != shouldAccept) std::abort();

  if (!accepted) {
    if (!(policy == untouched)) std::abort();
    return 0;
  }
  if (!PolicyFitsCode(policy)) std::abort();
  const PolicyCodeText formatted = FormatPolicyCode(PackPolicyCode(policy));
  if (formatted.digits[0] != '0' || formatted.digits[1] != '0') std::abort();
  for (std::size_t i = 2; i < 8; ++i) {
    if (static_cast<char16_t>(formatted.digits[i]) != UpperCase(text[i])) std::abort();
  }
  return 0;
}

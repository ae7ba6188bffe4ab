#pragma once

#include <cstdint>
#include <string_view>

#include "button_policy.h"

// The policy code carries the six saved values out of `block` and back into `restore`: one
// 32-bit value, a zero top byte, then one 4-bit field per value in record order.

// Each field keeps only its low four bits; see PolicyFitsCode.
std::uint32_t PackPolicyCode(const ButtonPolicy& policy);

struct PolicyCodeText {
  char digits[9];  // eight digits and a terminating NUL
};

// Eight upper-case hexadecimal digits with leading zeros, as "%08X" gives.
PolicyCodeText FormatPolicyCode(std::uint32_t code);

// Takes units 3 to 8 of `text` as six hexadecimal digits (either case) in record order; the
// first two units and anything after the eighth are not looked at. Returns false, leaving
// `policy` alone, for a text shorter than eight units or with anything but a hexadecimal digit
// there.
bool ParsePolicyCode(std::u16string_view text, ButtonPolicy& policy);

// True when every value is 0 to 15, so that the code gives back exactly this policy.
bool PolicyFitsCode(const ButtonPolicy& policy);

// The status of a command that refuses values the code cannot carry: ERROR_INVALID_DATA.
inline constexpr std::uint32_t kValuesBeyondCodeStatus = 13;

// The status of a block that a group policy keeps from holding:
// ERROR_ACCESS_DISABLED_BY_POLICY.
inline constexpr std::uint32_t kHeldByPolicyStatus = 1260;

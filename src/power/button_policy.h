#pragma once

#include <array>
#include <cstdint>

// The six button actions of the active power scheme, as the platform's value indices. The
// platform hands them out as unsigned 32-bit values; the report prints them as signed.
struct ButtonPolicy {
  std::uint32_t powerButtonAc = 0;
  std::uint32_t powerButtonDc = 0;
  std::uint32_t lidCloseAc = 0;
  std::uint32_t lidCloseDc = 0;
  std::uint32_t sleepButtonAc = 0;
  std::uint32_t sleepButtonDc = 0;

  friend bool operator==(const ButtonPolicy&, const ButtonPolicy&) = default;
};

// The fields in record order: the order of the report line, of the code's digits and of the
// platform calls.
inline constexpr std::array<std::uint32_t ButtonPolicy::*, 6> kButtonPolicyFields = {
    &ButtonPolicy::powerButtonAc, &ButtonPolicy::powerButtonDc, &ButtonPolicy::lidCloseAc,
    &ButtonPolicy::lidCloseDc,    &ButtonPolicy::sleepButtonAc, &ButtonPolicy::sleepButtonDc,
};

// The one record the whole process shares: AccessButtonPolicy fills it when reading and writes
// it back when restoring; the front end packs it into the code and fills it from a code text.
extern ButtonPolicy savedButtonPolicy;

enum class PolicyAccessMode : int { Read = 0, Restore = 1, Block = 2 };

// A power scheme's identifier in the platform's GUID layout, for code that does not see the
// platform's headers.
struct SchemeIdentifier {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};

  friend bool operator==(const SchemeIdentifier&, const SchemeIdentifier&) = default;
};

// Read: fills savedButtonPolicy from the active scheme. Restore: writes savedButtonPolicy into
// it. Block: writes 0 ("do nothing") to all six. Restore and Block activate the scheme after
// six successful writes. Returns 0, or the platform status of the first call that failed,
// unchanged; 1 for a mode outside the three.
std::uint32_t AccessButtonPolicy(PolicyAccessMode mode);

// The active scheme's identifier, looked up once. Returns 0 or the platform status.
std::uint32_t QueryActiveScheme(SchemeIdentifier& scheme);

// AccessButtonPolicy on the scheme `scheme` names, active or not, with no look-up of the
// active one. Restore and Block activate the scheme after the six writes only when
// `activate` is set.
std::uint32_t AccessSchemeButtonPolicy(PolicyAccessMode mode, const SchemeIdentifier& scheme,
                                       bool activate = true);

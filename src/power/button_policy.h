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

// The active scheme as the last AccessButtonPolicy call found it, for naming it in the log.
extern SchemeIdentifier accessedScheme;

// Read: fills savedButtonPolicy from the active scheme. Restore: writes savedButtonPolicy into
// it. Block: writes 0 ("do nothing") to all six. Restore and Block activate the scheme after
// six successful writes. Returns 0, or the platform status of the first call that failed,
// unchanged; 1 for a mode outside the three.
std::uint32_t AccessButtonPolicy(PolicyAccessMode mode);

// What group policy holds of the six values, in record order. A policy overrides every
// scheme, so a value it holds stays as the policy says whatever run or block write.
struct PolicyOverrides {
  std::array<bool, 6> held{};      // a policy holds the value
  std::array<bool, 6> readable{};  // and its own value could be read, into `values`
  ButtonPolicy values;

  bool Any() const;
  // Some value stays in play: a policy holds it with an action, or with a value that cannot
  // be read. Values a policy holds at 0, "do nothing", are out of play already.
  bool KeepInPlay() const;
};

// Asks the platform which values a group policy holds and reads the policy's own values.
// Returns 0, or the status of a check that failed (any but "held by policy").
std::uint32_t ReadPolicyOverrides(PolicyOverrides& overrides);

// The active scheme's identifier, looked up once. Returns 0 or the platform status.
std::uint32_t QueryActiveScheme(SchemeIdentifier& scheme);

// Whether the platform lists `scheme` among its power schemes. Returns 0, or the status of
// why the list could not be read, and then says nothing of the scheme.
std::uint32_t IsSchemeListed(const SchemeIdentifier& scheme, bool& listed);

// AccessButtonPolicy on the scheme `scheme` names, active or not, with no look-up of the
// active one. Restore and Block activate the scheme after the six writes only when
// `activate` is set.
std::uint32_t AccessSchemeButtonPolicy(PolicyAccessMode mode, const SchemeIdentifier& scheme,
                                       bool activate = true);

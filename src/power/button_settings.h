#pragma once

#include <array>
#include <cstdint>

#include "button_policy.h"

// The three settings buttonguard manages, all in the platform's system-button subgroup
// (GUID_SYSTEM_BUTTON_SUBGROUP). The identifiers are kept in the platform's registry text form
// and converted on every access, exactly as the platform documents them.
inline constexpr char kSystemButtonSubgroupText[] = "{4f971e89-eebd-4455-a8de-9e59040e7347}";

struct ButtonSetting {
  const char* identifierText;
  std::uint32_t ButtonPolicy::*acValue;  // applies on mains power
  std::uint32_t ButtonPolicy::*dcValue;  // applies on battery
};

inline constexpr std::array<ButtonSetting, 3> kButtonSettings = {{
    // GUID_POWERBUTTON_ACTION
    {"{7648efa3-dd9c-4e3e-b566-50f929386280}", &ButtonPolicy::powerButtonAc,
     &ButtonPolicy::powerButtonDc},
    // GUID_LIDCLOSE_ACTION
    {"{5ca83367-6e45-459f-a27b-476b1d01c936}", &ButtonPolicy::lidCloseAc,
     &ButtonPolicy::lidCloseDc},
    // GUID_SLEEPBUTTON_ACTION
    {"{96996bc0-ad50-47ec-923b-6f41874dd9eb}", &ButtonPolicy::sleepButtonAc,
     &ButtonPolicy::sleepButtonDc},
}};

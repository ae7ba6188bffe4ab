#include "button_policy.h"

#include <cstddef>
#include <iterator>

#include "button_settings.h"
// Chosen by the build: the platform's own headers on Windows, the simulated store's
// declarations of the same functions everywhere else.
#include "power_platform.h"

ButtonPolicy savedButtonPolicy;

namespace {

struct SettingIdentifiers {
  GUID subgroup{};
  std::array<GUID, kButtonSettings.size()> settings{};
};

GUID ConvertIdentifier(const char* text) {
  // The identifier texts are ASCII, so widening unit by unit is exact on every platform.
  OLECHAR wide[40] = {};
  for (std::size_t i = 0; text[i] != '\0' && i + 1 < std::size(wide); ++i) {
    wide[i] = static_cast<OLECHAR>(text[i]);
  }
  GUID value{};
  // A conversion that fails leaves zeros, which no scheme knows: the read or write that uses
  // them reports the failure, so this status adds nothing.
  static_cast<void>(CLSIDFromString(wide, &value));
  return value;
}

SettingIdentifiers ConvertIdentifiers() {
  SettingIdentifiers identifiers;
  identifiers.subgroup = ConvertIdentifier(kSystemButtonSubgroupText);
  for (std::size_t row = 0; row < kButtonSettings.size(); ++row) {
    identifiers.settings[row] = ConvertIdentifier(kButtonSettings[row].identifierText);
  }
  return identifiers;
}

// Each read lands straight in its field: on failure the field keeps whatever the platform left
// in it, and the fields after it keep their earlier contents.
DWORD ReadValues(const GUID* scheme, const SettingIdentifiers& identifiers) {
  for (std::size_t row = 0; row < kButtonSettings.size(); ++row) {
    const ButtonSetting& setting = kButtonSettings[row];
    const GUID* settingGuid = &identifiers.settings[row];

    DWORD acValue = savedButtonPolicy.*setting.acValue;
    DWORD status =
        PowerReadACValueIndex(nullptr, scheme, &identifiers.subgroup, settingGuid, &acValue);
    savedButtonPolicy.*setting.acValue = acValue;
    if (status != 0) return status;

    DWORD dcValue = savedButtonPolicy.*setting.dcValue;
    status = PowerReadDCValueIndex(nullptr, scheme, &identifiers.subgroup, settingGuid, &dcValue);
    savedButtonPolicy.*setting.dcValue = dcValue;
    if (status != 0) return status;
  }
  return 0;
}

// Stops at the first failed write and leaves the earlier ones in place: the caller still holds
// the code to undo them, and the scheme is activated only once all six are stored.
DWORD WriteValuesAndActivate(const GUID* scheme, const SettingIdentifiers& identifiers,
                             bool writeZeros, bool activate) {
  for (std::size_t row = 0; row < kButtonSettings.size(); ++row) {
    const ButtonSetting& setting = kButtonSettings[row];
    const GUID* settingGuid = &identifiers.settings[row];

    const DWORD acValue = writeZeros ? 0 : savedButtonPolicy.*setting.acValue;
    DWORD status =
        PowerWriteACValueIndex(nullptr, scheme, &identifiers.subgroup, settingGuid, acValue);
    if (status != 0) return status;

    const DWORD dcValue = writeZeros ? 0 : savedButtonPolicy.*setting.dcValue;
    status = PowerWriteDCValueIndex(nullptr, scheme, &identifiers.subgroup, settingGuid, dcValue);
    if (status != 0) return status;
  }
  return activate ? PowerSetActiveScheme(nullptr, scheme) : 0;
}

DWORD AccessScheme(PolicyAccessMode mode, const GUID* scheme, const SettingIdentifiers& identifiers,
                   bool activate) {
  switch (mode) {
    case PolicyAccessMode::Read:
      return ReadValues(scheme, identifiers);
    case PolicyAccessMode::Restore:
      return WriteValuesAndActivate(scheme, identifiers, /*writeZeros=*/false, activate);
    case PolicyAccessMode::Block:
      return WriteValuesAndActivate(scheme, identifiers, /*writeZeros=*/true, activate);
  }
  return 1;
}

GUID ToGuid(const SchemeIdentifier& scheme) {
  GUID value{};
  value.Data1 = scheme.data1;
  value.Data2 = scheme.data2;
  value.Data3 = scheme.data3;
  for (std::size_t i = 0; i < scheme.data4.size(); ++i) value.Data4[i] = scheme.data4[i];
  return value;
}

}  // namespace

std::uint32_t AccessButtonPolicy(PolicyAccessMode mode) {
  const SettingIdentifiers identifiers = ConvertIdentifiers();

  GUID* scheme = nullptr;
  DWORD status = PowerGetActiveScheme(nullptr, &scheme);
  // Going on without a scheme would only turn the query's failure into a vaguer one.
  if (status == 0) status = AccessScheme(mode, scheme, identifiers, /*activate=*/true);
  if (scheme != nullptr) LocalFree(scheme);
  return status;
}

std::uint32_t QueryActiveScheme(SchemeIdentifier& scheme) {
  GUID* active = nullptr;
  DWORD status = PowerGetActiveScheme(nullptr, &active);
  if (status == 0 && active == nullptr) status = ERROR_INVALID_DATA;
  if (status == 0) {
    scheme.data1 = active->Data1;
    scheme.data2 = active->Data2;
    scheme.data3 = active->Data3;
    for (std::size_t i = 0; i < scheme.data4.size(); ++i) scheme.data4[i] = active->Data4[i];
  }
  if (active != nullptr) LocalFree(active);
  return status;
}

std::uint32_t AccessSchemeButtonPolicy(PolicyAccessMode mode, const SchemeIdentifier& scheme,
                                       bool activate) {
  const SettingIdentifiers identifiers = ConvertIdentifiers();
  const GUID identifier = ToGuid(scheme);
  return AccessScheme(mode, &identifier, identifiers, activate);
}

#include "button_policy.h"

#include <cstddef>
#include <iterator>

#include "button_settings.h"
// Chosen by the build: the platform's own headers on Windows, the simulated store's
// declarations of the same functions everywhere else.
#include "power_platform.h"

ButtonPolicy savedButtonPolicy;
SchemeIdentifier accessedScheme;

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

// ASCII `text` as wide characters at `out`, terminated; returns the terminator's place.
wchar_t* Widen(wchar_t* out, const char* text) {
  while (*text != '\0') *out++ = static_cast<wchar_t>(*text++);
  *out = L'\0';
  return out;
}

SchemeIdentifier FromGuid(const GUID& value) {
  SchemeIdentifier scheme;
  scheme.data1 = value.Data1;
  scheme.data2 = value.Data2;
  scheme.data3 = value.Data3;
  for (std::size_t i = 0; i < scheme.data4.size(); ++i) scheme.data4[i] = value.Data4[i];
  return scheme;
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
  if (status == 0 && scheme != nullptr) accessedScheme = FromGuid(*scheme);
  // Going on without a scheme would only turn the query's failure into a vaguer one.
  if (status == 0) status = AccessScheme(mode, scheme, identifiers, /*activate=*/true);
  if (scheme != nullptr) LocalFree(scheme);
  return status;
}

bool PolicyOverrides::Any() const {
  for (bool value : held) {
    if (value) return true;
  }
  return false;
}

bool PolicyOverrides::KeepInPlay() const {
  for (std::size_t i = 0; i < held.size(); ++i) {
    if (held[i] && (!readable[i] || values.*kButtonPolicyFields[i] != 0)) return true;
  }
  return false;
}

std::uint32_t ReadPolicyOverrides(PolicyOverrides& overrides) {
  overrides = PolicyOverrides{};
  const SettingIdentifiers identifiers = ConvertIdentifiers();
  for (std::size_t row = 0; row < kButtonSettings.size(); ++row) {
    // Where group policy keeps the setting's values, in the 64-bit view that policy writes.
    // The table keeps identifiers as narrow text, so the key is widened here.
    wchar_t key[96] = {};
    wchar_t* end = Widen(key, "SOFTWARE\\Policies\\Microsoft\\Power\\PowerSettings\\");
    Widen(end, kButtonSettings[row].identifierText);
    for (std::size_t source = 0; source < 2; ++source) {
      const std::size_t position = row * 2 + source;
      const DWORD status = PowerSettingAccessCheck(
          source == 0 ? ACCESS_AC_POWER_SETTING_INDEX : ACCESS_DC_POWER_SETTING_INDEX,
          &identifiers.settings[row]);
      if (status == ERROR_ACCESS_DISABLED_BY_POLICY) {
        overrides.held[position] = true;
      } else if (status != 0) {
        return status;
      }
      if (!overrides.held[position]) continue;
      wchar_t name[16] = {};
      Widen(name, source == 0 ? "ACSettingIndex" : "DCSettingIndex");
      DWORD value = 0;
      DWORD size = sizeof value;
      overrides.readable[position] =
          RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY,
                       nullptr, &value, &size) == 0;
      if (overrides.readable[position]) overrides.values.*kButtonPolicyFields[position] = value;
    }
  }
  return 0;
}

std::uint32_t QueryActiveScheme(SchemeIdentifier& scheme) {
  GUID* active = nullptr;
  DWORD status = PowerGetActiveScheme(nullptr, &active);
  if (status == 0 && active == nullptr) status = ERROR_INVALID_DATA;
  if (status == 0) scheme = FromGuid(*active);
  if (active != nullptr) LocalFree(active);
  return status;
}

std::uint32_t IsSchemeListed(const SchemeIdentifier& scheme, bool& listed) {
  listed = false;
  // A list that never ends says nothing either.
  constexpr ULONG kMostSchemes = 4096;
  for (ULONG index = 0; index < kMostSchemes; ++index) {
    GUID identifier{};
    DWORD size = sizeof identifier;
    const DWORD status = PowerEnumerate(nullptr, nullptr, nullptr, ACCESS_SCHEME, index,
                                        reinterpret_cast<UCHAR*>(&identifier), &size);
    if (status == ERROR_NO_MORE_ITEMS) return 0;
    if (status != 0) return status;
    if (FromGuid(identifier) == scheme) {
      listed = true;
      return 0;
    }
  }
  return ERROR_MORE_DATA;
}

std::uint32_t AccessSchemeButtonPolicy(PolicyAccessMode mode, const SchemeIdentifier& scheme,
                                       bool activate) {
  const SettingIdentifiers identifiers = ConvertIdentifiers();
  const GUID identifier = ToGuid(scheme);
  return AccessScheme(mode, &identifier, identifiers, activate);
}

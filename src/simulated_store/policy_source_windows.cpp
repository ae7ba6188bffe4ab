#include <string>

#include "guid_text.h"
#include "simulated_power.h"

// The DLL the Wine tests use answers from the real registry's group policy key, so that those
// tests plant a policy with `reg add` and the tool reads its value through the platform.
bool PolicyHoldsValue(const PowerStore& /*store*/, std::size_t setting, PowerSource source) {
  const std::string identifier = FormatGuidText(kKnownSettings[setting].identifier);
  std::wstring key = L"SOFTWARE\\Policies\\Microsoft\\Power\\PowerSettings\\";
  key.append(identifier.begin(), identifier.end());
  return RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(),
                      source == PowerSource::Ac ? L"ACSettingIndex" : L"DCSettingIndex",
                      RRF_RT_ANY | RRF_SUBKEY_WOW6464KEY, nullptr, nullptr,
                      nullptr) == ERROR_SUCCESS;
}

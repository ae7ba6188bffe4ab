#include <string>
#include <string_view>

#include "guid_text.h"
#include "power_platform.h"
#include "simulated_power.h"

// The registry's stand-in: only the group policy power settings the tool reads, answered from
// the simulated store's policy lines.

namespace {

constexpr std::string_view kPolicyKey = "software\\policies\\microsoft\\power\\powersettings\\";

// ASCII in lower case, or empty for anything else: registry names are case-insensitive.
std::string Lower(LPCWSTR text) {
  std::string lower;
  for (; text != nullptr && *text != L'\0'; ++text) {
    if (*text > 0x7F) return {};
    const char unit = static_cast<char>(*text);
    lower.push_back(unit >= 'A' && unit <= 'Z' ? static_cast<char>(unit - 'A' + 'a') : unit);
  }
  return lower;
}

}  // namespace

// cppcheck-suppress constParameter ; the platform's signature
LONG WINAPI RegGetValueW(HKEY root, LPCWSTR key, LPCWSTR valueName, DWORD flags, LPDWORD type,
                         PVOID data, LPDWORD size) {
  if (root != HKEY_LOCAL_MACHINE || (flags & RRF_RT_REG_DWORD) == 0 || size == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  const std::string path = Lower(key);
  const std::string name = Lower(valueName);
  GUID setting{};
  if (path.rfind(kPolicyKey, 0) != 0 || !ParseGuidText(path.substr(kPolicyKey.size()), setting) ||
      (name != "acsettingindex" && name != "dcsettingindex")) {
    return ERROR_FILE_NOT_FOUND;
  }
  DWORD value = 0;
  const PowerSource source = name == "acsettingindex" ? PowerSource::Ac : PowerSource::Dc;
  if (const DWORD status = ReadStoredPolicy(setting, source, value)) {
    return static_cast<LONG>(status);
  }
  if (type != nullptr) *type = 4;  // REG_DWORD
  if (data == nullptr || *size < sizeof value) {
    *size = sizeof value;
    return data == nullptr ? 0 : 234;  // ERROR_MORE_DATA
  }
  *static_cast<DWORD*>(data) = value;
  *size = sizeof value;
  return 0;
}

#include <string>

#include "guid_text.h"
#include "power_platform.h"

// Only the brace form that buttonguard passes; the platform would also look up program
// identifiers in the registry, which a tool with fixed identifiers never needs.
HRESULT WINAPI CLSIDFromString(LPCOLESTR text, LPCLSID value) {
  if (text == nullptr || value == nullptr) return E_INVALIDARG;
  std::string narrow;
  for (LPCOLESTR unit = text; *unit != u'\0'; ++unit) {
    if (*unit > 0x7F || narrow.size() > 64) return CO_E_CLASSSTRING;
    narrow.push_back(static_cast<char>(*unit));
  }
  return ParseGuidText(narrow, *value) ? S_OK : CO_E_CLASSSTRING;
}

#include "recording_power_library.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "power_platform.h"

namespace recording_power {
namespace {

struct KnownIdentifier {
  const char16_t* text;
  const char* name;
  GUID value;
};

const KnownIdentifier kKnownIdentifiers[] = {
    {u"{4f971e89-eebd-4455-a8de-9e59040e7347}", "system-button",
     {0x4f971e89, 0xeebd, 0x4455, {0xa8, 0xde, 0x9e, 0x59, 0x04, 0x0e, 0x73, 0x47}}},
    {u"{7648efa3-dd9c-4e3e-b566-50f929386280}", "power-button",
     {0x7648efa3, 0xdd9c, 0x4e3e, {0xb5, 0x66, 0x50, 0xf9, 0x29, 0x38, 0x62, 0x80}}},
    {u"{5ca83367-6e45-459f-a27b-476b1d01c936}", "lid-close",
     {0x5ca83367, 0x6e45, 0x459f, {0xa2, 0x7b, 0x47, 0x6b, 0x1d, 0x01, 0xc9, 0x36}}},
    {u"{96996bc0-ad50-47ec-923b-6f41874dd9eb}", "sleep-button",
     {0x96996bc0, 0xad50, 0x47ec, {0x92, 0x3b, 0x6f, 0x41, 0x87, 0x4d, 0xd9, 0xeb}}},
};
constexpr std::size_t kSubgroupRow = 0;

struct State {
  Scenario scenario;
  std::vector<std::string> calls;
  std::array<std::uint32_t, 6> values = {};
  int counts[5] = {};
  GUID scheme = {0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}};
  GUID* handedOut = nullptr;
};

State& TheState() {
  static State state;
  return state;
}

bool Same(const GUID* left, const GUID& right) {
  return left != nullptr && std::memcmp(left, &right, sizeof(GUID)) == 0;
}

// The name the log gives an identifier, or "?" for one the platform does not know.
std::string NameOf(const GUID* value) {
  for (const KnownIdentifier& known : kKnownIdentifiers) {
    if (Same(value, known.value)) return known.name;
  }
  return "?";
}

// Counts the call and returns the status its fault asks for, or 0.
std::uint32_t CountAndFault(CallKind kind) {
  State& state = TheState();
  const int ordinal = ++state.counts[static_cast<int>(kind)];
  for (const Fault& fault : state.scenario.faults) {
    if (fault.kind == kind && fault.ordinal == ordinal) return fault.status;
  }
  return 0;
}

// Arguments the tool must always pass: a null root, the scheme it was handed (or its
// identifier, for calls that name the scheme themselves), the
// system-button subgroup. Anything else is logged so the expected lines do not match.
std::string Arguments(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting) {
  State& state = TheState();
  std::string line;
  if (root != nullptr) line += " root=?";
  if (!Same(scheme, state.scheme)) line += " scheme=?";
  if (!Same(subgroup, kKnownIdentifiers[kSubgroupRow].value)) line += " subgroup=?";
  return line + " " + NameOf(setting);
}

// Index of the value in record order, or -1.
int ValueIndex(const GUID* setting, int source) {
  for (int row = 1; row <= 3; ++row) {
    if (Same(setting, kKnownIdentifiers[row].value)) return (row - 1) * 2 + source;
  }
  return -1;
}

DWORD Read(const char* name, int source, HKEY root, const GUID* scheme, const GUID* subgroup,
           const GUID* setting, LPDWORD value) {
  State& state = TheState();
  state.calls.push_back(name + Arguments(root, scheme, subgroup, setting));
  if (const std::uint32_t status = CountAndFault(CallKind::Read)) {
    if (state.scenario.failedReadWritesValue) *value = state.scenario.failedReadValue;
    return status;
  }
  const int index = ValueIndex(setting, source);
  if (index < 0) return ERROR_FILE_NOT_FOUND;
  *value = state.values[static_cast<std::size_t>(index)];
  return 0;
}

DWORD Write(const char* name, int source, HKEY root, const GUID* scheme, const GUID* subgroup,
            const GUID* setting, DWORD value) {
  State& state = TheState();
  if (state.scenario.beforeEachWrite != nullptr) state.scenario.beforeEachWrite();
  state.calls.push_back(name + Arguments(root, scheme, subgroup, setting) + " " +
                        std::to_string(value));
  if (const std::uint32_t status = CountAndFault(CallKind::Write)) return status;
  const int index = ValueIndex(setting, source);
  if (index < 0) return ERROR_FILE_NOT_FOUND;
  state.values[static_cast<std::size_t>(index)] = value;
  return 0;
}

}  // namespace

void Reset(const Scenario& scenario) {
  State& state = TheState();
  delete state.handedOut;
  state = State{};
  state.scenario = scenario;
  state.values = scenario.values;
}

const std::vector<std::string>& Calls() { return TheState().calls; }

void Note(const std::string& line) { TheState().calls.push_back(line); }

const std::array<std::uint32_t, 6>& SchemeValues() { return TheState().values; }

}  // namespace recording_power

using namespace recording_power;

HRESULT WINAPI CLSIDFromString(LPCOLESTR text, LPCLSID value) {
  const std::u16string_view wanted = text;
  for (const KnownIdentifier& known : kKnownIdentifiers) {
    if (wanted == known.text) {
      TheState().calls.push_back(std::string("CLSIDFromString ") + known.name);
      *value = known.value;
      return S_OK;
    }
  }
  TheState().calls.push_back("CLSIDFromString ?");
  return CO_E_CLASSSTRING;
}

DWORD WINAPI PowerGetActiveScheme(HKEY root, GUID** activeScheme) {
  State& state = TheState();
  state.calls.push_back(root == nullptr && *activeScheme == nullptr
                            ? "PowerGetActiveScheme"
                            : "PowerGetActiveScheme root-or-place=?");
  if (const std::uint32_t status = CountAndFault(CallKind::Query)) return status;
  delete state.handedOut;
  state.handedOut = new GUID(state.scheme);
  *activeScheme = state.handedOut;
  return 0;
}

DWORD WINAPI PowerReadACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                   const GUID* setting, LPDWORD value) {
  return Read("PowerReadACValueIndex", 0, root, scheme, subgroup, setting, value);
}

DWORD WINAPI PowerReadDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                   const GUID* setting, LPDWORD value) {
  return Read("PowerReadDCValueIndex", 1, root, scheme, subgroup, setting, value);
}

DWORD WINAPI PowerWriteACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                    const GUID* setting, DWORD value) {
  return Write("PowerWriteACValueIndex", 0, root, scheme, subgroup, setting, value);
}

DWORD WINAPI PowerWriteDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                    const GUID* setting, DWORD value) {
  return Write("PowerWriteDCValueIndex", 1, root, scheme, subgroup, setting, value);
}

DWORD WINAPI PowerSetActiveScheme(HKEY root, const GUID* scheme) {
  State& state = TheState();
  state.calls.push_back(std::string("PowerSetActiveScheme") +
                        (root != nullptr || !Same(scheme, state.scheme) ? " scheme=?" : ""));
  return CountAndFault(CallKind::Activate);
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  State& state = TheState();
  state.calls.push_back(memory == state.handedOut ? "LocalFree" : "LocalFree ?");
  if (memory == state.handedOut) {
    delete state.handedOut;
    state.handedOut = nullptr;
  }
  return nullptr;
}

// Lists no scheme: what the front end makes of the list, the store's own tests show.
DWORD WINAPI PowerEnumerate(HKEY, const GUID*, const GUID*, POWER_DATA_ACCESSOR, ULONG, UCHAR*,
                            DWORD*) {
  return ERROR_NO_MORE_ITEMS;
}

DWORD WINAPI PowerSettingAccessCheck(POWER_DATA_ACCESSOR source, const GUID* setting) {
  State& state = TheState();
  const std::string name = NameOf(setting);
  state.calls.push_back(std::string("PowerSettingAccessCheck ") +
                        (source == ACCESS_AC_POWER_SETTING_INDEX ? "ac " : "dc ") + name);
  if (const std::uint32_t status = CountAndFault(CallKind::Check)) return status;
  const int index = ValueIndex(setting, source == ACCESS_AC_POWER_SETTING_INDEX ? 0 : 1);
  return index >= 0 && state.scenario.held[static_cast<std::size_t>(index)]
             ? ERROR_ACCESS_DISABLED_BY_POLICY
             : 0;
}

// Only the group policy key of the three settings, in the 64-bit view, as a DWORD.
LONG WINAPI RegGetValueW(HKEY root, LPCWSTR key, LPCWSTR valueName, DWORD flags, LPDWORD,
                         PVOID data, LPDWORD size) {
  State& state = TheState();
  const std::wstring_view path = key;
  const std::wstring_view prefix = L"SOFTWARE\\Policies\\Microsoft\\Power\\PowerSettings\\";
  int row = -1;
  for (int i = 1; i <= 3 && path.size() == prefix.size() + 38 && path.substr(0, prefix.size()) == prefix; ++i) {
    const std::u16string_view text = kKnownIdentifiers[i].text;
    if (std::equal(text.begin(), text.end(), path.begin() + static_cast<long>(prefix.size()))) row = i;
  }
  const std::wstring_view name = valueName;
  const int source = name == L"ACSettingIndex" ? 0 : name == L"DCSettingIndex" ? 1 : -1;
  const bool wellFormed = root == HKEY_LOCAL_MACHINE && row > 0 && source >= 0 &&
                          flags == (RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY) && data != nullptr &&
                          size != nullptr && *size == sizeof(DWORD);
  state.calls.push_back(std::string("RegGetValueW ") + (wellFormed ? kKnownIdentifiers[row].name : "?") +
                        (source == 0 ? " ac" : " dc"));
  if (!wellFormed) return ERROR_INVALID_PARAMETER;
  const auto index = static_cast<std::size_t>((row - 1) * 2 + source);
  if (state.scenario.heldUnreadable[index]) return ERROR_FILE_NOT_FOUND;
  *static_cast<DWORD*>(data) = state.scenario.policyValues[index];
  return 0;
}

// The application log refuses the source, as a log that cannot be written does: entries are
// dropped, and the calls recorded above stay the power calls alone.
HANDLE WINAPI RegisterEventSourceW(const WCHAR*, const WCHAR*) { return nullptr; }
BOOL WINAPI ReportEventW(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, const WCHAR**, PVOID) {
  return 0;
}

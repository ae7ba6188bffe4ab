#include "simulated_power.h"

#include <cstring>
#include <optional>
#include <string>

#include "guid_text.h"
#include "power_platform.h"
#include "store_file.h"
#include "store_format.h"

namespace {

unsigned readCallCount = 0;
unsigned writeCallCount = 0;
unsigned callCount = 0;  // of every kind, for a crash line
// The `fail awake` status as the store last said it: run's request follows its block, and a
// store read of its own would cost a run a twentieth more.
DWORD awakeFault = 0;
DWORD displayFault = 0;

DWORD InjectedFault(const PowerStore& stored, StoreCall call, unsigned ordinal = 0,
                    std::size_t setting = 0, PowerSource source = PowerSource::Ac);

// Runs `use` on the store's contents with the store locked; saves them when `use` succeeded
// and said it changed them. A missing store is created with the defaults first; a malformed
// one is left exactly as it is.
template <typename Use>
DWORD WithStore(Use&& use) {
  std::string path;
  if (const DWORD status = LocateStoreFile(path); status != 0) return status;
  const StoreLock lock(path);
  if (lock.status() != 0) return lock.status();

  std::string text;
  bool missing = false;
  if (const DWORD status = ReadStoreFile(path, text, missing); status != 0) return status;

  PowerStore stored;
  if (missing) {
    stored = DefaultPowerStore();
    if (const DWORD status = ReplaceStoreFile(path, FormatPowerStore(stored)); status != 0) {
      return status;
    }
  } else {
    std::optional<PowerStore> parsed = ParsePowerStore(text);
    if (!parsed) return ERROR_INVALID_DATA;
    stored = std::move(*parsed);
  }
  // Before the call has any effect: a crash at call N leaves exactly calls 1 to N - 1 done.
  if (++callCount == stored.crashAtCall) EndProcessAtOnce();
  awakeFault = InjectedFault(stored, StoreCall::Awake);
  displayFault = InjectedFault(stored, StoreCall::Display);

  bool changed = false;
  const DWORD status = use(stored, changed);
  if (status != 0 || !changed) return status;
  return ReplaceStoreFile(path, FormatPowerStore(stored));
}

DWORD InjectedFault(const PowerStore& stored, StoreCall call, unsigned ordinal, std::size_t setting,
                    PowerSource source) {
  for (const StoreFault& fault : stored.faults) {
    if (fault.call != call) continue;
    const bool perValueCall = call == StoreCall::Read || call == StoreCall::Write;
    if (!perValueCall) return fault.status;
    if (fault.ordinal != 0 ? fault.ordinal == ordinal
                           : fault.setting == setting && fault.source == source) {
      return fault.status;
    }
  }
  return 0;
}

// The listed scheme `scheme` names, or nullptr: an unlisted one is refused as the platform
// refuses a wrong one.
// cppcheck-suppress constParameter ; HKEY is the platform's type, a pointer to non-const
StoredScheme* FindScheme(HKEY root, const GUID* scheme, PowerStore& stored) {
  // Other roots hold other users' or machines' schemes, which this store does not have.
  if (root != nullptr || scheme == nullptr) return nullptr;
  return FindStoredScheme(stored, *scheme);
}

DWORD FindSetting(const GUID* subgroup, const GUID* setting, std::size_t& index) {
  if (subgroup == nullptr || setting == nullptr) return ERROR_INVALID_PARAMETER;
  if (!SameGuid(*subgroup, kStoredSubgroup)) return ERROR_FILE_NOT_FOUND;
  for (index = 0; index < kKnownSettings.size(); ++index) {
    if (SameGuid(*setting, kKnownSettings[index].identifier)) return 0;
  }
  return ERROR_FILE_NOT_FOUND;
}

DWORD ReadValueIndex(PowerSource source, HKEY root, const GUID* scheme, const GUID* subgroup,
                     const GUID* setting, LPDWORD value) {
  const unsigned ordinal = ++readCallCount;
  return WithStore([&](PowerStore& stored, bool&) -> DWORD {
    std::size_t index = 0;
    const StoredScheme* found = FindScheme(root, scheme, stored);
    if (found == nullptr) return ERROR_INVALID_PARAMETER;
    if (const DWORD status = FindSetting(subgroup, setting, index); status != 0) return status;
    if (value == nullptr) return ERROR_INVALID_PARAMETER;
    if (const DWORD status = InjectedFault(stored, StoreCall::Read, ordinal, index, source)) {
      return status;
    }
    *value = found->values[index][static_cast<std::size_t>(source)];
    return 0;
  });
}

DWORD WriteValueIndex(PowerSource source, HKEY root, const GUID* scheme, const GUID* subgroup,
                      const GUID* setting, DWORD value) {
  const unsigned ordinal = ++writeCallCount;
  return WithStore([&](PowerStore& stored, bool& changed) -> DWORD {
    std::size_t index = 0;
    StoredScheme* found = FindScheme(root, scheme, stored);
    if (found == nullptr) return ERROR_INVALID_PARAMETER;
    if (const DWORD status = FindSetting(subgroup, setting, index); status != 0) return status;
    if (const DWORD status = InjectedFault(stored, StoreCall::Write, ordinal, index, source)) {
      return status;
    }
    found->values[index][static_cast<std::size_t>(source)] = value;
    changed = true;
    return 0;
  });
}

std::optional<std::size_t> SettingIndex(const GUID* setting) {
  for (std::size_t index = 0; setting != nullptr && index < kKnownSettings.size(); ++index) {
    if (SameGuid(*setting, kKnownSettings[index].identifier)) return index;
  }
  return std::nullopt;
}

}  // namespace

DWORD ReadStoredPolicy(const GUID& setting, PowerSource source, DWORD& value) {
  const std::optional<std::size_t> index = SettingIndex(&setting);
  if (!index) return ERROR_FILE_NOT_FOUND;
  return WithStore([&](const PowerStore& stored, bool&) -> DWORD {
    const StoredPolicy* policy = FindStoredPolicy(stored, *index, source);
    if (policy == nullptr) return ERROR_FILE_NOT_FOUND;
    value = policy->value;
    return 0;
  });
}

void ResetStoreCallCounts() {
  readCallCount = 0;
  writeCallCount = 0;
  callCount = 0;
  awakeFault = 0;
  displayFault = 0;
}

DWORD InjectedAwakeFault() { return awakeFault; }
DWORD InjectedDisplayFault() { return displayFault; }

void CountCallForCrash() {
  static_cast<void>(WithStore([](const PowerStore&, bool&) -> DWORD { return 0; }));
}

// cppcheck-suppress constParameter ; the platform's signature
DWORD WINAPI PowerGetActiveScheme(HKEY root, GUID** activeScheme) {
  if (root != nullptr || activeScheme == nullptr) return ERROR_INVALID_PARAMETER;
  return WithStore([&](const PowerStore& stored, bool&) -> DWORD {
    if (const DWORD status = InjectedFault(stored, StoreCall::Query)) return status;
    *activeScheme = AllocateSchemeIdentifier(stored.schemes[stored.active].identifier);
    return *activeScheme != nullptr ? 0 : ERROR_NOT_ENOUGH_MEMORY;
  });
}

DWORD WINAPI PowerReadACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                   const GUID* setting, LPDWORD value) {
  return ReadValueIndex(PowerSource::Ac, root, scheme, subgroup, setting, value);
}

DWORD WINAPI PowerReadDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                   const GUID* setting, LPDWORD value) {
  return ReadValueIndex(PowerSource::Dc, root, scheme, subgroup, setting, value);
}

DWORD WINAPI PowerWriteACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                    const GUID* setting, DWORD value) {
  return WriteValueIndex(PowerSource::Ac, root, scheme, subgroup, setting, value);
}

DWORD WINAPI PowerWriteDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                                    const GUID* setting, DWORD value) {
  return WriteValueIndex(PowerSource::Dc, root, scheme, subgroup, setting, value);
}

DWORD WINAPI PowerSetActiveScheme(HKEY root, const GUID* scheme) {
  return WithStore([&](PowerStore& stored, bool& changed) -> DWORD {
    const StoredScheme* found = FindScheme(root, scheme, stored);
    if (found == nullptr) return ERROR_INVALID_PARAMETER;
    if (const DWORD status = InjectedFault(stored, StoreCall::Activate)) return status;
    const auto index = static_cast<std::size_t>(found - stored.schemes.data());
    changed = index != stored.active;
    stored.active = index;
    return 0;
  });
}

// cppcheck-suppress constParameter ; the platform's signature
DWORD WINAPI PowerEnumerate(HKEY root, const GUID* scheme, const GUID* subgroup,
                            POWER_DATA_ACCESSOR flags, ULONG index, UCHAR* buffer, DWORD* size) {
  if (root != nullptr || scheme != nullptr || subgroup != nullptr || flags != ACCESS_SCHEME ||
      size == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  return WithStore([&](const PowerStore& stored, bool&) -> DWORD {
    if (const DWORD status = InjectedFault(stored, StoreCall::Query)) return status;
    if (index >= stored.schemes.size()) return ERROR_NO_MORE_ITEMS;
    const GUID identifier = stored.schemes[index].identifier;
    const DWORD needed = sizeof identifier;
    if (buffer == nullptr || *size < needed) {
      const bool asked = buffer == nullptr;
      *size = needed;
      return asked ? 0 : ERROR_MORE_DATA;
    }
    std::memcpy(buffer, &identifier, needed);
    *size = needed;
    return 0;
  });
}

DWORD WINAPI PowerSettingAccessCheck(POWER_DATA_ACCESSOR source, const GUID* setting) {
  const std::optional<std::size_t> index = SettingIndex(setting);
  if (!index ||
      (source != ACCESS_AC_POWER_SETTING_INDEX && source != ACCESS_DC_POWER_SETTING_INDEX)) {
    return ERROR_INVALID_PARAMETER;
  }
  const PowerSource powerSource =
      source == ACCESS_AC_POWER_SETTING_INDEX ? PowerSource::Ac : PowerSource::Dc;
  return WithStore([&](const PowerStore& stored, bool&) -> DWORD {
    if (const DWORD status = InjectedFault(stored, StoreCall::Check)) return status;
    return PolicyHoldsValue(stored, *index, powerSource) ? ERROR_ACCESS_DISABLED_BY_POLICY : 0;
  });
}

#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "power_platform.h"

// The simulated store's contents and their text form. The store knows the platform's real
// identifiers on its own, so a mistyped identifier in the tool fails here as it would on
// Windows.

enum class PowerSource : std::size_t { Ac = 0, Dc = 1 };
enum class StoreCall { Query, Read, Write, Activate, Check, Awake, Display };

struct KnownSetting {
  const char* name;  // its name in the store file
  GUID identifier;
};

// GUID_SYSTEM_BUTTON_SUBGROUP, the only subgroup the store holds.
extern const GUID kStoredSubgroup;
// Power button, lid close and sleep button, in that order.
extern const std::array<KnownSetting, 3> kKnownSettings;

// Makes one kind of call fail with `status`. A read or write fault picks its call either by
// ordinal (the n-th read or write of the process, from 1) or by value (any call on one
// setting and power source); ordinal 0 means by value.
struct StoreFault {
  StoreCall call = StoreCall::Query;
  unsigned ordinal = 0;
  std::size_t setting = 0;
  PowerSource source = PowerSource::Ac;
  DWORD status = 0;

  friend bool operator==(const StoreFault&, const StoreFault&) = default;
};

struct StoredScheme {
  GUID identifier{};
  // values[setting][source], settings in kKnownSettings order.
  std::array<std::array<DWORD, 2>, 3> values{};
};

// A value a group policy holds, whatever the schemes say: machine-wide, as policies are.
struct StoredPolicy {
  std::size_t setting = 0;
  PowerSource source = PowerSource::Ac;
  DWORD value = 0;

  friend bool operator==(const StoredPolicy&, const StoredPolicy&) = default;
};

// The whole store: its schemes, the active one, the policies, and the faults, which count
// calls across all schemes.
struct PowerStore {
  std::vector<StoredScheme> schemes;
  std::size_t active = 0;  // an index into `schemes`
  std::vector<StoredPolicy> policies;
  std::vector<StoreFault> faults;
  // The process ends at once, as a kill would, at this call of its own (from 1; every power
  // call and every record written or removed counts); 0: never.
  unsigned crashAtCall = 0;
};

// The policy that holds this value, or nullptr.
const StoredPolicy* FindStoredPolicy(const PowerStore& store, std::size_t setting,
                                     PowerSource source);

// A fresh store: one scheme (Balanced's identifier) with every button set to 1, "sleep".
PowerStore DefaultPowerStore();

// nullopt for any text that is not exactly a store: an unknown or repeated line, a scheme
// without its three settings, a repeated scheme, an `active` line naming no listed scheme, a
// number out of range. A malformed store is never guessed at.
std::optional<PowerStore> ParsePowerStore(std::string_view text);

// A store whose first scheme is active is written without an `active` line, so a store of one
// scheme keeps the form it has always had.
std::string FormatPowerStore(const PowerStore& store);

// The scheme with this identifier, or nullptr.
StoredScheme* FindStoredScheme(PowerStore& store, const GUID& identifier);

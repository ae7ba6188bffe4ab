#include "store_format.h"

#include <cstdint>

#include "guid_text.h"

const GUID kStoredSubgroup = {
    0x4f971e89, 0xeebd, 0x4455, {0xa8, 0xde, 0x9e, 0x59, 0x04, 0x0e, 0x73, 0x47}};

const std::array<KnownSetting, 3> kKnownSettings = {{
    {"power-button",
     {0x7648efa3, 0xdd9c, 0x4e3e, {0xb5, 0x66, 0x50, 0xf9, 0x29, 0x38, 0x62, 0x80}}},
    {"lid-close", {0x5ca83367, 0x6e45, 0x459f, {0xa2, 0x7b, 0x47, 0x6b, 0x1d, 0x01, 0xc9, 0x36}}},
    {"sleep-button",
     {0x96996bc0, 0xad50, 0x47ec, {0x92, 0x3b, 0x6f, 0x41, 0x87, 0x4d, 0xd9, 0xeb}}},
}};

namespace {

// The Balanced scheme's identifier, which every Windows installation has.
constexpr GUID kDefaultSchemeIdentifier = {
    0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}};
constexpr DWORD kSleepAction = 1;

std::vector<std::string_view> SplitWords(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t position = 0;
  while (position < line.size()) {
    while (position < line.size() && (line[position] == ' ' || line[position] == '\t')) {
      ++position;
    }
    const std::size_t start = position;
    while (position < line.size() && line[position] != ' ' && line[position] != '\t') ++position;
    if (position > start) words.push_back(line.substr(start, position - start));
  }
  return words;
}

// Decimal, or (where `allowHex`) hexadecimal after "0x"; no sign, no spaces, at most 32 bits.
std::optional<std::uint32_t> ParseNumber(std::string_view word, bool allowHex) {
  unsigned base = 10;
  if (allowHex && word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    base = 16;
    word.remove_prefix(2);
  }
  if (word.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : word) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<std::size_t> FindSetting(std::string_view name) {
  for (std::size_t i = 0; i < kKnownSettings.size(); ++i) {
    if (name == kKnownSettings[i].name) return i;
  }
  return std::nullopt;
}

std::optional<PowerSource> ParseSource(std::string_view word) {
  if (word == "ac") return PowerSource::Ac;
  if (word == "dc") return PowerSource::Dc;
  return std::nullopt;
}

std::optional<StoreCall> ParseCall(std::string_view word) {
  if (word == "query") return StoreCall::Query;
  if (word == "read") return StoreCall::Read;
  if (word == "write") return StoreCall::Write;
  if (word == "activate") return StoreCall::Activate;
  if (word == "check") return StoreCall::Check;
  if (word == "awake") return StoreCall::Awake;
  if (word == "display") return StoreCall::Display;
  return std::nullopt;
}

const char* CallName(StoreCall call) {
  switch (call) {
    case StoreCall::Query:
      return "query";
    case StoreCall::Read:
      return "read";
    case StoreCall::Write:
      return "write";
    case StoreCall::Activate:
      return "activate";
    case StoreCall::Check:
      return "check";
    case StoreCall::Awake:
      return "awake";
    case StoreCall::Display:
      return "display";
  }
  return "?";
}

// "fail query|activate|check|awake|display STATUS", "fail read|write N STATUS",
// "fail read|write SETTING ac|dc STATUS"; `words` starts after "fail".
std::optional<StoreFault> ParseFault(const std::vector<std::string_view>& words) {
  if (words.size() < 3) return std::nullopt;
  StoreFault fault;
  const auto call = ParseCall(words[1]);
  const auto status = ParseNumber(words.back(), /*allowHex=*/true);
  if (!call || !status || *status == 0) return std::nullopt;
  fault.call = *call;
  fault.status = *status;

  const bool perValueCall = fault.call == StoreCall::Read || fault.call == StoreCall::Write;
  if (!perValueCall) return words.size() == 3 ? std::optional(fault) : std::nullopt;

  if (words.size() == 4) {
    const auto ordinal = ParseNumber(words[2], /*allowHex=*/false);
    if (!ordinal || *ordinal == 0) return std::nullopt;
    fault.ordinal = *ordinal;
    return fault;
  }
  if (words.size() == 5) {
    const auto setting = FindSetting(words[2]);
    const auto source = ParseSource(words[3]);
    if (!setting || !source) return std::nullopt;
    fault.setting = *setting;
    fault.source = *source;
    return fault;
  }
  return std::nullopt;
}

// "policy SETTING ac|dc VALUE"; `words` starts at "policy".
std::optional<StoredPolicy> ParsePolicy(const std::vector<std::string_view>& words) {
  if (words.size() != 4) return std::nullopt;
  const auto setting = FindSetting(words[1]);
  const auto source = ParseSource(words[2]);
  const auto value = ParseNumber(words[3], /*allowHex=*/false);
  if (!setting || !source || !value) return std::nullopt;
  return StoredPolicy{*setting, *source, *value};
}

std::string SourceName(PowerSource source) { return source == PowerSource::Ac ? "ac" : "dc"; }

}  // namespace

const StoredPolicy* FindStoredPolicy(const PowerStore& store, std::size_t setting,
                                     PowerSource source) {
  for (const StoredPolicy& policy : store.policies) {
    if (policy.setting == setting && policy.source == source) return &policy;
  }
  return nullptr;
}

PowerStore DefaultPowerStore() {
  StoredScheme scheme;
  scheme.identifier = kDefaultSchemeIdentifier;
  for (auto& setting : scheme.values) setting = {kSleepAction, kSleepAction};
  return {{scheme}, 0, {}, {}};
}

// cppcheck-suppress constParameter ; the scheme found is the caller's to change
StoredScheme* FindStoredScheme(PowerStore& store, const GUID& identifier) {
  for (StoredScheme& scheme : store.schemes) {
    if (SameGuid(scheme.identifier, identifier)) return &scheme;
  }
  return nullptr;
}

std::optional<PowerStore> ParsePowerStore(std::string_view text) {
  PowerStore store;
  // Setting lines before the first `scheme` line belong to the first scheme, as they always
  // have: a store of one scheme may give its lines in any order.
  std::vector<std::array<bool, 3>> haveSetting(1);
  StoredScheme firstScheme;
  std::optional<GUID> active;

  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    const std::vector<std::string_view> words = SplitWords(line);
    if (words.empty() || words[0].front() == '#') continue;

    StoredScheme& current = store.schemes.empty() ? firstScheme : store.schemes.back();
    if (words[0] == "scheme") {
      GUID identifier{};
      if (words.size() != 2 || !ParseGuidText(words[1], identifier) ||
          FindStoredScheme(store, identifier) != nullptr) {
        return std::nullopt;
      }
      if (store.schemes.empty()) {
        firstScheme.identifier = identifier;
        store.schemes.push_back(firstScheme);
      } else {
        store.schemes.push_back({identifier, {}});
        haveSetting.emplace_back();
      }
    } else if (words[0] == "active") {
      GUID identifier{};
      if (active || words.size() != 2 || !ParseGuidText(words[1], identifier)) return std::nullopt;
      active = identifier;
    } else if (words[0] == "policy") {
      const auto policy = ParsePolicy(words);
      if (!policy || FindStoredPolicy(store, policy->setting, policy->source) != nullptr) {
        return std::nullopt;
      }
      store.policies.push_back(*policy);
    } else if (words[0] == "crash") {
      if (words.size() != 2 || store.crashAtCall != 0) return std::nullopt;
      store.crashAtCall = ParseNumber(words[1], /*allowHex=*/false).value_or(0);
      if (store.crashAtCall == 0) return std::nullopt;
    } else if (words[0] == "fail") {
      const auto fault = ParseFault(words);
      if (!fault) return std::nullopt;
      store.faults.push_back(*fault);
    } else {
      const auto setting = FindSetting(words[0]);
      std::array<bool, 3>& have = haveSetting.back();
      if (!setting || have[*setting] || words.size() != 3) return std::nullopt;
      const auto acValue = ParseNumber(words[1], /*allowHex=*/false);
      const auto dcValue = ParseNumber(words[2], /*allowHex=*/false);
      if (!acValue || !dcValue) return std::nullopt;
      current.values[*setting] = {*acValue, *dcValue};
      have[*setting] = true;
    }
  }
  if (store.schemes.empty()) return std::nullopt;
  for (const std::array<bool, 3>& have : haveSetting) {
    for (bool present : have) {
      if (!present) return std::nullopt;
    }
  }
  if (active) {
    const StoredScheme* scheme = FindStoredScheme(store, *active);
    if (scheme == nullptr) return std::nullopt;
    store.active = static_cast<std::size_t>(scheme - store.schemes.data());
  }
  return store;
}

std::string FormatPowerStore(const PowerStore& store) {
  std::string text = "# buttonguard simulated power store: setting, AC value, DC value\n";
  for (const StoredScheme& scheme : store.schemes) {
    text += "scheme " + FormatGuidText(scheme.identifier) + "\n";
    for (std::size_t i = 0; i < kKnownSettings.size(); ++i) {
      text += std::string(kKnownSettings[i].name) + " " + std::to_string(scheme.values[i][0]) +
              " " + std::to_string(scheme.values[i][1]) + "\n";
    }
  }
  if (store.active != 0) {
    text += "active " + FormatGuidText(store.schemes[store.active].identifier) + "\n";
  }
  for (const StoredPolicy& policy : store.policies) {
    text += std::string("policy ") + kKnownSettings[policy.setting].name + " " +
            SourceName(policy.source) + " " + std::to_string(policy.value) + "\n";
  }
  for (const StoreFault& fault : store.faults) {
    text += std::string("fail ") + CallName(fault.call) + " ";
    if (fault.call == StoreCall::Read || fault.call == StoreCall::Write) {
      text += fault.ordinal != 0 ? std::to_string(fault.ordinal)
                                 : std::string(kKnownSettings[fault.setting].name) + " " +
                                       SourceName(fault.source);
      text += " ";
    }
    text += std::to_string(fault.status) + "\n";
  }
  if (store.crashAtCall != 0) text += "crash " + std::to_string(store.crashAtCall) + "\n";
  return text;
}

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <string>

#include "command_cases.h"
#include "guid_text.h"
#include "power_platform.h"
#include "simulated_power.h"
#include "store_format.h"
#include "temporary_store.h"

namespace {

// Store texts that must be refused whole.
class MalformedStoreTest : public ::testing::TestWithParam<std::string> {};

TEST_P(MalformedStoreTest, IsRefused) { EXPECT_FALSE(ParsePowerStore(GetParam())); }

const std::string kSchemeLine = "scheme {381b4222-f694-41f0-9685-ff5bb260df2e}\n";
const std::string kSettings = "power-button 1 1\nlid-close 1 1\nsleep-button 1 1\n";
const std::string kOtherSchemeLine = "scheme {8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c}\n";

INSTANTIATE_TEST_SUITE_P(
    Texts, MalformedStoreTest,
    ::testing::Values("", "\n# only a comment\n", kSettings, kSchemeLine,
                      kSchemeLine + "power-button 1 1\nlid-close 1 1\n",
                      kSchemeLine + kSettings + "lid-close 2 2\n",
                      kSchemeLine + kSchemeLine + kSettings,
                      "scheme {381b4222-f694-41f0-9685-ff5bb260df2}\n" + kSettings,
                      kSchemeLine + kSettings + "volume 1 1\n",
                      kSchemeLine + "power-button 1\nlid-close 1 1\nsleep-button 1 1\n",
                      kSchemeLine + "power-button 1 1 1\nlid-close 1 1\nsleep-button 1 1\n",
                      kSchemeLine + "power-button -1 1\nlid-close 1 1\nsleep-button 1 1\n",
                      kSchemeLine + "power-button 0x1 1\nlid-close 1 1\nsleep-button 1 1\n",
                      kSchemeLine + "power-button 4294967296 1\nlid-close 1 1\nsleep-button 1 1\n",
                      kSchemeLine + "power-button 99999999999999999999999 1\n" +
                          "lid-close 1 1\nsleep-button 1 1\n",
                      kSchemeLine + "Power-Button 1 1\nlid-close 1 1\nsleep-button 1 1\n",
                      kSchemeLine + kSettings + "fail query\n",
                      kSchemeLine + kSettings + "fail query 0\n",
                      kSchemeLine + kSettings + "fail query 5 5\n",
                      kSchemeLine + kSettings + "fail read 0 5\n",
                      kSchemeLine + kSettings + "fail read 3\n",
                      kSchemeLine + kSettings + "fail read lid-close 5\n",
                      kSchemeLine + kSettings + "fail read lid-close both 5\n",
                      kSchemeLine + kSettings + "fail write volume ac 5\n",
                      kSchemeLine + kSettings + "fail sleep 5\n",
                      kSchemeLine + kSettings + "fail activate 0x100000000\n",
                      kSchemeLine + kSettings + kOtherSchemeLine,
                      kSchemeLine + kSettings + kOtherSchemeLine + "power-button 1 1\n",
                      kSchemeLine + kSettings + kOtherSchemeLine + kSettings + kSchemeLine +
                          kSettings,
                      kSchemeLine + kSettings + "active {8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c}\n",
                      kSchemeLine + kSettings + kOtherSchemeLine + kSettings +
                          "active {8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c}\n" +
                          "active {8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c}\n",
                      kSchemeLine + kSettings + "active\n",
                      kSchemeLine + kSettings + "policy lid-close dc 1\npolicy lid-close dc 2\n",
                      kSchemeLine + kSettings + "policy lid-close both 1\n",
                      kSchemeLine + kSettings + "policy lid-close dc\n",
                      kSchemeLine + kSettings + "fail check\n",
                      std::string("\0\xff\xfe garbage", 12)));

TEST(StoreFormat, ReadsWhatItWritesFaultsAndSchemesIncluded) {
  PowerStore store = DefaultPowerStore();
  store.schemes[0].values = {{{0, 4294967295U}, {16, 3}, {7, 0}}};
  store.policies = {{1, PowerSource::Dc, 1}, {0, PowerSource::Ac, 0}};
  store.faults = {{StoreCall::Check, 0, 0, PowerSource::Ac, 50},
                  {StoreCall::Query, 0, 0, PowerSource::Ac, 1168},
                  {StoreCall::Read, 3, 0, PowerSource::Ac, 5},
                  {StoreCall::Write, 0, 2, PowerSource::Dc, 0x80070005U},
                  {StoreCall::Activate, 0, 0, PowerSource::Ac, 29}};
  // One scheme: the form every earlier store file has, without an `active` line.
  EXPECT_EQ(FormatPowerStore(store).find("active"), std::string::npos);
  StoredScheme other = store.schemes[0];
  ASSERT_TRUE(ParseGuidText("{8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c}", other.identifier));
  other.values = {{{2, 2}, {0, 1}, {3, 4}}};
  store.schemes.push_back(other);
  for (std::size_t active : {0U, 1U}) {
    store.active = active;
    const auto parsed = ParsePowerStore(FormatPowerStore(store));
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->schemes.size(), 2U);
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_TRUE(SameGuid(parsed->schemes[i].identifier, store.schemes[i].identifier));
      EXPECT_EQ(parsed->schemes[i].values, store.schemes[i].values);
    }
    EXPECT_EQ(parsed->active, active);
    EXPECT_EQ(parsed->policies, store.policies);
    EXPECT_EQ(parsed->faults, store.faults);
  }
}

TEST(StoreFormat, AcceptsCommentsBlankLinesTabsCarriageReturnsAndAnyOrder) {
  const auto parsed = ParsePowerStore(
      "# hand edited\r\n\r\nsleep-button\t2  3\r\n  lid-close 4 5\r\n"
      "scheme {381B4222-F694-41F0-9685-FF5BB260DF2E}\r\npower-button 6 7\r\nfail read 2 0x1F");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->schemes[0].values,
            (std::array<std::array<DWORD, 2>, 3>{{{6, 7}, {4, 5}, {2, 3}}}));
  ASSERT_EQ(parsed->faults.size(), 1U);
  EXPECT_EQ(parsed->faults[0].status, 31U);
}

TEST(GuidText, ParsesTheBraceFormOnlyAndFormatsItInLowerCase) {
  GUID value{};
  ASSERT_TRUE(ParseGuidText("{7648EFA3-dd9c-4e3e-b566-50f929386280}", value));
  EXPECT_EQ(FormatGuidText(value), "{7648efa3-dd9c-4e3e-b566-50f929386280}");
  for (const char* bad :
       {"7648efa3-dd9c-4e3e-b566-50f929386280", "{7648efa3-dd9c-4e3e-b566-50f92938628}",
        "{7648efa3-dd9c-4e3e-b566-50f9293862800}", "{7648efa3+dd9c-4e3e-b566-50f929386280}",
        "{7648efa3-dd9c-4e3e-b56650f-929386280}", "{7648efaz-dd9c-4e3e-b566-50f929386280}",
        "(7648efa3-dd9c-4e3e-b566-50f929386280)"}) {
    GUID untouched = {1, 2, 3, {4}};
    EXPECT_FALSE(ParseGuidText(bad, untouched)) << bad;
    EXPECT_EQ(untouched.Data1, 1U) << bad;
  }
}

// The power functions themselves, on a store file.
class SimulatedPowerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("BUTTONGUARD_STORE", store_.path().c_str(), 1);
    ResetStoreCallCounts();
  }

  GUID* ActiveScheme() {
    GUID* scheme = nullptr;
    EXPECT_EQ(PowerGetActiveScheme(nullptr, &scheme), 0U);
    return scheme;
  }

  TemporaryStore store_;
  const GUID& subgroup_ = kStoredSubgroup;
  const GUID& lid_ = kKnownSettings[1].identifier;
};

TEST_F(SimulatedPowerTest, CreatesAMissingStoreWithEveryButtonSetToSleep) {
  GUID* scheme = ActiveScheme();
  DWORD value = 0;
  EXPECT_EQ(PowerReadDCValueIndex(nullptr, scheme, &subgroup_, &lid_, &value), 0U);
  EXPECT_EQ(value, 1U);
  EXPECT_EQ(StoreValues(store_.Read().value_or("")),
            (std::array<std::uint32_t, 6>{1, 1, 1, 1, 1, 1}));
  LocalFree(scheme);
}

TEST_F(SimulatedPowerTest, RefusesWrongArgumentsTheWayThePlatformDoes) {
  store_.Write(StoreText({1, 2, 3, 4, 5, 6}));
  GUID* scheme = ActiveScheme();
  GUID otherScheme = *scheme;
  otherScheme.Data4[7] ^= 1;
  GUID otherSetting = lid_;
  otherSetting.Data1 ^= 1;
  const auto someRoot = reinterpret_cast<HKEY>(scheme);
  DWORD value = 0;

  struct Case {
    const char* what;
    HKEY root;
    const GUID* scheme;
    const GUID* subgroup;
    const GUID* setting;
    DWORD expected;
  };
  const Case cases[] = {
      {"a root key", someRoot, scheme, &subgroup_, &lid_, ERROR_INVALID_PARAMETER},
      {"no scheme", nullptr, nullptr, &subgroup_, &lid_, ERROR_INVALID_PARAMETER},
      {"another scheme", nullptr, &otherScheme, &subgroup_, &lid_, ERROR_INVALID_PARAMETER},
      {"a setting as subgroup", nullptr, scheme, &lid_, &lid_, ERROR_FILE_NOT_FOUND},
      {"an unknown setting", nullptr, scheme, &subgroup_, &otherSetting, ERROR_FILE_NOT_FOUND},
  };
  const std::string before = *store_.Read();
  for (const Case& c : cases) {
    EXPECT_EQ(PowerReadACValueIndex(c.root, c.scheme, c.subgroup, c.setting, &value), c.expected)
        << c.what;
    EXPECT_EQ(PowerWriteDCValueIndex(c.root, c.scheme, c.subgroup, c.setting, 9), c.expected)
        << c.what;
  }
  EXPECT_EQ(PowerSetActiveScheme(nullptr, &otherScheme), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(store_.Read(), before);
  LocalFree(scheme);
}

// A typo anywhere in an identifier of the tool's table must fail here as on Windows: one bit
// off in each field of each identifier the store knows is refused, the exact one is not.
TEST_F(SimulatedPowerTest, RefusesANearMissInEveryPartOfEveryIdentifier) {
  GUID* scheme = ActiveScheme();
  const std::vector<std::function<void(GUID&)>> nearMisses = {
      [](GUID& g) { g.Data1 ^= 0x00010000; }, [](GUID& g) { g.Data2 ^= 0x0100; },
      [](GUID& g) { g.Data3 ^= 0x0001; },      [](GUID& g) { g.Data4[0] ^= 0x80; },
      [](GUID& g) { g.Data4[1] ^= 0x01; },     [](GUID& g) { g.Data4[2] ^= 0x10; },
      [](GUID& g) { g.Data4[5] ^= 0x04; },     [](GUID& g) { g.Data4[7] ^= 0x01; },
  };
  struct Identifier {
    const char* what;
    const GUID* exact;
    DWORD refusal;
  };
  std::vector<Identifier> identifiers = {{"scheme", scheme, ERROR_INVALID_PARAMETER},
                                         {"subgroup", &subgroup_, ERROR_FILE_NOT_FOUND}};
  for (const KnownSetting& setting : kKnownSettings) {
    identifiers.push_back({setting.name, &setting.identifier, ERROR_FILE_NOT_FOUND});
  }
  for (const Identifier& identifier : identifiers) {
    for (std::size_t miss = 0; miss < nearMisses.size(); ++miss) {
      GUID ids[3] = {*scheme, subgroup_, lid_};  // scheme, subgroup, setting
      const std::size_t slot = identifier.exact == scheme ? 0 : identifier.exact == &subgroup_ ? 1 : 2;
      ids[slot] = *identifier.exact;
      DWORD value = 0;
      EXPECT_EQ(PowerReadACValueIndex(nullptr, &ids[0], &ids[1], &ids[2], &value), 0U)
          << identifier.what;
      nearMisses[miss](ids[slot]);
      EXPECT_EQ(PowerReadACValueIndex(nullptr, &ids[0], &ids[1], &ids[2], &value),
                identifier.refusal)
          << identifier.what << ", near miss " << miss;
    }
  }
  LocalFree(scheme);
}

TEST_F(SimulatedPowerTest, LeavesAMalformedStoreUntouchedAndFailsEveryCall) {
  const std::string malformed = kSchemeLine + "power-button 1 1\n";
  store_.Write(malformed);
  GUID* scheme = nullptr;
  EXPECT_EQ(PowerGetActiveScheme(nullptr, &scheme), ERROR_INVALID_DATA);
  EXPECT_EQ(scheme, nullptr);

  GUID known = DefaultPowerStore().schemes[0].identifier;
  DWORD value = 0;
  EXPECT_EQ(PowerReadACValueIndex(nullptr, &known, &subgroup_, &lid_, &value), ERROR_INVALID_DATA);
  EXPECT_EQ(PowerWriteACValueIndex(nullptr, &known, &subgroup_, &lid_, 0), ERROR_INVALID_DATA);
  EXPECT_EQ(PowerSetActiveScheme(nullptr, &known), ERROR_INVALID_DATA);
  EXPECT_EQ(store_.Read(), malformed);
}

TEST_F(SimulatedPowerTest, WritesReplaceTheFileWholeAndLeaveNoTemporaryFileBehind) {
  store_.Write(StoreText({1, 2, 3, 4, 5, 6}));
  GUID* scheme = ActiveScheme();
  EXPECT_EQ(PowerWriteACValueIndex(nullptr, scheme, &subgroup_, &lid_, 12), 0U);
  EXPECT_EQ(PowerWriteDCValueIndex(nullptr, scheme, &subgroup_, &lid_, 13), 0U);
  EXPECT_EQ(StoreValues(*store_.Read()), (std::array<std::uint32_t, 6>{1, 2, 12, 13, 5, 6}));
  LocalFree(scheme);

  for (const auto& entry : std::filesystem::directory_iterator(store_.folder())) {
    const std::string name = entry.path().filename();
    EXPECT_TRUE(name == "power-scheme" || name == "power-scheme.lock") << name;
  }
}

TEST_F(SimulatedPowerTest, FaultLinesPickCallsByOrdinalOrByValueAndSurviveWrites) {
  store_.Write(StoreText({1, 2, 3, 4, 5, 6}, {"fail read 2 5", "fail write lid-close ac 87",
                                               "fail activate 0x20"}));
  GUID* scheme = ActiveScheme();
  const GUID& power = kKnownSettings[0].identifier;
  DWORD value = 0;
  EXPECT_EQ(PowerReadACValueIndex(nullptr, scheme, &subgroup_, &power, &value), 0U);
  EXPECT_EQ(PowerReadACValueIndex(nullptr, scheme, &subgroup_, &power, &value), 5U);
  EXPECT_EQ(PowerReadACValueIndex(nullptr, scheme, &subgroup_, &power, &value), 0U);
  EXPECT_EQ(PowerWriteACValueIndex(nullptr, scheme, &subgroup_, &lid_, 0), 87U);
  EXPECT_EQ(PowerWriteDCValueIndex(nullptr, scheme, &subgroup_, &lid_, 0), 0U);
  EXPECT_EQ(PowerWriteACValueIndex(nullptr, scheme, &subgroup_, &lid_, 0), 87U);
  EXPECT_EQ(PowerSetActiveScheme(nullptr, scheme), 0x20U);
  LocalFree(scheme);

  const auto after = ParsePowerStore(*store_.Read());
  ASSERT_TRUE(after);
  EXPECT_EQ(after->schemes[0].values[1], (std::array<DWORD, 2>{3, 0}));
  EXPECT_EQ(after->faults.size(), 3U);
}

TEST_F(SimulatedPowerTest, AddressesEveryListedSchemeAndActivatesOneAtATime) {
  store_.Write(kSchemeLine + kSettings + kOtherSchemeLine + kSettings);
  GUID first = DefaultPowerStore().schemes[0].identifier;
  GUID other{};
  ASSERT_TRUE(ParseGuidText(kOtherSchemeLine.substr(7, 38), other));
  EXPECT_EQ(PowerWriteDCValueIndex(nullptr, &other, &subgroup_, &lid_, 7), 0U);
  EXPECT_EQ(PowerSetActiveScheme(nullptr, &other), 0U);
  GUID* active = ActiveScheme();
  EXPECT_TRUE(active != nullptr && SameGuid(*active, other));
  LocalFree(active);
  EXPECT_EQ(PowerSetActiveScheme(nullptr, &first), 0U);
  const auto after = ParsePowerStore(*store_.Read());
  ASSERT_TRUE(after);
  EXPECT_EQ(after->schemes[1].values[1], (std::array<DWORD, 2>{1, 7}));
  EXPECT_EQ(store_.Read()->find("active"), std::string::npos);
}

TEST(ClsidFromString, ConvertsTheBraceFormAndRejectsEverythingElse) {
  GUID value{};
  EXPECT_EQ(CLSIDFromString(u"{5ca83367-6e45-459f-a27b-476b1d01c936}", &value), S_OK);
  EXPECT_TRUE(SameGuid(value, kKnownSettings[1].identifier));
  EXPECT_EQ(CLSIDFromString(u"{5ca83367-6e45-459f-a27b-476b1d01c93\u0666}", &value),
            CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromString(u"Shell.Application", &value), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromString(nullptr, &value), E_INVALIDARG);
}

}  // namespace

#include "button_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording_power_library.h"

namespace {

using recording_power::CallKind;
using recording_power::Fault;
using recording_power::Scenario;

const std::vector<std::string> kConversions = {
    "CLSIDFromString system-button", "CLSIDFromString power-button",
    "CLSIDFromString lid-close", "CLSIDFromString sleep-button"};
const char* const kSettingNames[] = {"power-button", "lid-close", "sleep-button"};

std::string ReadCall(int position) {
  return std::string(position % 2 == 0 ? "PowerReadACValueIndex " : "PowerReadDCValueIndex ") +
         kSettingNames[position / 2];
}

std::string WriteCall(int position, std::uint32_t value) {
  return std::string(position % 2 == 0 ? "PowerWriteACValueIndex " : "PowerWriteDCValueIndex ") +
         kSettingNames[position / 2] + " " + std::to_string(value);
}

std::vector<std::string> Opening() {
  std::vector<std::string> calls = kConversions;
  calls.push_back("PowerGetActiveScheme");
  return calls;
}

std::array<std::uint32_t, 6> Fields(const ButtonPolicy& policy) {
  std::array<std::uint32_t, 6> values{};
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = policy.*kButtonPolicyFields[i];
  return values;
}

void SetFields(ButtonPolicy& policy, const std::array<std::uint32_t, 6>& values) {
  for (std::size_t i = 0; i < values.size(); ++i) policy.*kButtonPolicyFields[i] = values[i];
}

constexpr std::array<std::uint32_t, 6> kSchemeValues = {3, 4, 1, 2, 0, 5};
constexpr std::array<std::uint32_t, 6> kEarlierFields = {11, 12, 13, 14, 15, 9};

class AccessButtonPolicyTest : public ::testing::Test {
 protected:
  void Start(Scenario scenario) {
    scenario.values = kSchemeValues;
    recording_power::Reset(scenario);
    SetFields(savedButtonPolicy, kEarlierFields);
  }
};

TEST_F(AccessButtonPolicyTest, ReadFillsAllSixFieldsInRecordOrderWithoutActivating) {
  Start({});
  EXPECT_EQ(AccessButtonPolicy(PolicyAccessMode::Read), 0U);

  std::vector<std::string> expected = Opening();
  for (int position = 0; position < 6; ++position) expected.push_back(ReadCall(position));
  expected.push_back("LocalFree");
  EXPECT_EQ(recording_power::Calls(), expected);
  EXPECT_EQ(Fields(savedButtonPolicy), kSchemeValues);
}

TEST_F(AccessButtonPolicyTest, RestoreWritesTheSavedFieldsThenActivates) {
  Start({});
  EXPECT_EQ(AccessButtonPolicy(PolicyAccessMode::Restore), 0U);

  std::vector<std::string> expected = Opening();
  for (int position = 0; position < 6; ++position) {
    expected.push_back(WriteCall(position, kEarlierFields[static_cast<std::size_t>(position)]));
  }
  expected.push_back("PowerSetActiveScheme");
  expected.push_back("LocalFree");
  EXPECT_EQ(recording_power::Calls(), expected);
  EXPECT_EQ(recording_power::SchemeValues(), kEarlierFields);
}

TEST_F(AccessButtonPolicyTest, BlockWritesZerosAndLeavesTheSavedRecordAlone) {
  Start({});
  EXPECT_EQ(AccessButtonPolicy(PolicyAccessMode::Block), 0U);

  std::vector<std::string> expected = Opening();
  for (int position = 0; position < 6; ++position) expected.push_back(WriteCall(position, 0));
  expected.push_back("PowerSetActiveScheme");
  expected.push_back("LocalFree");
  EXPECT_EQ(recording_power::Calls(), expected);
  EXPECT_EQ(recording_power::SchemeValues(), (std::array<std::uint32_t, 6>{}));
  EXPECT_EQ(Fields(savedButtonPolicy), kEarlierFields);
}

// Run keeps to the scheme it looked up once: no further look-up, and activation only when
// that scheme is the active one.
TEST_F(AccessButtonPolicyTest, ASchemeNamedByItsIdentifierIsWrittenWithoutALookUp) {
  Start({});
  SchemeIdentifier scheme;
  ASSERT_EQ(QueryActiveScheme(scheme), 0U);
  for (bool activate : {false, true}) {
    Start({});
    EXPECT_EQ(AccessSchemeButtonPolicy(PolicyAccessMode::Restore, scheme, activate), 0U);
    std::vector<std::string> expected(kConversions);
    for (int position = 0; position < 6; ++position) {
      expected.push_back(WriteCall(position, kEarlierFields[static_cast<std::size_t>(position)]));
    }
    if (activate) expected.push_back("PowerSetActiveScheme");
    EXPECT_EQ(recording_power::Calls(), expected);
  }
}

// Lid on battery (position 3) held by a policy: with an action, with "do nothing", or with a
// value the registry does not give; and a check that fails.
TEST_F(AccessButtonPolicyTest, PolicyOverridesComeFromTheCheckAndThePolicysOwnValue) {
  struct Row {
    Scenario scenario;
    std::uint32_t status;
    bool any;
    bool keepInPlay;
  };
  Scenario held1;
  held1.held[3] = true;
  held1.policyValues[3] = 1;
  Scenario held0 = held1;
  held0.policyValues[3] = 0;
  Scenario unreadable = held0;
  unreadable.heldUnreadable[3] = true;
  for (const Row& row : {Row{{}, 0, false, false}, Row{held1, 0, true, true},
                         Row{held0, 0, true, false}, Row{unreadable, 0, true, true},
                         Row{{.faults = {{CallKind::Check, 3, 1168}}}, 1168, false, false}}) {
    recording_power::Reset(row.scenario);
    PolicyOverrides overrides;
    EXPECT_EQ(ReadPolicyOverrides(overrides), row.status);
    EXPECT_EQ(overrides.Any(), row.any);
    EXPECT_EQ(overrides.KeepInPlay(), row.keepInPlay);
    if (row.any) {
      EXPECT_EQ(recording_power::Calls()[kConversions.size() + 4], "RegGetValueW lid-close dc");
      EXPECT_EQ(overrides.readable[3], !row.scenario.heldUnreadable[3]);
    }
  }
  EXPECT_EQ(recording_power::Calls().back(), "PowerSettingAccessCheck ac lid-close");
}

TEST_F(AccessButtonPolicyTest, AFailedQueryEndsTheCallWithItsStatusBeforeAnyReadOrWrite) {
  for (PolicyAccessMode mode :
       {PolicyAccessMode::Read, PolicyAccessMode::Restore, PolicyAccessMode::Block}) {
    Start({.faults = {{CallKind::Query, 1, 1168}}});
    EXPECT_EQ(AccessButtonPolicy(mode), 1168U);
    EXPECT_EQ(recording_power::Calls(), Opening());
    EXPECT_EQ(Fields(savedButtonPolicy), kEarlierFields);
  }
}

TEST_F(AccessButtonPolicyTest, AFailedActivationIsReportedAfterAllSixWrites) {
  for (PolicyAccessMode mode : {PolicyAccessMode::Restore, PolicyAccessMode::Block}) {
    Start({.faults = {{CallKind::Activate, 1, 5}}});
    EXPECT_EQ(AccessButtonPolicy(mode), 5U);
    EXPECT_EQ(recording_power::Calls().size(), Opening().size() + 6 + 2);
    EXPECT_EQ(recording_power::Calls().back(), "LocalFree");
  }
}

TEST_F(AccessButtonPolicyTest, AModeOutsideTheThreeReturnsOneAfterTheQuery) {
  Start({});
  EXPECT_EQ(AccessButtonPolicy(static_cast<PolicyAccessMode>(3)), 1U);
  std::vector<std::string> expected = Opening();
  expected.push_back("LocalFree");
  EXPECT_EQ(recording_power::Calls(), expected);
}

// Each of the six reads failing in turn.
class ReadFailureTest : public AccessButtonPolicyTest,
                        public ::testing::WithParamInterface<int> {};

TEST_P(ReadFailureTest, StopsThereKeepingLaterFieldsAndWhatThePlatformLeft) {
  const int failing = GetParam();
  Scenario scenario;
  scenario.faults = {{CallKind::Read, failing + 1, 1784}};
  scenario.failedReadWritesValue = true;
  scenario.failedReadValue = 77;
  Start(scenario);

  EXPECT_EQ(AccessButtonPolicy(PolicyAccessMode::Read), 1784U);

  std::vector<std::string> expected = Opening();
  for (int position = 0; position <= failing; ++position) expected.push_back(ReadCall(position));
  expected.push_back("LocalFree");
  EXPECT_EQ(recording_power::Calls(), expected);

  std::array<std::uint32_t, 6> fields = kEarlierFields;
  for (int position = 0; position < failing; ++position) {
    fields[static_cast<std::size_t>(position)] = kSchemeValues[static_cast<std::size_t>(position)];
  }
  fields[static_cast<std::size_t>(failing)] = 77;
  EXPECT_EQ(Fields(savedButtonPolicy), fields);
}

INSTANTIATE_TEST_SUITE_P(EachRead, ReadFailureTest, ::testing::Range(0, 6),
                         [](const auto& info) { return "Read" + std::to_string(info.param + 1); });

// Each of the six writes failing in turn, when restoring and when blocking.
class WriteFailureTest : public AccessButtonPolicyTest,
                         public ::testing::WithParamInterface<std::tuple<PolicyAccessMode, int>> {
};

TEST_P(WriteFailureTest, StopsThereLeavingEarlierWritesAndNeverActivating) {
  const auto [mode, failing] = GetParam();
  Start({.faults = {{CallKind::Write, failing + 1, 87}}});

  EXPECT_EQ(AccessButtonPolicy(mode), 87U);

  const bool blocking = mode == PolicyAccessMode::Block;
  std::vector<std::string> expected = Opening();
  std::array<std::uint32_t, 6> scheme = kSchemeValues;
  for (int position = 0; position <= failing; ++position) {
    const auto index = static_cast<std::size_t>(position);
    const std::uint32_t value = blocking ? 0 : kEarlierFields[index];
    expected.push_back(WriteCall(position, value));
    if (position < failing) scheme[index] = value;
  }
  expected.push_back("LocalFree");
  EXPECT_EQ(recording_power::Calls(), expected);
  EXPECT_EQ(recording_power::SchemeValues(), scheme);
}

INSTANTIATE_TEST_SUITE_P(EachWrite, WriteFailureTest,
                         ::testing::Combine(::testing::Values(PolicyAccessMode::Restore,
                                                              PolicyAccessMode::Block),
                                            ::testing::Range(0, 6)),
                         [](const auto& info) {
                           const bool blocking = std::get<0>(info.param) == PolicyAccessMode::Block;
                           return std::string(blocking ? "Block" : "Restore") + "Write" +
                                  std::to_string(std::get<1>(info.param) + 1);
                         });

}  // namespace

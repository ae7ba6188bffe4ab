#include "run_command.h"

#include <string_view>

#include "button_policy.h"
#include "policy_code.h"
#include "report_writer.h"

namespace {

constexpr std::uint32_t kInvalidDataStatus = 13;  // ERROR_INVALID_DATA
constexpr std::int32_t kUsageErrorStatus = -1;

CommandResult PowerFailure(std::uint32_t status) {
  return {HresultFromWin32(status), CommandOutcome::PowerFailure};
}

CommandResult UsageError() { return {kUsageErrorStatus, CommandOutcome::UsageError}; }

CommandResult Block(std::FILE* report) {
  WriteReportLine(report, "0");
  const std::uint32_t readStatus = AccessButtonPolicy(PolicyAccessMode::Read);
  bool valuesFitCode = true;
  std::uint32_t blockStatus = 0;
  if (readStatus == 0) {
    WriteReportLine(report, "1");
    // A value the code cannot carry could never be given back, so nothing is zeroed.
    valuesFitCode = PolicyFitsCode(savedButtonPolicy);
    if (valuesFitCode) {
      blockStatus = AccessButtonPolicy(PolicyAccessMode::Block);
      if (blockStatus == 0) WriteReportLine(report, "2");
    }
  }
  WritePolicyValuesLine(report, savedButtonPolicy);
  const std::uint32_t code = PackPolicyCode(savedButtonPolicy);
  WritePolicyCodeLine(report, code);

  if (readStatus != 0) return PowerFailure(readStatus);
  if (!valuesFitCode) return PowerFailure(kInvalidDataStatus);
  // After a failed write the caller needs the code all the more, to undo the writes made.
  return {static_cast<std::int32_t>(code),
          blockStatus == 0 ? CommandOutcome::Done : CommandOutcome::PowerFailure};
}

CommandResult Restore(int argumentCount, const char16_t* const* arguments, std::FILE* report) {
  if (argumentCount != 3) return UsageError();
  if (!ParsePolicyCode(arguments[2], savedButtonPolicy)) return UsageError();
  WritePolicyValuesLine(report, savedButtonPolicy);
  const std::uint32_t status = AccessButtonPolicy(PolicyAccessMode::Restore);
  if (status != 0) return PowerFailure(status);
  return {0, CommandOutcome::Done};
}

}  // namespace

std::int32_t HresultFromWin32(std::uint32_t status) {
  if (status == 0) return 0;
  return static_cast<std::int32_t>(0x80070000U | (status & 0xFFFFU));
}

CommandResult RunCommand(int argumentCount, const char16_t* const* arguments,
                         std::FILE* report) {
  if (argumentCount < 2) return UsageError();
  const std::u16string_view command = arguments[1];
  WriteReportLine(report, command);
  if (command == u"block") return Block(report);
  if (command == u"restore") return Restore(argumentCount, arguments, report);
  return {0, CommandOutcome::Done};
}

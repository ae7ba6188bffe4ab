#include "keep_awake.h"

#include <cstddef>
#include <iterator>

// Chosen by the build: the platform's own headers on Windows, the simulated store's
// declarations of the same functions everywhere else.
#include "power_platform.h"

namespace {

HANDLE request = INVALID_HANDLE_VALUE;
WCHAR reason[80];  // the platform reads it while the request is made

std::uint32_t LastStatus() {
  const DWORD status = GetLastError();
  return status != 0 ? status : ERROR_INVALID_PARAMETER;
}

}  // namespace

std::uint32_t HoldAwake(std::u16string_view program, bool display, bool& displayOnly) {
  displayOnly = false;
  // The file name alone: "C:\Tools\flash.exe" and "flash.exe" are both "flash.exe".
  std::size_t start = program.size();
  while (start > 0 && program[start - 1] != u'\\' && program[start - 1] != u'/' &&
         program[start - 1] != u':') {
    --start;
  }
  constexpr std::u16string_view kPrefix = u"buttonguard run: ";
  std::size_t used = 0;
  for (char16_t unit : kPrefix) reason[used++] = static_cast<WCHAR>(unit);
  for (std::size_t i = start; i < program.size() && used + 1 < std::size(reason); ++i) {
    // A name cut short ends before a character, never between the two halves of one.
    const bool highHalf = program[i] >= 0xD800 && program[i] <= 0xDBFF;
    if (highHalf && used + 2 >= std::size(reason)) break;
    reason[used++] = static_cast<WCHAR>(program[i]);
  }
  reason[used] = 0;

  REASON_CONTEXT context{};
  context.Version = POWER_REQUEST_CONTEXT_VERSION;
  context.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
  context.Reason.SimpleReasonString = reason;
  request = PowerCreateRequest(&context);
  if (request == INVALID_HANDLE_VALUE) return LastStatus();
  if (PowerSetRequest(request, PowerRequestSystemRequired) == 0) {
    const std::uint32_t status = LastStatus();
    ReleaseAwake();
    return status;
  }
  // The system held awake is worth keeping when the display cannot be.
  if (display && PowerSetRequest(request, PowerRequestDisplayRequired) == 0) {
    displayOnly = true;
    return LastStatus();
  }
  return 0;
}

void ReleaseAwake() {
  if (request == INVALID_HANDLE_VALUE) return;
  static_cast<void>(CloseHandle(request));
  request = INVALID_HANDLE_VALUE;
}

#pragma once

#include <cstdint>

// The platform's HRESULT_FROM_WIN32 for a non-zero status: always negative, so never mistaken
// for a policy code. The report's status lines and the exit statuses of failures both use it.
constexpr std::int32_t HresultFromWin32(std::uint32_t status) {
  if (status == 0) return 0;
  return static_cast<std::int32_t>(0x80070000U | (status & 0xFFFFU));
}

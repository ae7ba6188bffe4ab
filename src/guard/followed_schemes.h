#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "button_policy.h"
#include "report_writer.h"

// The schemes `run` has blocked: the active one it started from, and each one a person or a
// policy switches to while the command runs, at most kMostFollowedSchemes in all. Every
// function here is called with the scheme lock held. Each scheme's record is written before
// its first zero and removed once the scheme is back.

inline constexpr std::size_t kMostFollowedSchemes = 16;

// Starts afresh with the scheme run blocked first and the values it read there.
void StartFollowing(const SchemeIdentifier& first, const ButtonPolicy& saved);

// Whether the active scheme is one run has seen already (or cannot be looked up, which is
// tried again later): then there is nothing to follow, and no need of the lock all
// buttonguard processes share, which every run would otherwise take every second.
bool ActiveSchemeIsKnown();

// Looks at the active scheme; one that run has not seen yet is blocked the way the first one
// was, and reported with its values and code, so that a person can put it back by hand. A
// failure is reported and undoes that scheme's own writes; it never ends the run.
void FollowActiveScheme(ReportTarget report);

// Puts `scheme` back: each of the six values still at 0 gets its value from `saved`, any other
// is a newer choice and kept, and the scheme is activated only when it is the active one now
// (or the active one cannot be looked up). Writes one line on what became of it, naming the
// scheme when `nameTheScheme` is set. Returns 0, or the status of the first failure.
// A put-back that fails names `record` (a dead run's), which stays.
std::uint32_t PutBackValueByValue(const SchemeIdentifier& scheme, const ButtonPolicy& saved,
                                  ReportTarget report, bool nameTheScheme,
                                  std::string_view record = {});

// Puts back every scheme that still holds run's zeros, most recent first: each of the six
// values still at 0 gets its saved value, any other is a newer choice and kept, and a scheme
// is activated only when it is the active one now. A line per scheme says what became of it.
// Returns 0, or the status of the first failure.
std::uint32_t PutFollowedSchemesBack(ReportTarget report);

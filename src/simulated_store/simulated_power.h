#pragma once

#include <cstddef>

#include "power_platform.h"
#include "store_format.h"

// The store counts reads and writes per process, so that a fault line can name "the third
// read". In-process tests start each case afresh with this.
void ResetStoreCallCounts();

// Counts one call of the process that is not a power call (a record written or removed),
// so that a `crash N` line can end the process between any two steps of a run.
void CountCallForCrash();

// The status a `fail awake` line gives the making of a power request, or 0, as the store said
// at the last power call.
DWORD InjectedAwakeFault();
// The same for a `fail display` line and the request to keep the display on alone.
DWORD InjectedDisplayFault();

// The value a group policy holds for this setting and source, for the registry's stand-in:
// 0, or ERROR_FILE_NOT_FOUND where no policy holds it, or the store's failure.
DWORD ReadStoredPolicy(const GUID& setting, PowerSource source, DWORD& value);

// Whether a group policy holds this value: on POSIX hosts the store's policy lines, in the
// DLL the Wine tests use the real registry's group policy key. One file per platform.
bool PolicyHoldsValue(const PowerStore& store, std::size_t setting, PowerSource source);

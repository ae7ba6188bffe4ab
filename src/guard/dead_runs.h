#pragma once

#include <cstddef>
#include <cstdint>

#include "button_policy.h"
#include "report_writer.h"
#include "shared_schemes.h"

// The records of runs that died with their zeros in place (killed outright, or the machine
// lost power), for `recover`, for `run` before it reads a scheme, and for `show`.

// "lock failed" and the status, or "records failed" where the records refused the lock.
void WriteRunsLockFailure(ReportTarget report, std::uint32_t status);

// Called with the lock all buttonguard processes share held (LockRuns): between loading a
// record and putting its scheme back, no other process may recover it and block that scheme
// anew, or its zeros would be taken for the dead run's.
// For each record whose run is no longer alive: puts its scheme back value by value, as run's
// end does, and removes the record once that succeeded. Records of live runs are listed and
// left alone, and so are records of dead runs whose scheme a live run holds: that run puts it
// back when it ends. A malformed record is reported and left in place. One line per record,
// but for the records of runs that shared a scheme already put back. Nothing is written
// unless every record was read: one not read may be a live run's that holds the scheme.
// Returns 0, or the status of the first failure.
// Schemes whose dead run recovery could not put back, `unrecovered` collects; when the records
// could not all be read, every scheme counts as one.
struct UnrecoveredSchemes {
  struct Scheme {
    SchemeIdentifier scheme;
    std::uint32_t status;
  };
  HeapList<Scheme> schemes;
  std::uint32_t everyScheme = 0;  // the status that leaves every scheme unrecovered, or 0

  // The status of the failed put-back of `scheme`, or 0.
  std::uint32_t StatusOf(const SchemeIdentifier& scheme) const;
  bool Any() const { return everyScheme != 0 || schemes.size() > 0; }
};
// Without `listLive`, records left because their run or the run that holds their scheme is
// alive get no line: a run starting beside many others would otherwise print one for each,
// burying its own lines; recover and show list them all.
std::uint32_t RecoverDeadRuns(ReportTarget report, UnrecoveredSchemes* unrecovered = nullptr,
                              bool listLive = true);

// RecoverDeadRuns with the lock all buttonguard processes share taken for it, as `recover` and
// the boot recovery run it; a lock that cannot be had is reported. Returns 0, or the status of
// the first failure.
std::uint32_t RecoverDeadRunsUnderLock(ReportTarget report);

// One line per record: of a live run, its scheme and process id; of a dead run, its scheme
// and the values recovery would put back. Returns 0, or the status of why the records could
// not all be read.
std::uint32_t ListRuns(ReportTarget report);

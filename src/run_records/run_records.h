#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "button_policy.h"
#include "heap_list.h"

// What `run` writes down before it puts a zero into a scheme, so that the values can still be
// put back when buttonguard itself is killed or the machine loses power: one record per run
// and scheme. Only administrators (and, on POSIX hosts, the store's owner) may write where the
// records live; the tool runs elevated and acts on them. One implementation file per platform.

struct RunRecord {
  SchemeIdentifier scheme;
  ButtonPolicy saved;  // the values run read, each 0 to 15
  std::uint32_t processId = 0;
  // When that process started, in the platform's own measure, so that a process id used again
  // by another program is never taken for the run.
  std::uint64_t processStart = 0;
};

// "PID-START-{scheme}": unique per run and scheme, ASCII.
inline constexpr std::size_t kRecordNameSize = 72;  // with the terminating NUL
struct RecordName {
  char text[kRecordNameSize];
};
RecordName FormatRecordName(const RunRecord& record);

// "{scheme} PID START V1 V2 V3 V4 V5 V6", decimal, ASCII.
inline constexpr std::size_t kRecordTextSize = 112;
struct RecordText {
  char text[kRecordTextSize];
  std::size_t size;
};
RecordText FormatRecordText(const RunRecord& record);

// Exactly the form above, values 0 to 15; false for anything else.
bool ParseRecordText(std::string_view text, RunRecord& record);

// A record as found: well formed only when its text parses and its name is the one that text
// gives, so that removing it by the record's own name removes this one.
struct StoredRecord {
  RecordName name;  // as found, cut to fit, units beyond ASCII as "?"
  bool wellFormed = false;
  RunRecord record;
};

// The record of this process for `scheme`, with `saved`.
RunRecord OwnRunRecord(const SchemeIdentifier& scheme, const ButtonPolicy& saved);

// True while the process the record names runs: the same id and the same start time.
bool IsRunAlive(const RunRecord& record);

// What the platform said of the record's process, and what that makes it. A run is always a
// process an elevated administrator and SYSTEM may query, so one the platform would not open
// for them (`openStatus` not 0: gone, or someone else's process that took the id) is no run,
// and neither is one started at another time or one that has ended. Guessing "alive" instead
// would let a process id taken over by such a process keep the buttons blocked for good.
inline bool IsThatRun(const RunRecord& record, std::uint32_t openStatus, std::uint64_t start,
                      bool running) {
  return openStatus == 0 && start == record.processStart && running;
}

// Writes the record and makes it durable before returning (flushed to stable storage), so
// that a zero written afterwards can always be undone. Creates the place records live in
// when it is missing and refuses one that someone else could write to. Returns 0 or the
// platform status (ERROR_ACCESS_DENIED for a place refused).
std::uint32_t WriteRunRecord(const RunRecord& record);

// Removes the record; not flushed: a record whose scheme was already put back only costs the
// next recovery a read. Returns 0 (also when there was none) or the platform status.
std::uint32_t RemoveRunRecord(const RunRecord& record);

// Adds every record there is to `records`, in the order the platform lists them; none when the
// place records live in does not exist (it is not created). Returns 0 or the platform status;
// a place someone else could write to is refused with ERROR_ACCESS_DENIED and nothing is read;
// ERROR_NOT_ENOUGH_MEMORY when they cannot all be held. Whatever the status, what was added
// may be fewer than there are.
std::uint32_t LoadRunRecords(HeapList<StoredRecord>& records);

// Serialises, machine-wide, what buttonguard processes do to schemes and records: a recovery,
// a run's block, each scheme it follows and its put-back, so that no process puts a dead run's
// values over the zeros of a run another has just begun, and no two runs take each other's
// zeros for the user's values. Held only around those steps, never while a command runs; the
// platform lets go of it when its holder dies, however it dies. It lives where no one but
// administrators (POSIX: the store's owner) can make or hold it. Returns 0, or the status of
// why it could not be had: ERROR_TIMEOUT when it could not be had for kLongestRunsLockWait
// (POSIX: when no process took it in that time, however many took it in turn before),
// ERROR_ACCESS_DENIED for a lock, or a folder of it, that someone else made or may change,
// which RunsLockName then names; ERROR_ELEVATION_REQUIRED for a process
// that is neither an elevated administrator's nor SYSTEM's, which the lock would refuse too.
std::uint32_t LockRuns();
void UnlockRuns();
const char* RunsLockName();

// What LockRuns would say of the lock as it is, without making it, waiting for it or taking
// it: 0 also when there is none yet.
std::uint32_t CheckRunsLock();

inline constexpr std::uint32_t kNotElevatedStatus = 740;  // ERROR_ELEVATION_REQUIRED

inline constexpr unsigned kLongestRunsLockWait = 10000;        // milliseconds
inline constexpr std::uint32_t kRunsLockTimeoutStatus = 1460;  // ERROR_TIMEOUT

// What a malformed record is reported with.
inline constexpr std::uint32_t kMalformedRecordStatus = 13;  // ERROR_INVALID_DATA

inline constexpr std::uint32_t kNotEnoughMemory = 8;  // ERROR_NOT_ENOUGH_MEMORY

// What a refused place is reported with.
inline constexpr std::uint32_t kRecordsRefusedStatus = 5;  // ERROR_ACCESS_DENIED

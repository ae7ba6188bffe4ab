#include "dead_runs.h"

#include <string_view>

#include "followed_schemes.h"
#include "run_records.h"
#include "shared_schemes.h"

void WriteRunsLockFailure(ReportTarget report, std::uint32_t status) {
  // Someone else made the lock first, or may hold or change it: every run and recovery,
  // the boot service's too, refuses it until it is gone.
  if (status == kRecordsRefusedStatus) {
    WriteNamedStatusLine(report, "lock refused", RunsLockName(), status);
    WriteNamedStatusLine(EventKind::Failure, "lock refused", RunsLockName(), status);
  } else {
    WriteStatusLine(report, status == kNotElevatedStatus ? "not elevated" : "lock failed", status);
  }
}

std::uint32_t UnrecoveredSchemes::StatusOf(const SchemeIdentifier& scheme) const {
  if (everyScheme != 0) return everyScheme;
  for (const Scheme& unrecovered : schemes) {
    if (unrecovered.scheme == scheme) return unrecovered.status;
  }
  return 0;
}

namespace {

// What recovery learns of a record before it acts on any.
struct RecordState {
  bool alive;
  bool putBack;
};

}  // namespace

std::uint32_t RecoverDeadRuns(ReportTarget report, UnrecoveredSchemes* unrecovered, bool listLive) {
  HeapList<StoredRecord> records;
  HeapList<RecordState> states;
  std::uint32_t loadStatus = LoadSortedRecords(records);
  for (std::size_t i = 0; loadStatus == 0 && i < records.size(); ++i) {
    const bool alive = records[i].wellFormed && IsRunAlive(records[i].record);
    if (!states.Add({alive, false})) loadStatus = kNotEnoughMemory;
  }
  if (loadStatus != 0) {
    WriteStatusLine(report, "records failed", loadStatus);
    WriteSchemeStatusLine(EventKind::Failure, "records failed", nullptr, loadStatus);
    if (unrecovered != nullptr) unrecovered->everyScheme = loadStatus;
    return loadStatus;
  }
  std::uint32_t firstFailure = 0;
  const std::size_t count = records.size();
  for (std::size_t i = 0; i < count; ++i) {
    const StoredRecord& stored = records[i];
    const SchemeIdentifier& scheme = stored.record.scheme;
    std::uint32_t status = 0;
    // A live run that holds the scheme, and whether a record of it was put back already.
    const StoredRecord* holder = nullptr;
    bool backAlready = false;
    for (std::size_t j = 0; j < count; ++j) {
      if (!(records[j].record.scheme == scheme)) continue;
      if (states[j].alive && holder == nullptr) holder = &records[j];
      backAlready = backAlready || states[j].putBack;
    }
    if (!stored.wellFormed) {
      status = kMalformedRecordStatus;
      WriteNamedStatusLine(report, "bad record", stored.name.text, status);
      WriteNamedStatusLine(EventKind::Failure, "bad record", stored.name.text, status);
    } else if (states[i].alive) {
      if (listLive) {
        WriteSchemeProcessLine(report, "still running", &scheme, stored.record.processId,
                               stored.name.text);
      }
    } else if (holder != nullptr) {
      // Its zeros are the live run's now, which puts the values back when it ends.
      if (listLive) {
        WriteSchemeProcessLine(report, "left to run", &scheme, holder->record.processId,
                               stored.name.text);
      }
    } else if (bool listed = true; IsSchemeListed(scheme, listed) == 0 && !listed) {
      // Deleted since, by a person or a tool: nothing is left to put back, and the record
      // would fail every later recovery. A list that cannot be read proves nothing.
      static_cast<void>(RemoveRunRecord(stored.record));
      constexpr std::uint32_t kNotFound = 1168;  // ERROR_NOT_FOUND
      WriteNamedStatusLine(report, "scheme gone", stored.name.text, kNotFound);
      WriteNamedStatusLine(EventKind::Warning, "scheme gone", stored.name.text, kNotFound);
    } else if (backAlready) {
      // Runs that shared the scheme saved the same values, and they are back.
      static_cast<void>(RemoveRunRecord(stored.record));
    } else {
      status = PutBackValueByValue(scheme, stored.record.saved, report, true, stored.name.text);
      states[i].putBack = status == 0;
      // A put-back that failed keeps its record, for the next recovery.
      if (status == 0) static_cast<void>(RemoveRunRecord(stored.record));
      if (status != 0 && unrecovered != nullptr && !unrecovered->schemes.Add({scheme, status})) {
        unrecovered->everyScheme = status;
      }
    }
    if (firstFailure == 0) firstFailure = status;
  }
  return firstFailure;
}

std::uint32_t RecoverDeadRunsUnderLock(ReportTarget report) {
  std::uint32_t status = LockRuns();
  if (status != 0) {
    WriteRunsLockFailure(report, status);
  } else {
    status = RecoverDeadRuns(report);
    UnlockRuns();
  }
  return status;
}

std::uint32_t ListRuns(ReportTarget report) {
  HeapList<StoredRecord> records;
  const std::uint32_t status = LoadSortedRecords(records);
  for (const StoredRecord& stored : records) {
    if (!stored.wellFormed) {
      // By the name recover reports it by and an administrator removes it by.
      WriteNamedStatusLine(report, "bad record", stored.name.text, kMalformedRecordStatus);
    } else if (IsRunAlive(stored.record)) {
      WriteSchemeProcessLine(report, "live run", &stored.record.scheme, stored.record.processId,
                             stored.name.text);
    } else {
      WriteSchemeValuesLine(report, "dead run", &stored.record.scheme, stored.record.saved, false,
                            stored.name.text);
    }
  }
  return status;
}

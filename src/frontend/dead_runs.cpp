#include "dead_runs.h"

#include <cstdlib>
#include <string_view>

#include "followed_schemes.h"
#include "run_records.h"

namespace {

// A run records at most the schemes it blocks; more than this many records at once means
// many dead runs, and the rest wait for the next recovery.
constexpr std::size_t kMostRecords = 2 * kMostFollowedSchemes;

constexpr std::uint32_t kNotEnoughMemory = 8;  // ERROR_NOT_ENOUGH_MEMORY

// The records, from the heap (MinGW's linker would store a static array's zeros in the
// executable); null with the status when they cannot be had. The caller frees them.
StoredRecord* LoadRecords(std::size_t& count, std::uint32_t& status) {
  count = 0;
  auto* records = static_cast<StoredRecord*>(std::malloc(kMostRecords * sizeof(StoredRecord)));
  status = records == nullptr ? kNotEnoughMemory : LoadRunRecords(records, kMostRecords, count);
  // In name order, whatever order the platform lists them in: the same report every time.
  for (std::size_t i = 1; i < count; ++i) {
    for (std::size_t j = i; j > 0 && std::string_view(records[j].name.text) <
                                         std::string_view(records[j - 1].name.text);
         --j) {
      const StoredRecord earlier = records[j - 1];
      records[j - 1] = records[j];
      records[j] = earlier;
    }
  }
  return records;
}

}  // namespace

void WriteRunsLockFailure(ReportTarget report, std::uint32_t status) {
  // On POSIX hosts the lock is the records folder, refused as records are.
  WriteStatusLine(report, status == kRecordsRefusedStatus ? "records failed" : "lock failed",
                  status);
}

std::uint32_t UnrecoveredSchemes::StatusOf(const SchemeIdentifier& scheme) const {
  for (std::size_t i = 0; i < count; ++i) {
    if (schemes[i] == scheme) return statuses[i];
  }
  return 0;
}

std::uint32_t RecoverDeadRuns(ReportTarget report, UnrecoveredSchemes* unrecovered) {
  std::size_t count = 0;
  std::uint32_t loadStatus = 0;
  StoredRecord* records = LoadRecords(count, loadStatus);
  std::uint32_t firstFailure = loadStatus;
  if (loadStatus != 0 && loadStatus != kMoreRecordsStatus) {
    WriteStatusLine(report, "records failed", loadStatus);
    WriteSchemeStatusLine(EventKind::Failure, "records failed", nullptr, loadStatus);
  }
  for (std::size_t i = 0; i < count; ++i) {
    const StoredRecord& stored = records[i];
    std::uint32_t status = 0;
    if (!stored.wellFormed) {
      status = kMalformedRecordStatus;
      WriteNamedStatusLine(report, "bad record", stored.name.text, status);
      WriteNamedStatusLine(EventKind::Failure, "bad record", stored.name.text, status);
    } else if (IsRunAlive(stored.record)) {
      WriteSchemeLine(report, "still running", stored.record.scheme);
    } else {
      status = PutBackValueByValue(stored.record.scheme, stored.record.saved, report, true);
      // A put-back that failed keeps its record, for the next recovery.
      if (status == 0) static_cast<void>(RemoveRunRecord(stored.record));
      if (status != 0 && unrecovered != nullptr &&
          unrecovered->count < UnrecoveredSchemes::kMost) {
        unrecovered->schemes[unrecovered->count] = stored.record.scheme;
        unrecovered->statuses[unrecovered->count++] = status;
      }
    }
    if (firstFailure == 0) firstFailure = status;
  }
  std::free(records);
  // Said last, and a failure, so that a script or the next boot runs recover again.
  if (loadStatus == kMoreRecordsStatus) {
    WriteStatusLine(report, "more records", loadStatus);
    WriteSchemeStatusLine(EventKind::Warning, "more records", nullptr, loadStatus);
  }
  return firstFailure;
}

std::uint32_t ListDeadRuns(ReportTarget report) {
  std::size_t count = 0;
  std::uint32_t status = 0;
  StoredRecord* records = LoadRecords(count, status);
  for (std::size_t i = 0; i < count; ++i) {
    const StoredRecord& stored = records[i];
    if (stored.wellFormed && !IsRunAlive(stored.record)) {
      WriteSchemeValuesLine(report, "dead run", &stored.record.scheme, stored.record.saved);
    }
  }
  std::free(records);
  return status == kMoreRecordsStatus ? 0 : status;
}

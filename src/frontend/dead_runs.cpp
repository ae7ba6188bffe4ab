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

std::uint32_t RecoverDeadRuns(ReportTarget report) {
  std::size_t count = 0;
  std::uint32_t firstFailure = 0;
  StoredRecord* records = LoadRecords(count, firstFailure);
  if (firstFailure != 0) WriteStatusLine(report, "records failed", firstFailure);
  for (std::size_t i = 0; i < count; ++i) {
    const StoredRecord& stored = records[i];
    std::uint32_t status = 0;
    if (!stored.wellFormed) {
      status = kMalformedRecordStatus;
      WriteNamedStatusLine(report, "bad record", stored.name.text, status);
    } else if (IsRunAlive(stored.record)) {
      WriteSchemeLine(report, "still running", stored.record.scheme);
    } else {
      status = PutBackValueByValue(stored.record.scheme, stored.record.saved, report, true);
      // A put-back that failed keeps its record, for the next recovery.
      if (status == 0) static_cast<void>(RemoveRunRecord(stored.record));
    }
    if (firstFailure == 0) firstFailure = status;
  }
  std::free(records);
  return firstFailure;
}

void ListDeadRuns(ReportTarget report) {
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
}

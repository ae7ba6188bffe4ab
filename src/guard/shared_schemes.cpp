#include "shared_schemes.h"

#include <algorithm>
#include <string_view>

namespace {

// Another run's record of `scheme`.
bool IsOfScheme(const StoredRecord& stored, const SchemeIdentifier& scheme) {
  if (!stored.wellFormed || !(stored.record.scheme == scheme)) return false;
  const RunRecord own = OwnRunRecord(scheme, stored.record.saved);
  return stored.record.processId != own.processId || stored.record.processStart != own.processStart;
}

}  // namespace

std::uint32_t LoadSortedRecords(HeapList<StoredRecord>& records) {
  const std::uint32_t status = LoadRunRecords(records);
  std::sort(records.begin(), records.end(), [](const StoredRecord& a, const StoredRecord& b) {
    return std::string_view(a.name.text) < std::string_view(b.name.text);
  });
  return status;
}

SchemeShare LookUpShare(const SchemeIdentifier& scheme) {
  SchemeShare share;
  HeapList<StoredRecord> records;
  share.status = LoadSortedRecords(records);
  // Records beyond those read may hold the scheme too, and a run that went on as if none did
  // would take their zeros for the user's values.
  for (const StoredRecord& stored : records) {
    if (share.status != 0 || share.liveRun != 0) break;
    if (!IsOfScheme(stored, scheme)) continue;
    const RunRecord& record = stored.record;
    const bool alive = IsRunAlive(record);
    // Every record of a scheme saved the same values from before, but a live run's is the
    // one to trust: a dead one may be older than a put-back that failed part-way.
    if (!share.recorded || alive) share.before = record.saved;
    share.recorded = true;
    if (alive) share.liveRun = record.processId;
  }
  return share;
}

void ForgetDeadRunsOf(const SchemeIdentifier& scheme) {
  HeapList<StoredRecord> records;
  static_cast<void>(LoadSortedRecords(records));
  for (const StoredRecord& stored : records) {
    if (IsOfScheme(stored, scheme) && !IsRunAlive(stored.record)) {
      static_cast<void>(RemoveRunRecord(stored.record));
    }
  }
}

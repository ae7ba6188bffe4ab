#include "shared_schemes.h"

#include <cstdlib>
#include <string_view>

namespace {

constexpr std::uint32_t kNotEnoughMemory = 8;  // ERROR_NOT_ENOUGH_MEMORY

// Another run's record of `scheme`.
bool IsOfScheme(const StoredRecord& stored, const SchemeIdentifier& scheme) {
  if (!stored.wellFormed || !(stored.record.scheme == scheme)) return false;
  const RunRecord own = OwnRunRecord(scheme, stored.record.saved);
  return stored.record.processId != own.processId ||
         stored.record.processStart != own.processStart;
}

}  // namespace

StoredRecord* LoadSortedRecords(std::size_t& count, std::uint32_t& status) {
  count = 0;
  auto* records =
      static_cast<StoredRecord*>(std::malloc(kMostLoadedRecords * sizeof(StoredRecord)));
  status =
      records == nullptr ? kNotEnoughMemory : LoadRunRecords(records, kMostLoadedRecords, count);
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

SchemeShare LookUpShare(const SchemeIdentifier& scheme) {
  SchemeShare share;
  std::size_t count = 0;
  StoredRecord* records = LoadSortedRecords(count, share.status);
  // Records beyond those read may hold the scheme too, and a run that went on as if none did
  // would take their zeros for the user's values.
  for (std::size_t i = 0; i < count && share.status == 0 && share.liveRun == 0; ++i) {
    if (!IsOfScheme(records[i], scheme)) continue;
    const RunRecord& record = records[i].record;
    const bool alive = IsRunAlive(record);
    // Every record of a scheme saved the same values from before, but a live run's is the
    // one to trust: a dead one may be older than a put-back that failed part-way.
    if (!share.recorded || alive) share.before = record.saved;
    share.recorded = true;
    if (alive) share.liveRun = record.processId;
  }
  std::free(records);
  return share;
}

void ForgetDeadRunsOf(const SchemeIdentifier& scheme) {
  std::size_t count = 0;
  std::uint32_t status = 0;
  StoredRecord* records = LoadSortedRecords(count, status);
  for (std::size_t i = 0; i < count; ++i) {
    if (IsOfScheme(records[i], scheme) && !IsRunAlive(records[i].record)) {
      static_cast<void>(RemoveRunRecord(records[i].record));
    }
  }
  std::free(records);
}

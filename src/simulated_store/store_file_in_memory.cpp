#include "store_file_in_memory.h"

#include "store_file.h"

#include <cstdlib>

namespace {

std::optional<std::string> storeText;
unsigned accessCount = 0;

}  // namespace

void SetMemoryStore(std::optional<std::string> text) {
  storeText = std::move(text);
  accessCount = 0;
}

const std::optional<std::string>& MemoryStore() { return storeText; }

unsigned MemoryStoreAccessCount() { return accessCount; }

DWORD LocateStoreFile(std::string& path) {
  ++accessCount;
  path = "memory";
  return 0;
}

// One process, one thread: nothing to take turns with.
StoreLock::StoreLock(const std::string&) {}
StoreLock::~StoreLock() = default;

DWORD ReadStoreFile(const std::string&, std::string& text, bool& missing) {
  missing = !storeText.has_value();
  text = storeText.value_or("");
  return 0;
}

DWORD ReplaceStoreFile(const std::string&, std::string_view text) {
  storeText = std::string(text);
  return 0;
}

// The fuzzers never write a crash line; were one to come, the fuzzer would report it.
void EndProcessAtOnce() { std::abort(); }

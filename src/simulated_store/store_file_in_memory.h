#pragma once

#include <optional>
#include <string>

// The store kept in this process's memory instead of a file, for fuzzing and benchmarks that
// must not touch the disk. Link store_file_in_memory.cpp in place of the platform's file.

// nullopt: there is no store yet.
void SetMemoryStore(std::optional<std::string> text);
const std::optional<std::string>& MemoryStore();

// How often any power function has opened the store since the last SetMemoryStore.
unsigned MemoryStoreAccessCount();

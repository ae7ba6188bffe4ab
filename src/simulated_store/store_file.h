#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "power_platform.h"

// The store file on disk, one implementation per platform. Every function returns 0 or a
// platform status; paths are UTF-8.

// $BUTTONGUARD_STORE when set, else the platform's per-user state folder.
DWORD LocateStoreFile(std::string& path);

// Holds an advisory lock on a file beside the store for as long as it lives, so that
// processes sharing a store take turns at their read-modify-write. Creates the folders above
// the store when they are missing.
class StoreLock {
 public:
  explicit StoreLock(const std::string& storePath);
  ~StoreLock();  // NOLINT(performance-trivially-destructible): file-backed stores unlock here
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  DWORD status() const { return status_; }

 private:
  // The lock file's descriptor or handle; the in-memory store has none.
  [[maybe_unused]] std::intptr_t handle_ = -1;
  DWORD status_ = 0;
};

// Reads the whole file; `missing` tells that there is none, which is no failure.
DWORD ReadStoreFile(const std::string& path, std::string& text, bool& missing);

// Replaces the file in one step (a temporary file, then a rename), so that a crash at any
// moment leaves either the old text or the new one.
DWORD ReplaceStoreFile(const std::string& path, std::string_view text);

// Ends the process at once, giving it no say, as a kill or a power cut would.
[[noreturn]] void EndProcessAtOnce();

// A copy of `identifier` in memory that the caller releases with LocalFree, as the platform
// hands out the active scheme.
GUID* AllocateSchemeIdentifier(const GUID& identifier);

// The platform hands out the active scheme in memory that the caller frees with LocalFree.

#include <cstdlib>
#include <new>

#include "store_file.h"

GUID* AllocateSchemeIdentifier(const GUID& identifier) {
  void* memory = std::malloc(sizeof(GUID));
  if (memory == nullptr) return nullptr;
  return new (memory) GUID(identifier);
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}

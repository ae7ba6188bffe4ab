// One of several processes writing the same simulated store at once. Each owns one of the six
// values and writes 1, 2, ... to it, reading it back after every write: another process's
// read-modify-write that ignored the lock would put an older value back, which shows here.
// Usage: store_hammer POSITION COUNT; exits 0, or 3 when a write was lost, 4 on a failed call.

#include <cstdio>
#include <cstdlib>

#include "power_platform.h"
#include "store_format.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const int position = std::atoi(argv[1]);
  const int count = std::atoi(argv[2]);
  if (position < 0 || position > 5 || count < 1) return 2;
  const GUID* setting = &kKnownSettings[static_cast<std::size_t>(position / 2)].identifier;
  const bool ac = position % 2 == 0;

  GUID* scheme = nullptr;
  if (PowerGetActiveScheme(nullptr, &scheme) != 0) return 4;
  for (DWORD value = 1; value <= static_cast<DWORD>(count); ++value) {
    const DWORD written =
        ac ? PowerWriteACValueIndex(nullptr, scheme, &kStoredSubgroup, setting, value)
           : PowerWriteDCValueIndex(nullptr, scheme, &kStoredSubgroup, setting, value);
    DWORD readBack = 0;
    const DWORD read =
        ac ? PowerReadACValueIndex(nullptr, scheme, &kStoredSubgroup, setting, &readBack)
           : PowerReadDCValueIndex(nullptr, scheme, &kStoredSubgroup, setting, &readBack);
    if (written != 0 || read != 0) return 4;
    if (readBack != value) {
      std::fprintf(stderr, "position %d: wrote %lu, read back %lu\n", position,
                   static_cast<unsigned long>(value), static_cast<unsigned long>(readBack));
      return 3;
    }
  }
  LocalFree(scheme);
  return 0;
}

// The application log for the in-memory store the fuzzers use: entries accepted and dropped;
// that store has no folder beside it.

#include "power_platform.h"

namespace {
int theLog = 0;
}  // namespace

HANDLE WINAPI RegisterEventSourceW(const WCHAR*, const WCHAR*) { return &theLog; }
BOOL WINAPI ReportEventW(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, const WCHAR**, PVOID) {
  return 1;
}

// Power requests for the in-memory store the fuzzers use: made and dropped, never failing,
// never listed; the fuzzers' store has no folder beside it.

#include "power_platform.h"

namespace {
int theRequest = 0;
}  // namespace

HANDLE WINAPI PowerCreateRequest(REASON_CONTEXT*) { return &theRequest; }
BOOL WINAPI PowerSetRequest(HANDLE, POWER_REQUEST_TYPE) { return 1; }
BOOL WINAPI CloseHandle(HANDLE) { return 1; }
DWORD WINAPI GetLastError() { return 0; }
DWORD ListSimulatedPowerRequests(void (*)(const char*, void*), void*) { return 0; }

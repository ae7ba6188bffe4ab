#pragma once

#include <cstdint>
#include <string_view>

// Keeps the machine awake while run's command runs, so that idle sleep cannot end the job any
// more than the buttons can: a power request, which changes no setting and so needs no putting
// back. The platform drops it when its handle is closed or the process ends, however it ends.

// Holds the system awake, and the display on when `display` is set, with a request whose
// reason names buttonguard and `program`'s file name (never its arguments, which may hold
// secrets). Returns 0 or the platform status; on failure nothing is held, unless only the
// display could not be, which `displayOnly` then says: the system is held all the same.
std::uint32_t HoldAwake(std::u16string_view program, bool display, bool& displayOnly);

// Lets the request go; nothing when none is held.
void ReleaseAwake();

// Each request held on this machine, one line each ("PID system display REASON"), as an
// administrator's `powercfg /requests` would show them. Windows documents no way to read other
// processes' requests, so there it lists none. Returns 0 or the platform status.
std::uint32_t ListAwakeRequests(void (*each)(const char* line, void* context), void* context);

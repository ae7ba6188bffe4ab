// Windows documents no way to read other processes' power requests; `powercfg /requests`
// shows them to an administrator.

#include "keep_awake.h"

std::uint32_t ListAwakeRequests(void (*)(const char*, void*), void*) { return 0; }

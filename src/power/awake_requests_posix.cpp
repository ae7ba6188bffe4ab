// The simulated store keeps the requests of live processes, as Windows' powercfg shows them.

#include "keep_awake.h"
#include "power_platform.h"

std::uint32_t ListAwakeRequests(void (*each)(const char* line, void* context), void* context) {
  return ListSimulatedPowerRequests(each, context);
}

#include "simulated_power.h"

bool PolicyHoldsValue(const PowerStore& store, std::size_t setting, PowerSource source) {
  return FindStoredPolicy(store, setting, source) != nullptr;
}

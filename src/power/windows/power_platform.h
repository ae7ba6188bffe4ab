#pragma once

// The platform's own declarations of the power-management and component-object functions
// and their types and status values.
#include <windows.h>

#include <objbase.h>
#include <powrprof.h>

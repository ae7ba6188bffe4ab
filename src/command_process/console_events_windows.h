#pragma once

#include <windows.h>

// The console's handler for run: Ctrl+C and Ctrl+Break are left to the command; console close,
// logoff and shutdown put the scheme back before the platform ends the process. Declared here
// so that a test can deliver the events that no test console can send.
BOOL WINAPI OnConsoleEvent(DWORD event);

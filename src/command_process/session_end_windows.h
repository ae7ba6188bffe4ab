#pragma once

// Logoff and shutdown as the platform tells them to a program that has loaded user32.dll
// (ole32.dll loads it): not through the console's handler but with WM_QUERYENDSESSION and
// WM_ENDSESSION to its top-level windows. Creates a hidden one on a thread of its own and
// returns once it exists; when the session ends, `beforeTheEnd` is called on that thread
// before the window lets the platform go on. Where no window can be made (no desktop), the
// console's handler alone remains, and run goes on.
void WatchForSessionEnd(void (*beforeTheEnd)());

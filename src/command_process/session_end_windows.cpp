#include "session_end_windows.h"

#include <windows.h>

namespace {

void (*putBackBeforeTheEnd)() = nullptr;

LRESULT CALLBACK OnSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      return TRUE;  // buttonguard never holds a session up
    case WM_ENDSESSION:
      // FALSE: someone else refused, and the session goes on. Otherwise the process may be
      // ended as soon as this returns: at a logoff or shutdown, and with ENDSESSION_CLOSEAPP
      // too, when the Restart Manager closes buttonguard to replace a file it uses and may
      // end it by force a moment later. The values go back now in every case; should
      // buttonguard outlive the command all the same, run says the command ran unguarded.
      if (wParam != FALSE) putBackBeforeTheEnd();
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

// `ready`: the event set once the window exists or cannot be made.
DWORD WINAPI RunSessionWindow(void* ready) {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = OnSessionMessage;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"buttonguard.session";
  // A top-level window, never shown: a message-only one is not told that the session ends.
  const HWND window =
      RegisterClassW(&windowClass) != 0
          ? CreateWindowExW(0, windowClass.lpszClassName, L"buttonguard", WS_OVERLAPPED, 0, 0, 0, 0,
                            nullptr, nullptr, windowClass.hInstance, nullptr)
          : nullptr;
  const DWORD status = window == nullptr ? GetLastError() : 0;
  SetEvent(ready);
  if (window == nullptr) return status;
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}

}  // namespace

void WatchForSessionEnd(void (*beforeTheEnd)()) {
  putBackBeforeTheEnd = beforeTheEnd;
  const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (ready == nullptr) return;
  const HANDLE thread = CreateThread(nullptr, 0, RunSessionWindow, ready, 0, nullptr);
  // Before anything is blocked, the window must be there to hear of the end.
  if (thread != nullptr) {
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(thread);
  }
  CloseHandle(ready);
}

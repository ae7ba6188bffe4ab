#include "session_end_windows.h"

#include <windows.h>

#include <atomic>
#include <iterator>
#include <string_view>

#include "command_process.h"

namespace {

void (*putBackBeforeTheEnd)() = nullptr;

// While set, a person's Shut down, Restart or Sign out is refused (run --hold-shutdown).
std::atomic<bool> holdingTheEnd{false};
std::atomic<unsigned> endsHeld{0};
HWND sessionWindow = nullptr;
// What the shutdown screen lists beside buttonguard; set before the window is told.
wchar_t holdReason[MAX_STR_BLOCKREASON];
// A reason is made and taken away on the window's own thread, the only one the platform lets
// do it; the window's thread never waits for the one that asks.
constexpr UINT kShowHoldReason = WM_APP + 1;
constexpr UINT kDropHoldReason = WM_APP + 2;

LRESULT CALLBACK OnSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      // The Restart Manager closing buttonguard to replace a file is not a person's end: it
      // goes through, and the values go back at WM_ENDSESSION.
      if (holdingTheEnd.load() && (lParam & ENDSESSION_CLOSEAPP) == 0) {
        ++endsHeld;
        return FALSE;
      }
      return TRUE;
    case kShowHoldReason:
      static_cast<void>(ShutdownBlockReasonCreate(window, holdReason));
      return 0;
    case kDropHoldReason:
      static_cast<void>(ShutdownBlockReasonDestroy(window));
      return 0;
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
  sessionWindow = window;
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

void HoldSessionEnd(std::u16string_view program) {
  // The program's file name, as the person at the machine knows it.
  const std::size_t slash = program.find_last_of(u"\\/");
  if (slash != std::u16string_view::npos) program.remove_prefix(slash + 1);
  constexpr char16_t kBlocked[] = u": buttons and lid blocked";
  std::size_t used = 0;
  for (char16_t unit : program) {
    // A name cut short ends before a character, never between the two halves of one.
    if (used + std::size(kBlocked) + 1 >= std::size(holdReason) ||
        (unit >= 0xD800 && unit < 0xDC00 &&
         used + std::size(kBlocked) + 2 >= std::size(holdReason))) {
      break;
    }
    holdReason[used++] = static_cast<wchar_t>(unit);
  }
  for (char16_t unit : kBlocked) holdReason[used++] = static_cast<wchar_t>(unit);
  holdingTheEnd.store(true);
  if (sessionWindow != nullptr) PostMessageW(sessionWindow, kShowHoldReason, 0, 0);
}

void ReleaseSessionEnd() {
  if (!holdingTheEnd.exchange(false)) return;
  if (sessionWindow != nullptr) PostMessageW(sessionWindow, kDropHoldReason, 0, 0);
}

unsigned TakeHeldSessionEnds() { return endsHeld.exchange(0); }

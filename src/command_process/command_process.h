#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

// The platform's side of `run`: finding, starting and waiting for the command it wraps, and
// keeping interruptions from ending buttonguard while the scheme is blocked. One
// implementation file per platform; a process runs at most one command.

// Finds arguments[commandIndex], the command, and makes sure the platform can start it,
// before anything is touched. A name without a path separator is looked up in the absolute
// folders of PATH only, never in the current folder or beside buttonguard, since buttonguard
// runs elevated; a name with one is used as given. Returns 0 or the platform status (Win32)
// of why it cannot be run.
std::uint32_t FindCommand(int argumentCount, const char16_t* const* arguments, int commandIndex);

// Opens the file `path` names for run's report, adding to what it holds (making it when
// there is none); run's command does not inherit it. Null with the platform status (Win32)
// when it cannot be opened.
std::FILE* OpenReportFile(const char16_t* path, std::uint32_t& status);

// True for the statuses that mean "there is no such command" rather than "it cannot be run".
bool IsNotFoundStatus(std::uint32_t status);

// From here on, Ctrl+C and its kin reach the command but not buttonguard, and signals meant
// to end buttonguard are passed on to the command; where the platform can, one that comes
// before the command has started is passed on to it once it has. Where the platform ends the
// process anyway (console closed, logoff, shutdown), `beforeTheEnd` is called first, on
// another thread; it takes the scheme lock itself.
void HoldInterruptions(void (*beforeTheEnd)());

// With run --hold-shutdown, from the moment the buttons are blocked until they are put back: a
// person's Shut down, Restart or Sign out is refused, and the shutdown screen names
// `program` ("flash.exe: buttons and lid blocked"). The person may still choose to end the
// session anyway, a forced end is never refused, and neither is the Restart Manager's
// request to close buttonguard: those go through as without the hold, the values put back
// first. Where the platform has no such request (POSIX), nothing is held.
void HoldSessionEnd(std::u16string_view program);
void ReleaseSessionEnd();

// How many ends of the session were refused since the last call.
unsigned TakeHeldSessionEnds();

// Held around every use of the power functions once interruptions are held, since
// `beforeTheEnd` may run at any moment.
void LockScheme();
void UnlockScheme();

// Held while report lines made under the scheme lock are written, taken before that lock is
// let go: the lines keep the order of the work that made them, whichever thread did it.
void LockReport();
void UnlockReport();

// Whether this platform can wait for every process the command starts (`run --tree`): in a
// job object on Windows, as a child subreaper's descendants on Linux, not at all elsewhere.
#if defined(_WIN32) || defined(__linux__)
inline constexpr bool kCanFollowTree = true;
#else
inline constexpr bool kCanFollowTree = false;
#endif

// Starts the command found, with buttonguard's standard input, output and error; on Windows
// those three are the only handles it inherits. With `wholeTree`, every process the command
// starts, and they in turn, is followed from its first instant: on Windows in a job object
// made before the command runs (a process may still leave it on purpose, by breakaway); on
// Linux as buttonguard's descendants, which come back to it when their parent ends. Returns 0
// or the platform status (Win32) of why it could not start.
std::uint32_t StartCommand(bool wholeTree);

// WAIT_TIMEOUT: the command is still running.
inline constexpr std::uint32_t kCommandStillRunning = 258;

// Waits at most `milliseconds` for the command to end, and with the whole tree followed, for
// the last process of the tree too; gives the command's own exit status (128 plus the signal
// that ended it) in `exitStatus`. Returns 0, kCommandStillRunning, or the platform status
// (Win32) of why the wait or the status could not be had. Signals passed on while it waits
// reach every process of the tree still alive.
std::uint32_t WaitForCommand(std::int32_t& exitStatus, unsigned milliseconds);

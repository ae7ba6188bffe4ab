#pragma once

#include <cstdint>

// The platform's side of `run`: finding, starting and waiting for the command it wraps, and
// keeping interruptions from ending buttonguard while the scheme is blocked. One
// implementation file per platform; a process runs at most one command.

// Finds arguments[commandIndex], the command, before anything is touched. A name without a
// path separator is looked up in PATH only, never in the current folder or beside
// buttonguard, since buttonguard runs elevated; a name with one is used as given. Returns 0
// or the platform status (Win32) of why it cannot be run.
std::uint32_t FindCommand(int argumentCount, const char16_t* const* arguments, int commandIndex);

// True for the statuses that mean "there is no such command" rather than "it cannot be run".
bool IsNotFoundStatus(std::uint32_t status);

// From here on, Ctrl+C and its kin reach the command but not buttonguard, and signals meant
// to end buttonguard are passed on to the command; where the platform can, one that comes
// before the command has started is passed on to it once it has. Where the platform ends the
// process anyway (console closed, logoff, shutdown), `putSchemeBack` is called first, with
// the scheme lock held.
void HoldInterruptions(void (*putSchemeBack)());

// Held around every use of the power functions once interruptions are held: the platform may
// call `putSchemeBack` from another thread.
void LockScheme();
void UnlockScheme();

// Starts the command found, with buttonguard's standard input, output and error. Returns 0 or
// the platform status (Win32) of why it could not start.
std::uint32_t StartCommand();

// Waits for the command to end; its exit status, or 128 plus the signal that ended it.
std::int32_t WaitForCommand();

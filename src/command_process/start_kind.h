#pragma once

#include <string_view>

// How run starts a file its lookup found on Windows, decided before anything is touched.
enum class StartKind {
  ThroughCmd,      // a batch file: through the system's cmd.exe
  Program,         // an app execution alias: CreateProcessW follows it to its packaged app
  CheckedProgram,  // a program, once the platform says it is a 32- or 64-bit image
  Refused,         // what CreateProcessW cannot start (.js, .msi, ...)
};

// By the file's extension (dot included, any case) and whether it is an app execution alias:
// the zero-byte reparse points in WindowsApps through which winget, and python from the Store,
// are run, which hold no image for the platform to read.
StartKind HowToStart(std::u16string_view extension, bool appExecutionAlias);

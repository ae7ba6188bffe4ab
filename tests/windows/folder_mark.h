#pragma once

#include <windows.h>

// Leaves an empty file named `mark` in the folder `module` was loaded from, whatever the
// process's current folder: the proof that a planted file was loaded or run.
inline void MarkModuleFolder(HMODULE module, const wchar_t* mark) {
  wchar_t path[MAX_PATH + 64] = {};
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  wchar_t* name = path + length;
  while (name > path && name[-1] != L'\\' && name[-1] != L'/') --name;
  lstrcpynW(name, mark, 64);
  const HANDLE file =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

// Stands where an attacker would put a program (a cmd.exe in a Downloads folder, a tool.exe
// in a relative PATH folder), copied there under the name it must never be run by. If run,
// it marks its folder with "planted-NAME-was-run", NAME its own file name, and exits with a
// status no test expects otherwise.

#include "folder_mark.h"

int wmain() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 65;
  const wchar_t* name = path + length;
  while (name > path && name[-1] != L'\\' && name[-1] != L'/') --name;
  wchar_t mark[64] = L"planted-";
  lstrcpynW(mark + 8, name, 40);
  lstrcatW(mark, L"-was-run");
  MarkModuleFolder(nullptr, mark);
  return 66;
}

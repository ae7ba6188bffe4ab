// Stands where an attacker would put a cmd.exe: beside buttonguard.exe, or in the folder it is
// started from. If run, it marks its folder and exits with a status no test expects.

#include "folder_mark.h"

int wmain() {
  MarkModuleFolder(nullptr, L"planted-cmd-was-run");
  return 66;
}

#!/usr/bin/env bash
# The MSI of one Windows build, under Wine, in the Wine suite's prefix (which holds the
# simulated store as the system's powrprof.dll): its tables hold the install folder, the
# files, the PATH row and the upgrade code; msiexec installs it per machine; a new process
# finds buttonguard through PATH and `buttonguard show` works from another folder; a build of
# a higher version replaces it in place, leaving one product and one PATH entry; an older one
# is refused; uninstalling removes the files and the PATH entry. Its boot recovery service
# starts with Windows and puts back what a run killed outright left blocked. The x86 MSI, whose
# prefix this is not, must refuse to install. Exit status 77 (a skip) when
# a tool or the build is missing, 1 then under CI=true.
#
# Usage: msi_install_test.sh WINDOWS_BUILD_DIR WINE_PREFIX
source "$(dirname "$0")/release_test_common.sh" "$@"
require_tools wine msiinfo msidump
msi=$(ls "$build"/buttonguard-*.msi 2> /dev/null | head -n 1) ||
  skip "no MSI in $build: build its preset with wixl and msitools installed"
[ -n "$msi" ] || skip "no MSI in $build: build its preset with wixl and msitools installed"
[ -f "$prefix/drive_c/windows/system32/powrprof.dll" ] ||
  skip "$prefix has no simulated store: run the Wine suite first"
case "$msi" in
  *-win64.msi) architecture=x64 program_files="Program Files" program_files_folder=ProgramFiles64Folder system=system32 ;;
  *) architecture=x86 program_files="Program Files (x86)" program_files_folder=ProgramFilesFolder system=syswow64 ;;
esac

export WINEPREFIX=$prefix WINEDEBUG=-all

# The tables, as msitools reads them.
mkdir "$work/tables"
msidump -t -d "$work/tables" "$msi" > /dev/null
table() { tr -d '\r' < "$work/tables/$1.idt"; }
table Directory | grep -qP '^INSTALLFOLDER\t\w+\tbuttonguard$' || fail "install folder"
table File | grep -qP '^buttonguard.exe\tExecutable\tbuttonguard.exe\t' || fail "exe"
table File | grep -qP '^README.md\tReadme\tREADME.md\t' || fail "README"
table Environment | grep -qP '^PATH\t=-\*PATH\t\[~\];\[INSTALLFOLDER\]\tExecutable$' ||
  fail "the PATH row"
table Property | grep -qP '^UpgradeCode\t\{5D6FD7B1-8E43-4C5E-9B0C-0B4F3A5C2E61\}$' ||
  fail "the upgrade code"
# The files locked wherever they go, the install folder only where it is the default one,
# which only administrators can make: Administrators and SYSTEM alone may change them, nothing
# inherited. A folder named with INSTALLFOLDER keeps its own access list. (Wine applies no
# permissions: only Windows shows them set.)
folder_sddl='D:P\(A;OICI;FA;;;BA\)\(A;OICI;FA;;;SY\)\(A;OICI;0x1200a9;;;BU\)'
file_sddl='D:P\(A;;FA;;;BA\)\(A;;FA;;;SY\)\(A;;0x1200a9;;;BU\)'
for row in "INSTALLFOLDER\tCreateFolder\t$folder_sddl\tINSTALLFOLDER ~= DEFAULTINSTALLFOLDER" \
           "buttonguard.exe\tFile\t$file_sddl\t" "README.md\tFile\t$file_sddl\t"; do
  table MsiLockPermissionsEx | grep -qP "^\w+\t$row$" || fail "no lock row $row"
done
[ "$(table MsiLockPermissionsEx | tail -n +4 | wc -l)" -eq 3 ] || fail "lock rows beyond these"
table CustomAction | grep -qP "^SetDefaultInstallFolder\t51\tDEFAULTINSTALLFOLDER\t\[$program_files_folder\]buttonguard\\\\\t$" ||
  fail "the default install folder: $(table CustomAction)"
table InstallExecuteSequence | grep -qP '^SetDefaultInstallFolder\t\t1010$' ||
  fail "the default install folder is not set before the folders are made"
table CreateFolder | grep -qP '^INSTALLFOLDER\tExecutable$' || fail "the install folder is not made"
table ServiceInstall | grep -qP '^BootRecovery\tbuttonguard\t.*\tPower\[~\]\[~\]\t' ||
  fail "the service does not depend on the Power service"
# Windows Installer's GUID type is upper case: in lower case, an upgrade may not find the
# installed product, and two would stand side by side.
lower=$(cat "$work/tables"/*.idt <(msiinfo suminfo "$msi") | grep -aoiP '\{[0-9a-f-]{36}\}' |
  grep '[a-f]' || true)
[ -z "$lower" ] || fail "GUIDs not in upper case: $lower"
product=$(table Property | grep -P '^ProductCode\t' | cut -f2)

# A command line run by the suite's launcher, in the current folder, with its output in
# $work/output; prints its full exit status, which Wine's own cuts to eight bits.
launch() {
  rm -f "$work/status"
  BUTTONGUARD_CHILD_COMMAND_LINE="$*" BUTTONGUARD_EXIT_STATUS_FILE="Z:${work//\//\\}\\status" \
    wine "$build/tests/windows/exit_status_launcher.exe" > "$work/output" 2>&1 ||
    fail "$* did not run"
  echo $((16#$(cat "$work/status")))
}
msiexec() { launch msiexec "$@"; }
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
path_value() {
  wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH |
    tr -d '\r' | grep -o 'REG_EXPAND_SZ.*\|REG_SZ.*'
}
installed="$prefix/drive_c/$program_files/buttonguard"

# The suite's prefix is 64-bit Windows, which the x86 MSI refuses (msiexec's 1603, of which
# Wine's own exit status keeps the low eight bits) before it installs anything. Installing it
# needs a 32-bit prefix, which a kernel without 32-bit support cannot run.
if [ "$architecture" = x86 ]; then
  table LaunchCondition | grep -qP '^NOT VersionNT64\t.*-win64\.msi\.$' || fail "no condition"
  status=0
  wine msiexec /i "$(windows_path "$msi")" /qn > "$work/output" 2>&1 || status=$?
  [ "$status" -eq $((1603 % 256)) ] || fail "the x86 MSI on 64-bit Windows: status $status"
  [ ! -e "$installed" ] || fail "the x86 MSI installed files on 64-bit Windows"
  echo "refused on 64-bit Windows, naming the x64 MSI"
  exit 0
fi

[ "$(msiexec /i "$(windows_path "$msi")" /qn)" -eq 0 ] || fail "install"
[ -f "$installed/buttonguard.exe" ] && [ -f "$installed/README.md" ] || fail "files not installed"
cmp -s "$installed/buttonguard.exe" "$build/buttonguard.exe" || fail "a different exe installed"
path_value | grep -qF "C:\\$program_files\\buttonguard" || fail "PATH: $(path_value)"

# A new process, started in another folder, finds it through PATH (CreateProcess's search).
printf 'scheme {381b4222-f694-41f0-9685-ff5bb260df2e}\npower-button 3 4\nlid-close 1 2\nsleep-button 0 5\n' \
  > "$work/power-scheme"
mkdir "$work/elsewhere"
status=$(cd "$work/elsewhere" && WINEDLLOVERRIDES=powrprof=n \
  BUTTONGUARD_STORE="$(windows_path "$work/power-scheme")" launch buttonguard show)
printf 'show\r\n3, 4, 1, 2, 0, 5\r\n00341205\r\n' > "$work/expected-show"
cmp -s "$work/output" "$work/expected-show" && [ "$status" -eq $((0x341205)) ] ||
  { od -c "$work/output" | head; fail "buttonguard show through PATH: status $status"; }

# The boot recovery service starts with Windows. Services see nothing of this script's
# environment, so the run below names the store every buttonguard finds by default (which its
# command, waiting for the scheme to be put back, reads too).
service_key='HKLM\System\CurrentControlSet\Services\buttonguard'
wine reg query "$service_key" | tr -d '\r' > "$work/service" || fail "no service"
grep -qP '^\s+Start\s+REG_DWORD\s+0x2$' "$work/service" || fail "the service is not automatic"
grep -qP '^\s+ImagePath\s+REG_EXPAND_SZ\s+"C:\\'"$program_files"'\\buttonguard\\buttonguard\.exe" --boot-recovery-service$' \
  "$work/service" || fail "the service's command line: $(cat "$work/service")"
wine reg query 'HKLM\System\CurrentControlSet\Services\EventLog\Application\buttonguard' \
  /v EventMessageFile | tr -d '\r' > "$work/event-source" || fail "no Application log source"
grep -qF "REG_EXPAND_SZ    C:\\$program_files\\buttonguard\\buttonguard.exe" "$work/event-source" ||
  fail "the Application log's message file: $(cat "$work/event-source")"
default_store="$prefix/drive_c/users/$(id -un)/AppData/Local/buttonguard/power-scheme"
mkdir -p "$(dirname "$default_store")"
cp "$work/power-scheme" "$default_store"
records() { wine reg query 'HKLM\SOFTWARE\buttonguard' /reg:64 2> /dev/null | tr -d '\r' || true; }
# A run killed outright (taskkill /F) once its zeros are in, then Windows restarted.
WINEDLLOVERRIDES=powrprof=n BUTTONGUARD_STORE="C:\\users\\$(id -un)\\AppData\\Local\\buttonguard\\power-scheme" \
  wine "$installed/buttonguard.exe" run \
  "$(windows_path "$build/tests/windows/console_event_check.exe")" wait > /dev/null 2>&1 &
for _ in $(seq 60); do
  grep -q '^power-button 0 0' "$default_store" && records | grep -q -- '-{' && break
  sleep 0.5
done
run_process=$(records | grep -oP '^\s+\K[0-9]+(?=-[0-9]+-\{)') || fail "the run left no record"
wine taskkill /F /PID "$run_process" > /dev/null
wait
# The restart: services start with the first process after the server's end, from its
# environment, which names the simulated store's DLL as the system's powrprof.dll.
wineserver -k
WINEDLLOVERRIDES=powrprof=n wine wineboot
for _ in $(seq 60); do grep -q '^power-button 3 4' "$default_store" && break; sleep 0.5; done
grep -q '^power-button 3 4' "$default_store" || fail "not put back at boot: $(cat "$default_store")"
records | grep -q -- '-{' && fail "a record is left after the boot: $(records)"
rm "$default_store"

# A higher version, from the same files, replaces it in place.
version=$(msiinfo export "$msi" Property | tr -d '\r' | grep -P '^ProductVersion\t' | cut -f2)
IFS=. read -r major minor patch <<< "$version"
higher="$work/higher/$(basename "$msi")"
mkdir -p "$work/higher"
/usr/bin/python3 "$source_dir/scripts/release-msi.py" "$source_dir" "$higher" "$architecture" \
  "$major.$minor.$((patch + 1))" "$build/buttonguard.exe" "$source_dir/README.md"
[ "$(msiexec /i "$(windows_path "$higher")" /qn)" -eq 0 ] || fail "upgrade"
[ "$(msiexec /x "$product" /qn)" -eq 1605 ] || fail "the older version is still registered"
[ "$(path_value | grep -o 'buttonguard' | wc -l)" -eq 1 ] || fail "PATH after upgrade: $(path_value)"
wine reg query "$service_key" > /dev/null || fail "no service after the upgrade"
# 1603: the launch condition refuses an older version over a newer one.
[ "$(msiexec /i "$(windows_path "$msi")" /qn)" -eq 1603 ] || fail "a downgrade was not refused"

[ "$(msiexec /x "$(windows_path "$higher")" /qn)" -eq 0 ] || fail "uninstall"
[ ! -e "$installed/buttonguard.exe" ] || fail "the exe is still there"
path_value | grep -q buttonguard && fail "PATH still names buttonguard: $(path_value)"
[ -f "$prefix/drive_c/windows/$system/powrprof.dll" ] || fail "uninstall took the store DLL"
wine reg query "$service_key" > /dev/null 2>&1 && fail "the service is still there"
echo "installed, found through PATH, a killed run put back at boot, upgraded in place," \
  "downgrade refused, uninstalled with its service"

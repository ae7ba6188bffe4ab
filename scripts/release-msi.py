#!/usr/bin/python3
"""Builds the per-machine MSI with wixl and msitools' msibuild, the same to the byte from any
build of the same commit: the files are staged with the release time, the product and package
codes are derived from the version and the files, and the summary information's times are the
release time.

Usage: release-msi.py SOURCE_DIR MSI ARCH VERSION EXE README   (ARCH: x64 or x86)

Adds the MSI's hash to SHA256SUMS beside it, next to the zip's.

wixl 0.101 cannot write the Environment or MsiLockPermissionsEx tables (it crashes on
<Environment> and knows no permissions), nor a service's dependencies, so msibuild adds the row
that puts the install folder on the system PATH, the permissions locked on its own folder and
files, the dependency, and the actions that apply them. Needs Debian's python3-olefile (run it with /usr/bin/python3).
"""

import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import uuid

import olefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
release_zip = __import__("release-zip")

# Fixed for all versions: an MSI's codes must be stable, and each is ours alone.
CODE_NAMESPACE = uuid.UUID("0f3c5a56-3a8e-4f0b-9f43-8a2f6f1d9b27")
COMPONENTS = {
    "x64": ("3b0f0c2e-6a4b-4f7e-8f6d-1c9e2a7b5d41", "8e4d2b6a-1f3c-4a9e-b7d5-2c6f0e8a9b13"),
    "x86": ("c7a1e9d3-5b2f-4e8c-9a6d-3f1b7c0e2d58", "4f9b3d7e-2a6c-4b1e-8d5f-6e0a2c9b7f34"),
}
# The platform as the summary information's template names it.
TEMPLATE_PLATFORMS = {"x64": "x64", "x86": "Intel"}
SUMMARY_STREAM = "\x05SummaryInformation"
PID_CREATE_DTM, PID_LASTSAVE_DTM, VT_FILETIME = 12, 13, 64
FILETIME_EPOCH_OFFSET = 11644473600  # seconds from 1601 to 1970

ENVIRONMENT_TABLE = (
    "Environment\tName\tValue\tComponent_\n"
    "s72\tl255\tL255\ts72\n"
    "Environment\tEnvironment\n"
    # = set at install, - remove at uninstall, * the system's variable; [~] is its old value,
    # so the folder is appended, and only it is taken away again.
    "PATH\t=-*PATH\t[~];[INSTALLFOLDER]\tExecutable\n")
# Permissions set on what the MSI makes, whatever its parent passes on (P: nothing inherited):
# the boot recovery service runs buttonguard.exe as LocalSystem, and the install folder is on
# every elevated process's PATH, so only Administrators and SYSTEM may change them; Users may
# read and run. The files are always the MSI's own. The folder is locked only when it is the
# default one, which only administrators can make: Windows Installer replaces the access list
# of whatever folder a row names, and a folder named with INSTALLFOLDER may be a shared one
# that holds other things (or a link to one). Its own permissions are then the
# administrator's to choose, and the docs say so.
FOLDER_SDDL = "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
FILE_SDDL = "D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;BU)"
OWN_FOLDER_CONDITION = "INSTALLFOLDER ~= DEFAULTINSTALLFOLDER"
LOCK_PERMISSIONS_TABLE = (
    "MsiLockPermissionsEx\tLockObject\tTable\tSDDLText\tCondition\n"
    "s72\ts72\ts32\tl0\tS255\n"
    "MsiLockPermissionsEx\tMsiLockPermissionsEx\n"
    f"InstallFolder\tINSTALLFOLDER\tCreateFolder\t{FOLDER_SDDL}\t{OWN_FOLDER_CONDITION}\n"
    f"Executable\tbuttonguard.exe\tFile\t{FILE_SDDL}\t\n"
    f"Readme\tREADME.md\tFile\t{FILE_SDDL}\t\n")
# The default install folder, as the Directory table makes it, set once the system's folders
# are known and before any folder is made (51: a property set from formatted text).
def custom_action_table(program_files):
    return ("Action\tType\tSource\tTarget\n"
            "s72\ti2\tS72\tS255\n"
            "CustomAction\tAction\n"
            f"SetDefaultInstallFolder\t51\tDEFAULTINSTALLFOLDER\t[{program_files}]buttonguard\\\n")
UPGRADE_CODE = "{5D6FD7B1-8E43-4C5E-9B0C-0B4F3A5C2E61}"  # as res/buttonguard.wxs has it


def queries(version):
    return [
        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) "
        "VALUES ('RemoveEnvironmentStrings', 3300)",
        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) "
        "VALUES ('WriteEnvironmentStrings', 5200)",
        # The service is installed before the registry values are written, so that the quoted
        # ImagePath is the one that stays.
        "UPDATE `InstallExecuteSequence` SET `Sequence` = 4900 WHERE `Action` = 'InstallServices'",
        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) "
        "VALUES ('SetDefaultInstallFolder', 1010)",
        # Its recovery calls the Power service's functions: started after it.
        "UPDATE `ServiceInstall` SET `Dependencies` = 'Power[~][~]' "
        "WHERE `ServiceInstall` = 'BootRecovery'",
        # A rebuild of the same version (another commit) replaces the installed one too: the
        # upper bound becomes inclusive (512) besides migrating features (1). It is part of
        # the row's key, so the row is written anew.
        # wixl writes an expandable registry value as a plain string; "#%" makes it one.
        "UPDATE `Registry` SET `Value` = '#%[#buttonguard.exe]' "
        "WHERE `Name` = 'EventMessageFile'",
        "UPDATE `Registry` SET `Value` = '#%\"[#buttonguard.exe]\" --boot-recovery-service' "
        "WHERE `Name` = 'ImagePath'",
        "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'",
        "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) "
        f"VALUES ('{UPGRADE_CODE}', '{version}', 513, 'WIX_UPGRADE_DETECTED')",
    ]


def set_summary_times(msi, seconds):
    """Writes `seconds` as the creation and last-save times of the summary information."""
    filetime = (seconds + FILETIME_EPOCH_OFFSET) * 10_000_000
    with olefile.OleFileIO(msi, write_mode=True) as storage:
        data = bytearray(storage.openstream(SUMMARY_STREAM).read())
        section = struct.unpack_from("<I", data, 44)[0]
        count = struct.unpack_from("<I", data, section + 4)[0]
        patched = 0
        for i in range(count):
            pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * i)
            if pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
                value = section + offset
                if struct.unpack_from("<I", data, value)[0] != VT_FILETIME:
                    sys.exit(f"{msi}: summary property {pid} is not a time")
                struct.pack_into("<Q", data, value + 4, filetime)
                patched += 1
        if patched != 2:
            sys.exit(f"{msi}: the summary information has {patched} of its two times")
        storage.write_stream(SUMMARY_STREAM, bytes(data))


def main(source_dir, msi, arch, version, exe, readme):
    seconds = max(release_zip.release_time(source_dir), release_zip.EARLIEST_ZIP_TIME)
    digest = hashlib.sha256()
    for part in (arch.encode(), version.encode()):
        digest.update(part + b"\0")
    with tempfile.TemporaryDirectory() as stage:
        for path, name in ((exe, "buttonguard.exe"), (readme, "README.md")):
            staged = os.path.join(stage, name)
            shutil.copyfile(path, staged)
            os.utime(staged, (seconds, seconds))
            with open(staged, "rb") as content:
                digest.update(content.read())
        product = uuid.uuid5(CODE_NAMESPACE, "product " + digest.hexdigest())
        package = uuid.uuid5(CODE_NAMESPACE, "package " + digest.hexdigest())
        executable_component, readme_component = COMPONENTS[arch]
        program_files = "ProgramFiles64Folder" if arch == "x64" else "ProgramFilesFolder"
        partial = os.path.abspath(msi) + ".partial"
        wxs = os.path.join(os.path.abspath(source_dir), "res", "buttonguard.wxs")
        subprocess.run(
            ["wixl", "-a", arch, "-o", partial,
             "-D", f"Version={version}", "-D", f"ProductCode={product}",
             "-D", f"ExecutableComponent={executable_component}",
             "-D", f"ReadmeComponent={readme_component}",
             "-D", f"ProgramFilesFolder={program_files}",
             "-D", "Win64=" + ("yes" if arch == "x64" else "no"), wxs],
            check=True, cwd=stage, stderr=subprocess.DEVNULL)
        tables = []
        for name, text in (("Environment", ENVIRONMENT_TABLE),
                           ("MsiLockPermissionsEx", LOCK_PERMISSIONS_TABLE),
                           ("CustomAction", custom_action_table(program_files))):
            tables.append(os.path.join(stage, name + ".idt"))
            with open(tables[-1], "w", encoding="ascii", newline="\r\n") as table:
                table.write(text)
        # One change a call: msibuild stops at the first option it cannot parse.
        for change in [["-i", idt] for idt in tables] + [["-q", query] for query in queries(version)] + [
                ["-s", "buttonguard", "buttonguard", f"{TEMPLATE_PLATFORMS[arch]};1033",
                 "{%s}" % str(package).upper()]]:
            subprocess.run(["msibuild", partial] + change, check=True, cwd=stage)
    set_summary_times(partial, seconds)
    os.replace(partial, msi)
    add_to_sums(msi)


def add_to_sums(path):
    """Puts `path`'s line into SHA256SUMS beside it, replacing an older one, names in order."""
    sums = os.path.join(os.path.dirname(os.path.abspath(path)), "SHA256SUMS")
    name = os.path.basename(path)
    lines = {}
    if os.path.exists(sums):
        with open(sums, encoding="ascii") as listing:
            for line in listing:
                digest, listed = line.rstrip("\n").split("  ", 1)
                lines[listed] = digest
    with open(path, "rb") as content:
        lines[name] = hashlib.sha256(content.read()).hexdigest()
    with open(sums, "w", encoding="ascii", newline="\n") as listing:
        for listed in sorted(lines):
            listing.write(f"{lines[listed]}  {listed}\n")


if __name__ == "__main__":
    if len(sys.argv) != 7 or sys.argv[3] not in COMPONENTS:
        sys.exit(__doc__)
    main(*sys.argv[1:])

#!/usr/bin/python3
"""Checks what Windows will see of buttonguard.exe before it ever runs: a console program
whose one manifest asks for elevation, which imports only DLLs that every Windows ships (never
the power library, which it loads from the system folder itself), and which stays within its
size budget. Its entry point is its own, not MinGW's start-up code, so with the link map the
check also proves that nothing needs that code: no static constructors or initialisers, no
thread-local storage, no pseudo-relocations.

Usage: check_windows_executable.py EXE PROJECT_VERSION SIZE_BUDGET_BYTES [LINK_MAP]
Exit status 0 when every check holds, 1 when one fails, 77 when it cannot run here (1 under
CI=true, where nothing may be skipped).
"""

import os
import re
import sys
import xml.etree.ElementTree as ElementTree

SKIP = 1 if os.environ.get("CI") == "true" else 77
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
MINIMUM_WINDOWS = (6, 2)  # Windows 8
RT_MANIFEST = 24
RT_VERSION = 16
LANGUAGE_EN_US = 1033

# DLLs present on every Windows 10 and 11; anything else is a runtime we forgot to link in.
ALLOWED_IMPORTS = {"kernel32.dll", "msvcrt.dll", "ole32.dll", "advapi32.dll", "user32.dll",
                   "ucrtbase.dll"}
ALLOWED_IMPORT_PREFIXES = ("api-ms-win-crt-",)

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
WINDOWS_SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"


def resources_of_type(pe, wanted):
    """(id, language, bytes) of every resource of one type."""
    found = []
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.id != wanted:
            continue
        for name_entry in type_entry.directory.entries:
            for language_entry in name_entry.directory.entries:
                data = language_entry.data.struct
                found.append((name_entry.id, language_entry.id,
                              pe.get_data(data.OffsetToData, data.Size)))
    return found


def check_manifest(pe, failures):
    manifests = resources_of_type(pe, RT_MANIFEST)
    if len(manifests) != 1:
        failures.append(f"expected exactly one manifest, found {len(manifests)}")
        return
    identifier, language, data = manifests[0]
    if (identifier, language) != (1, LANGUAGE_EN_US):
        failures.append(f"manifest is id {identifier} language {language}, not id 1 language 1033")
    root = ElementTree.fromstring(data)
    levels = root.findall(f"{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges/"
                          f"{ASM_V3}requestedExecutionLevel")
    if len(levels) != 1:
        failures.append("manifest has no single requestedExecutionLevel")
    else:
        attributes = levels[0].attrib
        if attributes.get("level") != "requireAdministrator":
            failures.append(f"execution level is {attributes.get('level')!r}")
        if attributes.get("uiAccess") != "false":
            failures.append(f"uiAccess is {attributes.get('uiAccess')!r}")
    dpi = root.findall(f"{ASM_V3}application/{ASM_V3}windowsSettings/{WINDOWS_SETTINGS_2005}dpiAware")
    if len(dpi) != 1 or (dpi[0].text or "").strip() != "true":
        failures.append("manifest does not set dpiAware to true")


def check_version(pe, version, failures):
    if not resources_of_type(pe, RT_VERSION):
        failures.append("no version resource")
        return
    strings = {}
    for file_info in getattr(pe, "FileInfo", []):
        for entry in file_info:
            for table in getattr(entry, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    expected = {"FileVersion": version, "ProductVersion": version,
                "OriginalFilename": "buttonguard.exe", "ProductName": "buttonguard"}
    for key, value in expected.items():
        if strings.get(key) != value:
            failures.append(f"version resource {key} is {strings.get(key)!r}, not {value!r}")
    if not strings.get("FileDescription"):
        failures.append("version resource has no FileDescription")


def check_imports(pe, failures):
    imported = [entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    for dll in imported:
        if dll not in ALLOWED_IMPORTS and not dll.startswith(ALLOWED_IMPORT_PREFIXES):
            failures.append(f"imports {dll}, which not every Windows ships")
    if "powrprof.dll" in imported:
        failures.append("imports powrprof.dll, which a planted copy could replace")
    return imported


def check_start_up(pe, link_map, failures):
    """What MinGW's start-up code would have set up, and buttonguard's own entry does not."""
    tls = pe.OPTIONAL_HEADER.DATA_DIRECTORY[9]  # IMAGE_DIRECTORY_ENTRY_TLS
    if tls.VirtualAddress or tls.Size:
        failures.append("the image has a TLS directory, which nothing would set up")
    with open(link_map, encoding="utf-8", errors="replace") as text:
        symbols = {}
        for match in re.finditer(r"^\s+0x([0-9a-f]+)\s+(\w+) = ", text.read(), re.MULTILINE):
            symbols.setdefault(match.group(2), int(match.group(1), 16))
    pointer = 8 if pe.FILE_HEADER.Machine == 0x8664 else 4
    spans = [
        # -1, the constructors, 0: nothing between the two markers.
        ("__CTOR_LIST__", "__DTOR_LIST__", 2 * pointer, "static constructors"),
        ("___crt_xc_start__", "___crt_xc_end__", 0, "C++ initialisers (.CRT$XC)"),
        ("___crt_xi_start__", "___crt_xi_end__", 0, "C initialisers (.CRT$XI)"),
        ("___tls_start__", "___tls_end__", 0, "thread-local data"),
        ("__rt_psrelocs_start", "__rt_psrelocs_end", 0, "pseudo-relocations"),
    ]
    for start, end, empty, what in spans:
        if start not in symbols or end not in symbols:
            failures.append(f"the link map names no {start} or {end}")
        elif symbols[end] - symbols[start] != empty:
            failures.append(f"the image has {what}, which nothing would set up")


def main(arguments):
    if len(arguments) not in (4, 5):
        print(__doc__, file=sys.stderr)
        return 2
    path, version, budget = arguments[1], arguments[2], int(arguments[3])
    try:
        import pefile
    except ImportError:
        print("SKIP: Debian's python3-pefile is not installed")
        return SKIP
    if not os.path.exists(path):
        print(f"SKIP: {path} is missing: build the windows-x64 preset")
        return SKIP

    pe = pefile.PE(path)
    failures = []
    if pe.OPTIONAL_HEADER.Subsystem != IMAGE_SUBSYSTEM_WINDOWS_CUI:
        failures.append(f"subsystem is {pe.OPTIONAL_HEADER.Subsystem}, not the console")
    # What it imports needs Windows 8 (6.2); declaring less would let an older one start it
    # and fail on a missing import instead of saying so.
    declared = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    if declared != MINIMUM_WINDOWS:
        failures.append(f"declares Windows {declared}, not {MINIMUM_WINDOWS}")
    check_manifest(pe, failures)
    check_version(pe, version, failures)
    imported = check_imports(pe, failures)
    if len(arguments) == 5:
        check_start_up(pe, arguments[4], failures)
    size = os.path.getsize(path)
    if size > budget:
        failures.append(f"{size} bytes is over the budget of {budget}")

    print(f"{os.path.basename(path)}: {size} bytes (budget {budget}); imports {', '.join(imported)}")
    for failure in failures:
        print(f"FAIL: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

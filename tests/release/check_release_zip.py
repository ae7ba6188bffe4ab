#!/usr/bin/python3
"""Checks one Windows build's release files: the zip holds exactly the README and the
executable just built, every entry with the same fixed time, and SHA256SUMS beside it names
the true hashes of the zip and of the MSI built beside it, and nothing else.

Usage: check_release_zip.py BUILD_DIR ZIP_NAME
Exit status 0 when every check holds, 1 when one fails, 77 when the build is absent (1 under
CI=true, where nothing may be skipped).
"""

import hashlib
import os
import sys
import zipfile

SKIP = 1 if os.environ.get("CI") == "true" else 77


def main(build_dir, zip_name):
    zip_path = os.path.join(build_dir, zip_name)
    if not os.path.exists(zip_path):
        print(f"{'FAIL' if SKIP == 1 else 'SKIP'}: {zip_path} is missing: build the "
              f"{os.path.basename(build_dir)} preset")
        return SKIP
    failures = []
    with zipfile.ZipFile(zip_path) as archive:
        entries = archive.infolist()
        names = [entry.filename for entry in entries]
        if names != ["README.md", "buttonguard.exe"]:
            failures.append(f"entries {names}")
        if len({entry.date_time for entry in entries}) != 1:
            failures.append("entries with different times")
        with open(os.path.join(build_dir, "buttonguard.exe"), "rb") as built:
            if "buttonguard.exe" in names and archive.read("buttonguard.exe") != built.read():
                failures.append("the zip's buttonguard.exe is not the one built")
    with open(zip_path, "rb") as archive:
        digest = hashlib.sha256(archive.read()).hexdigest()
    expected = {f"{digest}  {zip_name}\n"}
    msi_name = zip_name[:-len(".zip")] + ".msi"
    msi_path = os.path.join(build_dir, msi_name)
    if os.path.exists(msi_path):
        with open(msi_path, "rb") as msi:
            expected.add(f"{hashlib.sha256(msi.read()).hexdigest()}  {msi_name}\n")
    elif SKIP == 1:
        failures.append(f"{msi_name} is missing")
    with open(os.path.join(build_dir, "SHA256SUMS"), encoding="ascii") as sums:
        if sorted(sums.readlines()) != sorted(expected):
            failures.append("SHA256SUMS does not hold exactly the hashes of the zip and the MSI")
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))

#!/usr/bin/env python3
"""Packs a release zip that is the same to the byte from any build of the same commit: fixed
entry order, one fixed time for every entry (SOURCE_DATE_EPOCH when set, else the commit's
time), fixed permissions, no extra fields. Writes SHA256SUMS beside it.

Usage: release-zip.py SOURCE_DIR ZIP FILE...   (each FILE is stored under its own name)
"""

import hashlib
import os
import subprocess
import sys
import time
import zipfile

EARLIEST_ZIP_TIME = 315532800  # 1980-01-01, the first moment a zip entry can record


def release_time(source_dir):
    """Seconds since the epoch for every entry."""
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        commit_time = subprocess.run(
            ["git", "-C", source_dir, "log", "-1", "--format=%ct"],
            check=True, capture_output=True, text=True).stdout.strip()
        return int(commit_time)
    except (OSError, subprocess.CalledProcessError, ValueError):
        # Not a git checkout (a source tarball): still the same every time.
        return EARLIEST_ZIP_TIME


def main(source_dir, zip_path, files):
    stamp = time.gmtime(max(release_time(source_dir), EARLIEST_ZIP_TIME))[:6]
    temporary = zip_path + ".partial"
    with zipfile.ZipFile(temporary, "w") as archive:
        for path in sorted(files, key=os.path.basename):
            entry = zipfile.ZipInfo(os.path.basename(path), date_time=stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3  # Unix, so that the permissions below are read as such
            entry.external_attr = 0o100644 << 16
            with open(path, "rb") as content:
                archive.writestr(entry, content.read(), compresslevel=9)
    os.replace(temporary, zip_path)

    with open(zip_path, "rb") as archive:
        digest = hashlib.sha256(archive.read()).hexdigest()
    sums = os.path.join(os.path.dirname(zip_path), "SHA256SUMS")
    with open(sums, "w", encoding="ascii", newline="\n") as listing:
        listing.write(f"{digest}  {os.path.basename(zip_path)}\n")


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2], sys.argv[3:])

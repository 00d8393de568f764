#!/usr/bin/env python3
"""Packs files into a zip archive that depends only on their names and bytes:
the members lie at the top level in name order, all dated EPOCH (seconds
since 1970, UTC; 1980-01-01 at the earliest, as a zip entry can hold no
earlier date), read-write for the owner and readable for all, deflated at a
fixed level.

    make_archive.py ZIP EPOCH FILE...
"""

import os
import sys
import time
import zipfile

ZIP_EARLIEST = 315532800  # 1980-01-01 00:00:00 UTC


def make_archive(zip_path, epoch, paths):
    date_time = time.gmtime(max(epoch, ZIP_EARLIEST))[:6]
    by_name = sorted((os.path.basename(path), path) for path in paths)
    names = [name for name, _ in by_name]
    if len(set(names)) != len(names):
        raise SystemExit(f"two files share a name: {names}")
    partial = zip_path + ".partial"
    with zipfile.ZipFile(partial, "w") as archive:
        for name, path in by_name:
            member = zipfile.ZipInfo(name, date_time)
            member.create_system = 3  # Unix, so the permissions below are read
            member.external_attr = 0o100644 << 16
            member.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as source:
                archive.writestr(member, source.read(), compresslevel=9)
    os.replace(partial, zip_path)


def main(argv):
    if len(argv) < 4:
        print(__doc__)
        return 2
    make_archive(argv[1], int(argv[2]), argv[3:])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

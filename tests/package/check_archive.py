#!/usr/bin/env python3
"""Checks the installable archive as the file manager will read it: exactly
both editions' modules, the helper, pluginst.inf and the readme at its top
level, the modules and the helper the build made, and an install description
whose fields name a file-system plugin to put in its own folder.

    check_archive.py ZIP MODULE VERSION

The 64-bit module and the helper are read from MODULE's folder.

Prints each fault and exits 1 when there is one.
"""

import configparser
import os
import sys
import zipfile

# The file manager's 32-bit edition loads corvanel.wfx; its 64-bit edition
# loads corvanel.wfx64 from the same folder, which runs corvanel.wfx in
# corvanel_helper.exe beside it.
BUILT = ("corvanel.wfx", "corvanel.wfx64", "corvanel_helper.exe")
MEMBERS = set(BUILT) | {"pluginst.inf", "readme.txt"}
INSTALL_FIELDS = {"type": "wfx", "file": "corvanel.wfx", "defaultdir": "corvanel"}
PROG_ID = "corvanel_win32.Corvanel"


def text_faults(name, data):
    """Faults of a text member: it must be non-empty, with Windows line ends."""
    faults = []
    if not data.strip():
        faults.append(f"{name} is empty")
    if data.count(b"\n") != data.count(b"\r\n"):
        faults.append(f"{name} has line ends other than CR LF")
    return faults


def install_faults(data, version):
    """Faults of pluginst.inf, read as an .ini file like the file manager does."""
    parser = configparser.ConfigParser(interpolation=None)
    try:
        parser.read_string(data.decode("ascii"))
    except (UnicodeDecodeError, configparser.Error) as error:
        return [f"pluginst.inf does not parse: {error}"]
    if parser.sections() != ["plugininstall"]:
        return [f"pluginst.inf sections are {parser.sections()}, not [plugininstall]"]
    fields = parser["plugininstall"]
    faults = [f"pluginst.inf {key}={fields.get(key)!r}, expected {value!r}"
              for key, value in INSTALL_FIELDS.items() if fields.get(key) != value]
    if not fields.get("description", "").strip():
        faults.append("pluginst.inf has no description")
    if fields.get("version") != version:
        faults.append(f"pluginst.inf version={fields.get('version')!r}, expected {version!r}")
    return faults


def archive_faults(zip_path, module_path, version):
    with zipfile.ZipFile(zip_path) as archive:
        broken = archive.testzip()
        if broken is not None:
            return [f"{broken} fails its CRC check"]
        names = archive.namelist()
        if sorted(names) != sorted(MEMBERS):
            return [f"archive holds {sorted(names)}, expected {sorted(MEMBERS)}"]
        members = {name: archive.read(name) for name in names}
    faults = []
    for name in BUILT:
        path = os.path.join(os.path.dirname(module_path), name)
        with open(path, "rb") as built:
            if members[name] != built.read():
                faults.append(f"{name} in the archive is not {path}")
    faults += text_faults("pluginst.inf", members["pluginst.inf"])
    faults += install_faults(members["pluginst.inf"], version)
    faults += text_faults("readme.txt", members["readme.txt"])
    for name in (PROG_ID,) + BUILT:
        if name.encode() not in members["readme.txt"]:
            faults.append(f"readme.txt does not name {name}")
    return faults


def main(argv):
    if len(argv) != 4:
        print(__doc__)
        return 2
    faults = archive_faults(*argv[1:])
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

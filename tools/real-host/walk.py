#!/usr/bin/env python3
"""Walks Double Commander for Windows with the plugin installed, as a person would.

    walk.py --edition 32|64 [--build BUILD_DIR]

Lays out a portable copy of the file manager (built by tools/real-host/build.sh
into BUILD_DIR/real-host) with the plugin in it, starts it under Xvfb and Wine
with the reference engine registered over a generated store, and drives it with
keys (xdotool). A picture after every step goes to BUILD_DIR/real-host/walkNN/
pictures/, and every check reads the result on disk. One PASS or FAIL line per
check, NOTE lines for what is recorded without a verdict, then "N passed,
M failed"; the exit status is 1 when a check failed, 77 when there is no file
manager source to build.

The panels are read through the file manager's clipboard commands: Ctrl+Shift+X
copies the names of the marked files (or of the one under the cursor),
Ctrl+Shift+C the same with their paths; this copy's settings bind Ctrl+Shift+L to
"copy all shown columns", Ctrl+Shift+N to "open VFS list" (the network entry's
list, where the plugin's root is), Ctrl+Shift+F11 and F12 to "focus the left
panel" and "the right", and Ctrl+Shift+F9 and F10 to show the local folder in
the left panel and in the right. Its message boxes copy their text on Ctrl+C.
Every wait is for a condition, with a time limit. A key whose effect shows is
sent again until it does (a key sent while the file manager starts or ends an
operation can go unheard), and after a step that could not go on both panels
go back to the local folder, where the next step starts from.

Synchronize directories (Ctrl+Shift+Y here) copies on the file manager's main
thread, whose keys then call the plugin from inside the copy's progress
callback. The clipboard reads are not served then, so those steps set the
panels with keys of fixed effect (Ctrl+Shift+F3 and F4: change directory to
folders of their own; Ctrl+Shift+F5 closes Quick view) and read the screen and
the disk.
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
CHECKOUT = HERE.parent.parent
SKIP = 77

MAIN_WINDOW = r"^Double Commander \d"
MESSAGE = r"^Double Commander$"    # its message boxes and questions
COPY_DIALOG = r"^Copy file\(s\)$"
MOVE_DIALOG = r"^Move file\(s\)$"
MKDIR_DIALOG = r"^Create new directory$"
PROGRESS = r"^\d+% Copying"
BUSY = r"^\d+% "                  # any operation's progress window
ENGINE_WINDOW = r"^Corvanel$"      # the engine's property window
DIALOGS = "|".join((MESSAGE, COPY_DIALOG, MOVE_DIALOG, MKDIR_DIALOG, ENGINE_WINDOW))
VIEWED = r"\.txt$"                 # the viewer and the editor: titled with the path of their copy
PLACEHOLDER = "Create new bucket(F7)"
CP1252_NAME = "Grüße – 5 €.txt"   # ü, ß, the en dash and the euro sign: all in code page 1252
BIG_SIZE = 5 * 1024 ** 3 + 1
SLOW_SIZE = 24 * 1024 * 1024       # 96 chunks of 256 KiB...
THROTTLE_MS = 50                   # ...of 50 ms each at least: the download Cancel interrupts
REPORTS = ["work", "reports"]
PROJECTS = ["work", "projects"]    # the folder trees
ARCHIVE = ["work", "archive"]
FAULTS = ["work", "faults"]        # 64-bit: folders whose engine stalls or dies
SYNC = ["work", "sync"]            # Synchronize directories pairs this bucket with...
SYNC_LOCAL = "sync"                # ...the local folder of this name
SYNC_SIZE = 40 * 1024 * 1024       # 160 chunks of 50 ms at least: 8 s each way
FILM, CLIP = "film.mkv", "clip.mkv"  # the bucket's slow object, and the local one to go up
NOTE = "note.txt"                  # alike on both sides: never copied, shown by Quick view
SYNC_DIALOG = r"^Synchronize directories$"
SYNC_QUESTION = r"^Synchronize$"   # what to copy and delete, before it starts
SYNC_CLOSE = ("961", "256")        # its Close button: the window opens in the screen's middle
MAIN_TITLE = ("640", "8")          # the main window's title bar
ERROR_BOX = r"^Double Commander - Error$"  # the file manager's own: an exception it caught
RIGHT_HEADER = "620x26+640+132"    # the screen's pixels of the right panel's path
STALL_NAME = "stuck.bin"           # the engine stalls at an entry or upload named so...
CRASH_NAME = "crash.bin"           # ...and ends its process at an entry named so
USER = "anna"  # the Wine user: the local panel is her C:\users\anna\Documents
LOCAL = f"C:\\users\\{USER}\\Documents"

COLUMN = "<Column><Title>{0}</Title><FuncString>[DC().{1}{{}}]</FuncString>" \
         "<Width>{2}</Width><Align>{3}</Align></Column>"
SETTINGS = """<?xml version="1.0" encoding="UTF-8"?>
<doublecmd DCVersion="1.1.32 gamma" ConfigVersion="15">
  <Behaviours><FileSizeFormat>1</FileSizeFormat></Behaviours>
  <ColumnsSets><ColumnsSet><Name>Default</Name>
    <Columns>{columns}</Columns>
  </ColumnsSet></ColumnsSets>
  <Plugins><WfxPlugins><WfxPlugin Enabled="True"><Name>Corvanel</Name>
    <Path>%commander_path%\\plugins\\wfx\\corvanel\\{module}</Path>
  </WfxPlugin></WfxPlugins></Plugins>
</doublecmd>
""".replace("{columns}", "".join(COLUMN.format(*c) for c in (
    ("Name", "GETFILENAMENOEXT", 215, 0), ("Ext", "GETFILEEXT", 45, 0),
    ("Size", "GETFILESIZE", 115, 1), ("Date", "GETFILETIME", 150, 1),
    ("Attr", "GETFILEATTR", 75, 0))))

# Version 62: at start the file manager adds its default keys to these, each
# for a command no key here names (so Ctrl+Q, its Quick view, is named here).
SHORTCUTS = """<?xml version="1.0" encoding="UTF-8"?>
<doublecmd DCVersion="1.1.32 gamma"><Hotkeys Version="62"><Form Name="Main">
  <Hotkey><Shortcut>Ctrl+Shift+L</Shortcut><Command>cm_CopyFileDetailsToClip</Command></Hotkey>
  <Hotkey><Shortcut>Ctrl+Shift+N</Shortcut><Command>cm_OpenVirtualFileSystemList</Command></Hotkey>
  <Hotkey><Shortcut>Ctrl+Shift+F11</Shortcut><Command>cm_FocusSwap</Command><Param>side=left</Param></Hotkey>
  <Hotkey><Shortcut>Ctrl+Shift+F12</Shortcut><Command>cm_FocusSwap</Command><Param>side=right</Param></Hotkey>
  <Hotkey><Shortcut>Ctrl+Shift+F9</Shortcut><Command>cm_ChangeDir</Command><Param>leftpath={local}</Param></Hotkey>
  <Hotkey><Shortcut>Ctrl+Shift+F10</Shortcut><Command>cm_ChangeDir</Command><Param>rightpath={local}</Param></Hotkey>
  <Hotkey><Shortcut>Ctrl+Shift+Y</Shortcut><Command>cm_SyncDirs</Command></Hotkey>
  <Hotkey><Shortcut>Ctrl+Shift+F3</Shortcut><Command>cm_ChangeDir</Command>
    <Param>leftpath=wfx://Corvanel/work/sync</Param><Param>rightpath={local}\\sync</Param></Hotkey>
  <Hotkey><Shortcut>Ctrl+Shift+F4</Shortcut><Command>cm_ChangeDir</Command>
    <Param>rightpath=wfx://Corvanel/work/projects</Param></Hotkey>
  <Hotkey><Shortcut>Ctrl+Shift+F5</Shortcut><Command>cm_QuickView</Command><Param>Close</Param></Hotkey>
  <Hotkey><Shortcut>Ctrl+Q</Shortcut><Command>cm_QuickView</Command></Hotkey>
</Form></Hotkeys></doublecmd>
""".replace("{local}", LOCAL)
FOCUS_KEYS = {"left": "ctrl+shift+F11", "right": "ctrl+shift+F12"}
HOME_KEYS = {"left": "ctrl+shift+F9", "right": "ctrl+shift+F10"}


class StepFailed(Exception):
    """What a step waited for did not come: it cannot go on."""


def wait_until(what, condition, limit=30.0, every=0.2):
    """Polls condition until it gives a true value, which it returns."""
    end = time.monotonic() + limit
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise StepFailed(f"waited {limit:.0f} s for {what}")
        time.sleep(every)


def within(condition, limit):
    """What condition gives once true within limit seconds, else None."""
    try:
        return wait_until("", condition, limit)
    except StepFailed:
        return None


def overwrite_question(text):
    """Whether a message is the question before replacing a file: "Overwrite:
    ... With file: ...", or "File ... exists, overwrite?" """
    return bool(text) and re.search(r"^Overwrite:|exists, overwrite\?", text, re.M) is not None


def said(text):
    """A message box's text on one line, without the title and dashes Ctrl+C adds."""
    return " / ".join(line for line in text.splitlines()[2:] if line)


def tree_of(root):
    """What a folder holds: each folder under it as "name/" and each file with
    its bytes (its size alone past 4 MiB); None when there is no such folder."""
    if not root.is_dir():
        return None
    found = {}
    for path in root.rglob("*"):
        name = path.relative_to(root).as_posix()
        if path.is_dir():
            found[name + "/"] = None
        else:
            size = path.stat().st_size
            found[name] = path.read_bytes() if size <= 4 * 1024 * 1024 else size
    return found


def differences(expected, found):
    """How one folder tree (tree_of) differs from another, in a few words."""
    if found is None:
        return "the folder is not there"
    parts = []
    for what, names in (("missing", set(expected) - set(found)),
                        ("not expected", set(found) - set(expected)),
                        ("different", {name for name in set(expected) & set(found)
                                       if expected[name] != found[name]})):
        if names:
            parts.append(f"{what}: {', '.join(sorted(names))}")
    return "; ".join(parts) or "the same"


def wine_path(path):
    return "Z:" + str(path).replace("/", "\\")


class Layout:
    """One edition's folders under BUILD_DIR/real-host."""

    def __init__(self, build, edition, name="walk"):
        self.build, self.edition = build, edition
        root = build / "real-host"
        self.host = root / ("i386-win32" if edition == 32 else "x86_64-win64") / "doublecmd"
        self.prefix = root / f"wineprefix{edition}"
        self.walk = root / f"{name}{edition}"  # the run's own folder
        self.app = self.walk / "doublecmd"
        self.store = self.walk / "store"
        # A user's own folder on drive C, so that the panel reads as on a user's computer.
        self.local = self.prefix / "drive_c" / "users" / USER / "Documents"
        self.local_windows = LOCAL
        self.pictures = self.walk / "pictures"
        self.module = "corvanel.wfx" if edition == 32 else "corvanel.wfx64"

    def reports(self, name):
        return self.store.joinpath(*REPORTS, name)

    def projects(self, name):
        return self.store.joinpath(*PROJECTS, name)


def lay_out_file_manager(layout):
    """A portable copy: the program, its resources, its settings and the plugin."""
    shutil.rmtree(layout.app, ignore_errors=True)
    layout.app.mkdir(parents=True)
    shutil.copy2(layout.host / "doublecmd.exe", layout.app)
    for name in ("default", "language", "pixmaps", "highlighters"):
        shutil.copytree(layout.host / name, layout.app / name)
    for name in ("doublecmd.help", "pinyin.tbl"):
        shutil.copy2(layout.host / name, layout.app)
    settings = layout.app / "settings"
    settings.mkdir()
    (settings / "doublecmd.inf").touch()  # keeps the settings beside the program
    (settings / "doublecmd.xml").write_text(SETTINGS.replace("{module}", layout.module))
    (settings / "shortcuts.scf").write_text(SHORTCUTS)
    plugin = layout.app / "plugins" / "wfx" / "corvanel"
    plugin.mkdir(parents=True)
    modules = ["corvanel.wfx"]
    if layout.edition == 64:
        modules += ["corvanel.wfx64", "corvanel_helper.exe"]
    for name in modules:
        shutil.copy2(layout.build / "bin" / name, plugin)


def write_file(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def make_store(layout):
    """Accounts work, family (no bucket) and old-name, and the local folder."""
    if layout.local.is_symlink():  # Wine may link Documents to a folder of the Linux user's
        layout.local.unlink()
    for folder in (layout.store, layout.local):
        shutil.rmtree(folder, ignore_errors=True)
    for name, data in (("q1.txt", b"Quarterly figures\r\n" * 40),
                       ("photo.jpg", os.urandom(300 * 1024)),
                       ("notes.txt", b"notes kept in the store\r\n"),
                       ("old.log", b"to be deleted\r\n"),
                       (CP1252_NAME, "Grüße aus dem Laden: 5 €\r\n".encode("cp1252")),
                       ("movie.mp4", os.urandom(SLOW_SIZE)),
                       ("summaries/2009.txt", b"a year\r\n")):
        write_file(layout.reports(name), data)
    with open(layout.reports("big.iso"), "wb") as big:
        big.truncate(BIG_SIZE)  # sparse: it takes no disk space
    write_file(layout.store / "work" / "archive" / "notes.txt", b"older notes in the archive\r\n")
    # Folder trees whose subfolder lists first (the engine lists by name): a
    # host that lists depth first opens the subfolder's listing inside the
    # folder's own.
    for name, data in (("album/a-sub/x.txt", b"in the subfolder\r\n"),
                       ("album/m.txt", b"middle\r\n"),
                       ("album/z.txt", b"last\r\n"),
                       ("tree/sub/deep.bin", os.urandom(64 * 1024)),
                       ("tree/top.txt", b"top of the tree\r\n"),
                       ("treetop.txt", b"beside the tree, not in it\r\n"),
                       ("plans/2024/details/budget.csv", b"item,cost\r\nchairs,120\r\n"),
                       ("plans/2024/q1.txt", b"first quarter\r\n"),
                       ("plans/2025/q1.txt", b"next year\r\n"),
                       ("plans/overview.txt", b"the plans in short\r\n"),
                       ("outbox/2023/letter.txt", b"Dear Sir,\r\n"),
                       ("outbox/2023/scan.jpg", os.urandom(120 * 1024)),
                       ("outbox/draft.txt", b"not sent yet\r\n"),
                       ("readme.txt", b"Projects of the year, one folder each.\r\n"),
                       ("todo.txt", b"call the printer\r\n")):
        write_file(layout.projects(name), data)
    if layout.edition == 64:
        for name, data in ((f"stalled/{STALL_NAME}", b"an engine that never answers\r\n"),
                           (f"crashed/{CRASH_NAME}", b"an engine that dies\r\n"),
                           ("healthy/fine.txt", b"listed as ever\r\n"),
                           ("uploads/readme.txt", b"uploads land here\r\n")):
            write_file(layout.store.joinpath(*FAULTS, name), data)
        write_file(layout.local / STALL_NAME, b"an upload the engine never finishes\r\n")
    film = os.urandom(SYNC_SIZE)
    write_file(layout.store.joinpath(*SYNC, FILM), film)
    for folder in (layout.store.joinpath(*SYNC), layout.local / SYNC_LOCAL):
        write_file(folder / NOTE, b"a note kept on both sides\r\n")
        os.utime(folder / NOTE, (1700000000, 1700000000))  # one date: nothing to synchronize
    (layout.store / "family").mkdir()
    write_file(layout.store / "old-name" / "misc" / "readme.txt", b"an account to rename\r\n")
    write_file(layout.local / "q1.txt", b"my own figures, not the store's\r\n")
    write_file(layout.local / "holiday.mp4", os.urandom(3 * 1024 * 1024))
    write_file(layout.local / "notes.txt", b"newer notes from this computer\r\n")
    for name, data in (("trip/day1/beach.jpg", os.urandom(200 * 1024)),
                       ("trip/day1/notes.txt", b"sunny\r\n"),
                       ("trip/itinerary.txt", b"day 1: the coast\r\n")):
        write_file(layout.local / name, data)


class Screen:
    """An X server of the walk's own on a display it picks free itself (-displayfd)."""

    def __init__(self, log):
        read, write = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
            pass_fds=(write,), stdout=log, stderr=subprocess.STDOUT)
        os.close(write)
        with os.fdopen(read) as pipe:
            self.display = ":" + pipe.readline().strip()

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class Wine:
    """The walk's own prefix, with the reference engine registered in it."""

    def __init__(self, layout):
        self.prefix = layout.prefix
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEARCH="win32" if layout.edition == 32 else "win64",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8",
                        USER=USER)  # Wine names its user, and C:\users\USER, after $USER

    def prefix_command(self, *args):
        subprocess.run([str(CHECKOUT / "tools" / "wine-prefix.sh"), str(self.prefix), *args],
                       env=self.env, check=True, stdout=subprocess.DEVNULL)

    def processes(self, name):
        """Ids of this prefix's processes whose command line names `name`."""
        mine = b"WINEPREFIX=" + bytes(self.prefix) + b"\0"
        found = []
        for entry in Path("/proc").iterdir():
            try:
                if (name.encode() in (entry / "cmdline").read_bytes()
                        and mine in (entry / "environ").read_bytes()):
                    found.append(int(entry.name))
            except (OSError, ValueError):
                continue
        return found


class Desk:
    """Keys, windows, the clipboard and pictures on the walk's screen."""

    def __init__(self, display, pictures):
        self.env = dict(os.environ, DISPLAY=display)
        self.pictures = pictures
        self.count = 0

    def x(self, *args, text=None):
        return subprocess.run(list(args), env=self.env, input=text, capture_output=True,
                              text=True).stdout

    def keys(self, *keys):
        self.x("xdotool", "key", "--delay", "40", *keys)

    def type(self, text):
        self.x("xdotool", "type", "--delay", "40", text)

    def windows(self, pattern):
        names = self.x("xdotool", "search", "--onlyvisible", "--name", ".", "getwindowname", "%@")
        return [name for name in names.splitlines() if re.search(pattern, name)]

    def wait_window(self, pattern, what, limit=30.0):
        wait_until(what, lambda: self.windows(pattern), limit)

    def wait_no_window(self, pattern, what, limit=30.0):
        wait_until(what, lambda: not self.windows(pattern), limit)

    def copy_with(self, *keys, what, limit=15.0, every=0.2):
        """Sends keys that copy text; returns the text once it has replaced a marker."""
        marker = f"walk-marker-{time.monotonic_ns()}"
        # xclip stays in the background to serve the marker: no pipe to wait on.
        subprocess.run(["xclip", "-i", "-selection", "clipboard"], env=self.env, input=marker,
                       text=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.keys(*keys)
        return wait_until(what, lambda: (lambda text: text != marker and text)(
            self.x("xclip", "-o", "-selection", "clipboard")), limit, every)

    def snapshot(self, region):
        """The pixels of a region of the screen, "WxH+X+Y"."""
        return subprocess.run(["import", "-window", "root", "-crop", region, "rgb:-"],
                              env=self.env, capture_output=True).stdout

    def picture(self, name):
        self.count += 1
        path = self.pictures / f"{self.count:02d}-{name}.png"
        self.x("import", "-window", "root", str(path))
        return path


class Walk:
    """The steps, one method each; the first line of a step's docstring names
    its check when it cannot go on."""

    def __init__(self, layout, desk, wine, log):
        self.layout, self.desk, self.wine, self.log = layout, desk, wine, log
        self.passed = self.failed = 0
        self.program = None
        self.left = self.right = "local"  # where each panel is: "local" or a path in the store
        self.active = "left"
        self.message_since = None
        self.size_seen = (None, 0.0)  # the local file's size during Cancel, and since when

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print(f"PASS {name}", flush=True)
        else:
            self.failed += 1
            print(f"FAIL {name}: {detail} (picture: {self.desk.picture('failed')})", flush=True)

    def note(self, text):
        print(f"NOTE {text}", flush=True)

    def run(self, steps):
        """Runs the steps in turn; stops when the file manager is gone, or after
        three steps in a row could not go on. A step that could not go on
        leaves both panels in the local folder."""
        stuck = 0
        for step in steps:
            try:
                step()
                stuck = 0
            except StepFailed as failure:
                self.check(step.__doc__.splitlines()[0].rstrip("."), False, str(failure))
                stuck += 1
                self.desk.picture(step.__name__)
                if self.program is not None and self.program.poll() is None:
                    self.recover()
            else:
                self.desk.picture(step.__name__)
            if self.program is None or self.program.poll() is not None or stuck == 3:
                break

    def recover(self):
        """Closes what a step left open and shows the local folder in both
        panels, the left one active: where every step's moves can start."""
        try:
            for _ in range(3):
                if not self.desk.windows(f"{DIALOGS}|{VIEWED}"):
                    break
                # Return to the engine's windows: Yes stops a silent engine, OK closes
                # its properties. Escape to the rest: No, Cancel, Skip; it closes
                # the viewer and the editor.
                self.desk.keys("Return" if self.desk.windows(ENGINE_WINDOW) else "Escape")
                within(lambda: not self.desk.windows(f"{DIALOGS}|{VIEWED}"), 5)
            if not within(lambda: not self.desk.windows(BUSY), 30):
                self.desk.keys("Escape")  # the progress window's Cancel, then "Yes" to its question
                box = within(self.message, 10)
                if box:
                    self.answer("Return", box)
                within(lambda: not self.desk.windows(BUSY), 30)
            self.left = self.right = None  # until both are seen local

            def both_local():
                for side in ("right", "left"):
                    self.desk.keys(FOCUS_KEYS[side])
                    if not within(lambda: self.shows("local"), 3):
                        return False
                return True
            self.press([HOME_KEYS["left"], HOME_KEYS["right"]],
                       "both panels to show the local folder", both_local)
            self.left = self.right = "local"
            self.active = "left"
            self.note("after the step that could not go on, both panels show the local folder")
        except StepFailed as failure:
            self.note(f"after the step that could not go on, the local folder: {failure}")

    def press(self, keys, what, effect, unheard=lambda: True, limit=30.0, again=5.0):
        """Sends keys and gives what effect() gives once true. Every `again`
        seconds without it, the keys go again if unheard() says they went
        without effect (the file manager still where they found it); while it
        cannot tell (a read that goes unheard too), or says they were heard,
        the effect is waited for. StepFailed after `limit` seconds."""
        end = time.monotonic() + limit
        while True:
            self.desk.keys(*keys)
            while True:
                found = within(effect, min(again, max(0.0, end - time.monotonic())))
                if found:
                    return found
                if time.monotonic() >= end:
                    raise StepFailed(f"waited {limit:.0f} s for {what}")
                if unheard():
                    self.note(f"{' '.join(keys)} again, for {what}")
                    break

    # Reading the panels and the message boxes ---------------------------------

    def cursor_name(self):
        """The name under the cursor; None when the keys went unheard."""
        try:
            return self.desk.copy_with("ctrl+shift+x", what="the name under the cursor",
                                       limit=3).strip()
        except StepFailed:
            return None

    def paths(self):
        """The paths of all files in the active panel, or None when the keys
        went unheard (as while the file manager ends an operation): Ctrl+A
        marks all, Ctrl+Shift+C copies their paths, Ctrl+Num- unmarks."""
        try:
            return self.desk.copy_with("ctrl+a", "ctrl+shift+c", "ctrl+KP_Subtract",
                                       what="the paths in the panel", limit=1.5).splitlines()
        except StepFailed:
            return None

    def shown(self, path):
        """The names in the active panel if it shows `path` in the store, else None."""
        prefix = "wfx://Corvanel\\" + "".join(part + "\\" for part in path)
        lines = self.paths() or []
        names = [line[len(prefix):] for line in lines if line.startswith(prefix)]
        if lines and len(names) == len(lines) and not any("\\" in name for name in names):
            return names
        return None

    def listing(self, path):
        """The names in the active panel, once it shows `path` in the store."""
        where = "wfx://Corvanel\\" + "\\".join(path)
        return wait_until(f"the panel to show {where}", lambda: self.shown(path))

    def message(self):
        """The text of the file manager's message box, once one has been on the
        screen for half a second (a progress window bears the same title for a
        moment); None before."""
        if not self.desk.windows(MESSAGE):
            self.message_since = None
            return None
        self.message_since = self.message_since or time.monotonic()
        if time.monotonic() - self.message_since < 0.5:
            return None
        try:
            text = self.desk.copy_with("ctrl+c", what="the message's text", limit=3)
        except StepFailed:
            return None
        return text if text.startswith("Double Commander\n----") else None

    def question_or(self, what, done, limit=30.0):
        """Waits for a message box or for `done`; gives the message's text, or None."""
        found = wait_until(f"a question or {what}", lambda: self.message() or done(), limit)
        return found if isinstance(found, str) else None

    def answer(self, key, text=None):
        """Return: the message's default (Overwrite, Yes, OK, Skip for an error);
        Escape: its escape (Skip, No). Again while the box stays: a box is
        there, and its text is `text` or cannot be read."""
        def stays():
            if not self.only_window(MESSAGE, f"{DIALOGS}|{VIEWED}"):  # a progress window may be behind
                return False
            now = within(self.message, 2)
            return now is None or text is None or now == text
        self.press([key], "the message box to close", lambda: not self.desk.windows(MESSAGE), stays,
                   limit=15)

    def nothing_open(self):
        """Whether no dialog, message, viewer, editor or progress window is open."""
        return not self.desk.windows(f"{DIALOGS}|{VIEWED}|{BUSY}")

    def only_window(self, pattern, among=f"{DIALOGS}|{VIEWED}|{BUSY}"):
        """Whether a window whose title matches `pattern` is open and no other
        of those `among` has opened: a key for that window went unheard, and
        sent again it reaches that window, not the panel behind."""
        windows = self.desk.windows(among)
        return bool(windows) and all(re.search(pattern, name) for name in windows)

    def key_for_window(self, key, pattern, what, again=10.0):
        """Sends key until a window whose title matches `pattern` shows; again
        only while nothing else has opened."""
        self.press([key], what, lambda: self.desk.windows(pattern), self.nothing_open, again=again)

    # Moving about --------------------------------------------------------------

    def put_cursor(self, name, typed=None):
        """Whether quick search (Ctrl+S, typing `typed`) put the cursor onto `name`."""
        self.desk.keys("ctrl+s")
        self.desk.type(typed or name)
        self.desk.keys("Escape")
        return self.cursor_name() == name

    def select(self, name, typed=None):
        """The cursor onto `name` by quick search, again while the panel is
        still loading."""
        wait_until(f"the cursor on {name}", lambda: self.put_cursor(name, typed), limit=20, every=0.5)

    def open_entry(self, name, what, shows):
        """Return on `name` (the cursor on it), again while the cursor stays
        there, until shows() gives the folder's names."""
        return self.press(["Return"], what, shows, lambda: self.cursor_name() == name)

    def enter(self, path, name):
        self.select(name)
        where = "wfx://Corvanel\\" + "\\".join(path + [name])
        return self.open_entry(name, f"the panel to show {where}", lambda: self.shown(path + [name]))

    def activate(self, side):
        """Makes `side` the active panel; when the two panels show different
        folders, again until the active one shows `side`'s: a key sent while
        an operation ends can go without effect."""
        key = FOCUS_KEYS[side]
        self.active = side
        where, other = getattr(self, side), self.right if side == "left" else self.left
        if where is None or where == other:
            self.desk.keys(key)
            return

        def shows():
            self.desk.keys(key)
            return within(lambda: self.shows(where), 1)
        wait_until(f"the {side} panel to be active", shows, every=0)

    def shows(self, where):
        """Whether the active panel shows `where`: "local" or a path in the store."""
        if where != "local":
            return self.shown(where) is not None
        lines = self.paths()
        return lines and all(line.startswith(self.layout.local_windows + "\\") for line in lines)

    def go(self, side, path):
        """Makes `side` active, showing `path`: from a local folder through the
        network entry's list, from inside the plugin from its root (Ctrl+\\)."""
        self.activate(side)
        where = getattr(self, side)
        if where == path:
            return
        setattr(self, side, None)
        if where is None:  # wherever a fault left it: the local folder first
            self.press([HOME_KEYS[side]], f"the {side} panel to show the local folder",
                       lambda: self.shows("local"))
            where = "local"
        if where == "local":
            # The network entry's list, again while the panel shows the local folder.
            self.press(["ctrl+shift+n"], "the network entry's list, with Corvanel",
                       lambda: self.put_cursor("Corvanel"), lambda: self.shows("local"))
            self.open_entry("Corvanel", "the panel to show the plugin's root",
                            lambda: self.shown([]))
        else:
            def at_root():  # Ctrl+\\ again: a key sent as an operation ends can be lost
                self.desk.keys("ctrl+backslash")
                return within(lambda: self.shown([]) is not None, 1.5)
            wait_until("the panel to show the plugin's root", at_root, every=0)
        for depth, name in enumerate(path):
            self.enter(path[:depth], name)
        setattr(self, side, list(path))

    # The file manager's copy ----------------------------------------------------

    def copy(self, name, typed=None, key="F5", dialog=COPY_DIALOG):
        """The cursor onto `name`, F5 (or F6 with the move dialog), then Start
        in the dialog; each key again until it shows."""
        self.select(name, typed)
        self.key_for_window(key, dialog, f"the dialog after {key}")
        self.press(["Return"], f"the dialog after {key} to close", lambda: not self.desk.windows(dialog),
                   lambda: self.only_window(dialog), again=10)

    def copied(self, what, target, source, limit=60.0):
        wait_until(f"{what} to equal {source}",
                   lambda: target.is_file() and target.read_bytes() == source.read_bytes(), limit)

    def copy_ended(self, limit=90.0):
        """Waits for the copy's progress window to close; a message on the way
        (an error) gets Escape and is noted."""
        def ended():
            text = self.message()
            if text:
                self.note(f"the file manager said: {said(text)}")
                self.answer("Escape", text)
            return not self.desk.windows(PROGRESS)
        wait_until("the copy's progress window to close", ended, limit)

    def copy_onto(self, name, target, key, asks):
        """Copies `name` onto the existing `target`; checks that the file manager
        asks first and answers with `key`. Returns what the target held before."""
        kept = target.read_bytes()
        self.copy(name)
        text = self.question_or(f"{target} to change", lambda: target.read_bytes() != kept)
        self.check(asks, overwrite_question(text), f"no question: {target} was replaced"
                   if text is None else f"it said: {said(text)}")
        if text:
            self.answer(key, text)
        self.copy_ended()
        return kept

    def settle(self, what, look, expected, limit=60.0, quiet=3.0):
        """What look() gives once it gives `expected` (after the progress
        window has closed), or once it has given one value for `quiet` seconds
        with no progress window or message on the screen: the operation ended
        short. A message on the way (an error) is noted and gets Escape."""
        last = [None, time.monotonic()]

        def ended():
            text = self.message()
            if text:
                self.note(f"the file manager said: {said(text)}")
                self.answer("Escape", text)
            found = look()
            if found == expected:
                within(lambda: not self.desk.windows(BUSY), 10)
                return [found]
            now = time.monotonic()
            if found != last[0] or self.desk.windows(BUSY) or self.desk.windows(MESSAGE):
                last[:] = [found, now]
            elif now - last[1] >= quiet:
                return [found]
            return None
        return wait_until(what, ended, limit)[0]

    def dropped(self, path, name):
        """Waits for the active panel, showing `path`, to reload without `name`
        once an operation took it away; keys sent before it has can be lost."""
        within(lambda: name not in (self.shown(path) or [name]), 10)

    def whole(self, name, expected, found):
        self.check(name, found == expected, differences(expected, found))

    # The steps -------------------------------------------------------------------

    def program_env(self):
        """The file manager's environment: the reference engine over the walk's
        store, each chunk of a transfer slowed for Cancel; in the 64-bit
        edition, an engine that stalls and one that dies at names of their own."""
        env = dict(self.wine.env, DISPLAY=self.desk.env["DISPLAY"],
                   CORVANEL_THROTTLE_MS=str(THROTTLE_MS),
                   CORVANEL_STORE=wine_path(self.layout.store))
        if self.layout.edition == 64:
            env.update(CORVANEL_STALL_NAME=STALL_NAME, CORVANEL_CRASH_NAME=CRASH_NAME)
        return env

    def start(self):
        """The file manager starts with the plugin installed."""
        local = self.layout.local_windows
        self.program = subprocess.Popen(
            ["wine", "explorer", "/desktop=walk,1270x790", "doublecmd.exe", "-L", local, "-R", local],
            cwd=self.layout.app, env=self.program_env(), stdout=self.log, stderr=subprocess.STDOUT)
        self.desk.wait_window(MAIN_WINDOW, "the main window", limit=90)
        self.check("the file manager starts with the plugin installed", True)

    def browse(self):
        """Browse: the root, an account, a bucket, a folder."""
        self.go("left", [])
        root = self.listing([])
        self.check("browse: the root lists the accounts",
                   sorted(root) == ["family", "old-name", "work"], f"it lists {root}")
        self.enter([], "work")
        bucket = self.enter(["work"], "reports")
        expected = [CP1252_NAME, "big.iso", "movie.mp4", "notes.txt", "old.log", "photo.jpg",
                    "q1.txt", "summaries"]
        self.check("browse: an account, then a bucket with its objects and folder",
                   sorted(bucket) == sorted(expected), f"it lists {bucket}")
        self.check("a name with cp1252 characters lists as it is", CP1252_NAME in bucket,
                   f"it lists {bucket}")
        folder = self.enter(REPORTS, "summaries")
        self.check("browse: a folder", folder == ["2009.txt"], f"it lists {folder}")
        self.press(["ctrl+Prior"], "the panel to show the bucket again", lambda: self.shown(REPORTS),
                   lambda: self.shown(REPORTS + ["summaries"]) is not None)
        self.left = REPORTS

    def exact_size(self):
        """A 5 GiB + 1 object shows its exact size."""
        self.go("left", REPORTS)
        self.select("big.iso")
        columns = self.desk.copy_with("ctrl+shift+l", what="the columns of big.iso").split("\t")
        self.check("a 5 GiB + 1 object shows its exact size",
                   len(columns) > 2 and re.sub(r"\D", "", columns[2]) == str(BIG_SIZE),
                   f"its columns read {columns}")

    def download(self):
        """Download (F5) is byte-identical."""
        self.go("left", REPORTS)
        self.copy("photo.jpg")
        self.copied("the downloaded photo.jpg", self.layout.local / "photo.jpg",
                    self.layout.reports("photo.jpg"))
        self.check("download (F5) is byte-identical", True)

    def download_cp1252(self):
        """A name with cp1252 characters downloads byte-identical."""
        self.go("left", REPORTS)
        self.copy(CP1252_NAME, typed="Gr")
        self.copied(f"the downloaded {CP1252_NAME}", self.layout.local / CP1252_NAME,
                    self.layout.reports(CP1252_NAME))
        self.check("a name with cp1252 characters downloads byte-identical", True)

    def download_onto_existing(self):
        """Download onto an existing local file asks first."""
        self.go("left", REPORTS)
        target = self.layout.local / "q1.txt"
        kept = self.copy_onto("q1.txt", target, "Escape",
                              "download onto an existing local file asks first")
        self.check("\"No\" keeps the local file", target.read_bytes() == kept, f"{target} changed")

    def cancel_download(self):
        """Cancel during a slow download."""
        self.go("left", REPORTS)
        target = self.layout.local / "movie.mp4"
        self.copy("movie.mp4")
        wait_until("the download of movie.mp4 to start",
                   lambda: target.is_file() and target.stat().st_size)
        self.desk.wait_window(PROGRESS, "the copy's progress window")
        self.cancel_in_progress_window()
        self.desk.picture("cancelled")
        stopped = within(lambda: self.settled(target), 30) in ("gone", "stopped")
        gone = within(lambda: not target.exists(), 30 if self.layout.edition == 64 else 0)
        self.copy_ended()
        if self.layout.edition == 64:
            self.check("Cancel: the local file stops growing", stopped,
                       "it grew to the whole object")
            self.check("Cancel: the partial local file is gone", gone, f"{target} is still there")
        else:
            growth = "stopped" if stopped else "grew to the whole object"
            self.note(f"32-bit edition, Cancel: the local file {growth}"
                      f" and {'is gone' if gone else 'is kept'}")
        self.download_again(target)

    def cancel_in_progress_window(self):
        """Escape in the progress window (its Cancel) until the question
        whether to cancel comes; "Yes"."""
        text = self.press(["Escape"], "the question whether to cancel", self.message,
                          lambda: self.desk.windows(PROGRESS) and not self.desk.windows(MESSAGE))
        if "cancel" not in text:
            raise StepFailed("the question whether to cancel; another message came")
        self.answer("Return", text)

    def settled(self, target, quiet=2.0):
        """"gone", "whole", or "stopped" once the file has kept one size short of
        the whole object for `quiet` seconds; None while it changes."""
        if not target.exists():
            return "gone"
        size, now = target.stat().st_size, time.monotonic()
        if size >= SLOW_SIZE:
            return "whole"
        if self.size_seen[0] != size:
            self.size_seen = (size, now)
        return "stopped" if now - self.size_seen[1] >= quiet else None

    def download_again(self, target):
        if target.exists():
            target.unlink()  # what Cancel left behind: the download starts anew
        self.copy("movie.mp4")
        self.copied("movie.mp4 downloaded again", target, self.layout.reports("movie.mp4"),
                    limit=90)
        if self.layout.edition == 64:
            self.check("Cancel: the same download right after works", True)
        else:
            self.note("32-bit edition: the same download right after works")

    def make_folder(self):
        """F7 creates a folder."""
        self.go("left", REPORTS)
        self.key_for_window("F7", MKDIR_DIALOG, "the new folder dialog")
        self.desk.type("drafts")
        self.press(["Return"], "the folder drafts in the bucket", self.layout.reports("drafts").is_dir,
                   lambda: self.only_window(MKDIR_DIALOG), limit=15, again=10)
        self.check("F7 creates a folder", True)

    def rename(self, old, new):
        """Shift+F6 edits the name in place."""
        self.select(old)
        self.desk.keys("shift+F6", "ctrl+a")
        self.desk.type(new)
        self.desk.keys("Return")

    def rename_object(self):
        """Shift+F6 renames an object."""
        self.go("left", REPORTS)
        self.rename("photo.jpg", "photo-2009.jpg")
        wait_until("photo.jpg renamed to photo-2009.jpg",
                   lambda: self.layout.reports("photo-2009.jpg").is_file()
                   and not self.layout.reports("photo.jpg").exists(), limit=15)
        self.check("Shift+F6 renames an object", True)

    def delete_object(self):
        """F8 deletes an object."""
        self.go("left", REPORTS)
        self.select("old.log")
        self.key_for_window("F8", MESSAGE, "the question whether to delete")
        self.answer("Return")
        wait_until("old.log to be gone", lambda: not self.layout.reports("old.log").exists(),
                   limit=15)
        self.check("F8 deletes an object", True)

    def upload(self):
        """Upload (F5) is byte-identical."""
        self.go("left", REPORTS)
        self.activate("right")  # the local folder since the start
        self.copy("holiday.mp4")
        self.copied("the uploaded holiday.mp4", self.layout.reports("holiday.mp4"),
                    self.layout.local / "holiday.mp4")
        self.check("upload (F5) is byte-identical", True)

    def upload_onto_existing(self):
        """Upload onto an existing object asks first."""
        self.go("left", REPORTS)
        self.activate("right")
        target = self.layout.reports("notes.txt")
        kept = self.copy_onto("notes.txt", target, "Escape",
                              "upload onto an existing object asks first")
        self.check("\"No\" keeps the object", target.read_bytes() == kept, f"{target} was replaced")

    def download_folder(self):
        """F5 downloads a store folder whose subfolder lists first."""
        self.go("left", PROJECTS)
        source, target = self.layout.projects("album"), self.layout.local / "album"
        expected = tree_of(source)
        self.copy("album")
        found = self.settle("the downloaded album", lambda: tree_of(target), expected) or {}
        objects = {name: data for name, data in expected.items() if not name.endswith("/")}
        self.whole("F5 downloads a store folder whose subfolder lists first: every object"
                   " arrives byte-identical",
                   objects, {name: data for name, data in found.items() if name in objects})
        folders = {name for name in expected if name.endswith("/")}
        self.check("F5 downloads a store folder: its folders are made",
                   target.is_dir() and folders <= set(found),
                   f"missing: {', '.join(sorted(folders - set(found))) or 'album itself'}")

    def delete_folder(self):
        """F8 deletes a store folder tree."""
        self.go("left", PROJECTS)
        bucket = self.layout.store.joinpath(*PROJECTS)
        beside = {name: data for name, data in tree_of(bucket).items()
                  if not name.startswith("tree/")}
        self.select("tree")
        self.key_for_window("F8", MESSAGE, "the question whether to delete")
        self.answer("Return")
        found = self.settle("the folder tree to be gone", lambda: tree_of(bucket), beside)
        self.dropped(PROJECTS, "tree")
        left = [name for name in sorted(found) if name.startswith("tree/")]
        self.check("F8 deletes a store folder tree: all of it goes",
                   not self.layout.projects("tree").exists(),
                   f"left: {', '.join(left) or 'the folder tree itself'}")
        self.whole("F8 deletes a store folder tree: nothing beside it goes", beside,
                   {name: data for name, data in found.items() if not name.startswith("tree/")})

    def upload_folder(self):
        """F5 uploads a local folder tree."""
        self.go("left", PROJECTS)
        self.activate("right")
        source, target = self.layout.local / "trip", self.layout.projects("trip")
        expected = tree_of(source)
        self.copy("trip")
        self.whole("F5 uploads a local folder tree with a subfolder: it arrives whole", expected,
                   self.settle("the uploaded trip", lambda: tree_of(target), expected))

    def view_object(self):
        """F3 shows an object's text in the viewer."""
        self.go("left", PROJECTS)
        self.select("readme.txt")
        viewer = r"readme\.txt$"  # the viewer's title: the path of the downloaded copy
        self.key_for_window("F3", viewer, "the viewer")
        text = self.layout.projects("readme.txt").read_bytes().decode().strip()
        shown = [None]

        def shows_text():  # Ctrl+A and Ctrl+C in the viewer: its text to the clipboard
            try:
                shown[0] = self.desk.copy_with("ctrl+a", "ctrl+c", what="the viewer's text",
                                               limit=3).strip()
            except StepFailed:
                return False
            return shown[0] == text
        ok = within(shows_text, 15)
        self.desk.picture("viewer")
        self.check("F3 shows an object's text in the viewer", ok,
                   f"it shows {shown[0]!r}, the object holds {text!r}")
        self.press(["Escape"], "the viewer to close", lambda: not self.desk.windows(viewer),
                   lambda: self.desk.windows(viewer), limit=15)

    def edit_object(self):
        """F4 edits an object, and the copy back leaves the edit in the store."""
        self.go("left", PROJECTS)
        target = self.layout.projects("todo.txt")
        self.select("todo.txt")
        editor = r"todo\.txt$"  # the editor's title: the path of the downloaded copy
        self.key_for_window("F4", editor, "the editor")
        edit = "call the printer on Monday"
        self.desk.keys("ctrl+a")
        self.desk.type(edit)
        self.desk.keys("F2")  # saves
        self.desk.picture("editor")
        # Escape closes the editor: the question whether to copy back.
        text = self.press(["Escape"], "the question whether to copy the file back", self.message,
                          lambda: self.desk.windows(editor) and not self.desk.windows(MESSAGE))
        self.check("F4: closing the editor on a changed file asks to copy it back",
                   "Do you want to copy it backward?" in text, f"it said: {said(text)}")
        self.answer("Return", text)  # Yes
        found = self.settle("the edit in the store", lambda: target.read_bytes().rstrip(b"\r\n"),
                            edit.encode(), limit=30)
        self.check("F4 edits an object: the copy back leaves the edit in the store",
                   found == edit.encode(), f"the store holds {found!r}")

    def folder_size(self):
        """Calculate Occupied Space counts a store folder tree."""
        self.go("left", PROJECTS)
        tree = tree_of(self.layout.projects("plans"))
        objects = [data for name, data in tree.items() if not name.endswith("/")]
        # The count takes in the folder itself.
        held = (len(objects), len(tree) - len(objects) + 1, sum(map(len, objects)))
        self.select("plans")
        # Files > Calculate Occupied Space.
        box = self.press(["ctrl+l"], "the occupied space", self.message, self.nothing_open)
        text = said(box)
        counted = re.fullmatch(r"Files: (\d+), Dirs: (\d+), Size: .*\((.*) bytes\)", text)
        counted = counted and tuple(int(re.sub(r"\D", "", figure)) for figure in counted.groups())
        self.check("Calculate Occupied Space on a store folder tree counts every object and"
                   " folder of it", counted == held,
                   f"it said \"{text}\"; the store holds {held[0]} objects of {held[2]} bytes"
                   f" in {held[1]} folders, the tree's own among them")
        self.answer("Return", box)

    def copy_folder_in_store(self):
        """F5 copies a folder tree inside the store."""
        self.go("right", ARCHIVE)
        self.go("left", PROJECTS)
        source, target = self.layout.projects("plans"), self.layout.store.joinpath(*ARCHIVE, "plans")
        expected = tree_of(source)
        self.copy("plans")
        self.whole("F5 inside the store copies a folder tree: the target is whole", expected,
                   self.settle("the copied plans", lambda: tree_of(target), expected))
        self.whole("F5 inside the store copies a folder tree: the source is kept", expected,
                   tree_of(source))

    def move_folder_in_store(self):
        """F6 moves a folder tree inside the store."""
        self.go("right", ARCHIVE)
        self.go("left", PROJECTS)
        source, target = self.layout.projects("outbox"), self.layout.store.joinpath(*ARCHIVE, "outbox")
        expected = tree_of(source)
        self.copy("outbox", key="F6", dialog=MOVE_DIALOG)
        found, left = self.settle("the moved outbox", lambda: (tree_of(target), tree_of(source)),
                                  (expected, None))
        self.whole("F6 inside the store moves a folder tree: the target is whole", expected, found)
        self.dropped(PROJECTS, "outbox")
        self.check("F6 inside the store moves a folder tree: the source is gone", left is None,
                   f"left: {', '.join(sorted(left or {})) or 'the folder itself'}")

    def rename_account(self):
        """Shift+F6 renames an account."""
        self.go("left", [])
        self.rename("old-name", "new-name")
        wait_until("the account old-name renamed to new-name",
                   lambda: (self.layout.store / "new-name").is_dir()
                   and not (self.layout.store / "old-name").exists(), limit=15)
        self.check("Shift+F6 renames an account", True)

    def placeholder_download(self):
        """F5 on a placeholder asks no overwrite question."""
        self.go("left", ["family"])
        self.copy(PLACEHOLDER, typed="Create")
        # A message comes either way: the question, or the error that it cannot be downloaded.
        text = within(self.message, 20)
        self.check("F5 on a placeholder asks no overwrite question", not overwrite_question(text),
                   f"it asked: {said(text or '')}")
        if text:
            self.answer("Escape", text)
        self.copy_ended()
        self.check("F5 on a placeholder writes no local file",
                   not (self.layout.local / PLACEHOLDER).exists(), "the local file is there")

    def placeholder_open(self):
        """Opening "Create new bucket(F7)" creates a bucket and the panel shows it."""
        self.go("left", ["family"])
        self.select(PLACEHOLDER, typed="Create")
        account = self.layout.store / "family"
        made = self.press(["Return"], "a bucket in the account family",
                          lambda: [p.name for p in account.iterdir()],
                          lambda: self.cursor_name() == PLACEHOLDER, limit=15)
        shown = within(lambda: made[0] in self.listing(["family"]), 15)
        self.check("opening \"Create new bucket(F7)\" creates a bucket and the panel shows it",
                   shown, f"the panel does not show {made[0]}")

    def copy_in_store(self):
        """A copy inside the store onto an existing object asks first."""
        self.go("right", ["work", "archive"])
        self.go("left", REPORTS)
        source = self.layout.reports("notes.txt")
        target = self.layout.store / "work" / "archive" / "notes.txt"
        self.copy_onto("notes.txt", target, "Return",
                       "a copy inside the store onto an existing object asks first")
        self.check("\"Yes\" replaces the object",
                   within(lambda: target.read_bytes() == source.read_bytes(), 15),
                   f"waited 15 s for {target} to equal {source}")

    # Synchronize directories: copies on the main thread -----------------------

    def show_right(self, keys, folder):
        """Makes the right panel active, showing the local `folder` (Windows
        path), by keys of this copy's settings, again until it does."""
        self.right = None
        self.active = "right"

        def shows():
            lines = within(self.paths, 2)
            return lines and all(line.rpartition("\\")[0] == folder for line in lines)
        # The focus key after the others: Quick view, as it closes, makes its own panel active.
        self.press([*keys, FOCUS_KEYS["right"]], f"the right panel to show {folder}", shows)

    def on_top(self, pattern):
        names = self.desk.windows(".")  # in stacking order: the last is in front
        return bool(names) and re.search(pattern, names[-1]) is not None

    def error_box(self):
        """The file manager's own box for an exception that reached it,
        answered Ignore, as a StepFailed."""
        self.desk.picture("error")
        try:
            text = said(self.desk.copy_with("ctrl+c", what="the error's text", limit=3))
        except StepFailed:
            text = "(its text could not be read)"
        self.desk.keys("Return")  # Ignore: Abort would leave it hanging in its exit
        return StepFailed(f"the file manager reported an error: {text}")

    def start_sync(self, started):
        """Opens Synchronize directories on the two panels (Ctrl+Shift+Y);
        Return compares, Return again (Synchronize, the default button once
        it found a difference) asks what to copy, and Return (OK) starts it.
        Waits for started()."""
        self.key_for_window("ctrl+shift+y", SYNC_DIALOG, "the Synchronize directories window")
        # Return, again only to that window: in the panel it opens a file.
        self.desk.keys("Return")
        self.press(["Return"], "its question what to synchronize",
                   lambda: self.desk.windows(SYNC_QUESTION) or started(),
                   lambda: self.on_top(SYNC_DIALOG), again=3)
        self.press(["Return"], "its question to close", lambda: not self.desk.windows(SYNC_QUESTION),
                   lambda: self.on_top(SYNC_QUESTION), limit=15, again=3)
        wait_until("the synchronisation to start", started, limit=20)

    def into_main_window(self):
        """A click on the main window's title: it comes in front of the
        Synchronize directories window, with the keys, while that copies."""
        def in_front():
            self.click(MAIN_TITLE)
            return within(lambda: self.on_top(MAIN_WINDOW), 2)
        wait_until("the main window in front", in_front, limit=10, every=0)

    def sync_ended(self, target, source):
        """Waits for the synchronisation to end (its window comes back in front
        to compare again), and closes that window. Gives whether `target` was
        then byte-identical to `source`, and what it held."""
        def ended():
            if self.desk.windows(ERROR_BOX):
                raise self.error_box()
            return self.on_top(SYNC_DIALOG)
        wait_until("the synchronisation to end", ended, limit=90)
        held = target.stat().st_size if target.is_file() else None
        whole = held == SYNC_SIZE and target.read_bytes() == source.read_bytes()
        self.close_sync_window()
        return whole, f"{target.name} held {held} of {SYNC_SIZE} bytes when it ended"

    def click(self, point):
        """A click at a point of the screen; the mouse then rests on the main
        window's title, where it brings up no hint window."""
        self.desk.x("xdotool", "mousemove", *point, "click", "1", "mousemove", *MAIN_TITLE)

    def close_sync_window(self):
        """Closes Synchronize directories, once in front, with a click on its
        Close button: in front, it may still be without the keys."""
        def closed():
            if self.on_top(SYNC_DIALOG):
                self.click(SYNC_CLOSE)
            return within(lambda: not self.desk.windows(SYNC_DIALOG), 2)
        wait_until("the Synchronize directories window to close", closed, limit=15, every=0)

    def leave_sync(self):
        """After a synchronisation step, also one that could not go on: no
        Synchronize directories window, no Quick view, and the right panel
        local as before."""
        if self.program.poll() is not None:
            return
        try:
            if self.on_top(SYNC_DIALOG):
                self.close_sync_window()
            self.show_right(("ctrl+shift+F5", HOME_KEYS["right"]), LOCAL)
            self.right = "local"
        except StepFailed as failure:
            self.note(f"after the synchronisation the panels could not be restored: {failure}")

    def sync_panels(self):
        """The bucket in the left panel, the local folder paired with it in the
        right one, active (Ctrl+Shift+F3)."""
        self.show_right(("ctrl+shift+F3",), f"{LOCAL}\\{SYNC_LOCAL}")
        self.left = SYNC

    def sync_download(self):
        """Synchronize directories downloads a slow object while a store folder opens."""
        source = self.layout.store.joinpath(*SYNC, FILM)
        target = self.layout.local / SYNC_LOCAL / FILM
        try:
            self.sync_panels()
            self.start_sync(lambda: target.is_file() and target.stat().st_size > 0)
            self.into_main_window()
            path = self.desk.snapshot(RIGHT_HEADER)
            # The right panel opens \work\projects, listed inside the copy. Sent
            # once: a key sent again would wait for the copy's end, and list
            # the folder again outside it.
            self.desk.keys("ctrl+shift+F4")
            opened = within(lambda: self.desk.snapshot(RIGHT_HEADER) != path, 10)
            down = target.stat().st_size
            self.desk.picture("store-folder-during-sync")
            self.check("Synchronize directories: a store folder opens while its download runs",
                       opened and down < SYNC_SIZE,
                       "it opened only once the download had ended" if opened
                       else "the right panel's path did not change")
            whole, detail = self.sync_ended(target, source)
            self.check("Synchronize directories: the slow download ends byte-identical", whole,
                       detail)
            # The file manager does not list the folder again by itself: the
            # panel shows what the listing inside the copy gave.
            self.right = PROJECTS
            names = within(lambda: self.shown(PROJECTS), 10)
            held = sorted(entry.name for entry in self.layout.store.joinpath(*PROJECTS).iterdir())
            self.check("Synchronize directories: the folder opened during the download lists"
                       " its entries", sorted(names or []) == held,
                       f"it lists {names or 'nothing'}, the store holds {held}")
        finally:
            self.leave_sync()

    def quick_view_copies(self):
        """The copies of the bucket's note in the file manager's temporary folders."""
        return sorted((self.layout.prefix / "drive_c" / "users" / USER).glob(f"**/_dc/*/{NOTE}"))

    def sync_quick_view(self):
        """Quick view (Ctrl+Q) on a store object while Synchronize directories uploads a slow file.

        An upload: a download started inside a download waits for good in the
        file manager, for its one connection that downloads from a plugin."""
        source = self.layout.local / SYNC_LOCAL / CLIP
        target = self.layout.store.joinpath(*SYNC, CLIP)
        note = self.layout.store.joinpath(*SYNC, NOTE).read_bytes()
        write_file(source, os.urandom(SYNC_SIZE))
        for stale in self.quick_view_copies():  # the prefix's, from walks before
            stale.unlink()
        try:
            self.sync_panels()
            self.activate("left")
            self.select(NOTE)
            self.start_sync(lambda: target.is_file() and target.stat().st_size > 0)
            self.into_main_window()

            # Sent once, for the same reason as the folder in sync_download.
            self.desk.keys("ctrl+q")
            copy = within(lambda: next((copy for copy in self.quick_view_copies()
                                        if copy.read_bytes() == note), None), 15)
            up = target.stat().st_size if target.is_file() else 0
            self.desk.picture("quick-view-during-sync")
            self.check("Quick view on a store object while a slow upload runs shows the"
                       " object's own bytes", copy is not None and up < SYNC_SIZE,
                       f"{NOTE} came down only once the upload had ended" if copy
                       else f"no copy of {NOTE} holds its bytes: "
                            f"{[c.read_bytes() for c in self.quick_view_copies()]}")
            whole, detail = self.sync_ended(target, source)
            self.check("Synchronize directories: the upload around Quick view ends whole", whole,
                       detail)
        finally:
            self.leave_sync()

    def engine_question(self):
        """The text of the plugin's question whether to stop the storage engine,
        once it is on the screen (titled as the engine's windows); None before."""
        if not self.desk.windows(ENGINE_WINDOW):
            return None
        try:
            text = self.desk.copy_with("ctrl+c", what="the question's text", limit=3)
        except StepFailed:
            return None
        return text if "Stop the storage engine?" in text else None

    def next_folder_lists(self, what):
        """After a fault in the faults bucket: the file manager answers, and a
        healthy folder beside lists."""
        self.left = None  # wherever the fault left the panel
        within(lambda: self.desk.windows(MAIN_WINDOW) and not self.desk.windows(BUSY), 15)
        self.go("left", FAULTS)
        shown = within(lambda: self.enter(FAULTS, "healthy"), 30)
        self.left = FAULTS + ["healthy"]
        self.check(f"{what}: the file manager answers and the next folder lists",
                   shown == ["fine.txt"], f"it shows {shown}")

    def stalled_listing(self):
        """A store folder whose listing stalls asks whether to stop the engine."""
        self.go("left", FAULTS)
        self.select("stalled")
        # Within the module's bound, as the build read it, and some slack.
        limit = product_time(self.layout.build, "kQuestionAfterMs") + 10
        started = time.monotonic()
        self.desk.keys("Return")
        text = within(self.engine_question, limit)
        waited = time.monotonic() - started
        self.desk.picture("stop-question")
        self.check(f"a listing that stalls asks within {limit:.0f} s whether to stop"
                   " the storage engine", text and "listing \\work\\faults\\stalled" in text,
                   f"it said: {text}" if text else "no question came")
        if not text:
            raise StepFailed("the question whether to stop the storage engine")
        self.note(f"the question came {waited:.1f} s after Return: {said(text)}")
        self.press(["Return"], "the question to close", lambda: not self.desk.windows(ENGINE_WINDOW),
                   lambda: self.only_window(ENGINE_WINDOW), limit=15, again=10)  # Yes
        self.next_folder_lists("after Yes")

    def crashed_listing(self):
        """A store folder whose engine dies while it lists fails alone."""
        self.go("left", FAULTS)
        self.select("crashed")
        self.desk.keys("Return")
        self.next_folder_lists("after the engine died in a listing")

    def stalled_upload(self):
        """Cancel ends an upload whose engine stalls."""
        self.go("left", FAULTS + ["uploads"])
        self.activate("right")
        self.copy(STALL_NAME)
        self.desk.wait_window(PROGRESS, "the upload's progress window")
        time.sleep(2)  # the engine has the upload, and says nothing
        started = time.monotonic()
        self.cancel_in_progress_window()
        ended = within(lambda: not self.desk.windows(PROGRESS), 15)
        self.note(f"the progress window closed {time.monotonic() - started:.1f} s after Cancel")
        self.check("Cancel ends an upload whose engine stalls", ended,
                   "the progress window stays")
        target = self.layout.store.joinpath(*FAULTS, "uploads", STALL_NAME)
        self.check("the stalled upload left no object", not target.exists(), f"{target} is there")
        self.next_folder_lists("after the stalled upload")

    def root_properties(self):
        """Properties on the root open the engine's window."""
        self.go("left", [])
        self.left = None
        # Up from the root: the network entry's list, where the cursor goes onto Corvanel.
        self.press(["ctrl+Prior"], "the network entry's list, with Corvanel",
                   lambda: self.put_cursor("Corvanel"), lambda: self.shown([]) is not None)
        printed = self.log.tell()

        def opened():
            return "window" if self.desk.windows(ENGINE_WINDOW) else self.printed_since(printed, b"Store ")
        found = self.press(["alt+Return"], "the engine's window titled Corvanel, or its report on a console",
                           opened, lambda: self.cursor_name() == "Corvanel", again=15)
        self.desk.picture("properties")
        self.check("properties on the root open the engine's window", found == "window",
                   "the engine printed its report to a console instead")
        if found == "window":
            self.press(["Return"], "the engine's window to close",
                       lambda: not self.desk.windows(ENGINE_WINDOW), lambda: self.only_window(ENGINE_WINDOW),
                       limit=15, again=10)
        self.desk.keys("Escape")  # Alt has left the menu bar active

    def printed_since(self, offset, text):
        with open(self.log.name, "rb") as log:
            log.seek(offset)
            return text in log.read()

    def still_running(self):
        """The file manager still runs at the end."""
        self.check("the file manager still runs at the end",
                   self.program.poll() is None and self.desk.windows(MAIN_WINDOW),
                   "its main window is gone")

    def exit(self):
        """After it exits no corvanel_helper.exe is left."""
        self.press(["Escape", "alt+x"], "the file manager to exit", lambda: self.program.poll() is not None,
                   lambda: self.desk.windows(MAIN_WINDOW) and self.nothing_open(), limit=60, again=10)
        wait_until("no corvanel_helper.exe left in the prefix",
                   lambda: not self.wine.processes("corvanel_helper.exe"), limit=30)
        self.check("after it exits no corvanel_helper.exe is left", True)

    def steps(self):
        # The faults steps upload from the right panel: they come while it is local.
        faults = ([self.stalled_listing, self.crashed_listing, self.stalled_upload]
                  if self.layout.edition == 64 else [])
        return [self.start, self.browse, self.exact_size, self.download, self.download_cp1252,
                self.download_onto_existing, self.cancel_download, self.make_folder,
                self.rename_object, self.delete_object, self.upload, self.upload_onto_existing,
                *faults, self.download_folder, self.delete_folder, self.upload_folder,
                self.view_object, self.edit_object, self.folder_size, self.rename_account,
                self.placeholder_download, self.placeholder_open, self.copy_folder_in_store,
                self.move_folder_in_store, self.copy_in_store, self.root_properties,
                self.sync_download, self.sync_quick_view,
                self.still_running, self.exit]


def product_time(build, name):
    """A time that sets the plugin's behaviour, in seconds, as the build wrote
    it from common/timing.h."""
    return json.loads((build / "generated" / "timing.json").read_text())[name] / 1000


def command_line(description, add_arguments=lambda parser: None):
    """The arguments: --edition, --build and those add_arguments adds."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--edition", type=int, choices=(32, 64), required=True)
    parser.add_argument("--build", type=Path,
                        default=Path(os.environ.get("BUILD_DIR", CHECKOUT / "build")))
    add_arguments(parser)
    args = parser.parse_args()
    args.build = args.build.resolve()
    return args


def build_file_manager(build):
    """None once the file manager is built; else the exit status: SKIP when
    there is no source to build it from, 1 when its build failed."""
    env = dict(os.environ, BUILD_DIR=str(build))
    where = subprocess.run([str(HERE / "build.sh"), "--where"], env=env, stdout=subprocess.DEVNULL)
    if where.returncode:
        return SKIP
    return 1 if subprocess.run([str(HERE / "build.sh")], env=env).returncode else None


def session(layout, lay_out, make_files, walker, steps):
    """Lays out the file manager (lay_out), starts a screen of its own and
    the prefix's server with the reference engine registered, makes the
    files (make_files, once the prefix exists) and runs the steps that
    steps(walker) gives; what it started ends with it. Returns the walker."""
    shutil.rmtree(layout.pictures, ignore_errors=True)
    layout.pictures.mkdir(parents=True)
    lay_out(layout)
    wine = Wine(layout)
    with open(layout.walk / "xvfb.log", "w") as xlog, \
            open(layout.walk / "doublecmd.log", "w") as log:
        screen = Screen(xlog)
        wine.prefix_command("register", str(layout.build / "bin" / "corvanel_engine.dll"))
        make_files(layout)
        wine.prefix_command("start")
        walk = walker(layout, Desk(screen.display, layout.pictures), wine, log)
        try:
            walk.run(steps(walk))
        finally:
            if walk.program and walk.program.poll() is None:
                walk.program.send_signal(signal.SIGTERM)
                walk.program.wait(10)
            wine.prefix_command("stop")
            screen.stop()
    return walk


def main():
    # CTest's time limit ends the walk with SIGTERM: the cleanup below still runs.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(1))
    args = command_line(__doc__.splitlines()[0])
    failed = build_file_manager(args.build)
    if failed is not None:
        return failed
    started = time.monotonic()
    layout = Layout(args.build, args.edition)
    walk = session(layout, lay_out_file_manager, make_store, Walk, Walk.steps)
    print(f"The {args.edition}-bit edition walked in {time.monotonic() - started:.0f} s; "
          f"pictures in {layout.pictures}")
    print(f"{walk.passed} passed, {walk.failed} failed")
    return 1 if walk.failed else 0


if __name__ == "__main__":
    sys.exit(main())

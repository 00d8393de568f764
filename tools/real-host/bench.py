#!/usr/bin/env python3
"""Times the plugin in Double Commander for Windows against the same file manager's local copies.

    bench.py --edition 32|64 [--build BUILD_DIR] [--rounds N] [--rows 1,2,...]
             [--sizes 1000,10000,100000] [--latency off|on]

A benchmark run by hand, not a test. It lays out the walk's portable file
manager (walk.py) with the plugin in BUILD_DIR/real-host/benchNN/, the
reference engine unthrottled over a store there and the local folders in the
Wine user's Documents, on the same disk. Each row times one operation from
the key that starts it to its result on disk or in the panel, through the
plugin and, beside it, between two local folders:

  1. F5 downloads a store folder of 500 objects of 4 KiB
  2. F5 uploads a local folder of 500 files of 4 KiB into a new store folder
  3. F5 downloads, and uploads, one object of 256 MiB
  4. opening a store folder of 20,000 objects until the panel shows them all

and the everyday flows of tests/bench/flows_bench.cpp, in folders of 1,000,
10,000 and 100,000 objects (--sizes), each also beside the same work straight
on the engine (the floor: flows_bench.exe --measure floor, run in the same
prefix over the same store):

  5. opening the folder until the panel shows its last name
  6. F5 of 100 local files of 4 KiB into the folder, shown in the other panel
  7. F5 downloads a store folder of 1,000 objects of 4 KiB
  8. F8 deletes 100 marked objects of the folder
  9. Shift+F6 renames one object of the folder (the floor: a hundredth of
     100 renames)

--latency on gives the reference engine its model of a store across the
internet (CORVANEL_LATENCY=1), in the file manager and for the floor alike.
Rounds (3 unless --rounds) take turns, plugin and local, which goes first
alternating; the floor runs once a round. It prints each time, then per row
the medians, their ratios and the target. Every result is checked (a FAIL
line when it is not whole); the exit status is 1 when a check failed, 77
when there is no file manager.
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time
from functools import partial

from walk import (BUSY, COPY_DIALOG, MESSAGE, SHORTCUTS, StepFailed, Layout, Walk, build_file_manager,
                  command_line, lay_out_file_manager, session, tree_of, wait_until, wine_path,
                  within)

SMALL_COUNT, SMALL_SIZE = 500, 4 * 1024
BIG_SIZE = 256 * 1024 * 1024
MANY_COUNT = 20_000
BUCKET = ["work", "bench"]     # the store's sources: small/, big.bin, many/
INBOX = ["work", "inbox"]      # where uploads go
SOURCE, TARGET = "src", "dl"   # the local folders in Documents: the same sources; the copies
TARGET_MARK = "target.txt"     # keeps a target folder from being empty: a panel read sees it
POLL = 0.02
TARGETS = {"1": 1.3, "2": 1.5, "3 down": 1.2, "3 up": 1.2, "4": 1.5}
FLOWS = ["bench", "flows"]      # the flows' folders: fN of N empty objects, small/
UPLOADS = "up100"               # the local folder of the 100 files row 6 uploads
CHANGES = 100
FLOW_ROWS = ["5", "6", "7", "8", "9"]
# The bench's own keys that show the local folders.
CHANGE_DIR = "<Hotkey><Shortcut>{0}</Shortcut><Command>cm_ChangeDir</Command>" \
             "<Param>{1}path={2}\\{3}</Param></Hotkey>"
LOCAL_KEYS = {("left", SOURCE): "Ctrl+Shift+F1", ("right", TARGET): "Ctrl+Shift+F2",
              ("left", "flows"): "Ctrl+Shift+F3", ("left", UPLOADS): "Ctrl+Shift+F4",
              ("right", "flows\\f1000"): "Ctrl+Shift+F5", ("right", "flows\\f10000"): "Ctrl+Shift+F6",
              ("right", "flows\\f100000"): "Ctrl+Shift+F7"}
# Marks the 100 objects row 8 deletes: obj-000100.txt to obj-000199.txt.
MARK_DELETIONS = "<Hotkey><Shortcut>Ctrl+Shift+F8</Shortcut><Command>cm_MarkPlus</Command>" \
                 "<Param>mask=obj-0001??.txt</Param></Hotkey>"


def small_names():
    return [f"file-{n:03d}.bin" for n in range(SMALL_COUNT)]


def many_names():
    return [f"obj-{n:05d}.txt" for n in range(MANY_COUNT)]


def object_name(n):
    return f"obj-{n:06d}.txt"


def deleted_names():
    return [object_name(CHANGES + n) for n in range(CHANGES)]


def lay_out(layout):
    """The walk's portable file manager, with the keys that show the local folders."""
    lay_out_file_manager(layout)
    keys = "".join(CHANGE_DIR.format(key, side, layout.local_windows, folder)
                   for (side, folder), key in LOCAL_KEYS.items())
    (layout.app / "settings" / "shortcuts.scf").write_text(
        SHORTCUTS.replace("</Form>", keys + MARK_DELETIONS + "</Form>"))


def make_flow_fixtures(layout, sizes):
    """The flows' folders, the same in the store and in the local folder, and
    the files row 6 uploads."""
    data = os.urandom(SMALL_SIZE)
    for root in (layout.store.joinpath(*FLOWS), layout.local / "flows"):
        for size in sizes:
            (root / f"f{size}").mkdir(parents=True)
            for n in range(size):
                (root / f"f{size}" / object_name(n)).touch()
        (root / "small").mkdir()
        for n in range(1000):
            (root / "small" / f"file-{n:04d}.bin").write_bytes(data)
    (layout.local / UPLOADS).mkdir()
    for n in range(CHANGES):
        (layout.local / UPLOADS / f"up-{n:03d}.bin").write_bytes(data)


def make_fixtures(layout, rows, sizes):
    """The same sources in the store and in the local folder, and the targets,
    for the rows chosen."""
    if layout.local.is_symlink():  # Wine may link Documents to a folder of the Linux user's
        layout.local.unlink()
    for folder in (layout.store, layout.local):
        shutil.rmtree(folder, ignore_errors=True)
    for target in (layout.store.joinpath(*INBOX), layout.local / TARGET):
        target.mkdir(parents=True)
        (target / TARGET_MARK).write_bytes(b"the copies land here\r\n")
    if set(rows) & set(FLOW_ROWS):
        make_flow_fixtures(layout, sizes)
    if not set(rows) & {"1", "2", "3", "4"}:
        return
    small = {name: os.urandom(SMALL_SIZE) for name in small_names()}
    big = os.urandom(BIG_SIZE)
    for root in (layout.store.joinpath(*BUCKET), layout.local / SOURCE):
        (root / "small").mkdir(parents=True)
        for name, data in small.items():
            (root / "small" / name).write_bytes(data)
        (root / "big.bin").write_bytes(big)
        # Made here, on the Unix side: under Wine each file made through a
        # Windows path in a folder of many thousand names takes long.
        (root / "many").mkdir()
        for name in many_names():
            (root / "many" / name).touch()


def whole_folder(target, source):
    """A condition: every file of `source` is in `target` at its size (a name
    once found whole is not looked at again)."""
    waiting = {path.name: path.stat().st_size for path in source.iterdir()}

    def check():
        for name in list(waiting):
            try:
                if (target / name).stat().st_size == waiting[name]:
                    del waiting[name]
            except FileNotFoundError:
                pass
        return not waiting
    return check


def whole_file(target, source):
    """A condition: `target` has `source`'s size and its last 64 KiB (a copy
    that sets the size first does not count as done)."""
    size = source.stat().st_size

    def check():
        try:
            if target.stat().st_size != size:
                return False
            with open(target, "rb") as t, open(source, "rb") as s:
                t.seek(size - 65536)
                s.seek(size - 65536)
                return t.read() == s.read()
        except FileNotFoundError:
            return False
    return check


def same(target, source):
    if source.is_dir():
        return tree_of(target) == tree_of(source)
    return target.is_file() and target.read_bytes() == source.read_bytes()


def remove(path):
    if path.is_dir():
        shutil.rmtree(path)
    elif path.exists():
        path.unlink()


class Bench(Walk):
    """The rows, one method each, on the walk's ways of moving about."""

    def __init__(self, layout, desk, wine, log, rounds, sizes, latency):
        super().__init__(layout, desk, wine, log)
        self.rounds, self.sizes, self.latency = rounds, sizes, latency
        self.times = {}  # row: {"plugin": [seconds, ...], "local": [...], "floor": [...]}

    def program_env(self):
        env = super().program_env()
        del env["CORVANEL_THROTTLE_MS"]
        if self.latency:
            env["CORVANEL_LATENCY"] = "1"
        return env

    def steps(self, rows):
        chosen = {"1": [self.small_download], "2": [self.small_upload],
                  "3": [self.big_download, self.big_upload], "4": [self.open_many],
                  "5": [self.open_flows], "6": [self.upload_flows], "7": [self.download_flows],
                  "8": [self.delete_flows], "9": [self.rename_flows]}
        return [self.start] + [step for row in rows for step in chosen[row]] + [self.exit]

    # Moving about ----------------------------------------------------------------

    def go_local(self, side, folder):
        """Makes `side` active, showing Documents\\folder, with the bench's key for it."""
        self.activate(side)
        path = f"{self.layout.local_windows}\\{folder}"
        key = LOCAL_KEYS[side, folder].replace("Ctrl", "ctrl").replace("Shift", "shift")
        setattr(self, side, "local")

        def there():
            self.desk.keys(key)
            return within(lambda: (self.paths() or [""])[0].startswith(path + "\\"), 3)
        wait_until(f"the {side} panel to show {path}", there, every=0)

    def arrange(self, plugin, download):
        """The source on the left, the target on the right, the store on one of
        them when through the plugin; the left one active. Returns the target
        folder on disk."""
        if plugin and download:
            self.go("left", BUCKET)
        else:
            self.go_local("left", SOURCE)
        if plugin and not download:
            self.go("right", INBOX)
            target = self.layout.store.joinpath(*INBOX)
        else:
            self.go_local("right", TARGET)
            target = self.layout.local / TARGET
        self.activate("left")
        return target

    # Timing ------------------------------------------------------------------------

    def turns(self, row, run, floor=lambda: None):
        """Rounds of run(True) (through the plugin) and run(False) (local) in
        turn, which goes first alternating, each giving its seconds; then
        floor() once a round."""
        for round_ in range(self.rounds):
            for plugin in (True, False) if round_ % 2 == 0 else (False, True):
                seconds = run(plugin)
                side = "plugin" if plugin else "local"
                self.times.setdefault(row, {"plugin": [], "local": []})[side].append(seconds)
                print(f"TIME row {row} {side}: {seconds:.3f} s", flush=True)
            floor()

    def timed_copy(self, name, done, limit=300.0):
        """F5 on `name`, then Return in the copy dialog; the seconds from that
        key to done(), after which the operation's window closes."""
        self.select(name)
        self.desk.keys("F5")
        self.desk.wait_window(COPY_DIALOG, "the copy dialog")
        started = time.monotonic()
        self.desk.keys("Return")
        wait_until(f"the copy of {name}", done, limit, every=POLL)
        seconds = time.monotonic() - started
        self.desk.wait_no_window(BUSY, "the operation's window to close", limit=120)
        return seconds

    def copy_row(self, row, name, download, done):
        """F5 on `name` in the source folder: a download or an upload through
        the plugin, and the same between the local folders."""
        source = self.layout.local / SOURCE / name

        def run(plugin):
            target = self.arrange(plugin, download) / name
            seconds = self.timed_copy(name, done(target, source))
            self.check(f"row {row}: {name} arrives whole", same(target, source), str(target))
            remove(target)
            return seconds
        self.turns(row, run)

    # The rows ------------------------------------------------------------------------

    def small_download(self):
        """Row 1: F5 downloads a store folder of 500 objects of 4 KiB."""
        self.copy_row("1", "small", True, whole_folder)

    def small_upload(self):
        """Row 2: F5 uploads a local folder of 500 files of 4 KiB into a new store folder."""
        self.copy_row("2", "small", False, whole_folder)

    def big_download(self):
        """Row 3: F5 downloads an object of 256 MiB."""
        self.copy_row("3 down", "big.bin", True, whole_file)

    def big_upload(self):
        """Row 3: F5 uploads a file of 256 MiB."""
        self.copy_row("3 up", "big.bin", False, whole_file)

    def open_many(self):
        """Row 4: opening a folder of 20,000 objects until the panel shows them all."""
        last = many_names()[-1]

        def run(plugin):
            if plugin:
                self.go("left", BUCKET)
            else:
                self.go_local("left", SOURCE)
            self.select("many")
            started = time.monotonic()
            self.desk.keys("Return")
            wait_until("the panel to show the last name", lambda: self.cursor_at_end(last),
                       limit=120, every=0)
            seconds = time.monotonic() - started
            names = self.desk.copy_with("ctrl+a", "ctrl+shift+x", "ctrl+KP_Subtract",
                                        what="the names in the panel").split()
            self.check("row 4: the panel shows all 20,000", names == many_names(),
                       f"it shows {len(names)}")
            self.desk.keys("ctrl+Prior")  # back up: the next round opens it anew
            return seconds
        self.turns("4", run)

    # The everyday flows (rows 5 to 9) ---------------------------------------------

    def floor(self, row, flow, size, share=1):
        """The same work straight on the engine: flows_bench.exe's floor in this
        prefix over this store, once; `share` of its time."""
        env = dict(self.program_env(), CORVANEL_STORE=wine_path(self.layout.store))
        run = subprocess.run(["wine", str(self.layout.build / "bin" / "flows_bench.exe"), "--measure",
                              "floor", "--flows", flow, "--sizes", str(size)],
                             env=env, capture_output=True, text=True)
        figures = [line.split() for line in run.stdout.splitlines() if line.startswith(flow + " ")]
        if run.returncode or not figures:
            raise StepFailed(f"the floor of {flow} {size}: {run.stderr.strip()[-200:]}")
        seconds = float(figures[0][2]) / 1000 * share
        self.times.setdefault(row, {"plugin": [], "local": []}).setdefault("floor", []).append(seconds)
        print(f"TIME row {row} floor: {seconds:.3f} s", flush=True)

    def open_folder(self, side, plugin, size):
        """`side` active, showing the flows' folder of `size` (entered from its
        parent); the seconds from Return to the panel showing its last name."""
        folder = f"f{size}"
        if plugin:
            self.go(side, FLOWS)
        else:
            self.go_local(side, "flows")
        self.select(folder)
        started = time.monotonic()
        self.desk.keys("Return")
        wait_until(f"the panel to show {folder}'s last name",
                   lambda: self.cursor_at_end(object_name(size - 1)), limit=300, every=0)
        seconds = time.monotonic() - started
        if plugin:
            setattr(self, side, FLOWS + [folder])
        return seconds

    def leave_folder(self, side, plugin):
        """Back up to the flows' folder, so that the next round opens it anew."""
        self.activate(side)
        self.desk.keys("ctrl+Prior")
        if plugin:
            setattr(self, side, None)
            within(lambda: self.cursor_name() is not None, 5)
            setattr(self, side, list(FLOWS))

    def flow_folder(self, plugin, size):
        return (self.layout.store.joinpath(*FLOWS) if plugin else self.layout.local / "flows") / f"f{size}"

    def open_flows(self):
        """Row 5: opening a folder of 1,000, 10,000 and 100,000 objects."""
        for size in self.sizes:
            row = f"5 open {size}"

            def run(plugin):
                seconds = self.open_folder("left", plugin, size)
                self.leave_folder("left", plugin)
                return seconds
            self.turns(row, run, lambda: self.floor(row, "open", size))

    def upload_flows(self):
        """Row 6: 100 files of 4 KiB uploaded into a folder shown in the other panel."""
        sources = sorted((self.layout.local / UPLOADS).iterdir())
        for size in self.sizes:
            row = f"6 up {size}"

            def run(plugin):
                target = self.flow_folder(plugin, size)
                if plugin:
                    self.open_folder("right", True, size)  # the host lists it, as it shows it
                else:
                    self.go_local("right", f"flows\\f{size}")
                self.go_local("left", UPLOADS)
                self.desk.keys("ctrl+a", "F5")
                self.desk.wait_window(COPY_DIALOG, "the copy dialog")
                started = time.monotonic()
                self.desk.keys("Return")
                wait_until("the 100 files to arrive", whole_folder(target, self.layout.local / UPLOADS),
                           limit=600, every=POLL)
                seconds = time.monotonic() - started
                self.desk.wait_no_window(BUSY, "the operation's window to close", limit=120)
                self.desk.keys("ctrl+KP_Subtract")
                for source in sources:
                    remove(target / source.name)
                if plugin:
                    self.leave_folder("right", True)
                return seconds
            self.turns(row, run, lambda: self.floor(row, "up", size))

    def download_flows(self):
        """Row 7: F5 downloads a store folder of 1,000 objects of 4 KiB."""
        row = "7 down 1000"

        def run(plugin):
            if plugin:
                self.go("left", FLOWS)
            else:
                self.go_local("left", "flows")
            self.go_local("right", TARGET)
            self.activate("left")
            target = self.layout.local / TARGET / "small"
            source = self.layout.local / "flows" / "small"
            seconds = self.timed_copy("small", whole_folder(target, source), limit=600)
            self.check("row 7: the folder arrives whole", same(target, source), str(target))
            remove(target)
            return seconds
        self.turns(row, run, lambda: self.floor(row, "down", 1000))

    def delete_flows(self):
        """Row 8: F8 deletes 100 marked objects of a folder."""
        for size in self.sizes:
            row = f"8 delete {size}"

            def run(plugin):
                self.open_folder("left", plugin, size)
                folder = self.flow_folder(plugin, size)
                self.desk.keys("ctrl+shift+F8")
                # Shift+F8 locally: deleted at once, as the plugin deletes, not to the trash.
                self.desk.keys("F8" if plugin else "shift+F8")
                self.desk.wait_window(MESSAGE, "the question whether to delete")
                started = time.monotonic()
                self.desk.keys("Return")
                wait_until("the 100 objects to be gone",
                           lambda: not any((folder / name).exists() for name in deleted_names()),
                           limit=600, every=POLL)
                seconds = time.monotonic() - started
                self.desk.wait_no_window(BUSY, "the operation's window to close", limit=120)
                for name in deleted_names():
                    (folder / name).touch()
                self.leave_folder("left", plugin)
                return seconds
            self.turns(row, run, lambda: self.floor(row, "delete", size))

    def rename_flows(self):
        """Row 9: Shift+F6 renames one object of a folder."""
        for size in self.sizes:
            row = f"9 rename {size}"
            old, new = object_name(0), "renamed-" + object_name(0)

            def run(plugin):
                self.open_folder("left", plugin, size)
                folder = self.flow_folder(plugin, size)
                self.select(old)
                self.desk.keys("shift+F6", "ctrl+a")
                self.desk.type(new)
                started = time.monotonic()
                self.desk.keys("Return")
                wait_until(f"{old} renamed", lambda: (folder / new).exists() and not (folder / old).exists(),
                           limit=120, every=POLL)
                seconds = time.monotonic() - started
                (folder / new).rename(folder / old)
                self.leave_folder("left", plugin)
                return seconds
            self.turns(row, run, lambda: self.floor(row, "rename", size, share=1 / CHANGES))

    def cursor_at_end(self, last):
        """End, then the name under the cursor: whether it is `last`. Keys
        sent while the panel loads may be taken before the list is in."""
        try:
            name = self.desk.copy_with("End", "ctrl+shift+x", what="the name at the end",
                                       limit=0.3, every=POLL)
        except StepFailed:
            return False
        return name.strip() == last


def report(times):
    print("| Row | Plugin | Local | Ratio | Target | Met | Floor | Plugin / floor |")
    print("|---|---|---|---|---|---|---|---|")
    for row, sides in times.items():
        plugin, local = (statistics.median(sides[side]) for side in ("plugin", "local"))
        ratio = plugin / local
        target = f"at most {TARGETS[row]} | {'yes' if ratio <= TARGETS[row] else 'no'}" \
            if row in TARGETS else "| "
        floor = f"{statistics.median(sides['floor']):.3f} s | {plugin / statistics.median(sides['floor']):.2f}" \
            if sides.get("floor") else "| "
        print(f"| {row} | {plugin:.2f} s | {local:.2f} s | {ratio:.2f} | {target} | {floor} |")


def main():
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(1))

    def rows(text):
        chosen = text.split(",")
        if not set(chosen) <= {"1", "2", "3", "4", *FLOW_ROWS}:
            raise argparse.ArgumentTypeError("rows are 1 to 9")
        return chosen

    def sizes(text):
        chosen = [int(size) for size in text.split(",")]
        if not set(chosen) <= {1000, 10000, 100000}:
            raise argparse.ArgumentTypeError("sizes are 1000, 10000 and 100000")
        return chosen

    def more(parser):
        parser.add_argument("--rounds", type=int, default=3)
        parser.add_argument("--rows", type=rows, default="1,2,3,4", help="which, comma-separated")
        parser.add_argument("--sizes", type=sizes, default="1000,10000,100000",
                            help="the folders of rows 5, 6, 8 and 9")
        parser.add_argument("--latency", choices=("off", "on"), default="off")
    args = command_line(__doc__.splitlines()[0], more)
    failed = build_file_manager(args.build)
    if failed is not None:
        return failed
    layout = Layout(args.build, args.edition, name="bench")
    print(f"load average before: {os.getloadavg()[0]:.2f}", flush=True)
    try:
        bench = session(layout, lay_out, partial(make_fixtures, rows=args.rows, sizes=args.sizes),
                        partial(Bench, rounds=args.rounds, sizes=args.sizes,
                                latency=args.latency == "on"),
                        lambda bench: bench.steps(args.rows))
    finally:  # the fixtures take 0.5 GiB
        for folder in (layout.store, layout.local / SOURCE, layout.local / TARGET,
                       layout.local / "flows", layout.local / UPLOADS):
            shutil.rmtree(folder, ignore_errors=True)
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    print(f"The {args.edition}-bit edition, latency model {args.latency}, "
          f"medians of {args.rounds} rounds:")
    report(bench.times)
    print(f"{bench.passed} passed, {bench.failed} failed")
    return 1 if bench.failed else 0


if __name__ == "__main__":
    sys.exit(main())

"""A power cut at any instant of an update, on a file system that forgets what was not flushed
(tools/cutfs: creates, renames, deletions, sizes and times survive in order, file data only when the
file was flushed after it was written). One whole update is recorded; for each cut point the shared
documents folder comes back as the cut would leave it, and the starter runs on it afresh, the new
version announced as current and its good package served. After that run the product must be wholly
the new version, byte for byte, and info.dat's version must name it: a run that took a half-placed
update, or zero-filled files, for the new version would leave them so. The run that rolls an update
back (and with --every-cut the one after an unflushed commit mark) is recorded too and cut in turn.

The suite checks a named sample of cut points, one row an entry; `--every-cut` checks every one:
    build/test/vxrun --python tests/e2e/test_power_cut.py --every-cut [--row installed|empty]
"""
import configparser
import contextlib
import os
import shutil
import sys

import vxe2e

sys.path.insert(0, os.path.join(vxe2e.SOURCE_DIR, "tools", "cutfs"))
import cutfs  # noqa: E402

EVERY_CUT = "--every-cut" in sys.argv
if EVERY_CUT:
    sys.argv.remove("--every-cut")
ROW = None  # --row installed|empty: that row alone (the suite runs the rows side by side)
if "--row" in sys.argv:
    at = sys.argv.index("--row")
    ROW = sys.argv[at + 1]
    del sys.argv[at:at + 2]

GOOD_CODE = 123456
OLD, NEW = "1.0", "2.1"
PROGRAMS = ["vxagent.exe", "vxpanel.exe", "vxcourier.exe"]  # the host program and two companions
STAGING = "~vxstage"


def sample(entries, upto=None):
    """(n, what) of the cut points checked, up to operation upto: every operation with --every-cut,
    else each flush, each rename that puts a file in place, the commit mark, the last write of info.dat
    before each flush of it, and each deletion."""
    points, journal_writes = [], 0
    for i, e in enumerate(entries):
        if upto is not None and e["n"] > upto:
            break
        path, new_path = e.get("path") or "", e.get("new_path") or ""
        journal_writes += e["op"] == "write" and path.endswith("/journal")
        following = entries[i + 1]["op"] if i + 1 < len(entries) else ""
        what = {"fsync": "flush", "unlink": "deletion", "rmdir": "deletion"}.get(e["op"])
        if e["op"] == "rename" and STAGING not in new_path.split("/"):
            what = "rename that puts a file in place"
        elif e["op"] == "write" and path.endswith("/journal") and journal_writes == 2:
            what = "commit mark"
        elif e["op"] == "write" and path.endswith("/info.dat") and following == "fsync":
            what = "write of info.dat"
        if what or EVERY_CUT:
            points.append((e["n"], f"{what or e['op']} ({e['op']} {path}{' -> ' + new_path if new_path else ''})"))
    return points


class PowerCutTest(vxe2e.StarterTestCase):
    def setUp(self):
        super().setUp()
        self.documents = vxe2e.drive_c("users", "Public", "Documents")
        self.package_path = os.path.join(self.scratch, "package.zip")
        self.new_files = vxe2e.make_package(self.package_path, programs=PROGRAMS)

    def seed(self, installed):
        """A copy of the shared documents folder with the old product installed, or none."""
        shutil.rmtree(vxe2e.product_folder(), ignore_errors=True)
        if installed:
            folder = vxe2e.install_old_product(OLD)
            os.makedirs(os.path.join(folder, "data", "lang"))
            with open(os.path.join(folder, "data", "lang", "en.txt"), "wb") as f:
                f.write(b"old text\r\n")
        seed = os.path.join(self.scratch, "seed-installed" if installed else "seed-empty")
        shutil.copytree(self.documents, seed, symlinks=True)
        shutil.rmtree(vxe2e.product_folder(), ignore_errors=True)
        return seed

    def mounted(self, seed, log=None, replays=()):
        """The shared documents folder on cutfs, with the prefix's programs started afresh on it."""
        self.stop_wine()
        return cutfs.Mounted(self.documents, seed, log=log, replays=replays)

    @staticmethod
    def stop_wine():
        """Every program that could hold a file of the folder ends; Wine's session stays, as it holds
        none (restarting it would double each cut's time)."""
        vxe2e.end_programs()

    def run_starter(self):
        """One whole run with the new version announced as current and its good package served."""
        self.servers.set({"routes": {"80 /server.html": {"body": "1"},
                                     f"443 /admin/system/check_code.php?code={GOOD_CODE}": {"body": "OK"},
                                     "443 /download/app/customer/version.php": {"body": NEW},
                                     f"443 /download/app/customer/{NEW}.zip": {"body_file": self.package_path}}})
        starter = self.new_starter().start()
        self.enter_code(GOOD_CODE)
        self.assertTrue(starter.wait_for_end(90), "the starter did not end")
        vxe2e.end_programs()

    def assert_new_version(self, where):
        """Every file of the package holds its bytes and info.dat's version names it."""
        folder = vxe2e.working_folder()
        differ = []
        for name, data in self.new_files.items():
            path = os.path.join(folder, *name.split("/"))
            with open(path, "rb") if os.path.isfile(path) else contextlib.nullcontext() as f:
                held = f.read() if f else None
            if held != data:
                differ.append(f"{name}: " + ("missing" if held is None else "zero-filled" if not held.strip(b"\0")
                                             else "other bytes"))
        try:
            version = vxe2e.read_info().get("version", "")
        except (configparser.Error, UnicodeDecodeError):
            version = "(info.dat unreadable)"  # zero-filled, say
        if differ or version != NEW:
            self.fail(f"{where}: {', '.join(differ) or 'the files are new'}; info.dat's version {version!r}")

    def recover(self, seed, replays, where, log=None):
        """The run after a cut: the new version announced as current, its good package served."""
        with self.mounted(seed, log=log, replays=replays):
            try:
                self.run_starter()
            except AssertionError as error:
                raise AssertionError(f"{where}, then a run: {error}; running: {vxe2e.running_programs()}") from error
            self.assert_new_version(f"{where}, then a run")

    def sweep(self, installed):
        seed = self.seed(installed)
        tag = "installed" if installed else "empty"
        recorded = os.path.join(self.scratch, f"update-{tag}.log")
        with self.mounted(seed, log=recorded):
            self.run_starter()
            self.assert_new_version("the update itself")
        entries = cutfs.read_log(recorded)
        points = sample(entries)
        # The runs that recover from a cut are cut in turn over an installed copy, up to where they
        # download the package again: one that rolls the update back (its third file moved aside, not
        # yet replaced) and, with --every-cut, one that finds the commit mark written, not yet flushed.
        nested = set()
        if installed:
            aside = [e["n"] for e in entries if e["op"] == "rename" and STAGING in (e.get("new_path") or "")]
            nested = {aside[2]}
            if EVERY_CUT:
                nested.add(next(n for n, what in points if what.startswith("commit mark")))
        for n, what in points:
            where = f"{tag}: cut after operation {n}, {what}"
            log = os.path.join(self.scratch, f"recovery-{tag}-{n}.log") if n in nested else None
            self.recover(seed, [(recorded, n)], where, log)
            if log:
                inner_entries = cutfs.read_log(log)
                download = next((e["n"] for e in inner_entries if e["op"] == "create"
                                 and (e.get("path") or "").endswith(f"/{NEW}.zip")), None)
                for m, inner in sample(inner_entries, download):
                    self.recover(seed, [(recorded, n), (log, m)],
                                 f"{where}; in the run that recovers, cut after operation {m}, {inner}")

    def test_every_cut_leaves_one_whole_version(self):
        rows = {"installed": ("over an installed copy", True), "empty": ("into an empty folder", False)}
        for label, installed in [rows[ROW]] if ROW else rows.values():
            with self.subTest(label):
                self.sweep(installed)


if __name__ == "__main__":
    vxe2e.main()

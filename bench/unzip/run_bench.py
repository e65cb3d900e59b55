#!/usr/bin/env python3
"""Unpacking benchmark: vxstarter's unpacker under Wine against its floor, the unpacker it replaced
and Info-ZIP unzip natively, side by side in one run.

Builds a package of about 2,000 files and 100 MB (180 MB unpacked; mixed sizes, mostly deflated,
folders up to five levels deep) and two single-entry archives of 10 MB and 500 MB, and unpacks each
in turn (the package also over a copy of itself unpacked beforehand, as an update does) with
  floor  vxunzip_floor.exe: a bare loop making only the calls a staged, all-or-nothing unpack must
         make (each file written into staging with its time set, the installed one renamed aside,
         the new one renamed in, the one aside deleted),
  today  vxunzip_bench.exe built from the earlier, in-place sources (--baseline-build-dir; left out
         without it),
  new    vxunzip_bench.exe of this tree (--build-dir),
  unzip  `unzip -q -o` natively,
taking turns to go first, and prints the median wall times and the time the programs measure around
the unpacking, each with its spread (fastest and slowest run), the ratios of the medians and the
peak memory.

Peak memory: for unzip and for the Wine process running a program, the maximum resident set size
as GNU time reports it (the Wine process's includes Wine's own libraries); for the programs also
their own PeakWorkingSetSize from GetProcessMemoryInfo.

Usage: bench/unzip/run_bench.py --build-dir build/test [--baseline-build-dir /tmp/vx-old/build/test]
           [--runs 5] [--work /tmp/vxunzip-bench]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from benchlib import run_measured, tree_digest, wine  # noqa: E402

WORDS = ("update package folder entry time zone host agent starter archive deflate stream "
         "buffer record central directory offset").split()


def corpus(rng, size):
    words = [rng.choice(WORDS) for _ in range(size // 6 + 1)]
    return (" ".join(words) + "\n").encode()[:size]


def binary_like(rng, size):
    """Text runs and random runs, deflating to about half their size, as program files do."""
    text = corpus(rng, size)
    pieces = []
    for offset in range(0, size, 160):
        pieces.append(text[offset:offset + 96])
        pieces.append(rng.randbytes(64))
    return b"".join(pieces)[:size]


def package_files(rng, count=2000, folder_count=120, sizes=((0.75, 200, 40_000), (0.99, 40_000, 400_000),
                                                              (1.0, 1_000_000, 3_000_000))):
    """count (path, bytes, stored) triples, sized by the table (share up to, smallest, largest): by
    default about 2,000 files, 180 MB that pack into about 100 MB."""
    text = binary_like(rng, 8 << 20)
    folders = [""]
    for _ in range(folder_count):
        parent = rng.choice(folders)
        if parent.count("/") < 5:
            folders.append(f"{parent}dir{len(folders)}/")
    files = []
    for index in range(count):
        kind = rng.random()
        low, high = next((low, high) for share, low, high in sizes if kind < share)
        size = rng.randint(low, high)
        if rng.random() < 0.10:  # media and already-packed files: random bytes, stored
            data, stored = rng.randbytes(size), True
        else:
            start = rng.randrange(0, len(text) - size) if size < len(text) else 0
            data, stored = text[start:start + size], False
        files.append((f"{rng.choice(folders)}file{index}.{'bin' if stored else 'txt'}", data, stored))
    return files


def realistic_files(rng):
    """A product as vendors ship it: about 30 files, 40 MB packed, a few large programs and libraries
    among configuration and language files."""
    return package_files(rng, 30, 4, ((0.5, 2_000, 60_000), (0.8, 200_000, 2_000_000), (1.0, 8_000_000, 14_000_000)))


def build_package(path, rng, files_of=package_files):
    files = files_of(rng)
    # Folder entries for about half of the folders; the others come only from the files' names.
    folders = sorted({name[:i + 1] for name, _, _ in files for i, c in enumerate(name) if c == "/"})
    with zipfile.ZipFile(path, "w") as archive:
        for folder in folders[::2]:
            archive.writestr(zipfile.ZipInfo(folder, (2024, 5, 1, 12, 0, 0)), b"")
        for name, data, stored in files:
            info = zipfile.ZipInfo(name, (2024, 5, 1, 12, 0, 0))
            info.compress_type = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
            archive.writestr(info, data)


def build_single(path, size, rng):
    chunk = binary_like(rng, 1 << 20)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        with archive.open("single.bin", "w") as entry:
            written = 0
            while written < size:
                piece = chunk[:min(len(chunk), size - written)]
                entry.write(piece)
                written += len(piece)


def checked(measured):
    """A measured run without its exit code, which must be 0."""
    elapsed, rss, output, code = measured
    if code != 0:
        raise SystemExit(f"a measured run failed ({code}): {output}")
    return elapsed, rss, output


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def bench(archive, runs, work, programs, wine_road, over_installed):
    """Per side, the lists of wall times, inside times and peak memory of the runs. over_installed:
    each run unpacks over a copy unpacked beforehand (untimed), as an update does."""
    sides = list(programs) + ["unzip"] + (["today+sync"] if "today" in programs else [])
    results = {side: {"wall": [], "inside": [], "rss": [], "peak_ws": []} for side in sides}
    reference = None
    for run in range(runs):
        # Rotate who goes first so that no side always finds a warmer or a fuller cache.
        for side in sides[run % len(sides):] + sides[:run % len(sides)]:
            out = os.path.join(work, f"out-{side}")
            shutil.rmtree(out, ignore_errors=True)
            if over_installed:
                subprocess.run(["unzip", "-q", archive, "-d", out], check=True)
            # What the last run and the installed copy wrote goes to disk now, not during this run.
            os.sync()
            if side == "today+sync":
                continue  # measured with today's run, below
            if side == "unzip":
                elapsed, rss, _ = checked(run_measured(["unzip", "-q", "-o", archive, "-d", out], work))
            else:
                elapsed, rss, output = checked(
                    run_measured(wine_road.command(programs[side], windows_path(archive), windows_path(out)), work,
                                 env=wine_road.env()))
                fields = dict(item.split("=") for item in output.split())
                if fields.get("result") != "1":
                    raise SystemExit(f"{side} failed on {archive}: {output}")
                results[side]["inside"].append(float(fields["seconds"]))
                results[side]["peak_ws"].append(int(fields["peak_working_set"]))
                if side == "today" and "today+sync" in results:
                    # The floor of getting today's bytes durable: its run, then one sync of everything.
                    synced, _, _ = checked(run_measured(["sync"], work))
                    for key, value in (("wall", elapsed + synced), ("inside", float(fields["seconds"]) + synced),
                                       ("rss", rss), ("peak_ws", int(fields["peak_working_set"]))):
                        results["today+sync"][key].append(value)
            results[side]["wall"].append(elapsed)
            results[side]["rss"].append(rss)
            digest = tree_digest(out)
            if reference is None:
                reference = digest
            elif digest != reference:
                raise SystemExit(f"{side} left another tree than the others on {archive}")
            shutil.rmtree(out, ignore_errors=True)
    return results


def summary(r):
    """Medians and spreads (fastest, slowest) of the times, maxima of the memory, per side."""
    return {side: {"wall": statistics.median(v["wall"]), "wall_spread": (min(v["wall"]), max(v["wall"])),
                   "inside": statistics.median(v["inside"]) if v["inside"] else None,
                   "inside_spread": (min(v["inside"]), max(v["inside"])) if v["inside"] else None,
                   "rss": max(v["rss"]), "peak_ws": max(v["peak_ws"]) if v["peak_ws"] else None}
            for side, v in r.items()}


def mb(value):
    return f"{value / 2**20:.1f}MB" if value is not None else "-"


def seconds(value):
    return f"{value:.3f}" if value is not None else "-"


def spread(value):
    return f"{value[0]:.3f}-{value[1]:.3f}" if value is not None else "-"


def print_table(label, m):
    print(f"\n{label}")
    print(f"  {'side':10} {'wall s':>8} {'wall spread':>13} {'inside s':>9} {'inside spread':>13} {'RSS':>8} "
          f"{'peak WS':>8}")
    for side, v in m.items():
        print(f"  {side:10} {seconds(v['wall']):>8} {spread(v['wall_spread']):>13} {seconds(v['inside']):>9} "
              f"{spread(v['inside_spread']):>13} {mb(v['rss']):>8} {mb(v['peak_ws']):>8}")
    ratios = [("new/floor", "new", "floor"), ("new/today", "new", "today"), ("today/floor", "today", "floor"),
              ("new/today+sync", "new", "today+sync")]
    print("  ratios         wall  inside")
    for name, a, b in ratios:
        if a in m and b in m:
            print(f"  {name:14} {m[a]['wall'] / m[b]['wall']:5.2f} {m[a]['inside'] / m[b]['inside']:6.2f}")
    # unzip has no inside time: the programs' inside time is set against unzip's wall time.
    print(f"  {'new/unzip':14} {m['new']['wall'] / m['unzip']['wall']:5.2f} "
          f"{m['new']['inside'] / m['unzip']['wall']:6.2f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True,
                        help="build tree holding bench/vxunzip_bench.exe and bench/vxunzip_floor.exe")
    parser.add_argument("--baseline-build-dir",
                        help="build tree of the earlier sources holding bench/vxunzip_bench.exe")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--work", default="/tmp/vxunzip-bench")
    parser.add_argument("--only", choices=["empty", "installed", "realistic", "realistic-installed", "single10",
                                           "single500"], action="append",
                        help="measure only these cases (the package into an empty folder, over an installed "
                             "copy, the same for the realistic package, the single entries); all without it")
    args = parser.parse_args()

    programs = {"floor": (args.build_dir, "vxunzip_floor"), "new": (args.build_dir, "vxunzip_bench")}
    if args.baseline_build_dir:
        programs["today"] = (args.baseline_build_dir, "vxunzip_bench")
    for side, (build_dir, target) in programs.items():
        exe = os.path.join(os.path.abspath(build_dir), "bench", f"{target}.exe")
        if not os.path.exists(exe):
            raise SystemExit(f"{exe} is missing: cmake --build {build_dir} --target {target}")
        programs[side] = exe
    os.makedirs(args.work, exist_ok=True)
    # Both sides' programs must be of the build tree's kind: they share its Wine and prefix.
    arch = wine.build_arch(args.build_dir)
    if args.baseline_build_dir and wine.build_arch(args.baseline_build_dir) != arch:
        raise SystemExit(f"{args.baseline_build_dir} is not an {arch} build like {args.build_dir}")
    wine_road = wine.Wine(arch, os.path.join(os.path.abspath(args.work), "prefix-" + arch))

    def package(path):
        build_package(path, random.Random(2))

    # (case, label, archive, how to build it, whether it unpacks over an installed copy)
    archives = [("empty", "package, 2,000 files", "package.zip", package, False),
                ("installed", "package, 2,000 files, over an installed copy", "package.zip", package, True),
                ("realistic", "realistic package, 30 files", "realistic.zip",
                 lambda p: build_package(p, random.Random(5), realistic_files), False),
                ("realistic-installed", "realistic package, 30 files, over an installed copy", "realistic.zip",
                 lambda p: build_package(p, random.Random(5), realistic_files), True),
                ("single10", "single entry, 10 MB", "single10.zip",
                 lambda p: build_single(p, 10 << 20, random.Random(3)), False),
                ("single500", "single entry, 500 MB", "single500.zip",
                 lambda p: build_single(p, 500 << 20, random.Random(4)), False)]
    archives = [a for a in archives if not args.only or a[0] in args.only]
    for _, _, name, build, _ in archives:
        path = os.path.join(args.work, name)
        if not os.path.exists(path):
            print(f"building {name} ...", flush=True)
            build(path)

    # One persistent wineserver for all runs, so that each run pays only the program's own start.
    subprocess.run(wine_road.command("wineboot", "-i"), env=wine_road.env(), check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    subprocess.run(wine_road.server_command("-p"), env=wine_road.env())
    measured = {}
    try:
        print(f"{args.runs} runs each, medians of the times, maxima of the memory; Wine wall time includes "
              "starting the program under Wine")
        for _, label, name, _, over_installed in archives:
            path = os.path.join(args.work, name)
            with zipfile.ZipFile(path) as archive:
                unpacked = sum(info.file_size for info in archive.infolist())
            measured[label] = summary(bench(path, args.runs, args.work, programs, wine_road, over_installed))
            print_table(f"{label}: {os.path.getsize(path) / 1e6:.1f} MB packed, {unpacked / 1e6:.1f} MB unpacked",
                        measured[label])
    finally:
        subprocess.run(wine_road.server_command("-k"), env=wine_road.env())
    if "single entry, 10 MB" not in measured or "single entry, 500 MB" not in measured:
        return
    small, large = measured["single entry, 10 MB"]["new"], measured["single entry, 500 MB"]["new"]
    print(f"\nnew, peak memory 10 MB -> 500 MB: Wine RSS {mb(small['rss'])} -> {mb(large['rss'])}, "
          f"peak WS {mb(small['peak_ws'])} -> {mb(large['peak_ws'])}")


if __name__ == "__main__":
    main()

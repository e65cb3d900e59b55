#!/usr/bin/env python3
"""Unpacking benchmark: vxstarter's unpacker under Wine against Info-ZIP unzip natively.

Builds a package of about 2,000 files and 100 MB (180 MB unpacked; mixed sizes, mostly deflated,
folders up to five levels deep) and two single-entry archives of 10 MB and 500 MB, unpacks each in turn with
vxunzip_bench.exe under Wine and with `unzip -q`, and prints the median wall times, their ratio and
the peak memory of both.

Peak memory: for unzip and for the Wine process running the program, the maximum resident set size
as GNU time reports it (the Wine process's includes Wine's own libraries); for the program also its
own PeakWorkingSetSize from GetProcessMemoryInfo.

Usage: bench/unzip/run_bench.py --build-dir build/unzip [--runs 5] [--work /tmp/vxunzip-bench]
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
from benchlib import run_measured, tree_digest  # noqa: E402

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


def package_files(rng):
    """About 2,000 (path, bytes, stored) triples: about 180 MB that pack into about 100 MB."""
    text = binary_like(rng, 8 << 20)
    folders = [""]
    for _ in range(120):
        parent = rng.choice(folders)
        if parent.count("/") < 5:
            folders.append(f"{parent}dir{len(folders)}/")
    files = []
    for index in range(2000):
        kind = rng.random()
        if kind < 0.75:
            size = rng.randint(200, 40_000)
        elif kind < 0.99:
            size = rng.randint(40_000, 400_000)
        else:
            size = rng.randint(1_000_000, 3_000_000)
        if rng.random() < 0.10:  # media and already-packed files: random bytes, stored
            data, stored = rng.randbytes(size), True
        else:
            start = rng.randrange(0, len(text) - size) if size < len(text) else 0
            data, stored = text[start:start + size], False
        files.append((f"{rng.choice(folders)}file{index}.{'bin' if stored else 'txt'}", data, stored))
    return files


def build_package(path, rng):
    files = package_files(rng)
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


def bench(archive, runs, work, exe, env):
    wine_out = os.path.join(work, "out-wine")
    unzip_out = os.path.join(work, "out-unzip")
    results = {"wine": [], "inside": [], "unzip": [], "wine_rss": [], "wine_peak_ws": [], "unzip_rss": []}
    for run in range(runs):
        # Alternate who goes first so that neither always finds a warmer cache.
        order = ("wine", "unzip") if run % 2 == 0 else ("unzip", "wine")
        for who in order:
            out = wine_out if who == "wine" else unzip_out
            shutil.rmtree(out, ignore_errors=True)
            if who == "wine":
                elapsed, rss, output = checked(run_measured(["wine", exe, windows_path(archive), windows_path(out)], work,
                                                            env=env))
                fields = dict(item.split("=") for item in output.split())
                if fields.get("result") != "1":
                    raise SystemExit(f"the unpacker failed on {archive}: {output}")
                results["wine"].append(elapsed)
                results["inside"].append(float(fields["seconds"]))
                results["wine_rss"].append(rss)
                results["wine_peak_ws"].append(int(fields["peak_working_set"]))
            else:
                elapsed, rss, _ = checked(run_measured(["unzip", "-q", "-o", archive, "-d", out], work))
                results["unzip"].append(elapsed)
                results["unzip_rss"].append(rss)
    if tree_digest(wine_out) != tree_digest(unzip_out):
        raise SystemExit(f"the two unpackers disagree on {archive}")
    shutil.rmtree(wine_out, ignore_errors=True)
    shutil.rmtree(unzip_out, ignore_errors=True)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True, help="build tree holding bench/vxunzip_bench.exe")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--work", default="/tmp/vxunzip-bench")
    args = parser.parse_args()

    exe = os.path.join(os.path.abspath(args.build_dir), "bench", "vxunzip_bench.exe")
    if not os.path.exists(exe):
        raise SystemExit(f"{exe} is missing: cmake --build {args.build_dir} --target vxunzip_bench")
    os.makedirs(args.work, exist_ok=True)
    env = dict(os.environ, WINEPREFIX=os.path.join(os.path.abspath(args.work), "prefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")

    archives = [("package, 2,000 files", "package.zip", lambda p: build_package(p, random.Random(2))),
                ("single entry, 10 MB", "single10.zip", lambda p: build_single(p, 10 << 20, random.Random(3))),
                ("single entry, 500 MB", "single500.zip", lambda p: build_single(p, 500 << 20, random.Random(4)))]
    for _, name, build in archives:
        path = os.path.join(args.work, name)
        if not os.path.exists(path):
            print(f"building {name} ...", flush=True)
            build(path)

    # One persistent wineserver for all runs, so that each run pays only the program's own start.
    subprocess.run(["wineboot", "-i"], env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.Popen(["wineserver", "-p"], env=env).wait()
    try:
        print(f"{args.runs} runs each, medians; Wine wall time includes starting the program under Wine")
        header = (f"{'archive':24} {'MB in/out':>13} {'unzip s':>8} {'wine s':>8} {'inside s':>9} "
                  f"{'wine/unzip':>10} {'inside/unzip':>12} {'unzip RSS':>10} {'wine RSS':>9} {'peak WS':>8}")
        print(header)
        for label, name, _ in archives:
            path = os.path.join(args.work, name)
            with zipfile.ZipFile(path) as archive:
                unpacked = sum(info.file_size for info in archive.infolist())
            r = bench(path, args.runs, args.work, exe, env)
            unzip_s, wine_s, inside_s = (statistics.median(r[k]) for k in ("unzip", "wine", "inside"))
            print(f"{label:24} {os.path.getsize(path) / 1e6:6.1f}/{unpacked / 1e6:6.1f} {unzip_s:8.3f} "
                  f"{wine_s:8.3f} {inside_s:9.3f} {wine_s / unzip_s:10.2f} {inside_s / unzip_s:12.2f} "
                  f"{max(r['unzip_rss']) / 2**20:8.1f}MB {max(r['wine_rss']) / 2**20:7.1f}MB "
                  f"{max(r['wine_peak_ws']) / 2**20:6.1f}MB", flush=True)
    finally:
        subprocess.run(["wineserver", "-k"], env=env)


if __name__ == "__main__":
    main()

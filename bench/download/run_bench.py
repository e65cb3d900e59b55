#!/usr/bin/env python3
"""Download benchmark: vxstarter's DownloadPackage (with its progress window) under Wine against curl
natively, both fetching the same packages over HTTPS on loopback from one server.

Runs inside the build tree's test bed (its Wine prefix trusts the test CA, Xvfb shows the window):

    build/<dir>/vxrun --python bench/download/run_bench.py [--runs 5] [--work /tmp/vxdownload-bench]
        [--only raw100 pkg10 pkg100 pkg500] [--verbose]

The server is `openssl s_server -HTTP` on port 4443 with the test bed's certificate for localhost,
sending prepared files that hold a whole HTTP/1.0 answer with its Content-Length. Before measuring,
curl fetches the 100 MB package to /dev/null a few times: that throughput is what the server and
loopback can give, and it is far above what the download reaches.

Packages: "raw100" is 100 MB of random bytes, not a ZIP archive, so that DownloadPackage's unpacker
gives up at once and the run measures the download (and the deletion); "pkg10", "pkg100" and
"pkg500" are ZIP packages of 10, 100 and 500 MB (half stored random files, half deflated
program-like files), for the whole update against curl followed by `unzip -q`. Each section starts
a fresh wineserver (and with it a fresh desktop), and the runs with the window held back come last:
in a first layout that mixed them, later runs' windows under the same wineserver at times began late
or never, which made those runs look fast.

The check's hash: beside raw100, in the same rotation, `vxdownload_bench.exe --hash` hashes 100 MB
in the download's 4 KB blocks with CNG's SHA-256, as a starter built with package keys does while it
writes the package; "hash" is that time, and "hash/inside" its share of the download's.

The floor: raw100 is also fetched by vxdownload_floor.exe, a bare program that makes only the calls
the download must make (the request, 4 KB InternetReadFile reads, WriteFile of each and one
SendMessageA(PBM_SETPOS) per read to the bar of the same progress dialog on a thread of its own), in
the same rotation as DownloadPackage and curl. "inside/floor" is what the starter's own code costs
over the platform; "floor sends" counts the positions it sent (none before its window was ready).

Times: "inside" is DownloadPackage's own time as vxdownload_bench.exe measures it; "floor" is the
floor program's time around the same calls; "wine" is the
wall time of the Wine process (program start and exit under an already running wineserver); curl
and unzip are wall times of their processes. "held" is DownloadPackage with the window's
initialisation held back until the download has returned, so that no PBM_SETPOS is sent. Peak
memory is the peak resident set size as GNU time reports it (for Wine, the process running the
program, Wine's own libraries included) and the program's own PeakWorkingSetSize. "window began
by" is the latest moment, over the runs, at which the window's initialisation began (seconds after
the call; -1 when it had not begun when the call returned, so that the run sent it nothing).
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from benchlib import run_measured, tree_digest, wine  # noqa: E402

PORT = 4443
PACKAGE_PATH = "download/app/customer"


def binary_like(rng, size):
    """Text runs and random runs, deflating to about half their size, as program files do."""
    words = b"update package folder entry host agent starter archive deflate stream buffer record".split()
    pieces = []
    while sum(map(len, pieces)) < size:
        pieces.append(b" ".join(rng.choice(words) for _ in range(16))[:96])
        pieces.append(rng.randbytes(64))
    return b"".join(pieces)[:size]


def build_package(path, total, rng):
    """About `total` bytes of ZIP: 2.5 MB stored random files and 5 MB deflated program-like ones."""
    block = binary_like(rng, 1 << 20)
    with zipfile.ZipFile(path, "w") as archive:
        index = 0
        while archive.fp.tell() < total:
            stored = index % 2 == 0
            info = zipfile.ZipInfo(f"bin/part{index // 10}/file{index}.{'dat' if stored else 'dll'}",
                                   (2024, 5, 1, 12, 0, 0))
            info.compress_type = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
            with archive.open(info, "w") as entry:
                if stored:
                    entry.write(rng.randbytes(5 << 19))
                else:
                    for piece in range(5):
                        entry.write(piece.to_bytes(4, "little") + block[4:])
            index += 1


def build_raw(path, size, rng):
    with open(path, "wb") as f:
        for _ in range(size >> 20):
            f.write(rng.randbytes(1 << 20))


def serve_file(serve_root, name, source):
    """The file s_server -HTTP sends as it is: the HTTP answer's head and then the package."""
    target = os.path.join(serve_root, PACKAGE_PATH, name + ".zip")
    os.makedirs(os.path.dirname(target), exist_ok=True)
    size = os.path.getsize(source)
    with open(target, "wb") as out, open(source, "rb") as data:
        out.write(f"HTTP/1.0 200 OK\r\nContent-Type: application/zip\r\nContent-Length: {size}\r\n\r\n".encode())
        shutil.copyfileobj(data, out, 1 << 20)


def clear(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


class Bench:
    def __init__(self, wine_road, work, exe, floor_exe, ca, verbose):
        self.wine = wine_road
        self.work = work
        self.verbose = verbose
        self.exe = "Z:" + exe.replace("/", "\\")
        self.floor_exe = "Z:" + floor_exe.replace("/", "\\")
        self.ca = ca
        self.ours_folder = os.path.join(work, "ours")
        self.curl_folder = os.path.join(work, "curl")

    def url(self, name):
        return f"https://localhost:{PORT}/{PACKAGE_PATH}/{name}.zip"

    def ours(self, name, hold=False, expect_result="1"):
        clear(self.ours_folder)
        command = self.wine.command(self.exe, PORT, name, *(["--hold-window"] if hold else []))
        elapsed, rss, output, _ = run_measured(command, self.work, cwd=self.ours_folder)
        fields = dict(item.split("=") for item in output.split())
        if fields.get("result") != expect_result:
            raise SystemExit(f"DownloadPackage {name}: {output}")
        if os.path.exists(os.path.join(self.ours_folder, name + ".zip")):
            raise SystemExit(f"DownloadPackage {name} left its archive")
        return {"wine": elapsed, "inside": float(fields["seconds"]), "rss": rss,
                "peak_ws": int(fields["peak_working_set"]), "window_init": float(fields["window_init"])}

    def floor(self, name):
        clear(self.ours_folder)
        command = self.wine.command(self.floor_exe, PORT, name)
        elapsed, _, output, _ = run_measured(command, self.work, cwd=self.ours_folder)
        fields = dict(item.split("=") for item in output.split())
        if fields.get("result") != "1":
            raise SystemExit(f"floor {name}: {output}")
        return {"floor": float(fields["seconds"]), "floor_wine": elapsed, "floor_sends": int(fields["sends"])}

    def hash(self):
        _, _, output, _ = run_measured(self.wine.command(self.exe, "--hash"), self.work)
        fields = dict(item.split("=") for item in output.split())
        if fields.get("result") != "1":
            raise SystemExit(f"hash: {output}")
        return {"hash": float(fields["hash_seconds"])}

    def curl(self, name, unzip=False):
        clear(self.curl_folder)
        archive = os.path.join(self.curl_folder, name + ".zip")
        elapsed, rss, _, code = run_measured(["curl", "-s", "-f", "--cacert", self.ca, "-o", archive, self.url(name)],
                                             self.work)
        if code != 0:
            raise SystemExit(f"curl {name} failed ({code})")
        result = {"curl": elapsed, "curl_rss": rss}
        if unzip:
            elapsed, rss, _, code = run_measured(["unzip", "-q", "-o", archive, "-d", self.curl_folder], self.work)
            if code != 0:
                raise SystemExit(f"unzip {name} failed ({code})")
            os.remove(archive)
            result.update(unzip=elapsed, unzip_rss=rss)
        return result

    def side_by_side(self, name, runs, unzip):
        rows = []
        for run in range(runs):
            # Taking turns to go first, so that none always finds the warmer cache. The floor runs only
            # beside the bare download.
            sides = [lambda: self.ours(name, expect_result="1" if unzip else "0"), lambda: self.curl(name, unzip)]
            if not unzip:
                sides += [lambda: self.floor(name), self.hash]
            shift = run % len(sides)
            row = {}
            for side in sides[shift:] + sides[:shift]:
                row.update(side())
            rows.append(row)
            self.show(name, run, rows[-1])
        if unzip and tree_digest(self.ours_folder) != tree_digest(self.curl_folder):
            raise SystemExit(f"{name}: DownloadPackage and unzip left different trees")
        return rows

    def held(self, name, runs):
        rows = []
        for run in range(runs):
            rows.append(self.ours(name, hold=True, expect_result="0"))
            self.show(name + " held", run, rows[-1])
        return rows

    def show(self, name, run, row):
        if self.verbose:
            print(f"  {name} run {run}: " + "  ".join(f"{k}={v:.3f}" if isinstance(v, float) else f"{k}={v}"
                                                 for k, v in row.items()), flush=True)


def fresh_wineserver(wine_road):
    """A new persistent wineserver: each section starts from a fresh desktop, and each run pays only
    the program's own start."""
    for option in ("-k", "-w", "-p"):
        subprocess.run(wine_road.server_command(option), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def median(rows, key):
    return statistics.median(row[key] for row in rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--work", default="/tmp/vxdownload-bench")
    parser.add_argument("--only", nargs="*", help="packages to measure (raw100 pkg10 pkg100 pkg500)")
    parser.add_argument("--verbose", action="store_true", help="print every run")
    args = parser.parse_args()

    build_dir = os.environ.get("VX_BUILD_DIR")
    if not build_dir or not os.environ.get("WINEPREFIX"):
        raise SystemExit("run through the test bed: build/<dir>/vxrun --python bench/download/run_bench.py")
    exe = os.path.join(build_dir, "bench", "vxdownload_bench.exe")
    floor_exe = os.path.join(build_dir, "bench", "vxdownload_floor.exe")
    for program in (exe, floor_exe):
        if not os.path.exists(program):
            raise SystemExit(f"{program} is missing: "
                             f"cmake --build {build_dir} --target vxdownload_bench vxdownload_floor")
    wine_road = wine.for_build(build_dir, os.environ["WINEPREFIX"])
    pki = os.environ["VX_TESTBED_PKI"]
    work = os.path.abspath(args.work)
    serve_root = os.path.join(work, "serve")
    os.makedirs(work, exist_ok=True)

    packages = [("raw100", lambda p: build_raw(p, 100 << 20, random.Random(1))),
                ("pkg10", lambda p: build_package(p, 10 << 20, random.Random(2))),
                ("pkg100", lambda p: build_package(p, 100 << 20, random.Random(3))),
                ("pkg500", lambda p: build_package(p, 500 << 20, random.Random(4)))]
    wanted = set(args.only or ("raw100", "pkg10", "pkg100", "pkg500"))
    for name, build in packages:
        if name not in wanted and name != "raw100":  # the server check below fetches raw100
            continue
        source = os.path.join(work, name + ".bin")
        if not os.path.exists(source):
            print(f"building {name} ...", flush=True)
            build(source)
        serve_file(serve_root, name, source)

    server = subprocess.Popen(["openssl", "s_server", "-accept", str(PORT), "-cert", os.path.join(pki, "localhost.crt"),
                               "-key", os.path.join(pki, "localhost.key"), "-HTTP", "-quiet"],
                              cwd=serve_root, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        time.sleep(1)
        bench = Bench(wine_road, work, exe, floor_exe, os.path.join(pki, "ca.crt"), args.verbose)
        speeds = []
        for _ in range(3):
            start = time.perf_counter()
            subprocess.run(["curl", "-s", "-f", "--cacert", bench.ca, "-o", "/dev/null", bench.url("raw100")], check=True)
            speeds.append(100 * 2**20 / (time.perf_counter() - start) / 1e6)
        print(f"server check: curl fetches raw100 to /dev/null at {statistics.median(speeds):.0f} MB/s (median of 3)")
        print(f"{args.runs} runs each (pkg500: half as many), medians; times in seconds")

        if "raw100" in wanted:
            fresh_wineserver(wine_road)
            rows = bench.side_by_side("raw100", args.runs, unzip=False)
            fresh_wineserver(wine_road)
            held_s = median(bench.held("raw100", args.runs), "inside")
            curl_s, inside_s, wine_s, floor_s, hash_s = (median(rows, k)
                                                         for k in ("curl", "inside", "wine", "floor", "hash"))
            print(f"download, 100 MB:  curl {curl_s:.3f}  floor {floor_s:.3f}  inside {inside_s:.3f}  "
                  f"wine {wine_s:.3f}  "
                  f"held {held_s:.3f}  inside/floor {inside_s / floor_s:.2f}  inside/curl {inside_s / curl_s:.1f}  "
                  f"floor/curl {floor_s / curl_s:.1f}  wine/curl {wine_s / curl_s:.1f}  "
                  f"floor sends {min(r['floor_sends'] for r in rows)}-{max(r['floor_sends'] for r in rows)}  "
                  f"held/curl {held_s / curl_s:.1f}  wine RSS {max(r['rss'] for r in rows) / 2**20:.1f} MB  "
                  f"peak WS {max(r['peak_ws'] for r in rows) / 2**20:.2f} MB  "
                  f"window began by {max(r['window_init'] for r in rows):.2f}  "
                  f"hash {hash_s:.3f}  hash/inside {hash_s / inside_s:.3f}", flush=True)

        for name in ("pkg10", "pkg100", "pkg500"):
            if name not in wanted:
                continue
            fresh_wineserver(wine_road)
            rows = bench.side_by_side(name, args.runs if name != "pkg500" else max(1, args.runs // 2), unzip=True)
            curl_unzip = statistics.median(row["curl"] + row["unzip"] for row in rows)
            inside_s, wine_s = median(rows, "inside"), median(rows, "wine")
            print(f"update, {name}:  curl+unzip {curl_unzip:.3f}  inside {inside_s:.3f}  wine {wine_s:.3f}  "
                  f"inside/(curl+unzip) {inside_s / curl_unzip:.1f}  wine/(curl+unzip) {wine_s / curl_unzip:.1f}  "
                  f"wine RSS {max(r['rss'] for r in rows) / 2**20:.1f} MB  "
                  f"peak WS {max(r['peak_ws'] for r in rows) / 2**20:.2f} MB  "
                  f"curl RSS {max(r['curl_rss'] for r in rows) / 2**20:.1f} MB  "
                  f"unzip RSS {max(r['unzip_rss'] for r in rows) / 2**20:.1f} MB  "
                  f"window began by {max(r['window_init'] for r in rows):.2f}", flush=True)
    finally:
        server.terminate()
        server.wait()
        subprocess.run(wine_road.server_command("-k"), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


if __name__ == "__main__":
    main()

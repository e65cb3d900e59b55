"""What the benchmarks share: one measured run of a command, and a comparable listing of a tree."""
import os
import subprocess
import sys
import time

# The benchmarks' Windows programs run under the Wine that runs the tests of their build tree.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools", "testbed"))
from testbed import wine  # noqa: E402,F401


def run_measured(command, work, cwd=None, env=None):
    """Wall time, peak RSS in bytes, standard output and exit code of one command. GNU time reports
    the peak (a child forked straight from this large Python process would count its pre-exec copy);
    the output goes through a file, as a wineserver started by the run would hold a pipe open."""
    report = os.path.join(work, "time.txt")
    output_path = os.path.join(work, "out.txt")
    start = time.perf_counter()
    with open(output_path, "wb") as out:
        process = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, *command], cwd=cwd, env=env,
                                 stdout=out, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    with open(output_path, errors="replace") as f:
        output = f.read()
    with open(report) as lines:
        peak_kb = int(lines.read().split()[-1])
    return elapsed, peak_kb * 1024, output, process.returncode


def tree_digest(folder):
    """Every file below folder as (relative path, size), sorted."""
    listing = []
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            listing.append((os.path.relpath(path, folder), os.path.getsize(path)))
    return sorted(listing)

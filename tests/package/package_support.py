"""Shared by the package tool's tests: source trees with fixed times, and runs of scripts/package."""
import os
import subprocess
import sys

SOURCE_DIR = os.environ.get("VX_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PACKAGE = os.path.join(SOURCE_DIR, "scripts", "package")
NAME_TABLE = os.path.join(SOURCE_DIR, "tests", "data", "entry_names.tsv")
# 2024-05-17 10:20:31 UTC: an odd second, in summer time in Europe.
MTIME = 1715941231

# A tree with nested folders, an empty file, Japanese names (some with a second byte 0x5C in code
# page 932: 表, ソ, 能) and accented ones.
TREE = {
    "vxagent.exe": b"MZ host program" + bytes(range(256)) * 4,
    "data/lang/en.txt": b"hello\r\n" * 200,
    "data/empty.dat": b"",
    "data/\u8868\u793a/\u30bd\u30d5\u30c8.txt": "ソフトウェア".encode("utf-8"),
    "\u65e5\u672c\u8a9e/\u80fd\u529b.ini": b"[a]\r\nb=1\r\n",
    "Jos\u00e9/caf\u00e9 na\u00efve.txt": b"accented",
    "random.bin": os.urandom(4096),
}


def name_table():
    """(verdict, name) of every case in the shared table: safe, unsafe, staging or alias."""
    cases = []
    with open(NAME_TABLE, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line and not line.startswith("#"):
                kind, name = line.split("\t", 1)
                assert kind in ("safe", "unsafe", "staging", "alias"), line
                cases.append((kind, name))
    return cases


def make_tree(root, files, mtime=MTIME):
    for name, data in files.items():
        path = os.path.join(root, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (mtime, mtime))
    return root


def run_package(*args):
    return subprocess.run([sys.executable, PACKAGE, *map(str, args)], capture_output=True, text=True, timeout=600)

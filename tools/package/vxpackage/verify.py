"""scripts/package --verify: unpacks a package with the starter's own unpacker (vxunpack.exe, built
with the test build) under Wine, once with the Japanese code page 932 and once with the Western 1252,
and compares every file with the source folder: names, bytes and times. Given a public key, each run
first makes the starter's own check of the package's signature file with it.

Wine takes a process's code pages and time zone from its Unix locale and TZ, so one prefix serves
both settings. The package is unpacked into a folder whose path is as long as the longer working
folder's, so that paths fit or fail as they will on a customer's machine."""
import datetime
import filecmp
import os
import secrets
import shutil
import subprocess
import sys
import tempfile

from . import signing, source, zipwriter

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tools", "testbed"))
from testbed import wine as wine_mod  # noqa: E402
SETTINGS = [  # (code page, the locale that gives it)
    (932, "ja_JP.UTF-8"),
    (1252, "C.UTF-8"),
]
_WORKING_FOLDER_LENGTH = len(source.WORKING_FOLDER.rstrip("\\"))


def _build_dir():
    """The test tree of the build this machine runs, where its vxunpack.exe is."""
    return os.environ.get("VX_BUILD_DIR") or wine_mod.default_build_dir()


def _wine(build_dir):
    """Wine for the tree's build, in a prefix of that build's kind."""
    arch = wine_mod.build_arch(build_dir)
    return wine_mod.Wine(arch, os.environ.get("WINEPREFIX") or os.path.join(REPO, "build", "package", "prefix-" + arch))


def _windows_path(path, prefix):
    path = os.path.abspath(path)
    drive_c = os.path.join(prefix, "drive_c")
    if path.startswith(drive_c + os.sep):
        return "C:" + path[len(drive_c):].replace("/", "\\")
    return "Z:" + path.replace("/", "\\")


def _run_unpacker(wine, unpacker, archive, folder, locale, tz_name, signature_check):
    prefix = wine.prefix
    env = wine.env(LANG=locale, LC_ALL=locale)
    if tz_name:
        env["TZ"] = tz_name
    # Output through a file, not a pipe: a wineserver started by this run would inherit a pipe and
    # keep it open.
    with tempfile.TemporaryFile() as out:
        result = subprocess.run(wine.command(unpacker, _windows_path(archive, prefix), _windows_path(folder, prefix),
                                             *signature_check),
                                env=env, stdout=out, stderr=subprocess.STDOUT, timeout=600)
        out.seek(0)
        return result.returncode, out.read().decode("utf-8", "replace")


def _expected_time(mtime, zone):
    """The modification time the starter gives a file: the stored local time, turned into UTC with the
    offset of the zone in force now, as LocalFileTimeToFileTime does."""
    _, _, local = zipwriter.dos_date_time(mtime, zone)
    offset = datetime.datetime.now(zone).utcoffset() if zone else datetime.datetime.now().astimezone().utcoffset()
    return int((local - offset - datetime.datetime(1970, 1, 1)).total_seconds())


def _unpacked_files(folder):
    found = set()
    for parent, _, files in os.walk(folder):
        relative = os.path.relpath(parent, folder)
        for name in files:
            found.add(name if relative == "." else relative.replace(os.sep, "/") + "/" + name)
    return found


def compare(folder, entries, zone):
    """Problems of an unpacked folder against the source entries."""
    problems = []
    unpacked = _unpacked_files(folder)
    for entry in entries:
        target = os.path.join(folder, *entry.name.split("/"))
        if entry.name not in unpacked:
            problems.append(f"missing: {entry.name}")
            continue
        unpacked.discard(entry.name)
        if not filecmp.cmp(entry.path, target, shallow=False):
            problems.append(f"bytes differ: {entry.name}")
        got, expected = int(os.stat(target).st_mtime), _expected_time(entry.mtime, zone)
        if got != expected:
            problems.append(f"time differs: {entry.name}: {_utc(got)} instead of {_utc(expected)}")
    problems.extend(f"not in the source: {name}" for name in sorted(unpacked))
    return problems


def _utc(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def verify(archive, source_dir, tz_name, zone, public_key=None):
    build_dir = _build_dir()
    unpacker = os.path.join(build_dir, "tools", "vxunpack.exe")
    if not os.path.isfile(unpacker):
        preset = os.path.basename(build_dir)
        print(f"verify: {unpacker} is missing; build it with: cmake --preset {preset} && "
              f"cmake --build --preset {preset} --target vxunpack")
        return 2
    if not os.path.isfile(archive) or not os.path.isdir(source_dir):
        print(f"verify: {archive} must be an archive and {source_dir} a folder")
        return 2
    signature_check = []
    if public_key:
        try:
            point = signing.read_public_point(public_key)
        except signing.KeyError_ as e:
            print(f"verify: {e}")
            return 2
        if not os.path.isfile(archive + ".sig") or not os.path.basename(archive).endswith(".zip"):
            print(f"verify: {archive}.sig is missing (scripts/package --sign writes it)")
            return 2
        signature_check = [os.path.basename(archive)[:-4], point.hex()]
    entries, _, _ = source.scan(source_dir)
    wine = _wine(build_dir)
    prefix = wine.prefix
    os.makedirs(os.path.join(prefix, "drive_c"), exist_ok=True)
    root = os.path.join(prefix, "drive_c", "vxverify-" + secrets.token_hex(4))
    failed = False
    try:
        os.makedirs(root)
        copy = os.path.join(root, "package.zip")
        shutil.copyfile(archive, copy)
        if signature_check:
            shutil.copyfile(archive + ".sig", copy + ".sig")
            signature_check.insert(0, _windows_path(copy + ".sig", prefix))
        for code_page, locale in SETTINGS:
            name = f"unpacked-{code_page}"
            folder = os.path.join(root, name.ljust(_WORKING_FOLDER_LENGTH - len(_windows_path(root, prefix)) - 1, "_"))
            code, output = _run_unpacker(wine, unpacker, copy, folder, locale, tz_name, signature_check)
            label = f"code page {code_page} (LANG={locale})"
            problems = []
            if f"ANSI {code_page}," not in output:
                problems.append(f"the run did not get code page {code_page}: is the locale {locale} installed? "
                                f"{output.strip()}")
            if signature_check and "signature: good" not in output:
                problems.append(f"the starter's check refused the signature with {public_key}: {output.strip()}")
            elif code != 0:
                problems.append(f"the starter's unpacker refused the package (exit {code}): {output.strip()}")
            problems.extend(compare(folder, entries, zone))
            if problems:
                failed = True
                for problem in problems:
                    print(f"{label}: {problem}")
            else:
                print(f"{label}: {len(entries)} files unpacked equal to the source in names, bytes and times")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    if signature_check and not failed:
        print(f"verify: the starter's check accepts {archive}.sig with {public_key}")
    print("verify: " + ("FAILED: customers would not get these files" if failed else "the package installs as built"))
    return 1 if failed else 0

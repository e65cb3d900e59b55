"""End-to-end support: runs the real vxstarter.exe under Wine in the test bed that `vxrun --python`
prepared (private network namespace, Xvfb, local servers, the build tree's Wine prefix).

    import vxe2e
    class MyTest(vxe2e.StarterTestCase):
        def test_x(self):
            self.servers.set({"routes": {...}})
            run = self.start_starter()          # a fresh copy in a Downloads folder of its own
            ...drive it with self.ui(...)...
            self.wait_for_exit()
    vxe2e.main()
"""
import configparser
import getpass
import glob
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

from testbed import servers as servers_mod
from testbed import wine as wine_mod

BUILD_DIR = os.environ.get("VX_BUILD_DIR", "")
SOURCE_DIR = os.environ.get("VX_SOURCE_DIR", "")
PREFIX = os.environ.get("WINEPREFIX", "")
RUN_DIR = os.environ.get("VX_TESTBED_DIR", "")
WINE = wine_mod.for_build(BUILD_DIR, PREFIX) if BUILD_DIR else None

STARTER = os.path.join(BUILD_DIR, "vxstarter.exe")
UIDRIVER = os.path.join(BUILD_DIR, "tools", "uidriver", "vxuidriver.exe")
STANDIN_DIR = os.path.join(BUILD_DIR, "tools", "standin")


def drive_c(*parts):
    return os.path.join(PREFIX, "drive_c", *parts)


def windows_path(unix_path):
    """The Windows name of a file of this machine: inside drive_c as C:, anything else under Z:."""
    path = os.path.abspath(unix_path)
    c_root = os.path.abspath(drive_c())
    if path == c_root or path.startswith(c_root + os.sep):
        return "C:" + (path[len(c_root):] or "\\").replace("/", "\\")
    return "Z:" + path.replace("/", "\\")


def product_folder():
    return drive_c("users", "Public", "Documents", "Vantorix")


def working_folder(backup=False):
    return os.path.join(product_folder(), "Customer_Backup" if backup else "Customer")


ENGLISH_CAPTION = "Vantorix Starter"
HOST_PROGRAMS = ["vxagent.exe", "vxpanel.exe", "vxcourier.exe", "vxlink.exe"]
PACKAGE_MARK = b"\0vx-package-copy"  # appended to a program taken from a package, to tell it apart


def standin_bytes(program):
    with open(os.path.join(STANDIN_DIR, program), "rb") as f:
        return f.read()


def make_package(path, extra_files=None, date_time=(2024, 5, 17, 10, 20, 30), programs=HOST_PROGRAMS):
    """A product package as the server ships it: the host program and its companions (each marked
    as the package's copy), a nested data file, and extra_files {name: bytes}."""
    files = {name: standin_bytes(name) + PACKAGE_MARK for name in programs}
    files["data/lang/en.txt"] = b"hello from the package\r\n"
    files.update(extra_files or {})
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in files.items():
            archive.writestr(zipfile.ZipInfo(name, date_time), data, zipfile.ZIP_DEFLATED)
    return files


def install_old_product(version="1.0", backup=False):
    """The product as an earlier run left it: the host program and companions, and info.dat."""
    folder = working_folder(backup)
    os.makedirs(folder, exist_ok=True)
    for name in HOST_PROGRAMS:
        shutil.copy2(os.path.join(STANDIN_DIR, name), os.path.join(folder, name))
    with open(os.path.join(folder, "info.dat"), "w", newline="\r\n") as f:
        f.write(f"[server]\nversion={version}\ncode_str=111\nrestarted=1\n[host]\nmode=quiet\n")
    return folder


def tree_snapshot(folder, skip=()):
    """{relative path: (bytes, modification time)} of every file below folder but the names in skip."""
    snapshot = {}
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            relative = os.path.relpath(path, folder)
            if relative not in skip:
                with open(path, "rb") as f:
                    snapshot[relative] = (f.read(), os.stat(path).st_mtime_ns)
    return snapshot


def host_records(backup=False):
    """What the stand-in host program recorded of its starts, oldest first (see tools/standin/host.cpp)."""
    path = os.path.join(working_folder(backup), "standin.log")
    if not os.path.exists(path):
        return []
    with open(path, encoding="ascii") as f:
        return [json.loads(line) for line in f if line.strip()]


def host_verbs(backup=False):
    return [record["verb"] for record in host_records(backup)]


def read_info(backup=False):
    """info.dat of a working folder as {key: value} of its "server" section; {} when absent."""
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str
    path = os.path.join(working_folder(backup), "info.dat")
    if not os.path.exists(path):
        return {}
    with open(path, encoding="latin-1") as f:
        parser.read_file(f)
    return dict(parser["server"]) if parser.has_section("server") else {}


def wine_env(**extra):
    env = dict(os.environ)
    env.update(extra)
    return env


def wine(*args, timeout=120, env=None, check=False):
    """Runs a Windows program to its end; its output as text. The output goes through files, not
    pipes: when this wine happens to start the wineserver and its service processes, they inherit
    its standard handles, and a pipe would then never reach its end."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run(WINE.command(*args), env=env or wine_env(), timeout=timeout, stdout=out,
                                stderr=err)
        out.seek(0)
        err.seek(0)
        result.stdout = out.read().decode("utf-8", "replace")
        result.stderr = err.read().decode("utf-8", "replace")
    if check and result.returncode != 0:
        raise subprocess.CalledProcessError(result.returncode, result.args, result.stdout, result.stderr)
    return result


def _wine_processes():
    """(Unix process id, file name in lower case, command line) of every Windows program running in
    this prefix."""
    mark = b"WINEPREFIX=" + PREFIX.encode()
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                environment = f.read().split(b"\0")
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                command = f.read().split(b"\0")
        except OSError:
            continue  # gone meanwhile
        first = command[0].decode("latin-1")
        if mark in environment and first.lower().endswith(".exe"):
            name = first.replace("/", "\\").rsplit("\\", 1)[-1].lower()
            found.append((int(pid), name, b" ".join(command).decode("latin-1").strip()))
    return found


# Wine's own processes of the session, and the UI driver: they stay from one test to the next, and
# with them the wineserver, so that a test pays only for the start of its own programs.
SESSION_PROGRAMS = {"services.exe", "winedevice.exe", "plugplay.exe", "svchost.exe", "rpcss.exe", "explorer.exe",
                    "conhost.exe", "wineboot.exe", "vxuidriver.exe"}


def end_programs(timeout=30):
    """Ends every other Windows program of the prefix at once, as Task Manager's End task does, and
    waits until they are gone."""
    deadline = time.time() + timeout
    while True:
        pids = [pid for pid, name, _ in _wine_processes() if name not in SESSION_PROGRAMS]
        if not pids:
            return
        if time.time() > deadline:
            raise AssertionError(f"Windows programs do not end: {pids}")
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.05)


def running_programs():
    """The file names of the Windows programs running in this prefix now."""
    return [name for _, name, _ in _wine_processes()]


def starter_processes():
    """The command lines of the vxstarter.exe processes running in this prefix now."""
    return [command for _, name, command in _wine_processes() if name == "vxstarter.exe"]


def start_program(unix_path, *args):
    return subprocess.Popen(WINE.command(windows_path(unix_path), *args), env=wine_env(),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wait_until(condition, timeout, interval=0.1):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return condition()


# Wine takes the code pages and the user's language from the Unix locale of each process:
# ANSI 1252 and OEM 437 with English, 932 for both with Japanese.
ENGLISH = {"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}
JAPANESE = {"LANG": "ja_JP.UTF-8", "LC_ALL": "ja_JP.UTF-8"}


class Starter:
    """One copy of vxstarter.exe in a folder of its own, as a customer's download; by default in the
    Downloads folder of the prefix's user, or of the profile named `user`."""

    def __init__(self, folder_name, user=None):
        self.folder = drive_c("users", user or getpass.getuser(), "Downloads", folder_name)
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.path = os.path.join(self.folder, "vxstarter.exe")
        shutil.copy2(STARTER, self.path)
        self.process = None

    def start(self, *args, env=None):
        self.process = subprocess.Popen(WINE.command(windows_path(self.path), *args), env=env or wine_env(),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self

    def wait_for_end(self, timeout=90):
        """True when this run has ended within the time: the first process and an elevated relaunch.
        Wine's own session processes do not count: when two programs bring up the session's desktop at
        the same moment, a second desktop process can stay behind."""
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return False
        return wait_until(lambda: not starter_processes(), timeout, 0.2)

    def gone(self):
        return not os.path.exists(self.path)


class UiDriver:
    """The UI driver (tools/uidriver) as one process for the whole script, fed one command a line:
    each Wine process start costs far more than a command. Its arguments reach it as UTF-8, whatever
    the locale of the program it drives."""

    END = "vxuidriver-end "

    def __init__(self):
        self._process = None
        self._errors = None

    def _start(self):
        if self._errors:
            self._errors.close()  # the ended driver's
        self._errors = tempfile.TemporaryFile()
        self._process = subprocess.Popen(WINE.command(windows_path(UIDRIVER), "--serve"), env=wine_env(**ENGLISH),
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._errors)

    def stop(self):
        if self._process and self._process.poll() is None:
            self._process.kill()
            self._process.wait()
        self._process = None

    def run(self, args, timeout):
        """(exit code, standard output, standard error) of one command; code None on time-out."""
        if self._process is None or self._process.poll() is not None:
            self._start()
        errors_start = self._errors.seek(0, os.SEEK_END)
        words = [str(a) for a in args]
        if any("\t" in w or "\n" in w for w in words):
            raise ValueError(f"a tab or a line end in {words}")
        self._process.stdin.write(("\t".join(words) + "\n").encode("utf-8"))
        self._process.stdin.flush()
        output = b""
        deadline = time.time() + timeout
        code = None
        while code is None:
            left = deadline - time.time()
            if left <= 0 or not select.select([self._process.stdout], [], [], left)[0]:
                self.stop()
                break
            chunk = os.read(self._process.stdout.fileno(), 65536)
            if not chunk:
                self.stop()
                break
            output += chunk
            lines = output.decode("utf-8", "replace").split("\n")
            if len(lines) >= 2 and lines[-2].startswith(self.END):
                code = int(lines[-2][len(self.END):].strip())
                output = "\n".join(lines[:-2])
        self._errors.seek(errors_start)
        errors = self._errors.read().decode("utf-8", "replace")
        return code, output if code is not None else output.decode("utf-8", "replace"), errors


_ui_driver = UiDriver()


class StarterTestCase(unittest.TestCase):
    """Each test starts with no Windows program of its own running, no product folder, no request
    logged."""

    def setUp(self):
        end_programs()
        shutil.rmtree(product_folder(), ignore_errors=True)
        # An earlier test's self-removal script, cut off by its end, stays under its process's
        # identifier, which the wineserver hands out again.
        for script in glob.glob(drive_c("users", "*", "Temp", "_uninsep*.bat")):
            os.remove(script)
        self._scratch = tempfile.TemporaryDirectory(prefix="scratch-", dir=RUN_DIR)
        self.scratch = self._scratch.name  # a folder of this test's own for packages and such
        self.servers = servers_mod.Scenario(RUN_DIR)
        self.servers.set({"routes": {}})
        self.servers.clear_log()
        self._starters = 0

    def tearDown(self):
        end_programs()
        self._scratch.cleanup()

    def new_starter(self, user=None):
        self._starters += 1
        return Starter(f"{self.id().rsplit('.', 1)[-1]}-{self._starters}", user)

    def start_starter(self, *args, env=None):
        return self.new_starter().start(*args, env=env)

    def ui(self, *args, timeout=60):
        """Runs one UI driver command with these arguments; its standard output, stripped."""
        code, output, errors = _ui_driver.run(args, timeout)
        if code != 0:
            raise AssertionError(f"uidriver {' '.join(map(str, args))} failed ({code}): {output}{errors}")
        return output.strip("\r\n")

    def enter_code(self, code, caption=ENGLISH_CAPTION):
        """Types the code into the access-code dialog and presses Enter, as a customer would."""
        self.ui("wait", caption)
        self.ui("type", caption, str(code))
        self.ui("key", caption, "enter")

    def requests(self):
        return self.servers.requests()

    def request_paths(self):
        return [(r["port"], r["path"]) for r in self.requests()]


class PackageTestCase(StarterTestCase):
    """A test that serves the product package of make_package: package_path, package_files."""

    def setUp(self):
        super().setUp()
        self.package_path = os.path.join(self.scratch, "package.zip")
        self.package_files = make_package(self.package_path)


def main():
    try:
        unittest.main(argv=[sys.argv[0], "-v", *sys.argv[1:]])
    finally:
        _ui_driver.stop()

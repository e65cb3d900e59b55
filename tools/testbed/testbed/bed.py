"""One build tree's test bed: its own Wine prefix (made once, trusting the test CA), an Xvfb display
and the local servers, all inside a network namespace of the run's own.

Wine opens sockets in the wineserver, so the wineserver must live in the run's namespace. A build
tree therefore has a slot per processor, each with a prefix of its own: a run takes a free slot (a
lock), starts its own wineserver there and keeps it for the whole run.
"""
import contextlib
import fcntl
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from . import pki as pki_mod
from . import servers
from . import wine as wine_mod


# Xvfb has no window manager: Wine then draws the windows' frames and captions itself, as Windows
# would, and manages the windows itself too. A window left to a manager that is not there costs
# about two seconds each time it is hidden (Wine waits for the manager to confirm). The Japanese
# dialog font is matched by the proportional IPA Gothic, which has its metrics.
PREFIX_SETTINGS = (
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"
    "\"Decorated\"=\"N\"\r\n"
    "\"Managed\"=\"N\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]\r\n"
    "\"\uff2d\uff33 \uff30\u30b4\u30b7\u30c3\u30af\"=\"IPAPGothic\"\r\n")
# Wine draws the caption buttons (the close box) with Marlett. Debian's Wine does not look in the folder
# fonts-wine puts it in, so each prefix gets a copy where Windows keeps its fonts.
CAPTION_FONT = "/usr/share/wine/fonts/marlett.ttf"
# Changes whenever the prefix is to be made differently, so that older prefixes are made again.
PREFIX_LAYOUT = "5"


def in_private_netns():
    return os.environ.get("VX_NETNS") == str(os.getpid())


def reexec_in_netns():
    """Runs this very command again in a new network namespace whose loopback is up, and a mount
    namespace of its own, so that a file system a test mounts goes with the run however it ends."""
    args = [sys.executable, *sys.argv]
    script = 'ip link set lo up && export VX_NETNS=$$ && exec "$@"'
    os.execvp("unshare", ["unshare", "--net", "--mount", "--propagation", "private", "--", "sh", "-c", script, "sh",
                          *args])


class Bed:
    def __init__(self, build_dir, source_dir, servers=True):
        self.build_dir = os.path.abspath(build_dir)
        self.source_dir = source_dir
        self.testbed = os.path.join(self.build_dir, "testbed")
        self.root = None  # the slot's folder, once taken
        self.prefix = None
        self.wine_road = None  # the tree's loader and server (wine.py), once the slot is taken
        self.pki = None
        self.display = None
        self.run_dir = None
        self._xvfb = None
        self._servers = None
        self._with_servers = servers
        self.scenario = None
        self._lock_file = None

    # -- environment -------------------------------------------------------------------------
    def env(self, **extra):
        env = self.wine_road.env()
        if self.display:
            env["DISPLAY"] = self.display
        if self.run_dir:
            env["VX_TESTBED_DIR"] = self.run_dir
            env["VX_TESTBED_PKI"] = self.pki.folder  # the slot's test CA and server certificates
        env.update(extra)
        return env

    def wine(self, *args, timeout=None, env=None, **kwargs):
        return subprocess.run(self.wine_road.command(*args), env=env or self.env(), timeout=timeout, **kwargs)

    def wineserver(self, *args, timeout=None):
        return subprocess.run(self.wine_road.server_command(*args), env=self.env(), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout)

    @staticmethod
    def windows_path(unix_path):
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    def drive_c(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)

    # -- lifecycle ---------------------------------------------------------------------------
    def _take_slot(self):
        os.makedirs(self.testbed, exist_ok=True)
        slots = int(os.environ.get("VX_TESTBED_SLOTS", os.cpu_count() or 1))
        while True:
            for slot in range(slots):
                lock_file = open(os.path.join(self.testbed, f"slot-{slot}.lock"), "w")
                try:
                    fcntl.flock(lock_file, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    lock_file.close()
                    continue
                self._lock_file = lock_file
                self.root = os.path.join(self.testbed, f"slot-{slot}")
                self.prefix = os.path.join(self.root, "prefix")
                self.wine_road = wine_mod.for_build(self.build_dir, self.prefix)
                self.pki = pki_mod.Pki(os.path.join(self.root, "pki"))
                os.makedirs(self.root, exist_ok=True)
                return
            time.sleep(0.2)

    def __enter__(self):
        self._take_slot()
        self._kill_wineserver()
        self._start_xvfb()
        self._ensure_prefix()
        # Persistent: it stays between one test's programs and the next, and so does Wine's session.
        self.wineserver("-p")
        self.run_dir = tempfile.mkdtemp(prefix="run-", dir=self.root)
        # Without them a test runs a server of its own on the same ports (a real web server).
        if self._with_servers:
            self._servers = servers.ServerSet(self.run_dir, self.pki).__enter__()
            self.scenario = self._servers.scenario
        return self

    def __exit__(self, exc_type, *exc):
        self._kill_wineserver()
        if self._servers:
            self._servers.__exit__()
        if self._xvfb:
            self._xvfb.terminate()
            self._xvfb.wait()
        if self.run_dir and exc_type is None and not os.environ.get("VX_KEEP_RUN"):
            shutil.rmtree(self.run_dir, ignore_errors=True)
        self._lock_file.close()

    def wait_for_wine_exit(self, timeout):
        """Waits until every Wine process of the prefix has ended; false on time-out."""
        try:
            self.wineserver("-w", timeout=timeout)
            return True
        except subprocess.TimeoutExpired:
            return False

    def _kill_wineserver(self):
        self.wineserver("-k")
        deadline = time.time() + 10
        while time.time() < deadline:
            if self.wineserver("-w", timeout=15).returncode == 0:
                break

    def _start_xvfb(self):
        if os.environ.get("VX_USE_DISPLAY") and os.environ.get("DISPLAY"):
            self.display = os.environ["DISPLAY"]  # the demo on a desktop shows its windows there
            return
        read_fd, write_fd = os.pipe()
        self._xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number

    def _ensure_prefix(self):
        ready = os.path.join(self.root, "prefix.ready")
        try:
            with open(ready) as f:
                if f.read() == PREFIX_LAYOUT:
                    return
        except OSError:
            pass
        shutil.rmtree(self.prefix, ignore_errors=True)
        if not self.pki.exists():
            self.pki.create()
        self.wine("wineboot", "-i", check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.wait_for_wine_exit(120)
        if not os.path.isfile(CAPTION_FONT):
            raise RuntimeError(f"{CAPTION_FONT} is missing: run scripts/setup")
        shutil.copy(CAPTION_FONT, self.drive_c("windows", "Fonts"))
        trust = os.path.join(self.build_dir, "tools", "vxtrustca.exe")
        self.wine(trust, self.windows_path(self.pki.ca_der), check=True, timeout=120)
        settings = os.path.join(self.root, "prefix-settings.reg")
        with open(settings, "wb") as f:
            f.write(b"\xff\xfe" + PREFIX_SETTINGS.encode("utf-16-le"))
        self.wine("regedit", "/s", self.windows_path(settings), check=True, timeout=120)
        self.wait_for_wine_exit(120)
        with open(ready, "w") as f:
            f.write(PREFIX_LAYOUT)

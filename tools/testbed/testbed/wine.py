"""Where Wine is for a build tree: the loader, the server and the kind of prefix that run its Windows
programs. Every caller of Wine in this project goes through here, never through /usr/bin/wine, which
Debian points at 32-bit Wine whenever that is installed, even on a machine that cannot run it.

The i686 build runs in a 32-bit prefix (also where 64-bit Wine is installed beside it); the x86-64
build, for machines that run no 32-bit code, in a 64-bit one."""
import os
import subprocess

# arch: (loader, server, WINEARCH)
_ROADS = {
    "i686": ("/usr/lib/wine/wine", "/usr/lib/wine/wineserver32", "win32"),
    "x86_64": ("/usr/lib/wine/wine64", "/usr/lib/wine/wineserver64", "win64"),
}
REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))


def build_arch(build_dir):
    """The processor a build tree's Windows programs are for, as its configuration recorded it."""
    path = os.path.join(build_dir, "windows-arch.txt")
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        raise SystemExit(f"{path} is missing: configure {build_dir} first (cmake --preset ...)")


def machine_arch():
    """(arch, why): the build this machine's Wine can run, decided as scripts/setup decides it."""
    script = '. scripts/lib/arch.sh && vx_choose_arch && printf "%s\\n%s" "$VX_ARCH" "$VX_ARCH_WHY"'
    output = subprocess.run(["bash", "-c", script], cwd=REPO, check=True, capture_output=True, text=True).stdout
    arch, why = output.split("\n", 1)
    return arch, why


def default_build_dir():
    """The test tree this machine runs: build/test (i686) or build/test-x86_64."""
    arch, _ = machine_arch()
    return os.path.join(REPO, "build", "test" if arch == "i686" else "test-x86_64")


class Wine:
    def __init__(self, arch, prefix):
        if arch not in _ROADS:
            raise ValueError(f"no Wine for {arch!r} programs")
        self.arch = arch
        self.prefix = prefix
        self.loader, self.server, self.winearch = _ROADS[arch]

    def env(self, base=None, **extra):
        """base (this process's environment by default) with the prefix, its kind, the loader and the
        server set, and Wine kept quiet unless the caller asked otherwise."""
        env = dict(os.environ if base is None else base)
        env.update(WINEPREFIX=self.prefix, WINEARCH=self.winearch, WINELOADER=self.loader, WINESERVER=self.server,
                   WINEDEBUG=env.get("WINEDEBUG", "-all"),
                   WINEDLLOVERRIDES=env.get("WINEDLLOVERRIDES", "mscoree,mshtml="))
        env.update(extra)
        return env

    def command(self, *args):
        """The command line that runs a Windows program (or a built-in one such as wineboot)."""
        return [self.loader, *map(str, args)]

    def server_command(self, *args):
        return [self.server, *map(str, args)]


def for_build(build_dir, prefix):
    return Wine(build_arch(build_dir), prefix)

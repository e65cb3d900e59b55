"""vxrun: runs one Windows program (a unit test) or one Python script (an end-to-end test) in the
build tree's test bed.

  vxrun PROGRAM.exe [ARGS...]     under Wine; exit code is the program's
  vxrun --python SCRIPT [ARGS...] the script gets VX_BUILD_DIR, VX_SOURCE_DIR and the bed's environment
  vxrun --no-servers ...          the same without the local servers: the ports are left to the run
"""
import os
import subprocess
import sys

from . import bed as bed_mod


def main(build_dir, source_dir, argv):
    if not bed_mod.in_private_netns():
        bed_mod.reexec_in_netns()
    timeout = float(os.environ.get("VX_RUN_TIMEOUT", "900"))
    with_servers = not (argv and argv[0] == "--no-servers")
    if not with_servers:
        argv = argv[1:]
    with bed_mod.Bed(build_dir, source_dir, servers=with_servers) as bed:
        if argv and argv[0] == "--python":
            env = bed.env(VX_BUILD_DIR=bed.build_dir, VX_SOURCE_DIR=source_dir,
                          PYTHONPATH=os.path.join(source_dir, "tools", "testbed"))
            command = [sys.executable, *argv[1:]]
        else:
            env = bed.env()
            command = bed.wine_road.command(*argv)
        try:
            return subprocess.run(command, env=env, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            print(f"vxrun: time-out after {timeout:.0f} s: {' '.join(argv)}", file=sys.stderr)
            return 124

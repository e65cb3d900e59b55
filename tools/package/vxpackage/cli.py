"""scripts/package: makes DIR/<VERSION>.zip and DIR/version.txt from a folder (and with --sign the
signature file DIR/<VERSION>.zip.sig), checks a package, or makes a signing key pair."""
import argparse
import datetime
import os
import shlex
import sys
import tempfile
import zoneinfo

from . import rules, signing, source, verify, zipwriter

_UMASK = os.umask(0)  # the only way to read it is to set it
os.umask(_UMASK)
USAGE = ("scripts/package SOURCE_DIR VERSION [--out DIR] [--tz ZONE] [--sign PRIVATE.pem]\n"
         "       scripts/package --verify ARCHIVE SOURCE_DIR [--tz ZONE] [--package-key PUBLIC.pem]\n"
         "       scripts/package --keygen DIR")


def _zone(name):
    """The zone of --tz, or None for the machine's own."""
    if name is None:
        return None
    try:
        return zoneinfo.ZoneInfo(name)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError):
        raise SystemExit(f"package: unknown time zone {name!r} (use a name such as Europe/Berlin or Asia/Tokyo)")


def _zone_text(name):
    return name if name else f"the machine's zone ({datetime.datetime.now().astimezone().tzname()})"


def _write_package(archive, version_file, entries, zone, version, private_key):
    """Writes the files under temporary names in their folder and renames them only when all are
    whole: the archive first, then its signature, then version.txt, which announces them. On a
    failure none appears."""
    folder = os.path.dirname(archive) or "."
    temporaries = []
    try:
        for _ in range(3):
            handle, temporary = tempfile.mkstemp(prefix=".package-", dir=folder)
            os.close(handle)
            temporaries.append(temporary)
            os.chmod(temporary, 0o666 & ~_UMASK)  # readable by a web server, as any file made here
        with open(temporaries[0], "w+b") as f:
            written = zipwriter.write_archive(f, entries, zone)
        if private_key:
            with open(temporaries[1], "wb") as f:
                f.write(signing.sign_file(private_key, temporaries[0], version))
        with open(temporaries[2], "wb") as f:
            f.write(version.encode("ascii"))
        os.replace(temporaries[0], archive)
        if private_key:
            os.replace(temporaries[1], archive + ".sig")
        os.replace(temporaries[2], version_file)
        temporaries = [t for t in temporaries if os.path.exists(t)]
        return written
    finally:
        for temporary in temporaries:
            os.unlink(temporary)


def make_package(source_dir, version, out_dir, tz_name, private_key=None):
    zone = _zone(tz_name)
    problems = []
    version_problem = rules.version_problem(version)
    if version_problem:
        problems.append(f"version {version!r}: {version_problem}")
    if not os.path.isdir(source_dir):
        problems.append(f"{source_dir}: is not a folder")
        entries, warnings = [], []
    else:
        entries, found, warnings = source.scan(source_dir)
        problems.extend(found)
        inside = os.path.relpath(os.path.realpath(out_dir), os.path.realpath(source_dir))
        if inside != ".." and not inside.startswith(".." + os.sep):
            problems.append(f"{out_dir}: lies inside {source_dir}; the next package would hold this one")
    for warning in warnings:
        print(f"warning: {warning}", file=sys.stderr)
    if problems:
        for problem in problems:
            print(f"refused: {problem}", file=sys.stderr)
        print(f"package: {len(problems)} problem(s); nothing was written", file=sys.stderr)
        return 1

    os.makedirs(out_dir, exist_ok=True)
    archive = os.path.join(out_dir, f"{version}.zip")
    try:
        written = _write_package(archive, os.path.join(out_dir, "version.txt"), entries, zone, version, private_key)
    except (zipwriter.ArchiveTooLarge, zipwriter.SourceChanged, signing.KeyError_) as e:
        print(f"refused: {e}", file=sys.stderr)
        print("package: 1 problem(s); nothing was written", file=sys.stderr)
        return 1

    total = 0
    for entry, method, compressed, local in written:
        total += entry.size
        how = "deflated" if method == zipwriter.DEFLATED else "stored"
        print(f"{entry.size:>12} {compressed:>12}  {how:<8}  {local:%Y-%m-%d %H:%M:%S}  {entry.name}")
    print(f"{len(written)} files, {total} bytes, in {archive} ({os.path.getsize(archive)} bytes)")
    print(f"times: local times of {_zone_text(tz_name)}, rounded down to even seconds (DOS times carry no zone)")
    if private_key:
        with open(archive + ".sig", "rb") as f:
            print(f"signature: {archive}.sig (key id {signing.key_id_of_file(f.read()).hex()})")
    print(f"version.txt: {version} (no line end)")
    command = ["scripts/package", "--verify", archive, source_dir] + (["--tz", tz_name] if tz_name else [])
    print("verify with: " + shlex.join(command))
    return 0


def make_key_pair(folder):
    try:
        private, public = signing.make_key_pair(folder)
    except signing.KeyError_ as e:
        print(f"refused: {e}", file=sys.stderr)
        return 1
    print(f"private key: {private} (mode 0600; keep it off the update servers)")
    print(f"public key:  {public} (key id {signing.key_id(signing.read_public_point(public)).hex()})")
    print("build the starter with: " + shlex.join(["scripts/release", "--probe-host", "HOST", "--primary-host", "HOST",
                                                    "--backup-host", "HOST", "--package-key", public]))
    print("sign each package with: " + shlex.join(["scripts/package", "SOURCE_DIR", "VERSION", "--out", "DIR",
                                                   "--sign", private]))
    return 0


def main(argv):
    parser = argparse.ArgumentParser(prog="scripts/package", usage=USAGE,
                                     description="Makes a package the starter accepts, or checks one with the "
                                                 "starter's own unpacker under Wine.")
    parser.add_argument("--verify", action="store_true", help="unpack ARCHIVE under Wine and compare with SOURCE_DIR")
    parser.add_argument("--out", default=".", help="folder for <VERSION>.zip and version.txt (default: .)")
    parser.add_argument("--tz", help="time zone of the file times (default: the machine's)")
    parser.add_argument("--sign", metavar="PRIVATE.pem", help="also write <VERSION>.zip.sig, signed with this key")
    parser.add_argument("--package-key", metavar="PUBLIC.pem", help="--verify also checks ARCHIVE.sig with this key")
    parser.add_argument("--keygen", metavar="DIR", help="make a signing key pair in DIR")
    parser.add_argument("first", metavar="SOURCE_DIR|ARCHIVE", nargs="?")
    parser.add_argument("second", metavar="VERSION|SOURCE_DIR", nargs="?")
    args = parser.parse_args(argv)
    if args.keygen:
        return make_key_pair(args.keygen)
    if args.second is None:
        parser.error("SOURCE_DIR and VERSION (or --verify ARCHIVE SOURCE_DIR) are required")
    if args.verify:
        return verify.verify(args.first, args.second, args.tz, _zone(args.tz), args.package_key)
    return make_package(args.first, args.second, args.out, args.tz, args.sign)

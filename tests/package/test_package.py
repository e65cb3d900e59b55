"""scripts/package without Wine: the name rules against the shared table, every refusal, the bytes
and fields of the package and of version.txt."""
import hashlib
import io
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile
from unittest import mock

import package_support as support

sys.path.insert(0, os.path.join(support.SOURCE_DIR, "tools", "package"))
from vxpackage import cli, rules, signing, zipwriter  # noqa: E402


def creatable(name):
    """A name this file system can hold as a file below a folder."""
    parts = name.split("/")
    return name and not name.startswith("/") and all(p not in ("", ".", "..") for p in parts)


def one_per_clash(names):
    """The names, as {name: data}, but for those that would make a file where another needs a folder,
    or the same name in another letter case: the first of each clash stays."""
    kept = {}
    for name in names:
        folded = name.upper()
        if not any(k.upper().startswith(folded + "/") or folded.startswith(k.upper() + "/") or k.upper() == folded
                   for k in kept):
            kept[name] = b"x"
    return kept


class PackageToolTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.tmp = self._tmp.name
        self.source = os.path.join(self.tmp, "source")
        self.out = os.path.join(self.tmp, "out")

    def tearDown(self):
        self._tmp.cleanup()

    def package(self, *extra, version="2.0"):
        return support.run_package(self.source, version, "--out", self.out, *extra)

    def use_case_folders(self, number):
        """A source and an output folder of a table case's own."""
        self.source = os.path.join(self.tmp, f"case{number}", "source")
        self.out = os.path.join(self.tmp, f"case{number}", "out")
        os.makedirs(self.source)

    def assert_refused(self, result, *lines):
        self.assertNotEqual(0, result.returncode, result.stdout)
        refusals = [l for l in result.stderr.splitlines() if l.startswith("refused: ")]
        for line in lines:
            self.assertTrue(any(r.startswith("refused: " + line) for r in refusals), f"{line!r} not in {refusals}")
        self.assertFalse(os.path.exists(self.out) and os.listdir(self.out), "something was written")

    def test_name_rules_follow_the_shared_table(self):
        cases = support.name_table()
        self.assertGreater(len(cases), 100)
        for kind, name in cases:
            self.assertEqual(kind != "unsafe", rules.is_safe_entry_name(name), name)
            if kind != "unsafe":
                self.assertEqual(kind == "staging", rules.is_staging_name(name), name)
                self.assertEqual(kind == "alias", rules.has_short_name_shape(name), name)

    def test_every_refused_name_of_the_table_in_a_tree_is_refused_one_line_each(self):
        why = {"unsafe": "is refused by the starter", "staging": "names the starter's staging folder",
               "alias": "has a component shaped as a short (8.3) name"}
        cases = {n: kind for kind, n in support.name_table() if kind != "safe" and creatable(n) and "\\" not in n}
        kept = one_per_clash(cases)
        support.make_tree(self.source, {"vxagent.exe": b"MZ", **kept})
        result = self.package()
        self.assert_refused(result, *[f"{name}: {why[cases[name]]}" for name in kept])
        self.assertGreater(len(kept), 40)

    def test_safe_names_of_the_table_in_a_tree_are_packaged(self):
        safe = list(one_per_clash(n for kind, n in support.name_table() if kind == "safe" and creatable(n)
                                  and "\\" not in n
                                  and not any(p.endswith((".", " ")) for p in n.split("/"))))
        support.make_tree(self.source, {name: name.encode() for name in safe})
        result = self.package()
        self.assertEqual(0, result.returncode, result.stderr)
        with zipfile.ZipFile(os.path.join(self.out, "2.0.zip")) as archive:
            self.assertEqual(sorted(safe), sorted(archive.namelist()))

    def test_refusals(self):
        too_long_stored = "\u3042" * 43 + "/" + "\u3042" * 44  # 262 bytes in UTF-8, 88 characters
        too_long_path = "a" * 100 + "/" + "b" * 100 + "/" + "c" * 10  # 263 characters below the folder
        too_long_folder = "a" * 100 + "/" + "b" * 97 + "/c.txt"  # the folder makes 249
        tree_cases = [  # (files, refusal lines)
            ({too_long_stored: b""}, [f"{too_long_stored}: is 262 bytes long as stored in UTF-8"]),
            ({too_long_path: b""}, [f"{too_long_path}: makes a path of 263 characters"]),
            ({too_long_folder: b""}, [f"{too_long_folder}: needs a folder path of 249 characters"]),
            ({"what?.txt": b"", "a|b": b"", "tab\there": b""},
             ["what?.txt: holds '?'", "a|b: holds '|'", "tab\there: holds '\\t'"]),
            ({"readme.": b"", "data /x": b""}, ["readme.: has a component ending", "data /x: has a component ending"]),
            ({"data\\x.txt": b""}, ["data\\x.txt: holds a backslash"]),
            ({"bad\udcff.txt": b""}, ["bad\\udcff.txt: is not valid UTF-8"]),  # the byte 0xFF in the file's name
            ({"Readme.txt": b"", "README.TXT": b"", "Data/a": b"", "data/b": b""},
             ["Readme.txt: Readme.txt and README.TXT are the same name", "data/b: data and Data are the same name"]),
            ({}, ["{source}: holds no files"]),
        ]
        for number, (files, lines) in enumerate(tree_cases):
            with self.subTest(files=list(files)):
                self.use_case_folders(number)
                support.make_tree(self.source, {"vxagent.exe": b"MZ", **files} if files else {})
                self.assert_refused(self.package(), *[line.format(source=self.source) for line in lines])

        versions = ["", "1234567890", "2.0\n", "2.0\r\n", "2 0", "2.0\t", "\u00e9", "2\x7f"] + \
            list('\\/:*?"<>|%#') + ["NUL", "con", "COM0", "com9", "LPT1", "aux"]
        for number, version in enumerate(versions, len(tree_cases)):
            with self.subTest(version=version):
                self.use_case_folders(number)
                support.make_tree(self.source, {"vxagent.exe": b"MZ"})
                self.assert_refused(self.package(version=version), f"version {version!r}: ")

        written_cases = [  # (vxagent.exe as scanned; as a build rewrites it after each read, and its time)
            (os.urandom(4096), os.urandom(4096), support.MTIME),  # stored, read again: size and time as scanned
            (os.urandom(4096), b"short", support.MTIME + 2),
            (b"MZ" * 700, b"ZM" * 700, support.MTIME + 2),  # deflated, read once
        ]
        for number, (data, written, mtime) in enumerate(written_cases, len(tree_cases) + len(versions)):
            with self.subTest(written=number):
                self.use_case_folders(number)
                support.make_tree(self.source, {"vxagent.exe": data})
                rewrite = lambda: support.make_tree(self.source, {"vxagent.exe": written}, mtime)
                with mock.patch("zlib.crc32", lambda *read, crc32=zipwriter.zlib.crc32: rewrite() and crc32(*read)), \
                        mock.patch("sys.stderr", new_callable=io.StringIO) as err:
                    code = cli.main([self.source, "2.0", "--out", self.out])
                self.assert_refused(subprocess.CompletedProcess([], code, "", err.getvalue()), "vxagent.exe: changed")

    def test_special_files_are_refused(self):
        support.make_tree(self.source, {"vxagent.exe": b"MZ", "target.txt": b""})
        os.symlink("target.txt", os.path.join(self.source, "link.txt"))
        with open(os.path.join(self.source, "huge.bin"), "wb") as f:
            f.truncate(4 << 30)  # sparse: 4 GB without the disk space
        self.assert_refused(self.package(), "link.txt: is a symbolic link", "huge.bin: is 4294967296 bytes")
        self.out = os.path.join(self.source, "published")
        self.assert_refused(self.package(), f"{self.out}: lies inside {self.source}")

    def test_more_than_65535_entries_are_refused(self):
        os.makedirs(self.source)
        for i in range(65536):
            folder = os.path.join(self.source, str(i // 1000))
            os.makedirs(folder, exist_ok=True)
            open(os.path.join(folder, str(i)), "wb").close()
        self.assert_refused(self.package(), f"{self.source}: holds 65536 files; a package holds at most 65535")

    def test_package_bytes_names_times_and_version_text(self):
        support.make_tree(self.source, support.TREE)
        result = self.package("--tz", "Asia/Tokyo", version="2.0-b7")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertNotIn("warning", result.stderr)
        self.assertIn("local times of Asia/Tokyo, rounded down to even seconds", result.stdout)
        self.assertIn("2024-05-17 19:20:30  data/empty.dat", result.stdout)
        self.assertIn(f"scripts/package --verify {self.out}/2.0-b7.zip {self.source} --tz Asia/Tokyo",
                      result.stdout)
        with open(os.path.join(self.out, "version.txt"), "rb") as f:
            self.assertEqual(b"2.0-b7", f.read())
        archive_path = os.path.join(self.out, "2.0-b7.zip")
        with zipfile.ZipFile(archive_path) as archive:
            self.assertIsNone(archive.testzip())
            infos = {i.filename: i for i in archive.infolist()}
            self.assertEqual(sorted(support.TREE), sorted(infos))
            for name, data in support.TREE.items():
                info = infos[name]
                self.assertEqual(data, archive.read(name), name)
                self.assertEqual(0x800 if not name.isascii() else 0, info.flag_bits & 0x800, name)
                self.assertEqual((2024, 5, 17, 19, 20, 30), info.date_time, name)  # 10:20:31 UTC in Tokyo
            self.assertEqual(zipfile.ZIP_DEFLATED, infos["data/lang/en.txt"].compress_type)
            self.assertEqual(zipfile.ZIP_STORED, infos["random.bin"].compress_type)
            self.assertEqual(zipfile.ZIP_STORED, infos["data/empty.dat"].compress_type)

        berlin = support.run_package(self.source, "2.0", "--out", os.path.join(self.tmp, "berlin"),
                                     "--tz", "Europe/Berlin")
        with zipfile.ZipFile(os.path.join(self.tmp, "berlin", "2.0.zip")) as archive:
            self.assertEqual((2024, 5, 17, 12, 20, 30), archive.getinfo("vxagent.exe").date_time, berlin.stderr)

    def test_same_tree_gives_the_same_bytes(self):
        support.make_tree(self.source, support.TREE)
        # The same files made in the other order, in another place, with other modes.
        copy = support.make_tree(os.path.join(self.tmp, "elsewhere", "copy"), dict(reversed(support.TREE.items())))
        for name in support.TREE:
            os.chmod(os.path.join(copy, *name.split("/")), 0o600)  # modes are not the package's
        self.assertEqual(0, self.package("--tz", "UTC").returncode)
        self.assertEqual(0, support.run_package(copy, "2.0", "--out", os.path.join(self.tmp, "out2"),
                                                "--tz", "UTC").returncode)
        with open(os.path.join(self.out, "2.0.zip"), "rb") as a, \
                open(os.path.join(self.tmp, "out2", "2.0.zip"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_missing_host_program_is_warned_about(self):
        support.make_tree(self.source, {"bin/vxagent.exe": b"MZ"})
        result = self.package()
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("warning: vxagent.exe is not at the root", result.stderr)

    def test_keygen_sign_and_the_build_s_key_check(self):
        keys = os.path.join(self.tmp, "keys")
        made = support.run_package("--keygen", keys)
        private, public = (os.path.join(keys, f"package-{k}.pem") for k in ("private", "public"))
        self.assertEqual(0, made.returncode, made.stderr)
        self.assertIn(f"--package-key {public}", made.stdout)
        self.assertEqual(0o600, os.stat(private).st_mode & 0o777)
        with open(private, "rb") as f:
            key_bytes = f.read()
        again = support.run_package("--keygen", keys)
        self.assertEqual((1, f"refused: {private}: exists already; a key is never overwritten\n"),
                         (again.returncode, again.stderr))
        with open(private, "rb") as f:
            self.assertEqual(key_bytes, f.read(), "an existing key was overwritten")

        support.make_tree(self.source, {"vxagent.exe": b"MZ"})
        encrypted = os.path.join(self.tmp, "encrypted.pem")
        subprocess.run(["openssl", "pkey", "-in", private, "-aes256", "-passout", "pass:word", "-out", encrypted],
                       check=True)
        for key, stdin in ((private, None), (encrypted, "word\n")):
            result = subprocess.run([sys.executable, support.PACKAGE, self.source, "2.0", "--out", self.out,
                                     "--sign", key], input=stdin, capture_output=True, text=True)
            self.assertEqual(0, result.returncode, result.stderr)
            with open(os.path.join(self.out, "2.0.zip"), "rb") as f:
                archive = f.read()
            with open(os.path.join(self.out, "2.0.zip.sig"), "rb") as f:
                signature = f.read()
            point = signing.read_public_point(public)
            head = b"VXSG\1\0" + hashlib.sha256(signing.KEY_INFO_PREFIX + point).digest()[:8] + b"\x032.0"
            self.assertEqual(head + len(archive).to_bytes(4, "little") + hashlib.sha256(archive).digest(),
                             signature[:-64])
            # openssl itself verifies r and s, turned back into DER.
            r, s = (int.from_bytes(v, "big").to_bytes(33, "big").lstrip(b"\0") for v in (signature[-64:-32],
                                                                                      signature[-32:]))
            r, s = (b"\0" + v if v[0] & 0x80 else v for v in (r, s))
            der = b"\x30" + bytes([len(r) + len(s) + 4, 2, len(r)]) + r + bytes([2, len(s)]) + s
            for name, data in (("signed", signature[:-64]), ("der", der)):
                with open(os.path.join(self.tmp, name), "wb") as f:
                    f.write(data)
            checked = subprocess.run(["openssl", "dgst", "-sha256", "-verify", public, "-signature",
                                      os.path.join(self.tmp, "der"), os.path.join(self.tmp, "signed")],
                                     capture_output=True, text=True)
            self.assertEqual("Verified OK", checked.stdout.strip(), key)

        # What the build compiles in, and the line that stops it for a file that is no such key.
        p384 = os.path.join(self.tmp, "p384.pem")
        subprocess.run(f"openssl ecparam -genkey -name secp384r1 | openssl ec -pubout -out {p384}", shell=True,
                       check=True, capture_output=True)
        for path, problem in ((public, None), (private, "is a private key"), (p384, "not an uncompressed ECDSA P-256"),
                              (os.path.join(self.source, "vxagent.exe"), "no PEM block")):
            result = subprocess.run([sys.executable, signing.__file__, path], capture_output=True, text=True)
            self.assertEqual(problem is None, result.returncode == 0, result.stderr)
            self.assertIn(problem or "0x", result.stdout + result.stderr)
        self.out = os.path.join(self.tmp, "none")
        self.assert_refused(self.package("--sign", public, version="2.1"), f"{public}: is a public key")

if __name__ == "__main__":
    unittest.main(verbosity=2)

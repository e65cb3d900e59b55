"""scripts/package --verify in the test bed: the starter's own unpacker under Wine with code page 932
and with 1252 gives back the source tree, names, bytes and times; and a package that does not match
its source is reported."""
import os
import tempfile
import unittest

import package_support as support

ZONE = "Asia/Tokyo"  # no summer time: the unpacked times are the source times, whatever the date of the run


class PackageVerifyTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(dir=os.environ.get("VX_TESTBED_DIR"))
        self.source = os.path.join(self._tmp.name, "source")
        self.out = os.path.join(self._tmp.name, "out")

    def tearDown(self):
        self._tmp.cleanup()

    def make_package(self, files, *extra):
        support.make_tree(self.source, files)
        result = support.run_package(self.source, "3.1", "--out", self.out, "--tz", ZONE, *extra)
        self.assertEqual(0, result.returncode, result.stderr)
        return os.path.join(self.out, "3.1.zip")

    def verify(self, archive, *extra):
        return support.run_package("--verify", archive, self.source, "--tz", ZONE, *extra)

    def assert_verified(self, result, count):
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        for code_page, locale in [(932, "ja_JP.UTF-8"), (1252, "C.UTF-8")]:
            self.assertIn(f"code page {code_page} (LANG={locale}): {count} files unpacked equal to the source in "
                          "names, bytes and times", result.stdout)
        self.assertIn("verify: the package installs as built", result.stdout)

    def test_tree_with_japanese_and_accented_names_unpacks_equal_under_both_code_pages(self):
        self.assert_verified(self.verify(self.make_package(support.TREE)), len(support.TREE))

    def test_package_that_differs_from_its_source_is_reported_under_both_code_pages(self):
        archive = self.make_package({"vxagent.exe": b"MZ one", "data/a.txt": b"abc", "data/b.txt": b"b"})
        self.assert_verified(self.verify(archive), 3)
        support.make_tree(self.source, {"vxagent.exe": b"MZ two"})
        support.make_tree(self.source, {"data/a.txt": b"abc"}, mtime=support.MTIME + 2)
        support.make_tree(self.source, {"data/new.txt": b"new"})
        os.remove(os.path.join(self.source, "data", "b.txt"))

        result = self.verify(archive)

        self.assertEqual(1, result.returncode, result.stdout)
        for code_page in ("932", "1252"):
            lines = [l.split(": ", 1)[1] for l in result.stdout.splitlines() if l.startswith(f"code page {code_page} ")]
            self.assertEqual(["bytes differ: vxagent.exe",
                              "time differs: data/a.txt: 2024-05-17 10:20:30 UTC instead of 2024-05-17 10:20:32 UTC",
                              "missing: data/new.txt", "not in the source: data/b.txt"],
                             sorted(lines, key=lambda l: ("bytes" not in l, "time" not in l, l)), code_page)

    def test_signature_is_checked_by_the_starter_s_check_with_the_key_given(self):
        for name in ("vendor", "other"):
            self.assertEqual(0, support.run_package("--keygen", os.path.join(self._tmp.name, name)).returncode)
        vendor, other = (os.path.join(self._tmp.name, name, "package-public.pem") for name in ("vendor", "other"))
        archive = self.make_package({"vxagent.exe": b"MZ"}, "--sign",
                                    os.path.join(self._tmp.name, "vendor", "package-private.pem"))
        good = self.verify(archive, "--package-key", vendor)
        self.assert_verified(good, 1)
        self.assertIn(f"the starter's check accepts {archive}.sig with {vendor}", good.stdout)
        refused = self.verify(archive, "--package-key", other)
        self.assertEqual(1, refused.returncode, refused.stdout)
        self.assertIn(f"the starter's check refused the signature with {other}: code pages", refused.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)

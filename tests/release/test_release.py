"""The release build: reproducible byte for byte, with the vendor's host names and package keys
inside, and an Authenticode signature that verifies when a certificate is given."""
import os
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools", "package"))
from vxpackage import signing  # noqa: E402

HOSTS = ["--probe-host", "probe.vendor.example", "--primary-host", "update.vendor.example",
         "--backup-host", "backup.vendor.example"]


def release(out, *extra):
    subprocess.run([os.path.join(SOURCE_DIR, "scripts", "release"), *HOSTS, "--out", out, *extra],
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(out, "vxstarter.exe")


def make_key(folder, name):
    """A vendor's key pair made by openssl, as the README's steps make it: the public key's path."""
    private, public = os.path.join(folder, name + ".key"), os.path.join(folder, name + ".pem")
    subprocess.run(["openssl", "ecparam", "-genkey", "-name", "prime256v1", "-out", private], check=True)
    subprocess.run(["openssl", "ec", "-in", private, "-pubout", "-out", public], check=True, capture_output=True)
    return public


def verify(exe, ca):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", exe],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


class ReleaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="vxrelease-")
        # Built with the old and the new key of a vendor changing keys.
        cls.keys = [make_key(cls.tmp.name, name) for name in ("old", "new")]
        keyed = [option for key in cls.keys for option in ("--package-key", key)]
        cls.first = release(os.path.join(cls.tmp.name, "first"), *keyed)
        time.sleep(2)
        cls.second = release(os.path.join(cls.tmp.name, "elsewhere", "second"), *keyed)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_two_builds_in_different_folders_are_identical(self):
        with open(self.first, "rb") as a, open(self.second, "rb") as b:
            first, second = a.read(), b.read()
        self.assertEqual(first, second)
        self.assertNotIn(self.tmp.name.encode(), first)
        self.assertNotIn(SOURCE_DIR.encode(), first)

    def test_vendor_host_names_are_inside(self):
        with open(self.first, "rb") as f:
            data = f.read()
        for host in HOSTS[1::2]:
            self.assertIn(host.encode() + b"\0", data)
        self.assertNotIn(b"localhost", data)

    def test_package_keys_are_inside_and_a_file_that_is_no_key_stops_the_build(self):
        with open(self.first, "rb") as f:
            data = f.read()
        for key in self.keys:
            self.assertTrue(signing.read_public_point(key) in data, key)
        result = subprocess.run([os.path.join(SOURCE_DIR, "scripts", "release"), *HOSTS, "--out",
                                 os.path.join(self.tmp.name, "bad"), "--package-key", self.keys[0][:-4] + ".key"],
                                capture_output=True, text=True)
        self.assertNotEqual(0, result.returncode)
        self.assertIn("VX_PACKAGE_KEYS: " + self.keys[0][:-4] + ".key: is a private key", " ".join(result.stderr.split()))

    def test_signed_build_verifies_and_unsigned_is_reported_unsigned(self):
        folder = self.tmp.name
        cert, key = os.path.join(folder, "sign.crt"), os.path.join(folder, "sign.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=Throwaway Code Signing", "-addext", "extendedKeyUsage=codeSigning",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)
        signed = release(os.path.join(folder, "signed"), "--cert", cert, "--key", key)

        result = verify(signed, cert)
        self.assertEqual(0, result.returncode, result.stdout)
        self.assertIn("Signature verification: ok", result.stdout)

        unsigned = verify(self.first, cert)
        self.assertNotEqual(0, unsigned.returncode)
        self.assertIn("No signature found", unsigned.stdout)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])

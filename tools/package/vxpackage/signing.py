"""Package signatures: the vendor's ECDSA P-256 keys in PEM, and the signature file the starter
checks (<version>.zip.sig, layout in docs/protocol.md). openssl makes the keys and signatures; this
turns its DER forms into the starter's raw ones.

Run as a script it prints the key points of PEM public keys as the C++ initialiser the build compiles
in (VX_PACKAGE_KEYS), or stops with one line naming what is wrong with a file."""
import base64
import binascii
import getpass
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile

# A P-256 public key in DER before its point, which follows uncompressed: 0x04, X, Y.
KEY_INFO_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d03010703420004")
MAGIC, FORMAT = b"VXSG", 1
# The curve P-256: y^2 = x^3 - 3x + b over the prime p.
_P = 2**256 - 2**224 + 2**192 + 2**96 - 1
_B = 0x5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B
_PEM = re.compile(r"-----BEGIN ([A-Z ]+)-----\s*(.*?)\s*-----END \1-----", re.S)


class KeyError_(ValueError):
    """A file that is not what it should be; the text names the file and the problem."""


def public_point(pem_text, name):
    """The 64 bytes X and Y of a PEM "PUBLIC KEY" of the curve P-256."""
    # `openssl ecparam -genkey` writes the curve's parameters before the key.
    found = next((b for b in _PEM.finditer(pem_text) if b.group(1) != "EC PARAMETERS"), None)
    if not found:
        raise KeyError_(f"{name}: no PEM block (expected a PUBLIC KEY as `openssl ec -pubout` writes it)")
    if "PRIVATE KEY" in found.group(1):
        raise KeyError_(f"{name}: is a private key; give its public key (`openssl ec -in {name} -pubout`)")
    if found.group(1) != "PUBLIC KEY":
        raise KeyError_(f"{name}: is a {found.group(1)}, not a PUBLIC KEY")
    try:
        der = base64.b64decode("".join(found.group(2).split()), validate=True)
    except binascii.Error:
        raise KeyError_(f"{name}: the PEM block is not valid base64")
    if len(der) != len(KEY_INFO_PREFIX) + 64 or not der.startswith(KEY_INFO_PREFIX):
        raise KeyError_(f"{name}: not an uncompressed ECDSA P-256 (prime256v1) public key")
    x, y = int.from_bytes(der[-64:-32], "big"), int.from_bytes(der[-32:], "big")
    if x >= _P or y >= _P or (y * y - (x * x * x - 3 * x + _B)) % _P != 0:
        raise KeyError_(f"{name}: the point is not on the curve P-256")
    return der[-64:]


def read_public_point(path):
    try:
        with open(path, encoding="ascii", errors="replace") as f:
            return public_point(f.read(), path)
    except OSError as e:
        raise KeyError_(f"{path}: {e.strerror}")


def key_id(point):
    return hashlib.sha256(KEY_INFO_PREFIX + point).digest()[:8]


def key_id_of_file(signature):
    return signature[6:14]


def signed_part(point, version, size, digest):
    """The signature file before r and s: what the signature covers."""
    text = version.encode("ascii")
    return (MAGIC + struct.pack("<H", FORMAT) + key_id(point) + bytes([len(text)]) + text
            + struct.pack("<I", size) + digest)


def raw_signature(der):
    """openssl's DER ECDSA-Sig-Value (a SEQUENCE of the INTEGERs r and s) as r then s, 32 bytes each."""
    if len(der) < 8 or der[0] != 0x30 or der[1] != len(der) - 2:
        raise ValueError("openssl gave no DER ECDSA signature")
    values, at = [], 2
    for _ in range(2):
        if der[at] != 0x02 or der[at + 1] > 33:
            raise ValueError("openssl gave no DER ECDSA signature")
        length = der[at + 1]
        values.append(int.from_bytes(der[at + 2:at + 2 + length], "big"))
        at += 2 + length
    if at != len(der):
        raise ValueError("openssl gave no DER ECDSA signature")
    return b"".join(v.to_bytes(32, "big") for v in values)


def _openssl(args, passphrase):
    """Runs openssl; a passphrase goes through its standard input, never its command line."""
    if passphrase:
        args = [args[0], "-passin", "stdin", *args[1:]]
    result = subprocess.run(["openssl", *args], input=passphrase, capture_output=True)
    if result.returncode != 0:
        raise KeyError_("openssl " + args[0] + ": " + result.stderr.decode("utf-8", "replace").strip())
    return result.stdout


def _passphrase(private_key):
    with open(private_key, encoding="ascii", errors="replace") as f:
        text = f.read()
    if "BEGIN PUBLIC KEY" in text:
        raise KeyError_(f"{private_key}: is a public key; sign with its private key")
    if "ENCRYPTED" not in text:
        return b""
    return (getpass.getpass(f"Pass phrase for {private_key}: ") + "\n").encode()


def sign_file(private_key, archive, version):
    """The signature file for archive, published as version, signed with the PEM private key."""
    try:
        passphrase = _passphrase(private_key)
    except OSError as e:
        raise KeyError_(f"{private_key}: {e.strerror}")
    pem = _openssl(["pkey", "-in", private_key, "-pubout"], passphrase)
    point = public_point(pem.decode("ascii", "replace"), private_key)
    with open(archive, "rb") as f:
        data = f.read()
    head = signed_part(point, version, len(data), hashlib.sha256(data).digest())
    with tempfile.NamedTemporaryFile() as signed:
        signed.write(head)
        signed.flush()
        der = _openssl(["dgst", "-sha256", "-sign", private_key, signed.name], passphrase)
    return head + raw_signature(der)


def make_key_pair(folder):
    """Makes folder/package-private.pem (mode 0600) and folder/package-public.pem; never overwrites."""
    private, public = (os.path.join(folder, f"package-{kind}.pem") for kind in ("private", "public"))
    for path in (private, public):
        if os.path.lexists(path):
            raise KeyError_(f"{path}: exists already; a key is never overwritten")
    os.makedirs(folder, exist_ok=True)
    pem = _openssl(["genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"], b"")
    with os.fdopen(os.open(private, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as f:
        f.write(pem)
    with open(public, "wb") as f:
        f.write(_openssl(["pkey", "-in", private, "-pubout"], b""))
    return private, public


def initialiser(paths):
    """The C++ initialiser of the compiled-in key points."""
    points = [read_public_point(path) for path in paths]
    return ", ".join("{{" + ", ".join(f"0x{b:02X}" for b in point) + "}}" for point in points)


if __name__ == "__main__":
    try:
        print(initialiser(sys.argv[1:]), end="")
    except KeyError_ as e:
        sys.exit(str(e))

"""A test CA made at test time, with the server certificates the test servers present."""
import os
import subprocess


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def _make_ca(folder, name, subject):
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650", "-subj", f"/CN={subject}",
             "-keyout", f"{name}.key", "-out", f"{name}.crt",
             "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             cwd=folder)


def _make_leaf(folder, name, host, ca):
    with open(os.path.join(folder, f"{name}.ext"), "w") as f:
        f.write(f"subjectAltName=DNS:{host}\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n")
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={host}", "-keyout", f"{name}.key",
             "-out", f"{name}.csr", cwd=folder)
    _openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.crt", "-CAkey", f"{ca}.key", "-CAcreateserial",
             "-days", "3650", "-extfile", f"{name}.ext", "-out", f"{name}.crt", cwd=folder)


class Pki:
    def __init__(self, folder):
        self.folder = folder
        p = lambda name: os.path.join(folder, name)
        self.ca_der = p("ca.der")
        self.server_cert, self.server_key = p("localhost.crt"), p("localhost.key")
        self.untrusted_cert, self.untrusted_key = p("untrusted.crt"), p("untrusted.key")
        self.wrong_host_cert, self.wrong_host_key = p("wronghost.crt"), p("wronghost.key")

    def exists(self):
        return os.path.exists(self.wrong_host_key)

    def create(self):
        os.makedirs(self.folder, exist_ok=True)
        _make_ca(self.folder, "ca", "Vantorix Test CA")
        _openssl("x509", "-in", "ca.crt", "-outform", "DER", "-out", "ca.der", cwd=self.folder)
        _make_leaf(self.folder, "localhost", "localhost", "ca")
        _make_leaf(self.folder, "wronghost", "wrong.example", "ca")
        _make_ca(self.folder, "otherca", "Untrusted Test CA")
        _make_leaf(self.folder, "untrusted", "localhost", "otherca")

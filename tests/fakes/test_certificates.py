"""Certificates for the encrypted-connection tests, made with openssl at test time.

    certs = TestCertificates(Path("/tmp/x"))
    certs.ca_pem             # the test CA, trusted through CA_FILE
    certs.server             # (cert, key) for 127.0.0.1 and localhost, from the test CA
    certs.untrusted          # (cert, key) for the same names, from a CA nobody trusts
    certs.other_name         # (cert, key) from the test CA for mail.example.org only
    certs.expired            # (cert, key) from the test CA for the right names, expired last year
"""
import subprocess
from pathlib import Path

NAMES = "subjectAltName=IP:127.0.0.1,DNS:localhost"


def _openssl(*args, cwd):
    subprocess.run(["openssl", *map(str, args)], cwd=cwd, check=True, capture_output=True)


class TestCertificates:
    def __init__(self, folder):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.ca_pem, self._ca_key = self._ca("ca", "Kelvar Test CA")
        other_ca, other_key = self._ca("other-ca", "Unknown Test CA")
        self.server = self._leaf("server", "localhost", NAMES, self.ca_pem, self._ca_key)
        self.untrusted = self._leaf("untrusted", "localhost", NAMES, other_ca, other_key)
        self.other_name = self._leaf("other-name", "mail.example.org", "subjectAltName=DNS:mail.example.org",
                                     self.ca_pem, self._ca_key)
        self.expired = self._expired_leaf()

    def _ca(self, name, subject):
        key, cert = self.folder / f"{name}.key", self.folder / f"{name}.pem"
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "30",
                 "-subj", f"/CN={subject}", "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=self.folder)
        return cert, key

    def _request(self, name, common_name):
        key, csr = self.folder / f"{name}.key", self.folder / f"{name}.csr"
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj", f"/CN={common_name}",
                 cwd=self.folder)
        return key, csr

    def _extensions(self, name, names):
        ext = self.folder / f"{name}.ext"
        ext.write_text(f"{names}\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n")
        return ext

    def _leaf(self, name, common_name, names, ca_pem, ca_key):
        key, csr = self._request(name, common_name)
        cert = self.folder / f"{name}.pem"
        _openssl("x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key, "-CAcreateserial", "-out", cert,
                 "-days", "10", "-extfile", self._extensions(name, names), cwd=self.folder)
        return cert, key

    def _expired_leaf(self):
        # "openssl x509" cannot date a certificate in the past; "openssl ca" can.
        key, csr = self._request("expired", "localhost")
        db = self.folder / "ca-db"
        db.mkdir(exist_ok=True)
        (db / "index.txt").write_text("")
        (db / "serial").write_text("1000\n")
        config = self.folder / "ca.cnf"
        config.write_text(f"""[ca]
default_ca = test
[test]
database = {db}/index.txt
serial = {db}/serial
new_certs_dir = {db}
default_md = sha256
policy = any
copy_extensions = none
[any]
commonName = supplied
[leaf]
{NAMES}
extendedKeyUsage = serverAuth
basicConstraints = CA:FALSE
""")
        cert = self.folder / "expired.pem"
        _openssl("ca", "-batch", "-config", config, "-cert", self.ca_pem, "-keyfile", self._ca_key, "-in", csr,
                 "-out", cert, "-notext", "-extensions", "leaf", "-startdate", "20200101000000Z",
                 "-enddate", "20200201000000Z", cwd=self.folder)
        return cert, key

"""Encrypted connections of the batch program, end to end: TLS from the first
byte and STARTTLS / STLS against a Dovecot with a certificate from a test CA
trusted through CA_FILE, and refusals seen from the server's side."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from kelvar_e2e import BIN, WINE, Program, RunFolder, crlf, to_windows_path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fakes"))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "demo"))
from dovecot import Dovecot  # noqa: E402
from test_certificates import TestCertificates  # noqa: E402
from tls_script_server import FORGED_IMAP, FORGED_POP3, TlsScriptServer  # noqa: E402
import sample_mail  # noqa: E402

USERS = {"alice": "alice-pw", "bob": "bob-pw"}


class EncryptedConnections(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="kelvar-tls-server-"))
        os.chmod(cls.work, 0o755)  # the mail user reaches the maildirs below it
        cls.certs = TestCertificates(cls.work / "certs")
        cls.server = Dovecot(cls.work / "dovecot", USERS, tls=cls.certs.server).start()
        cls.sources = {}
        seed = 9000
        for user, folder, count in (("alice", "INBOX", 5), ("alice", "Work", 3), ("bob", "INBOX", 4)):
            for i in range(count):
                seed += 1
                data = sample_mail.message(seed, 900 + seed % 7000)
                cls.server.add_message(user, folder, data, mtime=1141826589 + seed * 60)
                cls.sources.setdefault((user, folder), []).append(data)
        # One message larger than many TLS records.
        big = sample_mail.message(1, 3_000_000)
        cls.server.add_message("alice", "INBOX", big, mtime=1141826589)
        cls.sources[("alice", "INBOX")].append(big)
        for user in USERS:
            cls.server.resync(user)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.folder = RunFolder("tls")
        self.store = self.folder.path / "store"
        self.database = self.folder.path / "mail2xrv.mdb"
        os.environ["KELVAR_ODBC"] = f"DRIVER={{SQLite3}};Database={self.database}"
        shutil.copy(BIN / "kelvardb.exe", self.folder.path / "kelvardb.exe")
        subprocess.run(WINE + [str(self.folder.path / "kelvardb.exe"), to_windows_path(self.database)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=120)
        self.scripted = []

    def tearDown(self):
        for s in self.scripted:
            s.stop()
        self.folder.remove()

    def configure(self, security, imap_port=None, pop3_port=None, host="127.0.0.1", ca_file=True):
        text = f"[SOURCE_SERVER]\nNAME_IP={host}\nSECURITY={security}\n"
        if imap_port:
            text += f"IMAP_PORT={imap_port}\n"
        if pop3_port:
            text += f"POP3_PORT={pop3_port}\n"
        if ca_file:
            text += f"CA_FILE={to_windows_path(self.certs.ca_pem)}\n"
        text += f"[CONFIG]\nMAIL_PATH={to_windows_path(self.store)}\n"
        self.folder.write_config(text)

    def run_accounts(self, accounts):
        self.folder.write_accounts(accounts)
        program = Program(self.folder)
        self.assertEqual(program.wait(300), 0)

    def stored(self, user, local_folder):
        folder = self.store / "example.com" / user / local_folder
        return sorted(folder.glob("*.imap")) if folder.exists() else []

    def assert_migrated_exactly(self):
        for server_folder, local in (("INBOX", "INBOX"), ("Work", "Work")):
            bodies = sorted(f.read_bytes().partition(b"\r\n")[2] for f in self.stored("alice", local))
            self.assertEqual(bodies, sorted(crlf(m) + b"\r\n" for m in self.sources[("alice", server_folder)]),
                             server_folder)
        pop3 = sorted(f.read_bytes() for f in self.stored("bob", "inbox"))
        self.assertEqual(pop3, sorted(crlf(m) for m in self.sources[("bob", "INBOX")]))
        self.assertEqual([self.folder.status(1), self.folder.status(2)], ["1", "1"])

    BOTH = ("[1]\nU=alice\nP=alice-pw\nD=example.com\nA=1\nStatus=0\n"
            "[2]\nU=bob\nP=bob-pw\nD=example.com\nA=2\nStatus=0\n")

    def test_tls_from_the_first_byte_migrates_byte_for_byte(self):
        self.configure("tls", self.server.imaps_port, self.server.pop3s_port)
        self.run_accounts(self.BOTH)
        self.assert_migrated_exactly()
        lines = self.folder.log_texts()
        for name in ("IMap2XRV Object", "Pop32XRV Object"):
            negotiated = [l for l in lines if l.startswith(name + " Encrypted connection: TLS 1.")]
            self.assertEqual(len(negotiated), 1, f"{name}: one line naming protocol and cipher: {lines}")
        self.assertFalse(any("alice-pw" in l or "bob-pw" in l for l in lines))

    def test_starttls_and_stls_on_the_plain_ports(self):
        self.configure("starttls", self.server.imap_port, self.server.pop3_port)
        self.run_accounts(self.BOTH)
        self.assert_migrated_exactly()
        lines = self.folder.log_texts()
        self.assertIn("IMap2XRV Object S000 STARTTLS", lines)
        self.assertIn("Pop32XRV Object STLS", lines)
        # The dialogue's greeting carries no capability said in clear text.
        greeting = [l for l in lines if l.startswith("IMap2XRV Object * OK")]
        self.assertTrue(greeting and "CAPABILITY" not in greeting[0], greeting)

    def refused(self, cert, host, reason, protocol="imap"):
        server = TlsScriptServer(protocol, cert).start()
        self.scripted.append(server)
        if protocol == "imap":
            self.configure("tls", imap_port=server.port, host=host)
            self.run_accounts("[1]\nU=alice\nP=alice-pw\nD=example.com\nA=1\nStatus=0\n")
        else:
            self.configure("tls", pop3_port=server.port, host=host)
            self.run_accounts("[1]\nU=bob\nP=bob-pw\nD=example.com\nA=2\nStatus=0\n")
        self.assertEqual(server.received(), [], "nothing reached the server after the handshake")
        self.assertEqual(self.folder.status(1), "0")
        lines = self.folder.log_texts()
        failures = [l for l in lines if "certificate is not trusted" in l]
        self.assertEqual(len(failures), 1, lines)
        self.assertIn(reason, failures[0])
        self.assertIn("no credential was sent", failures[0])

    def test_a_certificate_from_an_unknown_ca_is_refused(self):
        self.refused(self.certs.untrusted, "127.0.0.1", "untrusted root")

    def test_a_certificate_for_another_name_is_refused(self):
        self.refused(self.certs.other_name, "127.0.0.1", "name mismatch")
        self.folder.remove()
        self.setUp()
        self.refused(self.certs.other_name, "localhost", "name mismatch", protocol="pop3")

    def test_an_expired_certificate_is_refused(self):
        self.refused(self.certs.expired, "localhost", "expired")

    def test_the_host_name_is_matched_too(self):
        self.configure("tls", self.server.imaps_port, host="localhost")
        self.run_accounts("[1]\nU=alice\nP=alice-pw\nD=example.com\nA=1\nStatus=0\n")
        self.assertEqual(self.folder.status(1), "1")

    def test_without_ca_file_the_test_ca_is_not_trusted(self):
        self.configure("tls", self.server.imaps_port, ca_file=False)
        self.run_accounts("[1]\nU=alice\nP=alice-pw\nD=example.com\nA=1\nStatus=0\n")
        self.assertEqual(self.folder.status(1), "0")
        self.assertTrue(any("untrusted root" in l for l in self.folder.log_texts()))
        self.assertFalse("alice-pw" in self.server.log_text())

    def test_an_unknown_security_value_leaves_the_account(self):
        self.configure("ssl", self.server.imaps_port)
        self.run_accounts("[1]\nU=alice\nP=alice-pw\nD=example.com\nA=1\nStatus=0\n")
        self.assertEqual(self.folder.status(1), "0")
        lines = self.folder.log_texts()
        self.assertIn("IMap2XRV Object SECURITY=ssl is not one of none, tls and starttls; the account is not migrated",
                      lines)
        self.assertFalse(any("Connecting to server" in l for l in lines))

    def test_starttls_refusals_and_a_forged_answer(self):
        cases = [("imap", "no", "refused STARTTLS"), ("imap", "none", "refused STARTTLS"),
                 ("pop3", "no", "refused STLS"), ("imap", "forged", "not TLS"), ("pop3", "forged", "not TLS")]
        for protocol, answer, reason in cases:
            with self.subTest(protocol=protocol, answer=answer):
                server = TlsScriptServer(protocol, self.certs.server, mode="starttls", answer=answer).start()
                self.scripted.append(server)
                if protocol == "imap":
                    self.configure("starttls", imap_port=server.port)
                    self.run_accounts("[1]\nU=alice\nP=alice-pw\nD=example.com\nA=1\nStatus=0\n")
                else:
                    self.configure("starttls", pop3_port=server.port)
                    self.run_accounts("[1]\nU=bob\nP=bob-pw\nD=example.com\nA=2\nStatus=0\n")
                received = server.received()
                self.assertEqual(received[0], "S000 STARTTLS" if protocol == "imap" else "STLS")
                self.assertFalse(any("LOGIN" in r or "USER" in r or "PASS" in r or "-pw" in r for r in received),
                                 received)
                self.assertEqual(self.folder.status(1), "0")
                lines = self.folder.log_texts()
                self.assertTrue(any(reason in l for l in lines), lines)
                forged = (FORGED_IMAP if protocol == "imap" else FORGED_POP3).decode().strip()
                self.assertFalse(any(forged in l for l in lines), "the forged answer reached the dialogue")
                if answer == "forged":
                    self.assertTrue(any("after agreeing to TLS were discarded" in l for l in lines), lines)


class LibraryOnTlsPorts(unittest.TestCase):
    """kelvar.dll speaks TLS on 993 and 995 and trusts only the system's
    roots, which do not hold the test CA: every call is refused before a
    credential leaves."""

    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="kelvar-tls-library-"))
        cls.certs = TestCertificates(cls.work / "certs")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_the_tls_ports_verify_against_the_system_roots(self):
        from library_test import Host
        try:
            imaps = TlsScriptServer("imap", self.certs.server, port=993).start()
            pop3s = TlsScriptServer("pop3", self.certs.server, port=995).start()
        except OSError as e:
            self.skipTest(f"ports 993 and 995 are not free: {e}")
        host = Host("tls")
        try:
            dest = to_windows_path(host.dest())
            host.call(["folders", "127.0.0.1", 993, "alice", "alice-pw"],
                      ["imap", dest, "127.0.0.1", "alice", "alice-pw", 993, "", "", 0, 0, 0, 0],
                      ["pop3", dest, "127.0.0.1", "bob", "bob-pw", 995])
            results = host.outputs()
            self.assertEqual([r[1] for r in results], [0, 0, 0], results)
            self.assertIn("untrusted root", results[0][2]["error"])
            self.assertEqual(imaps.received() + pop3s.received(), [])
            self.assertGreaterEqual(len(imaps.connections), 2, "both IMAP calls reached the server")
            lines = host.log_lines()
            self.assertEqual(sum("certificate is not trusted" in l for l in lines), 3, lines)
            self.assertFalse(any("-pw" in l for l in lines))
        finally:
            host.remove()
            imaps.stop()
            pop3s.stop()


if __name__ == "__main__":
    unittest.main()

"""Encrypted connections of the batch program, end to end: TLS from the first
byte and STARTTLS / STLS against a Dovecot with a certificate from a test CA
trusted through CA_FILE, and refusals seen from the server's side."""
import os
import shutil
import ssl
import sys
import tempfile
import time
import unittest
import warnings
from pathlib import Path

from kelvar_e2e import Program, RunFolder, crlf, to_windows_path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fakes"))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "demo"))
from dovecot import Dovecot  # noqa: E402
from imap_script_server import ImapScriptServer  # noqa: E402
from pop3_script_server import Pop3ScriptServer  # noqa: E402
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
        self.database = self.folder.create_database()
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
        self.assertEqual([self.folder.status(1), self.folder.status(2)], ["1", "1"], self.folder.log_texts())

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
        self.assertEqual(self.folder.status(1), "1", self.folder.log_texts())

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

    def scripted_account(self, protocol, mode, ending, seed):
        """One account against a scripted server with one message, over TLS
        or STARTTLS; returns the server and the program's run time."""
        message = sample_mail.message(seed, 2000)
        if protocol == "imap":
            dialogue = ImapScriptServer({"INBOX": [(f"17-Jul-1996 02:{seed % 60:02d}:25 +0000", crlf(message))]})
        else:
            dialogue = Pop3ScriptServer({1: (f"uid-{seed}", crlf(message))})
        server = TlsScriptServer(protocol, self.certs.server, mode=mode, dialogue=dialogue, ending=ending).start()
        self.scripted.append(server)
        if protocol == "imap":
            self.configure(mode, imap_port=server.port)
            accounts = "[1]\nU=alice\nP=secret\nD=example.com\nA=1\nStatus=0\n"
        else:
            self.configure(mode, pop3_port=server.port)
            accounts = "[1]\nU=alice\nP=secret\nD=example.com\nA=2\nStatus=0\n"
        begun = time.monotonic()
        self.run_accounts(accounts)
        return server, time.monotonic() - begun

    def test_a_server_that_waits_for_the_clients_close_notify_does_not_stall_the_account(self):
        # Such a server sends close_notify after its last answer and closes
        # TCP only once the client answered it: the client must not wait for
        # the TCP close (a wait slice is 30 s, six of them end the account).
        seed = 100
        for protocol in ("imap", "pop3"):
            for mode in ("tls", "starttls"):
                for ending in ("notify", "close"):
                    with self.subTest(protocol=protocol, mode=mode, ending=ending):
                        seed += 1
                        self.store = self.folder.path / f"store-{seed}"
                        server, elapsed = self.scripted_account(protocol, mode, ending, seed)
                        lines = self.folder.log_texts()
                        self.assertFalse(any("Timed out waiting for server" in l or "Could not retrieve socket event" in l
                                             for l in lines), lines)
                        self.assertEqual(self.folder.status(1), "1", lines)
                        self.assertLess(elapsed, 25, "no wait slice ran out")
                        # The cipher is named without parts the system could not name.
                        named = [l for l in lines if "Encrypted connection: TLS 1." in l]
                        self.assertTrue(named, lines)
                        self.assertNotIn("0x0000", named[-1])
                        self.assertNotIn("<unknown>", named[-1])
                        if ending == "notify":
                            self.assertEqual(len(server.endings), 1, lines)
                            waited, _ = server.endings[0]
                            # Answered by the client's close_notify where the
                            # system can make one, else by its close.
                            self.assertLess(waited, 1.0, server.endings)
                        self.assertEqual(len(list(self.store.rglob("*.imap"))), 1)

    def old_version_server(self, protocol, versions):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            server = TlsScriptServer(protocol, self.certs.server, versions=versions).start()
        self.scripted.append(server)
        if protocol == "imap":
            self.configure("tls", imap_port=server.port)
            self.run_accounts("[1]\nU=alice\nP=alice-pw\nD=example.com\nA=1\nStatus=0\n")
        else:
            self.configure("tls", pop3_port=server.port)
            self.run_accounts("[1]\nU=bob\nP=bob-pw\nD=example.com\nA=2\nStatus=0\n")
        return server

    def test_tls_1_0_and_1_1_are_refused_before_any_credential(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            cases = [("imap", ssl.TLSVersion.TLSv1, "TLS 1.0"), ("pop3", ssl.TLSVersion.TLSv1_1, "TLS 1.1")]
        for protocol, version, name in cases:
            with self.subTest(protocol=protocol, version=name):
                server = self.old_version_server(protocol, (version, version))
                self.assertEqual(server.received(), [], "nothing reached the server after the handshake")
                self.assertEqual(self.folder.status(1), "0")
                lines = self.folder.log_texts()
                negotiated = [l for l in lines if f"The server negotiated {name};" in l]
                refused = [l for l in lines if "The TLS handshake with the server failed" in l]
                # The system either refuses the version in the handshake or
                # negotiates it; then the negotiated version is refused.
                self.assertEqual(len(negotiated) + len(refused), 1, lines)
                self.assertIn("no credential was sent", (negotiated + refused)[0])
                if server.handshake_versions:
                    self.assertEqual(len(negotiated), 1, (server.handshake_versions, lines))

    def test_a_handshake_that_fails_says_why(self):
        # Wine speaks no TLS 1.3; Windows does, and the account then fails at the login.
        server = self.old_version_server("imap", (ssl.TLSVersion.TLSv1_3, ssl.TLSVersion.TLSv1_3))
        lines = self.folder.log_texts()
        if not server.handshake_versions:
            self.assertEqual(server.received(), [])
            failed = [l for l in lines if "The TLS handshake with the server failed" in l]
            self.assertEqual(len(failed), 1, lines)
            self.assertIn("no credential was sent", failed[0])


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

"""Sign-in with OAuth 2.0 bearer tokens, end to end: kelvard.exe under Wine
fetches tokens from the test identity provider (client credentials, a signed
service-account assertion, or a token command) and signs in at a Dovecot that
checks every token at that provider; a scripted server ends a session for an
expired token in the middle of a folder.

Each kelvard.exe run costs seconds under Wine, so one run shows as much as it
can: the IMAP and POP3 accounts of a run share its settings."""
import base64
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.parse
from pathlib import Path

from kelvar_e2e import BIN, WINE, Program, RunFolder, crlf, to_windows_path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fakes"))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "demo"))
from dovecot import Dovecot  # noqa: E402
from imap_script_server import ImapScriptServer  # noqa: E402
from oauth_server import GOOGLE_SCOPE, JWT_BEARER, MICROSOFT_SCOPE, OAuthServer, b64url_decode  # noqa: E402
from test_certificates import TestCertificates  # noqa: E402
from tls_script_server import TlsScriptServer  # noqa: E402
import sample_mail  # noqa: E402

DOMAIN = "company.test"
# The tenant's application; the secret holds what a form must encode (+ / = &).
CLIENT_ID = "6f1c2a4e-0d7b-4c55-9a3e-kelvar000001"
CLIENT_SECRET = "Kv8Q~s3cr+t/=.Secret-_&x1"
CUSTOM_SCOPE = "api://kelvar-test/.default"
MAILBOXES = {"alice": 5, "bob": 3, "carol": 4}  # local name -> messages; the source user is name@DOMAIN


def source_user(name):
    return f"{name}@{DOMAIN}"


def account(number, name, protocol):
    """One accounts.ini section: local U, the mailbox address as SOURCE_USER, no password."""
    return (f"[{number}]\nU={name}\nSOURCE_USER={source_user(name)}\nP=\nD={DOMAIN}\n"
            f"A={1 if protocol == 'imap' else 2}\nStatus=0\n")


def encodings(secret):
    """The forms a secret could leak in: as is, form-encoded, and base64 at
    each of the three alignments (inside a SASL message)."""
    raw = secret.encode()
    forms = {raw, urllib.parse.quote_plus(secret).encode(), urllib.parse.quote(secret, safe="").encode()}
    for pad in range(3):
        encoded = base64.b64encode(b"\0" * pad + raw + b"\0\0\0")
        forms.add(encoded[4:-8])
    return {f for f in forms if len(f) >= 8}


class Listener:
    """A port that notes every connection and the bytes it brings, then
    closes it after a second of silence (a client that should never have come
    then fails fast instead of waiting for a greeting)."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.received = []  # per connection: the bytes sent
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            data = b""
            conn.settimeout(1)
            try:
                while chunk := conn.recv(4096):
                    data += chunk
            except OSError:
                pass
            self.received.append(data)
            conn.close()

    def close(self):
        self.sock.close()


class OAuthSignIn(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="kelvar-oauth-"))
        os.chmod(cls.work, 0o755)  # the mail user reaches the maildirs below it
        cls.certs = TestCertificates(cls.work / "certs")
        cls.idp = OAuthServer(tls=cls.certs.server).start()
        cls.idp.add_client(CLIENT_ID, CLIENT_SECRET, scope=MICROSOFT_SCOPE, domain=DOMAIN)
        cls.idp.add_client("kelvar-custom-scope", CLIENT_SECRET, scope=CUSTOM_SCOPE, domain=DOMAIN)
        cls.key_file = cls.idp.write_service_account(cls.work / "service-account.json",
                                                     mailboxes=[source_user(n) for n in MAILBOXES])
        cls.server = Dovecot(cls.work / "dovecot", {}, tls=cls.certs.server,
                             oauth=cls.idp.introspection_url).start()
        cls.sources = {}
        seed = 22000
        for name, count in MAILBOXES.items():
            for i in range(count):
                seed += 1
                data = sample_mail.message(seed, 700 + seed % 6000)
                cls.server.add_message(source_user(name), "INBOX", data, mtime=1141826589 + seed * 60)
                cls.sources.setdefault(name, []).append(data)
            cls.server.resync(source_user(name))
        # An empty database made once; each run gets its own copy (POP3 keeps its records there).
        cls.database = cls.work / "empty.mdb"
        os.environ["KELVAR_ODBC"] = f"DRIVER={{SQLite3}};Database={cls.database}"
        shutil.copy(BIN / "kelvardb.exe", cls.work / "kelvardb.exe")
        subprocess.run(WINE + [str(cls.work / "kelvardb.exe"), to_windows_path(cls.database)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=120)
        # The token command: a batch file (CreateProcess runs one as it runs a
        # program, on Windows and under Wine, so no test program has to be
        # built); it notes each argument it was given and prints the token
        # registered for that mailbox, then a line that must be ignored.
        cls.command_tokens = {name: f"cmd-{name}-{os.urandom(12).hex()}" for name in MAILBOXES}
        cls.command_calls = cls.work / "command-calls.txt"
        body = "".join(f'if "%~1"=="{source_user(n)}" (\r\n  echo {t}\r\n  echo not-the-token\r\n  exit /b 0\r\n)\r\n'
                       for n, t in cls.command_tokens.items())
        cls.command = cls.work / "token.bat"
        cls.command.write_bytes(f'@echo off\r\n>>"{to_windows_path(cls.command_calls)}" echo [%~1]\r\n{body}exit /b 3\r\n'
                                .encode())

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.idp.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.folder = RunFolder("oauth")
        self.store = self.folder.path / "store"
        database = self.folder.path / "mail2xrv.mdb"
        shutil.copy(self.database, database)
        os.environ["KELVAR_ODBC"] = f"DRIVER={{SQLite3}};Database={database}"
        self.cleanup = []
        self.idp.requests.clear()
        self.idp.fail_next.clear()
        self.idp.lifetime = None
        for name, token in self.command_tokens.items():
            self.idp.register_token(token, source_user(name))
        self.command_calls.unlink(missing_ok=True)

    def tearDown(self):
        for stop in reversed(self.cleanup):
            stop()
        self.folder.remove()

    # --- a run ----------------------------------------------------------------
    def configure(self, security, oauth, imap_port=None, pop3_port=None):
        """default.cfg with the [OAUTH2] keys given as a dict."""
        text = f"[SOURCE_SERVER]\nNAME_IP=127.0.0.1\nSECURITY={security}\n"
        text += f"IMAP_PORT={imap_port}\n" if imap_port else ""
        text += f"POP3_PORT={pop3_port}\n" if pop3_port else ""
        text += f"CA_FILE={to_windows_path(self.certs.ca_pem)}\n"
        text += f"[CONFIG]\nMAIL_PATH={to_windows_path(self.store)}\n[OAUTH2]\n"
        text += "".join(f"{k}={v}\n" for k, v in oauth.items())
        self.folder.write_config(text)

    def token_source(self, source, mechanism):
        settings = {"MECHANISM": mechanism, "TOKEN_SOURCE": source}
        if source == "microsoft":
            settings.update(TENANT=DOMAIN, CLIENT_ID=CLIENT_ID, CLIENT_SECRET=CLIENT_SECRET, TOKEN_URL=self.idp.token_url)
        elif source == "google":
            settings.update(KEY_FILE=to_windows_path(self.key_file))
        else:
            settings.update(TOKEN_COMMAND=to_windows_path(self.command))
        return settings

    def run_accounts(self, accounts):
        """Runs kelvard.exe over the numbered accounts [(name, protocol)];
        returns the Dovecot log lines this run added."""
        self.folder.write_accounts("".join(account(i, n, p) for i, (n, p) in enumerate(accounts, 1)))
        info_log = self.server.folder / "dovecot-info.log"  # where Dovecot notes each login
        before = info_log.stat().st_size if info_log.exists() else 0
        self.assertEqual(Program(self.folder).wait(300), 0)
        with open(info_log, "rb") as f:
            f.seek(before)
            return f.read().decode("latin-1").splitlines()

    # --- what a run left --------------------------------------------------------
    def stored_bodies(self, name, protocol):
        """The messages of a local mailbox as the server sent them (the IMAP
        files' own first line taken away)."""
        files = sorted((self.store / DOMAIN / name).rglob("*.imap"))
        if protocol == "pop3":
            return sorted(f.read_bytes() for f in files)
        return sorted(f.read_bytes().partition(b"\r\n")[2] for f in files)

    def assert_migrated(self, accounts):
        lines = self.folder.log_texts()
        for number, (name, protocol) in enumerate(accounts, 1):
            expected = sorted(crlf(m) + (b"\r\n" if protocol == "imap" else b"") for m in self.sources[name])
            self.assertEqual(self.stored_bodies(name, protocol), expected, f"{name} over {protocol}")
            self.assertEqual(self.folder.status(number), "1", lines)

    def assert_signed_in(self, dovecot_lines, accounts, mechanism):
        """Dovecot saw each account sign in with the mechanism, never with a password."""
        for name, protocol in accounts:
            logins = [l for l in dovecot_lines if f"{protocol}-login: Info: Login: user=<{source_user(name)}>" in l]
            self.assertTrue(logins, (name, dovecot_lines))
            self.assertTrue(all(f"method={mechanism.upper()}," in l for l in logins), logins)

    def assert_nothing_leaked(self, secrets):
        """None of the secrets, in any form, in any file the program wrote:
        the log, accounts.ini, the store and its records, the database.
        default.cfg is the administrator's, where the client secret is kept."""
        forms = set().union(*(encodings(s) for s in secrets))
        for path in self.folder.path.rglob("*"):
            if path.is_file() and path.name not in ("kelvard.exe", "default.cfg"):
                data = path.read_bytes()
                for form in forms:
                    self.assertNotIn(form, data, f"a secret in {path}")

    def tokens_issued(self):
        return self.idp.issued() + list(self.command_tokens.values())

    # --- the cases --------------------------------------------------------------
    def test_two_accounts_share_one_tenant_token(self):
        # IMAP over TLS for alice and bob, POP3 over TLS for carol: the
        # tenant's one token serves all three, fetched once.
        accounts = [("alice", "imap"), ("bob", "imap"), ("carol", "pop3")]
        self.configure("tls", self.token_source("microsoft", "xoauth2"), self.server.imaps_port, self.server.pop3s_port)
        dovecot = self.run_accounts(accounts)
        self.assert_migrated(accounts)
        self.assertEqual(len(self.idp.requests), 1, self.idp.requests)
        request = self.idp.requests[0]
        self.assertEqual(request.fields, {"grant_type": "client_credentials", "client_id": CLIENT_ID,
                                          "client_secret": CLIENT_SECRET, "scope": MICROSOFT_SCOPE})
        self.assertEqual(request.status, 200)
        self.assert_signed_in(dovecot, accounts, "xoauth2")
        self.assert_nothing_leaked([CLIENT_SECRET] + self.tokens_issued())

    def test_each_token_source_over_tls_and_starttls(self):
        # tls: IMAP and POP3 from the first byte; starttls: IMAP STARTTLS and POP3 STLS.
        accounts = [("alice", "imap"), ("carol", "pop3")]
        cases = [("microsoft", "starttls", "oauthbearer"), ("google", "tls", "oauthbearer"),
                 ("google", "starttls", "xoauth2"), ("command", "tls", "xoauth2"),
                 ("command", "starttls", "oauthbearer")]
        for index, (source, security, mechanism) in enumerate(cases):
            with self.subTest(source=source, security=security, mechanism=mechanism):
                if index:
                    self.tearDown()
                    self.setUp()
                settings = self.token_source(source, mechanism)
                if source == "microsoft":
                    # SCOPE replaces the provider's scope.
                    settings.update(CLIENT_ID="kelvar-custom-scope", SCOPE=CUSTOM_SCOPE)
                tls = security == "tls"
                self.configure(security, settings, self.server.imaps_port if tls else self.server.imap_port,
                               self.server.pop3s_port if tls else self.server.pop3_port)
                dovecot = self.run_accounts(accounts)
                self.assert_migrated(accounts)
                self.assert_signed_in(dovecot, accounts, mechanism)
                self.assert_source_used(source, accounts)
                self.assert_nothing_leaked([CLIENT_SECRET] + self.tokens_issued())

    def assert_source_used(self, source, accounts):
        requests = self.idp.requests
        if source == "microsoft":
            self.assertEqual([r.fields for r in requests],
                             [{"grant_type": "client_credentials", "client_id": "kelvar-custom-scope",
                               "client_secret": CLIENT_SECRET, "scope": CUSTOM_SCOPE}])
        elif source == "google":
            # One token per mailbox, each from an assertion for that mailbox
            # (the provider verified signature and claims before it answered).
            self.assertEqual([(r.grant_type, r.status) for r in requests], [(JWT_BEARER, 200)] * len(accounts),
                             requests)
            claims = [json.loads(b64url_decode(r.fields["assertion"].split(".")[1])) for r in requests]
            self.assertEqual(sorted(c["sub"] for c in claims), sorted(source_user(n) for n, _ in accounts))
            for c in claims:
                self.assertEqual((c["scope"], c["aud"]), (GOOGLE_SCOPE, self.idp.token_url))
                self.assertLessEqual(c["exp"] - c["iat"], 3600)
            header = json.loads(b64url_decode(requests[0].fields["assertion"].split(".")[0]))
            self.assertEqual((header["alg"], header.get("typ")), ("RS256", "JWT"))
        else:
            self.assertEqual(requests, [])
            # Run once per mailbox, with the mailbox address as its one argument.
            calls = self.command_calls.read_text().split()
            self.assertEqual(sorted(calls), sorted(f"[{source_user(n)}]" for n, _ in accounts))

    def test_a_refused_token_leaves_the_account_with_one_clean_line(self):
        # The provider issues tokens that the server's introspection already
        # calls inactive, as for a token revoked after it was issued.
        self.idp.lifetime = 0
        accounts = [("alice", "imap"), ("carol", "pop3")]
        self.configure("tls", self.token_source("microsoft", "xoauth2"), self.server.imaps_port, self.server.pop3s_port)
        dovecot = self.run_accounts(accounts)
        lines = self.folder.log_texts()
        self.assertEqual([self.folder.status(1), self.folder.status(2)], ["0", "0"], lines)
        self.assertEqual(list(self.store.rglob("*.imap")), [])
        # One line per account holding the server's status of the refusal.
        refused = [l for l in lines if re.search(r"\b401\b", l)]
        self.assertEqual(len(refused), 2, lines)
        self.assertTrue(any("Pop32XRV" in l for l in refused) and any("IMap2XRV" in l for l in refused), refused)
        self.assertFalse([l for l in dovecot if "Login: user=" in l], "no sign-in succeeded")
        self.assert_nothing_leaked([CLIENT_SECRET] + self.tokens_issued())

    def test_a_refused_token_request_is_one_line_without_the_secret(self):
        settings = self.token_source("microsoft", "xoauth2")
        wrong = "Wr0ng~secret.of-the_app"
        settings["CLIENT_SECRET"] = wrong
        self.configure("tls", settings, self.server.imaps_port, self.server.pop3s_port)
        dovecot = self.run_accounts([("alice", "imap")])
        lines = self.folder.log_texts()
        self.assertEqual(self.folder.status(1), "0", lines)
        self.assertEqual([(r.status, r.error) for r in self.idp.requests], [(401, "invalid_client")])
        failed = [l for l in lines if "invalid_client" in l]
        self.assertEqual(len(failed), 1, lines)
        self.assertRegex(failed[0], r"\b401\b")
        self.assertIn("The client id or secret is not valid.", failed[0])
        self.assertFalse([l for l in dovecot if "Login: user=" in l])
        self.assert_nothing_leaked([wrong])

    def test_a_session_ended_for_an_expired_token_reconnects_with_a_new_one(self):
        # A provider on plain http (allowed on loopback only) and a scripted
        # server that ends the first session after three of six messages.
        idp = OAuthServer().start()
        self.cleanup.append(idp.stop)
        idp.add_client(CLIENT_ID, CLIENT_SECRET, domain=DOMAIN)
        messages = [(f"17-Jul-1996 02:44:{i:02d} +0000", crlf(sample_mail.message(23000 + i, 1500 + 700 * i)))
                    for i in range(6)]
        dialogue = ImapScriptServer({"INBOX": messages}, expire_after=3, on_expiry=idp.revoke,
                                    bearer=lambda user, token: user == source_user("alice") and idp.active(token))
        server = TlsScriptServer("imap", self.certs.server, dialogue=dialogue).start()
        self.cleanup.append(server.stop)
        settings = self.token_source("microsoft", "xoauth2")
        settings["TOKEN_URL"] = idp.token_url
        self.configure("tls", settings, imap_port=server.port)
        self.run_accounts([("alice", "imap")])
        lines = self.folder.log_texts()
        self.assertEqual(self.folder.status(1), "1", lines)
        # Each message stored exactly once.
        self.assertEqual(self.stored_bodies("alice", "imap"), sorted(data + b"\r\n" for _, data in messages))
        # The second session signed in with a new token, asked for once.
        issued = idp.issued()
        self.assertEqual(len(issued), 2, idp.requests)
        signins = [(connection, token) for connection, _, _, token in dialogue.signins]
        self.assertEqual(signins, [(0, issued[0]), (1, issued[1])], lines)
        self.assertEqual([uid for c, _, uid in dialogue.fetched if c == 0], [101, 102, 103])
        self.assertFalse({101, 102, 103} & {uid for c, _, uid in dialogue.fetched if c == 1},
                         "messages stored before the BYE are not fetched again")
        # The session's summary says why it ended, the controller that it reconnects, once.
        self.assertEqual(sum("reconnects once with a new token" in l for l in lines), 1, lines)
        self.assert_nothing_leaked([CLIENT_SECRET] + issued)

    def test_without_sasl_ir_the_token_follows_the_servers_continuation(self):
        messages = [(f"17-Jul-1996 03:10:{i:02d} +0000", crlf(sample_mail.message(23100 + i, 900))) for i in range(2)]
        token = self.command_tokens["alice"]
        dialogue = ImapScriptServer({"INBOX": messages}, sasl_ir=False,
                                    bearer=lambda user, given: (user, given) == (source_user("alice"), token))
        server = TlsScriptServer("imap", self.certs.server, mode="starttls", dialogue=dialogue).start()
        self.cleanup.append(server.stop)
        self.configure("starttls", self.token_source("command", "oauthbearer"), imap_port=server.port)
        self.run_accounts([("alice", "imap")])
        self.assertEqual(self.folder.status(1), "1", self.folder.log_texts())
        self.assertEqual(self.stored_bodies("alice", "imap"), sorted(data + b"\r\n" for _, data in messages))
        lines = [line for _, line in server.connections[0]]
        asked = [i for i, line in enumerate(lines) if re.fullmatch(r"\S+ AUTHENTICATE OAUTHBEARER", line)]
        self.assertEqual(len(asked), 1, "no initial response on the command's line")
        # The capabilities were asked for after STARTTLS, before the sign-in.
        self.assertTrue(any(re.fullmatch(r"\S+ CAPABILITY", line) for line in lines[:asked[0]]), lines)
        self.assertEqual([(m, u, t) for _, m, u, t in dialogue.signins], [("OAUTHBEARER", source_user("alice"), token)])
        self.assert_nothing_leaked([token])

    def test_a_mechanism_without_encryption_is_refused_before_anything_connects(self):
        imap, pop3 = Listener(), Listener()
        self.cleanup += [imap.close, pop3.close]
        self.configure("none", self.token_source("microsoft", "xoauth2"), imap.port, pop3.port)
        self.run_accounts([("alice", "imap"), ("carol", "pop3")])
        lines = self.folder.log_texts()
        self.assertEqual([self.folder.status(1), self.folder.status(2)], ["0", "0"], lines)
        self.assertEqual((imap.received, pop3.received), ([], []), "a mail server was reached")
        self.assertEqual(self.idp.requests, [], "no token was asked for")
        self.assertTrue(any("SECURITY" in l for l in lines), lines)
        self.assertFalse(any("Connecting to server" in l for l in lines), lines)
        self.assert_nothing_leaked([CLIENT_SECRET])


if __name__ == "__main__":
    unittest.main()

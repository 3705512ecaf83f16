"""The peers of the sign-in tests, checked with Python's own clients: the test
identity provider issues tokens only for the right credentials and signed
assertions, and Dovecot takes exactly the tokens it calls active. When these
fail, the end-to-end sign-in tests cannot say anything about the program."""
import base64
import imaplib
import json
import os
import poplib
import shutil
import socket
import ssl
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fakes"))
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import padding  # noqa: E402
from dovecot import Dovecot  # noqa: E402
from imap_script_server import ImapScriptServer  # noqa: E402
from oauth_server import GOOGLE_SCOPE, JWT_BEARER, MICROSOFT_SCOPE, OAuthServer  # noqa: E402
from test_certificates import TestCertificates  # noqa: E402
from tls_script_server import TlsScriptServer  # noqa: E402

# What Dovecot 2.3 puts in its challenge to a refused token, per mechanism.
FAILURE = {"XOAUTH2": {"status": "401", "schemes": "bearer", "scope": "mail"},
           "OAUTHBEARER": {"status": "invalid_token"}}


def xoauth2(user, token):
    return f"user={user}\x01auth=Bearer {token}\x01\x01".encode()


def oauthbearer(user, token):
    return f"n,a={user},\x01auth=Bearer {token}\x01\x01".encode()


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def signed_assertion(key_file, claims_changed=None, header=None):
    key_doc = json.loads(Path(key_file).read_text())
    key = serialization.load_pem_private_key(key_doc["private_key"].encode(), password=None)
    now = int(time.time())
    claims = {"iss": key_doc["client_email"], "sub": "alice@company.test", "scope": GOOGLE_SCOPE,
              "aud": key_doc["token_uri"], "iat": now, "exp": now + 3600}
    claims.update(claims_changed or {})
    head = b64url(json.dumps(header or {"alg": "RS256", "typ": "JWT"}).encode())
    body = b64url(json.dumps(claims).encode())
    signature = key.sign(f"{head}.{body}".encode(), padding.PKCS1v15(), hashes.SHA256())
    return f"{head}.{body}.{b64url(signature)}"


class SignInPeers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="kelvar-oauth-peers-"))
        os.chmod(cls.work, 0o755)
        cls.certs = TestCertificates(cls.work / "certs")
        cls.idp = OAuthServer(tls=cls.certs.server).start()
        cls.idp.add_client("app-id", "app-secret", domain="company.test")
        cls.key_file = cls.idp.write_service_account(cls.work / "key.json", mailboxes=["alice@company.test"])
        cls.server = Dovecot(cls.work / "dovecot", {"carol": "carol-pw"}, tls=cls.certs.server,
                             oauth=cls.idp.introspection_url).start()
        cls.server.add_message("alice@company.test", "INBOX", b"Subject: one\n\nfirst\n", mtime=1141826589)
        cls.server.resync("alice@company.test")
        cls.context = ssl.create_default_context(cafile=str(cls.certs.ca_pem))

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.idp.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def post(self, form):
        request = urllib.request.Request(self.idp.token_url, data=urllib.parse.urlencode(form).encode(),
                                         headers={"Content-Type": "application/x-www-form-urlencoded"})
        try:
            with urllib.request.urlopen(request, context=self.context, timeout=10) as answer:
                return answer.status, json.loads(answer.read())
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read())

    def tenant_token(self):
        status, answer = self.post({"grant_type": "client_credentials", "client_id": "app-id",
                                    "client_secret": "app-secret", "scope": MICROSOFT_SCOPE})
        self.assertEqual(status, 200, answer)
        self.assertEqual((answer["token_type"], answer["expires_in"]), ("Bearer", 3600))
        return answer["access_token"]

    def test_client_credentials_are_checked_field_by_field(self):
        good = {"grant_type": "client_credentials", "client_id": "app-id", "client_secret": "app-secret",
                "scope": MICROSOFT_SCOPE}
        for changed, status, error in ((("client_secret", "wrong"), 401, "invalid_client"),
                                       (("client_id", "other"), 401, "invalid_client"),
                                       (("scope", "https://mail.google.com/"), 400, "invalid_scope"),
                                       (("grant_type", "password"), 400, "unsupported_grant_type")):
            with self.subTest(changed=changed):
                got_status, answer = self.post({**good, changed[0]: changed[1]})
                self.assertEqual((got_status, answer["error"]), (status, error))
                self.assertTrue(answer["error_description"])
        self.assertTrue(self.tenant_token().startswith("kv."))

    def test_signed_assertions_are_verified(self):
        status, answer = self.post({"grant_type": JWT_BEARER, "assertion": signed_assertion(self.key_file)})
        self.assertEqual(status, 200, answer)
        self.assertEqual(self.idp.active(answer["access_token"]), "alice@company.test")
        now = int(time.time())
        other = self.idp.write_service_account(self.work / "other.json", mailboxes=[], client_email="x@y.example")
        bad = {"sub": {"sub": "mallory@company.test"}, "aud": {"aud": "https://elsewhere.example/token"},
               "scope": {"scope": MICROSOFT_SCOPE}, "too long": {"exp": now + 3700},
               "old": {"iat": now - 7200, "exp": now - 3600}, "issuer": {"iss": "x@y.example"}}
        for name, changed in bad.items():
            with self.subTest(name=name):
                status, answer = self.post({"grant_type": JWT_BEARER,
                                            "assertion": signed_assertion(self.key_file, changed)})
                self.assertEqual((status, answer["error"]), (400, "invalid_grant"), answer)
        # Signed with another key than the issuer's.
        forged = signed_assertion(other, {"iss": json.loads(self.key_file.read_text())["client_email"]})
        status, answer = self.post({"grant_type": JWT_BEARER, "assertion": forged})
        self.assertEqual((status, answer["error_description"]), (400, "Invalid JWT Signature."))
        status, answer = self.post({"grant_type": JWT_BEARER, "assertion": signed_assertion(
            self.key_file, header={"alg": "none", "typ": "JWT"})})
        self.assertEqual(status, 400)

    def imap(self):
        return imaplib.IMAP4_SSL("127.0.0.1", self.server.imaps_port, ssl_context=self.context, timeout=10)

    def test_dovecot_takes_a_tenant_token_for_every_mailbox_of_the_domain(self):
        token = self.tenant_token()
        for user, mechanism, response in (("alice@company.test", "XOAUTH2", xoauth2),
                                          ("bob@company.test", "OAUTHBEARER", oauthbearer)):
            with self.subTest(mechanism=mechanism):
                client = self.imap()
                self.assertIn("SASL-IR", client.capabilities)
                self.assertEqual(client.authenticate(mechanism, lambda _: response(user, token))[0], "OK")
                client.logout()
        pop = poplib.POP3_SSL("127.0.0.1", self.server.pop3s_port, context=self.context, timeout=10)
        pop._shortcmd("AUTH XOAUTH2")
        self.assertTrue(pop._shortcmd(base64.b64encode(xoauth2("alice@company.test", token)).decode())
                        .startswith(b"+OK"))
        self.assertEqual(pop.stat()[0], 1)
        pop.quit()
        # Password logins of other users still work beside the tokens.
        client = self.imap()
        self.assertEqual(client.login("carol", "carol-pw")[0], "OK")
        client.logout()

    def raw_refusal(self, mechanism, response, reply):
        """A refused token, on the wire: the + challenge, the client's reply, the NO."""
        raw = self.context.wrap_socket(socket.create_connection(("127.0.0.1", self.server.imaps_port), timeout=10),
                                       server_hostname="localhost")
        lines = raw.makefile("rb")
        lines.readline()
        raw.sendall(f"a1 AUTHENTICATE {mechanism} {base64.b64encode(response).decode()}\r\n".encode())
        challenge = lines.readline()
        raw.sendall(reply + b"\r\n")
        refusal = lines.readline()
        raw.close()
        return challenge, refusal

    def test_a_revoked_token_draws_the_challenge_then_no(self):
        token = self.tenant_token()
        self.idp.revoke(token)
        for mechanism, response, reply in (("XOAUTH2", xoauth2, b""), ("OAUTHBEARER", oauthbearer, b"AQ==")):
            with self.subTest(mechanism=mechanism):
                challenge, refusal = self.raw_refusal(mechanism, response("alice@company.test", token), reply)
                self.assertTrue(challenge.startswith(b"+ "), challenge)
                self.assertEqual(json.loads(base64.b64decode(challenge[2:])), FAILURE[mechanism])
                self.assertTrue(refusal.startswith(b"a1 NO [AUTHENTICATIONFAILED]"), refusal)
        self.assertIn((token, False), self.idp.introspections)

    def test_registered_tokens_name_their_user_until_revoked(self):
        self.idp.register_token("static-token-1", "dave@company.test")
        client = self.imap()
        self.assertEqual(client.authenticate("XOAUTH2", lambda _: xoauth2("dave@company.test", "static-token-1"))[0],
                         "OK")
        client.logout()
        # A token of another domain is refused.
        self.idp.register_token("static-token-2", "eve@elsewhere.test")
        challenge, refusal = self.raw_refusal("XOAUTH2", xoauth2("alice@company.test", "static-token-2"), b"")
        self.assertTrue(refusal.startswith(b"a1 NO"), refusal)

    def test_a_short_life_ends_the_token(self):
        self.idp.lifetime = 1
        try:
            token = self.tenant_token()
        finally:
            self.idp.lifetime = None
        self.assertTrue(self.idp.active(token))
        time.sleep(1.2)
        self.assertIsNone(self.idp.active(token))

    def test_the_scripted_server_ends_a_session_when_the_token_expires(self):
        messages = [(f"17-Jul-1996 02:44:{i:02d} +0000", b"Subject: %d\r\n\r\nbody\r\n" % i) for i in range(6)]
        dialogue = ImapScriptServer({"INBOX": messages}, bearer=lambda user, token: self.idp.active(token),
                                    expire_after=3, on_expiry=self.idp.revoke)
        server = TlsScriptServer("imap", self.certs.server, dialogue=dialogue).start()
        try:
            first = self.tenant_token()
            client = imaplib.IMAP4_SSL("localhost", server.port, ssl_context=self.context, timeout=10)
            self.assertIn("SASL-IR", client.capabilities)
            client.authenticate("XOAUTH2", lambda _: xoauth2("alice@company.test", first))
            client.select("INBOX")
            for uid in (101, 102):
                self.assertEqual(client.uid("FETCH", str(uid), "(BODY[])")[0], "OK")
            with self.assertRaises(imaplib.IMAP4.abort) as ended:
                client.uid("FETCH", "103", "(BODY[])")
                client.uid("FETCH", "104", "(BODY[])")
            self.assertIn("AccessTokenExpired", str(ended.exception))
            client.shutdown()
            self.assertIsNone(self.idp.active(first))
            # The old token is refused now; a new one serves the whole folder.
            client = imaplib.IMAP4_SSL("localhost", server.port, ssl_context=self.context, timeout=10)
            with self.assertRaises(imaplib.IMAP4.error):
                client.authenticate("XOAUTH2", lambda _: xoauth2("alice@company.test", first))
            client.shutdown()
            second = self.tenant_token()
            client = imaplib.IMAP4_SSL("localhost", server.port, ssl_context=self.context, timeout=10)
            client.authenticate("XOAUTH2", lambda _: xoauth2("alice@company.test", second))
            client.select("INBOX")
            self.assertEqual(client.uid("FETCH", "101:106", "(BODY[])")[0], "OK")
            client.logout()
            self.assertEqual([(c, t) for c, _, _, t in dialogue.signins], [(0, first), (1, first), (2, second)])
            self.assertEqual([uid for c, _, uid in dialogue.fetched if c == 0], [101, 102, 103])
        finally:
            server.stop()


if __name__ == "__main__":
    unittest.main()

"""Token requests over https under Wine, seen from an identity provider's
side: a server with a certificate from a test CA trusted through CA_FILE gets
the form; a server the client must not trust gets no byte of the body."""
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest
from pathlib import Path

from kelvar_e2e import TEST_BIN, WINE, to_windows_path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fakes"))
from test_certificates import TestCertificates  # noqa: E402

SECRET_BODY = "grant_type=client_credentials&client_id=app&client_secret=s3cr3t-value&scope=x"
ANSWER = '{"token_type":"Bearer","expires_in":3599,"access_token":"tok.e2e"}'


class HttpsProvider:
    """Serves https on localhost; per connection it records the request's
    header bytes and every body byte that arrived, then answers ANSWER."""

    def __init__(self, cert):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(str(cert[0]), str(cert[1]))
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.requests = []  # (headers, body)
        self.handshake_errors = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                raw, _ = self.sock.accept()
            except OSError:
                return
            raw.settimeout(10)
            try:
                conn = self.context.wrap_socket(raw, server_side=True)
            except (ssl.SSLError, OSError) as e:
                self.handshake_errors.append(str(e))
                raw.close()
                continue
            try:
                self._session(conn)
            except (ssl.SSLError, OSError):
                pass
            finally:
                conn.close()

    def _session(self, conn):
        data = b""
        while b"\r\n\r\n" not in data:
            try:
                chunk = conn.recv(65536)
            except (ssl.SSLError, OSError):
                chunk = b""
            if not chunk:
                break
            data += chunk
        headers, _, body = data.partition(b"\r\n\r\n")
        entry = [headers, body]
        self.requests.append(entry)
        if b"\r\n\r\n" not in data:
            return
        length = 0
        for line in headers.split(b"\r\n"):
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        conn.settimeout(3)
        while len(entry[1]) < length:
            try:
                chunk = conn.recv(65536)
            except (ssl.SSLError, OSError):
                break
            if not chunk:
                break
            entry[1] += chunk
        if len(entry[1]) < length:
            return
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
                     b"Content-Length: %d\r\n\r\n%s" % (len(ANSWER), ANSWER.encode()))

    def body_bytes(self):
        return b"".join(body for _, body in self.requests)

    def stop(self):
        self.sock.close()


class TokenRequestsOverHttps(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="kelvar-token-http-"))
        cls.certs = TestCertificates(cls.work / "certs")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def post(self, cert, ca_file=True):
        provider = HttpsProvider(cert)
        self.addCleanup(provider.stop)
        args = [str(TEST_BIN / "token_http_driver.exe"), f"https://localhost:{provider.port}/tenant/oauth2/v2.0/token",
                SECRET_BODY]
        if ca_file:
            args.append(f"--ca-file={to_windows_path(self.certs.ca_pem)}")
        run = subprocess.run(WINE + args, capture_output=True, timeout=120)
        return provider, run.returncode, run.stdout.decode("latin-1")

    def test_a_provider_trusted_through_ca_file_gets_the_form(self):
        provider, code, output = self.post(self.certs.server)
        self.assertEqual(code, 0, output)
        self.assertIn("STATUS 200\n", output.replace("\r\n", "\n"))
        self.assertIn("BODY " + ANSWER, output)
        self.assertEqual(len(provider.requests), 1, provider.requests)
        headers, body = provider.requests[0]
        self.assertTrue(headers.startswith(b"POST /tenant/oauth2/v2.0/token HTTP/1.1\r\n"), headers)
        self.assertIn(b"\r\nContent-Type: application/x-www-form-urlencoded", headers)
        self.assertEqual(body, SECRET_BODY.encode())

    def refused(self, cert, reason, ca_file=True):
        provider, code, output = self.post(cert, ca_file)
        provider.last_output = output
        self.assertEqual(code, 1, output)
        self.assertTrue(output.startswith("ERROR 5 "), output)  # TokenHttpError::Certificate
        # Windows tells why the handshake failed; Wine's WinHTTP only that it did.
        generic = "the TLS handshake failed or the server's certificate was refused"
        self.assertTrue(reason in output or generic in output, output)
        self.assertIn("the request body was not sent", output)
        self.assertNotIn("s3cr3t", output)
        self.assertEqual(provider.body_bytes(), b"", "no body byte reached the server")
        return provider

    def test_a_certificate_from_an_unknown_ca_is_refused_before_the_body(self):
        # With CA_FILE the system lets the unknown root pass; the check of our
        # own refuses it after the headers and before the body.
        provider = self.refused(self.certs.untrusted, "untrusted root")
        self.assertIn("untrusted root", provider.last_output)
        self.assertEqual(len(provider.requests), 1, "the headers came, the body did not")
        # Without CA_FILE the system refuses it in the handshake.
        provider = self.refused(self.certs.untrusted, "untrusted root", ca_file=False)
        self.assertEqual([h for h, _ in provider.requests if h], [], "not even the headers came")

    def test_a_certificate_for_another_name_is_refused_before_the_body(self):
        self.refused(self.certs.other_name, "name mismatch")

    def test_an_expired_certificate_is_refused_before_the_body(self):
        self.refused(self.certs.expired, "expired")


if __name__ == "__main__":
    unittest.main()

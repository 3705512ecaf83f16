"""A small identity provider and token introspection server on loopback, for
the sign-in tests: it issues bearer tokens the way a tenant's client
credentials and a service account's signed assertion get them, and tells the
mail server whether a token is good.

    idp = OAuthServer(tls=certs.server).start()      # tls=None: plain http on 127.0.0.1 only
    idp.add_client("app-id", "app-secret", scope="https://outlook.office365.com/.default", domain="company.test")
    key_file = idp.write_service_account(folder / "key.json", mailboxes=["alice@company.test"])
    idp.register_token("static-token", "alice@company.test")
    ... idp.token_url, idp.introspection_url ...
    idp.requests        # every /token request: OAuthRequest(path, grant_type, fields, status, token, error)
    idp.introspections  # every introspection: (token, active)
    idp.revoke(token); idp.revoke_all()
    idp.stop()

/token takes application/x-www-form-urlencoded POSTs:
  grant_type=client_credentials: client_id, client_secret and scope must be
  exactly what add_client was given; the token is valid for any mailbox of the
  client's domain (introspection names "<client_id>@<domain>" as its user).
  grant_type=urn:ietf:params:oauth:grant-type:jwt-bearer with assertion: an
  RS256 JWT whose signature verifies with a service account's public key, header
  alg RS256 / typ JWT, iss = the account's client_email, sub = one of its
  mailboxes, scope and aud as configured (aud: this token URL), iat near now and
  exp after now and at most an hour after iat. The token is for that sub.
Answers: {"access_token", "token_type": "Bearer", "expires_in"} or a JSON error
{"error", "error_description"} with 400 or 401, as the providers do.
expires_in: what the answer announces; lifetime: how long introspection then
calls the token active (defaults to expires_in). fail_next: a list of
(status, error, description) answered to the next requests instead of a token.

/introspect (POST token=..., Dovecot's introspection_mode = post; GET with the
token appended and a Bearer header are understood too): {"active": true,
"username": ...} for a token issued and neither revoked nor expired, or one
given to register_token; {"active": false} otherwise.

With tls (certificate, key), /token is also served over https on `localhost`
(token_url names that); introspection stays on plain http, 127.0.0.1.

As a command, for manual runs: oauth_server.py CLIENT_ID CLIENT_SECRET DOMAIN
"""
import base64
import itertools
import json
import secrets
import ssl
import sys
import threading
import time
import urllib.parse
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

MICROSOFT_SCOPE = "https://outlook.office365.com/.default"
GOOGLE_SCOPE = "https://mail.google.com/"
JWT_BEARER = "urn:ietf:params:oauth:grant-type:jwt-bearer"
# How far iat may stray from the server's clock (the providers allow a few minutes).
CLOCK_SKEW = 300
# A request body larger than this is refused: the client's are a few kilobytes.
MAX_BODY = 64 * 1024


@dataclass
class OAuthRequest:
    path: str
    grant_type: str
    fields: dict
    status: int = 0
    token: str = ""
    error: str = ""


@dataclass
class _ServiceAccount:
    client_email: str
    public_key: object
    mailboxes: set
    scope: str


@dataclass
class _Token:
    username: str
    expires: float = float("inf")
    revoked: bool = False


@dataclass
class _Client:
    secret: str
    scope: str
    domain: str


def b64url_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


class OAuthServer:
    def __init__(self, tls=None, expires_in=3600, lifetime=None):
        self.expires_in = expires_in
        self.lifetime = lifetime
        self.fail_next = []
        self.requests = []
        self.introspections = []
        self._clients = {}
        self._accounts = {}
        self._tokens = {}
        self._lock = threading.Lock()
        self._counter = itertools.count(1)
        self._plain = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._secure = None
        if tls:
            self._secure = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(str(tls[0]), str(tls[1]))
            self._secure.socket = context.wrap_socket(self._secure.socket, server_side=True)
        self._threads = []

    # --- life cycle -------------------------------------------------------
    def start(self):
        for server in filter(None, (self._plain, self._secure)):
            thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
            thread.start()
            self._threads.append(thread)
        return self

    def stop(self):
        for server in filter(None, (self._plain, self._secure)):
            server.shutdown()
            server.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        return self._plain.server_address[1]

    @property
    def token_url(self):
        if self._secure:
            return f"https://localhost:{self._secure.server_address[1]}/token"
        return f"http://127.0.0.1:{self.port}/token"

    @property
    def introspection_url(self):
        return f"http://127.0.0.1:{self.port}/introspect"

    # --- what a test configures -------------------------------------------
    def add_client(self, client_id, secret, scope=MICROSOFT_SCOPE, domain="company.test"):
        self._clients[client_id] = _Client(secret, scope, domain)

    def write_service_account(self, path, mailboxes, client_email="migration@kelvar-test.iam.example",
                              scope=GOOGLE_SCOPE, token_uri=None):
        """Makes an RSA key, writes the service account's JSON key file (the
        private key as PKCS#8 PEM) and trusts its public half. Returns the path."""
        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption()).decode()
        key_id = secrets.token_hex(20)
        document = {
            "type": "service_account",
            "project_id": "kelvar-test",
            "private_key_id": key_id,
            "private_key": pem,
            "client_email": client_email,
            "client_id": str(10**20 + next(self._counter)),
            "auth_uri": "https://accounts.example/o/oauth2/auth",
            "token_uri": token_uri or self.token_url,
        }
        Path(path).write_text(json.dumps(document, indent=2) + "\n")
        self._accounts[client_email] = _ServiceAccount(client_email, key.public_key(), set(mailboxes), scope)
        return Path(path)

    def register_token(self, token, username):
        """A token issued elsewhere (the command source): valid until revoked."""
        with self._lock:
            self._tokens[token] = _Token(username)

    def revoke(self, token):
        with self._lock:
            if token in self._tokens:
                self._tokens[token].revoked = True

    def revoke_all(self):
        with self._lock:
            for t in self._tokens.values():
                t.revoked = True

    def issued(self):
        """The tokens /token handed out, in order."""
        return [r.token for r in self.requests if r.token]

    def active(self, token):
        """The user a token is good for, or None."""
        with self._lock:
            t = self._tokens.get(token)
            if t is None or t.revoked or time.time() >= t.expires:
                return None
            return t.username

    # --- the endpoints ------------------------------------------------------
    def _issue(self, username):
        token = f"kv.{next(self._counter)}.{secrets.token_urlsafe(24)}"
        life = self.expires_in if self.lifetime is None else self.lifetime
        with self._lock:
            self._tokens[token] = _Token(username, time.time() + life)
        return token

    def _token(self, path, form):
        """(status, answer) for one token request, recorded."""
        request = OAuthRequest(path, form.get("grant_type", ""), dict(form))
        self.requests.append(request)
        if self.fail_next:
            status, error, description = self.fail_next.pop(0)
        else:
            status, error, description, username = self._grant(form)
            if not error:
                request.token = self._issue(username)
        request.status, request.error = status, error
        if error:
            return status, {"error": error, "error_description": description}
        return 200, {"access_token": request.token, "token_type": "Bearer", "expires_in": self.expires_in}

    def _grant(self, form):
        """(status, error, description, username): error empty when granted."""
        grant = form.get("grant_type")
        if grant == "client_credentials":
            client = self._clients.get(form.get("client_id", ""))
            if client is None or client.secret != form.get("client_secret"):
                return 401, "invalid_client", "The client id or secret is not valid.", None
            if form.get("scope") != client.scope:
                return 400, "invalid_scope", f"The scope {form.get('scope')!r} is not valid.", None
            unknown = set(form) - {"grant_type", "client_id", "client_secret", "scope"}
            if unknown:
                return 400, "invalid_request", f"Unexpected fields {sorted(unknown)}.", None
            return 200, "", "", f"{form['client_id']}@{client.domain}"
        if grant == JWT_BEARER:
            problem, sub = self._check_assertion(form.get("assertion", ""))
            if problem:
                return 400, "invalid_grant", problem, None
            return 200, "", "", sub
        return 400, "unsupported_grant_type", f"Grant type {grant!r} is not supported.", None

    def _check_assertion(self, assertion):
        """(problem, sub): problem empty when the JWT is good."""
        parts = assertion.split(".")
        if len(parts) != 3:
            return "The assertion is not a JWT.", None
        try:
            header = json.loads(b64url_decode(parts[0]))
            claims = json.loads(b64url_decode(parts[1]))
            signature = b64url_decode(parts[2])
        except ValueError:
            return "The assertion does not decode.", None
        if header.get("alg") != "RS256" or header.get("typ", "JWT") != "JWT":
            return f"Unexpected JWT header {header}.", None
        account = self._accounts.get(claims.get("iss"))
        if account is None:
            return "Unknown issuer.", None
        try:
            account.public_key.verify(signature, f"{parts[0]}.{parts[1]}".encode(), padding.PKCS1v15(),
                                      hashes.SHA256())
        except InvalidSignature:
            return "Invalid JWT Signature.", None
        now = time.time()
        iat, exp = claims.get("iat"), claims.get("exp")
        if not isinstance(iat, int) or not isinstance(exp, int):
            return "iat and exp must be whole numbers.", None
        if abs(iat - now) > CLOCK_SKEW:
            return "iat is not near now.", None
        if exp <= now or exp - iat > 3600:
            return "Invalid JWT: exp is not within an hour after iat.", None
        if claims.get("aud") != self.token_url:
            return f"Invalid JWT: aud {claims.get('aud')!r}.", None
        if claims.get("scope") != account.scope:
            return f"Invalid scope {claims.get('scope')!r}.", None
        if claims.get("sub") not in account.mailboxes:
            return "Client is unauthorized to retrieve access tokens using this method.", None
        return "", claims["sub"]

    def _introspect(self, token):
        username = self.active(token)
        self.introspections.append((token, username is not None))
        return {"active": True, "username": username} if username else {"active": False}

    def _handler(self):
        idp = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _answer(self, status, document):
                body = json.dumps(document).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                self.wfile.write(body)

            def _form(self):
                length = int(self.headers.get("Content-Length") or 0)
                if length > MAX_BODY:
                    return None
                body = self.rfile.read(length).decode("utf-8", "replace")
                return dict(urllib.parse.parse_qsl(body, keep_blank_values=True))

            def do_POST(self):
                path = urllib.parse.urlsplit(self.path).path
                form = self._form()
                if form is None:
                    self.close_connection = True
                    return self._answer(413, {"error": "invalid_request", "error_description": "Too large."})
                if path.endswith("/introspect"):
                    token = form.get("token") or self._bearer()
                    return self._answer(200, idp._introspect(token))
                if path.endswith("/token"):
                    if not self.headers.get("Content-Type", "").startswith("application/x-www-form-urlencoded"):
                        return self._answer(400, {"error": "invalid_request",
                                                  "error_description": "Form content type expected."})
                    return self._answer(*idp._token(path, form))
                self._answer(404, {"error": "not_found"})

            def do_GET(self):
                parts = urllib.parse.urlsplit(self.path)
                if parts.path.endswith("/introspect"):
                    query = dict(urllib.parse.parse_qsl(parts.query))
                    token = query.get("token") or query.get("access_token") or self._bearer()
                    return self._answer(200, idp._introspect(token))
                if parts.path.startswith("/introspect/"):
                    return self._answer(200, idp._introspect(urllib.parse.unquote(parts.path[len("/introspect/"):])))
                self._answer(404, {"error": "not_found"})

            def _bearer(self):
                value = self.headers.get("Authorization", "")
                return value[7:] if value.lower().startswith("bearer ") else ""

        return Handler


def main(argv):
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 1
    idp = OAuthServer().start()
    idp.add_client(argv[1], argv[2], domain=argv[3])
    print(json.dumps({"token_url": idp.token_url, "introspection_url": idp.introspection_url}), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        idp.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

"""A scripted IMAP4 or POP3 server on loopback speaking TLS, to see from the
server's side what a client sends, and to make the faults no real server makes.

    server = TlsScriptServer("imap", cert=(cert_file, key_file), mode="tls").start()
    ... server.port ...
    server.connections   # per connection: [(encrypted, command line), ...]
    server.stop()

mode "tls": TLS from the first byte. mode "starttls": a clear-text greeting,
then the answer to STARTTLS / STLS is `answer`:
  "ok"     agrees, then TLS;
  "no"     refuses (IMAP NO, POP3 -ERR);
  "none"   does not know the command (IMAP BAD, POP3 -ERR);
  "forged" agrees and appends a forged response in the same packet
           (`forged` bytes), then answers the handshake with clear text.
After TLS: LOGIN / USER+PASS are refused, LOGOUT / QUIT answered; or, with
`dialogue` (an ImapScriptServer or Pop3ScriptServer), that server's dialogue is
played over the encrypted connection (after STARTTLS without a second greeting).

How the server ends once it has answered LOGOUT / QUIT (`ending`):
  "close"   closes TCP at once, without close_notify;
  "notify"  sends close_notify and waits for the client's before it closes TCP
            (as servers built on GnuTLS do); server.endings then holds, per
            connection, (seconds from the last answer until the client's
            close_notify or close, whether it was a close_notify).
`versions`: (lowest, highest) ssl.TLSVersion the server offers.
server.handshake_versions: the version each connection negotiated.
"""
import socket
import ssl
import time

from script_server import ScriptServer

FORGED_IMAP = b"A000 OK [CAPABILITY IMAP4rev1] LOGIN forged-by-the-network\r\n"
FORGED_POP3 = b"+OK forged-by-the-network\r\n"


class TlsScriptServer(ScriptServer):
    def __init__(self, protocol, cert, mode="tls", answer="ok", port=0, dialogue=None, ending="close",
                 versions=None):
        super().__init__(port)
        self.protocol = protocol
        self.mode = mode
        self.answer = answer
        self.dialogue = dialogue
        self.ending = ending
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        if versions:
            if versions[0] < ssl.TLSVersion.TLSv1_2:
                # Old versions need the old ciphers, which the default level refuses.
                self.context.set_ciphers("ALL:@SECLEVEL=0")
            self.context.minimum_version, self.context.maximum_version = versions
        self.context.load_cert_chain(str(cert[0]), str(cert[1]))
        self.handshake_errors = []
        self.handshake_versions = []
        self.endings = []

    def _session(self, conn, commands):
        imap = self.protocol == "imap"
        conn.settimeout(30)
        if self.mode == "starttls":
            reader = conn.makefile("rb")
            conn.sendall(b"* OK [CAPABILITY IMAP4rev1 STARTTLS] ready\r\n" if imap else b"+OK ready\r\n")
            raw = reader.readline()
            if not raw:
                return
            command = raw.rstrip(b"\r\n").decode("latin-1")
            commands.append((False, command))
            tag = command.split(" ", 1)[0]
            if self.answer == "no":
                conn.sendall(f"{tag} NO not now\r\n".encode() if imap else b"-ERR not now\r\n")
            elif self.answer == "none":
                conn.sendall(f"{tag} BAD unknown command\r\n".encode() if imap else b"-ERR unknown command\r\n")
            elif self.answer == "forged":
                ok = f"{tag} OK Begin TLS negotiation now\r\n".encode() if imap else b"+OK Begin TLS\r\n"
                conn.sendall(ok + (FORGED_IMAP if imap else FORGED_POP3))
                # A party on the way that cannot do TLS: whatever the client
                # sends now is recorded, and answered in clear text.
                data = conn.recv(65536)
                commands.append((False, data.decode("latin-1")))
                conn.sendall(FORGED_IMAP if imap else FORGED_POP3)
                self._read_clear(conn, reader, commands)
                return
            else:
                conn.sendall(f"{tag} OK Begin TLS negotiation now\r\n".encode() if imap else b"+OK Begin TLS\r\n")
            if self.answer != "ok":
                self._read_clear(conn, reader, commands)
                return
        try:
            secure = self.context.wrap_socket(conn, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.handshake_errors.append(str(e))
            return
        self.handshake_versions.append(secure.version())
        try:
            if self.dialogue is not None:
                played = _Encrypted(secure, commands, skip_greeting=self.mode == "starttls")
                self.dialogue._session(played, played.lines)
                ended = played.finished
            else:
                ended = self._secure_dialogue(secure, imap, commands)
            if ended and self.ending == "notify":
                self._notify_and_wait(secure)
        finally:
            secure.close()

    def _notify_and_wait(self, secure):
        """close_notify, then the wait for the client's (or its close)."""
        answered = time.monotonic()
        try:
            secure.unwrap()
            notified = True
        except (ssl.SSLError, OSError):
            notified = False
        self.endings.append((time.monotonic() - answered, notified))

    def _secure_dialogue(self, secure, imap, commands):
        reader = secure.makefile("rb")
        if self.mode == "tls":
            secure.sendall(b"* OK ready\r\n" if imap else b"+OK ready\r\n")
        while True:
            try:
                raw = reader.readline()
            except (ssl.SSLError, OSError) as e:
                self.handshake_errors.append(str(e))
                return
            if not raw:
                return
            command = raw.rstrip(b"\r\n").decode("latin-1")
            commands.append((True, command))
            tag, _, rest = command.partition(" ")
            verb = (rest.split(" ", 1)[0] if imap else tag).upper()
            if imap:
                if verb == "LOGIN":
                    secure.sendall(f"{tag} NO refused\r\n".encode())
                elif verb == "LOGOUT":
                    secure.sendall(f"* BYE\r\n{tag} OK LOGOUT done\r\n".encode())
                    return True
                else:
                    secure.sendall(f"{tag} BAD what\r\n".encode())
            else:
                if verb == "USER":
                    secure.sendall(b"+OK\r\n")
                elif verb == "QUIT":
                    secure.sendall(b"+OK bye\r\n")
                    return True
                else:
                    secure.sendall(b"-ERR refused\r\n")

    @staticmethod
    def _read_clear(conn, reader, commands):
        while True:
            try:
                raw = reader.readline()
            except OSError:
                return
            if not raw:
                return
            commands.append((False, raw.rstrip(b"\r\n").decode("latin-1")))

    def received(self):
        """Every line any connection sent, encrypted or not."""
        return [line for c in self.connections for _, line in c]


class _Encrypted:
    """The encrypted connection as a scripted dialogue sees a plain one. Its
    commands are recorded as encrypted; after STARTTLS the dialogue's own
    greeting is not sent again. `finished`: the dialogue answered LOGOUT or
    QUIT (it returned while the client still listened)."""

    def __init__(self, secure, commands, skip_greeting):
        self._secure = secure
        self._commands = commands
        self._skip = skip_greeting
        self.lines = _Recorded(commands)
        self.finished = False

    def sendall(self, data):
        if self._skip:
            self._skip = False
            return
        self._secure.sendall(data)
        self.finished = self.lines.ended()

    def recv(self, size):
        return self._secure.recv(size)

    def makefile(self, mode):
        return self._secure.makefile(mode)

    def fileno(self):
        return self._secure.fileno()

    def shutdown(self, how):
        self._secure.shutdown(how)

    def pending(self):
        return self._secure.pending()


class _Recorded(list):
    """The dialogue's command list; each command is also kept as encrypted."""

    def __init__(self, commands):
        super().__init__()
        self._commands = commands

    def append(self, command):
        super().append(command)
        self._commands.append((True, command))

    def ended(self):
        """The last command ends the dialogue (LOGOUT or QUIT)."""
        last = self[-1].upper() if self else ""
        return last == "QUIT" or last.endswith(" LOGOUT")

"""A small IMAP4 server on loopback whose misbehaviour a test chooses.

    server = ImapScriptServer({"INBOX": [("17-Jul-1996 02:44:25 +0000", b"Subject: a\\r\\n\\r\\nbody\\r\\n")]},
                              drop_in_body={("INBOX", 1): 40})
    server.start()
    ... server.port ...
    server.connections   # the commands of each connection, in order
    server.stop()

One user, alice/secret; every folder is selectable and its messages are
numbered from 1. drop_in_body maps (folder, number) to a byte count: the first
BODY fetch of that message sends its FETCH line and that many bytes of the
literal, then the connection is closed. Later fetches are answered in full.
stall_in_body maps (folder, number) to a byte count as drop_in_body does, but
the connection then stays open without another byte until the test ends.
refuse_body: a set of (folder, uid) whose BODY fetch is answered NO, once each.
Messages have the UIDs 101, 102, ... in each folder (UIDVALIDITY 7); STORE
+FLAGS (\\Deleted) flags them, and "SEARCH NOT DELETED" leaves those out.
The UID forms of SEARCH, FETCH and STORE take and give UIDs; drop_in_body,
stall_in_body and refuse_body name the message the same way for both.
silent=True: every connection is accepted and never answered.
echo_refused_login=True: a refused LOGIN is answered with the command echoed, password included, then
"rejected" and the login_refusal text when one is given.
flood=N: the greeting is followed by N bytes without a line feed, then silence.
login_refusal: the text after "NO" when LOGIN is refused ("done" unless given).
uid_validity: the UIDVALIDITY every folder announces (7); a test may change it between runs.
search_padding=N: the blanks between the SEARCH numbers are stretched so that the answer is
about N bytes long, one line longer than any other line may be.

Sign-in with a bearer token: bearer is a callable (user, token) -> bool saying
whether the token is good for the user. CAPABILITY then lists AUTH=XOAUTH2 and
AUTH=OAUTHBEARER, and SASL-IR unless sasl_ir=False; AUTHENTICATE takes the
initial response on its line or after "+ ". A bad token draws the challenge
Dovecot sends and, after the client's reply, NO [AUTHENTICATIONFAILED].
server.signins: (connection number from 0, mechanism, user, token) of each
AUTHENTICATE. expire_after=N: the first connection that has sent N bodies whole
then says "* BYE Session invalidated - AccessTokenExpired" and ends, after
calling on_expiry(token) (a test revokes the token there); later connections
serve every message. server.fetched: (connection number, folder, uid) of each
body sent whole.

Faults that end a session and go away, for a client that comes back:
drop_after_bodies=K with dropping_connections=N: each of the first N
connections sends K bodies whole; the body fetch after them gets its FETCH
line and half of the literal, then the connection is closed. Later
connections serve every message. Messages and their \\Deleted flags outlive a
connection, as on a real server, so a client that resumes where its records
say fetches each body whole once.
throttle_command ("LOGIN", "SELECT", "FETCH"...): that command is answered
"<tag> NO <throttle_text>" instead, on the first throttle_connections
connections (None: on every one). throttle_text defaults to the Microsoft 365
wording with a suggested backoff of 1500 milliseconds. throttle_bye=True
sends "* BYE <throttle_text>" and closes instead of the tagged NO.
server.throttled_at: time.monotonic() of each throttling answer sent;
server.accepted_at: that of each connection accepted.
"""
import base64
import json
import re
import socket
import time

from script_server import ScriptServer

# How Microsoft 365 refuses a command of an account it is throttling.
THROTTLE_TEXT = "Request is throttled. Suggested Backoff Time: 1500 milliseconds"


class ImapScriptServer(ScriptServer):
    def __init__(self, mailbox, drop_in_body=None, silent=False, refuse_body=None, echo_refused_login=False,
                 flood=0, login_refusal=None, stall_in_body=None, search_padding=0, bearer=None, sasl_ir=True,
                 expire_after=None, on_expiry=None, drop_after_bodies=None, dropping_connections=0,
                 throttle_command=None, throttle_connections=1, throttle_text=None, throttle_bye=False):
        super().__init__()
        self.drop_after_bodies = drop_after_bodies
        self.dropping_connections = dropping_connections
        self.throttle_command = throttle_command.upper() if throttle_command else None
        self.throttle_connections = throttle_connections
        self.throttle_text = throttle_text or THROTTLE_TEXT
        self.throttle_bye = throttle_bye
        self.throttled_at = []
        self.bearer = bearer
        self.sasl_ir = sasl_ir
        self.expire_after = expire_after
        self.on_expiry = on_expiry
        self.signins = []
        self.fetched = []
        self._sessions = 0
        self.uid_validity = 7
        self.search_padding = search_padding
        self.stall_in_body = dict(stall_in_body or {})
        self.login_refusal = login_refusal or "done"
        self.echo_note = f" {login_refusal}" if login_refusal else ""
        self.mailbox = {name: list(messages) for name, messages in mailbox.items()}
        self.drop_in_body = dict(drop_in_body or {})
        self.refuse_body = set(refuse_body or ())
        self.deleted = set()  # (folder, uid)
        self.silent = silent
        self.echo_refused_login = echo_refused_login
        self.flood = flood

    def _session(self, conn, commands):
        if self.flood:
            conn.sendall(b"* OK ")
            chunk = b"x" * 65536
            for _ in range(self.flood // len(chunk)):
                conn.sendall(chunk)
            self._stopping.wait(120)
        elif self.silent:
            # Holds the connection open without a word until the test ends.
            self._stopping.wait(120)
        else:
            self._dialogue(conn, commands)

    @staticmethod
    def _uid_set(text):
        uids = []
        for part in text.split(","):
            first, _, last = part.partition(":")
            uids.extend(range(int(first), int(last or first) + 1))
        return uids

    def _capability(self):
        words = ["IMAP4rev1"]
        if self.bearer:
            words += (["SASL-IR"] if self.sasl_ir else []) + ["AUTH=XOAUTH2", "AUTH=OAUTHBEARER"]
        return " ".join(words)

    @staticmethod
    def _bearer_response(mechanism, text):
        """(user, token) from an XOAUTH2 or OAUTHBEARER response, or ("", "")."""
        try:
            fields = base64.b64decode(text, validate=True).decode("latin-1").split("\x01")
        except ValueError:
            return "", ""
        user = token = ""
        for f in fields:
            if f.startswith("user=") and mechanism == "XOAUTH2":
                user = f[5:]
            elif f.startswith("auth=Bearer "):
                token = f[12:]
            elif mechanism == "OAUTHBEARER" and f.startswith(("n,", "y,")):
                user = next((p[2:] for p in f.split(",") if p.startswith("a=")), "")
        return user, token

    def _authenticate(self, conn, lines, tag, arg, connection):
        """One AUTHENTICATE: the token when the client is signed in, else None."""
        mechanism, _, response = arg.partition(" ")
        mechanism = mechanism.upper()
        if not self.bearer or mechanism not in ("XOAUTH2", "OAUTHBEARER"):
            conn.sendall(f"{tag} NO [CANNOT] unsupported mechanism\r\n".encode())
            return None
        if not response:
            conn.sendall(b"+ \r\n")
            response = next(lines, None)
            if response is None:
                return None
        user, token = self._bearer_response(mechanism, "" if response == "=" else response)
        self.signins.append((connection, mechanism, user, token))
        if self.bearer(user, token):
            conn.sendall(f"{tag} OK [CAPABILITY IMAP4rev1] Logged in\r\n".encode())
            return token
        failure = ({"status": "401", "schemes": "bearer", "scope": "mail"} if mechanism == "XOAUTH2"
                   else {"status": "invalid_token"})
        conn.sendall(b"+ " + base64.b64encode(json.dumps(failure).encode()) + b"\r\n")
        if next(lines, None) is None:
            return None
        conn.sendall(f"{tag} NO [AUTHENTICATIONFAILED] Authentication failed.\r\n".encode())
        return None

    def _expire(self, conn, token):
        """The server ends the session because the token ran out: BYE, then
        it stops sending and reads what the client still had in flight until
        the client closes (closing with unread data would reset the
        connection, and the BYE could be lost)."""
        if self.on_expiry:
            self.on_expiry(token)
        self._bye(conn, "Session invalidated - AccessTokenExpired")

    @staticmethod
    def _bye(conn, text):
        """An untagged BYE, then the server reads what is still in flight
        until the client closes, so that the BYE is not lost to a reset."""
        conn.sendall(f"* BYE {text}\r\n".encode())
        try:
            conn.shutdown(socket.SHUT_WR)
            while conn.recv(4096):
                pass
        except OSError:
            pass

    def _throttles(self, connection, verb):
        return (verb == self.throttle_command and
                (self.throttle_connections is None or connection < self.throttle_connections))

    def _dialogue(self, conn, commands):
        selected = None
        connection = self._sessions
        self._sessions += 1
        token = None
        bodies = 0
        lines = self._commands(conn, commands, b"* OK scripted server ready\r\n")
        for command in lines:
            tag, _, rest = command.partition(" ")
            verb, _, arg = rest.partition(" ")
            verb = verb.upper()
            if self._throttles(connection, arg.partition(" ")[0].upper() if verb == "UID" else verb):
                self.throttled_at.append(time.monotonic())
                if self.throttle_bye:
                    self._bye(conn, self.throttle_text)
                    return
                conn.sendall(f"{tag} NO {self.throttle_text}\r\n".encode())
                continue
            by_uid = verb == "UID"
            if by_uid:
                verb, _, arg = arg.partition(" ")
                verb = verb.upper()
                if verb in ("FETCH", "STORE"):
                    # Each UID of the set in turn, as the plain command would be sent.
                    uid_set, _, items = arg.partition(" ")
                    count = len(self.mailbox[selected])
                    numbers = [u - 100 for u in self._uid_set(uid_set) if 1 <= u - 100 <= count]
                    if verb == "FETCH" and items.upper() == "(INTERNALDATE)":
                        for number in numbers:
                            date = self.mailbox[selected][number - 1][0]
                            conn.sendall(f'* {number} FETCH (UID {100 + number} INTERNALDATE "{date}")\r\n'.encode())
                        conn.sendall(f"{tag} OK done\r\n".encode())
                        continue
                    if len(numbers) != 1:
                        conn.sendall(f"{tag} OK done\r\n".encode())
                        continue
                    arg = f"{numbers[0]} {items}"
            if verb == "CAPABILITY":
                conn.sendall(f"* CAPABILITY {self._capability()}\r\n{tag} OK done\r\n".encode())
            elif verb == "AUTHENTICATE":
                token = self._authenticate(conn, lines, tag, arg, connection) or token
            elif verb == "LOGIN":
                ok = arg == "alice secret"
                refusal = f"{command} rejected{self.echo_note}" if self.echo_refused_login else self.login_refusal
                conn.sendall((f"{tag} OK done\r\n" if ok else f"{tag} NO {refusal}\r\n").encode())
            elif verb == "LIST":
                for name in self.mailbox:
                    conn.sendall(f'* LIST (\\HasNoChildren) "/" "{name}"\r\n'.encode())
                conn.sendall(f"{tag} OK done\r\n".encode())
            elif verb == "SELECT":
                selected = arg.strip('"')
                if selected not in self.mailbox:
                    conn.sendall(f"{tag} NO no such folder\r\n".encode())
                    selected = None
                    continue
                conn.sendall(f"* {len(self.mailbox[selected])} EXISTS\r\n* OK [UIDVALIDITY {self.uid_validity}] UIDs valid\r\n"
                             f"{tag} OK [READ-WRITE] done\r\n".encode())
            elif verb == "SEARCH":
                numbers = " ".join(str(101 + i if by_uid else i + 1) for i in range(len(self.mailbox[selected]))
                                   if arg.upper() == "ALL" or (selected, 101 + i) not in self.deleted)
                if self.search_padding and numbers:
                    words = numbers.split(" ")
                    blanks = " " * max(1, self.search_padding // len(words))
                    numbers = blanks.join(words)
                conn.sendall(f"* SEARCH {numbers}\r\n{tag} OK done\r\n".encode())
            elif verb == "FETCH":
                m = re.match(r"(\d+) \((.+)\)$", arg)
                number, items = int(m.group(1)), m.group(2).upper()
                uid = 100 + number
                date, data = self.mailbox[selected][number - 1]
                if items.startswith("INTERNALDATE"):
                    conn.sendall(f'* {number} FETCH (INTERNALDATE "{date}" UID {uid})\r\n{tag} OK done\r\n'.encode())
                    continue
                if (selected, uid) in self.refuse_body:
                    self.refuse_body.discard((selected, uid))
                    conn.sendall(f"{tag} NO [SERVERBUG] cannot read the message now\r\n".encode())
                    continue
                head = f"* {number} FETCH ({f'UID {uid} ' if by_uid else ''}BODY[] {{{len(data)}}}\r\n".encode()
                if self.drop_after_bodies == bodies and connection < self.dropping_connections:
                    conn.sendall(head + data[:len(data) // 2])
                    return
                cut = self.drop_in_body.pop((selected, number), None)
                if cut is not None:
                    conn.sendall(head + data[:cut])
                    return
                stall = self.stall_in_body.pop((selected, number), None)
                if stall is not None:
                    conn.sendall(head + data[:stall])
                    self._stopping.wait(120)
                    return
                conn.sendall(head + data + f")\r\n{tag} OK done\r\n".encode())
                self.fetched.append((connection, selected, uid))
                bodies += 1
                if self.expire_after is not None and bodies == self.expire_after:
                    self.expire_after = None
                    self._expire(conn, token)
                    return
            elif verb == "STORE":
                number = int(arg.split()[0])
                if "\\DELETED" in arg.upper():
                    self.deleted.add((selected, 100 + number))
                conn.sendall(f"* {number} FETCH (FLAGS (\\Deleted))\r\n{tag} OK done\r\n".encode())
            elif verb == "LOGOUT":
                conn.sendall(f"* BYE bye\r\n{tag} OK done\r\n".encode())
                return
            else:
                conn.sendall(f"{tag} BAD unknown command\r\n".encode())

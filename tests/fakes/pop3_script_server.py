"""A small POP3 server on loopback whose misbehaviour a test chooses.

    server = Pop3ScriptServer({1: ("uid-1", b"Subject: a\\r\\n\\r\\nbody\\r\\n")}, drop_in_retr={1: 40})
    server.start()
    ... server.port ...
    server.connections   # the commands of each connection, in order
    server.stop()

Messages are given with CR LF line ends and are byte-stuffed on the way out.
drop_in_retr maps a message number to a byte count: the first RETR of that
message sends its status line and that many bytes of the message, then the
connection is closed. Later RETRs of it are answered in full.
capa: the lines of the CAPA answer; None answers CAPA with -ERR.
server.pipelined: every command that arrived before the answer to the one before it.
unstuffed: numbers of messages sent without byte-stuffing, as a faulty server
does: a line "." in such a message ends its answer early.
on_command: called with each command before it is answered.

Faults that end a session and go away, for a client that comes back:
drop_after_retrs=K with dropping_connections=N: each of the first N
connections answers K RETRs in full; the RETR after them gets its status line
and half of the message, then the connection is closed. Later connections
answer every RETR. The mailbox outlives a connection, as on a real server.
throttle_command ("PASS", "RETR"...): that command is answered
"-ERR <throttle_text>" instead, on the first throttle_connections
connections (None: on every one); throttle_text defaults to
"[SYS/TEMP] Request is throttled. Suggested Backoff Time: 1500 milliseconds".
server.throttled_at: time.monotonic() of each throttling answer sent;
server.accepted_at: that of each connection accepted.
"""
import select
import socket
import time

from script_server import ScriptServer


def stuffed(message):
    lines = message.split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return b"".join((b"." + line if line.startswith(b".") else line) + b"\r\n" for line in lines)


class Pop3ScriptServer(ScriptServer):
    def __init__(self, mailbox, users=None, drop_in_retr=None, capa=None, unstuffed=(), on_command=None,
                 drop_after_retrs=None, dropping_connections=0, throttle_command=None, throttle_connections=1,
                 throttle_text=None):
        super().__init__()
        self.drop_after_retrs = drop_after_retrs
        self.dropping_connections = dropping_connections
        self.throttle_command = throttle_command.upper() if throttle_command else None
        self.throttle_connections = throttle_connections
        self.throttle_text = throttle_text or "[SYS/TEMP] Request is throttled. Suggested Backoff Time: 1500 milliseconds"
        self.throttled_at = []
        self.capa = capa
        self.pipelined = []
        self.mailbox = dict(mailbox)
        self.users = users or {"alice": "secret"}
        self.drop_in_retr = dict(drop_in_retr or {})
        self.unstuffed = set(unstuffed)
        self.on_command = on_command

    def _session(self, conn, commands):
        user = None
        connection = len(self.connections) - 1
        retrs = 0
        for command in self._lines(conn, commands, b"+OK scripted server ready\r\n"):
            if self.on_command:
                self.on_command(command)
            verb, _, arg = command.partition(" ")
            verb = verb.upper()
            if verb == self.throttle_command and (self.throttle_connections is None or
                                                  connection < self.throttle_connections):
                self.throttled_at.append(time.monotonic())
                conn.sendall(f"-ERR {self.throttle_text}\r\n".encode())
                continue
            if verb == "USER":
                user = arg
                conn.sendall(b"+OK\r\n")
            elif verb == "PASS":
                if self.users.get(user) == arg:
                    conn.sendall(b"+OK logged in\r\n")
                else:
                    conn.sendall(b"-ERR authentication failed\r\n")
            elif verb == "LIST":
                out = [f"+OK {len(self.mailbox)} messages".encode()]
                out += [f"{n} {len(m[1])}".encode() for n, m in sorted(self.mailbox.items())]
                conn.sendall(b"\r\n".join(out + [b".", b""]))
            elif verb == "UIDL" and not arg:
                out = [b"+OK"] + [f"{n} {m[0]}".encode() for n, m in sorted(self.mailbox.items())]
                conn.sendall(b"\r\n".join(out + [b".", b""]))
            elif verb == "UIDL":
                n = int(arg)
                conn.sendall(f"+OK {n} {self.mailbox[n][0]}\r\n".encode())
            elif verb == "RETR":
                n = int(arg)
                body = self.mailbox[n][1] if n in self.unstuffed else stuffed(self.mailbox[n][1])
                conn.sendall(f"+OK {len(self.mailbox[n][1])} octets\r\n".encode())
                if n in self.drop_in_retr:
                    conn.sendall(body[: self.drop_in_retr.pop(n)])
                    conn.shutdown(socket.SHUT_RDWR)
                    return
                if self.drop_after_retrs == retrs and connection < self.dropping_connections:
                    conn.sendall(body[: len(body) // 2])
                    conn.shutdown(socket.SHUT_RDWR)
                    return
                conn.sendall(body + b".\r\n")
                retrs += 1
            elif verb == "CAPA":
                if self.capa is None:
                    conn.sendall(b"-ERR unknown command\r\n")
                else:
                    conn.sendall(b"\r\n".join([b"+OK"] + [c.encode() for c in self.capa] + [b".", b""]))
            elif verb == "QUIT":
                conn.sendall(b"+OK bye\r\n")
                return
            else:
                conn.sendall(b"-ERR unknown command\r\n")

    def _lines(self, conn, commands, greeting):
        """As _commands, and notes each command that came before the answer to the previous one."""
        conn.sendall(greeting)
        pending = b""
        while True:
            while b"\n" not in pending:
                data = conn.recv(65536)
                if not data:
                    return
                pending += data
            line, pending = pending.split(b"\n", 1)
            command = line.rstrip(b"\r").decode("latin-1")
            commands.append(command)
            # Nothing is answered yet: a well-behaved client sends nothing more.
            if pending or select.select([conn], [], [], 0.02)[0]:
                self.pipelined.append(command)
            yield command

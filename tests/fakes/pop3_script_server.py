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
"""
import select
import socket

from script_server import ScriptServer


def stuffed(message):
    lines = message.split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return b"".join((b"." + line if line.startswith(b".") else line) + b"\r\n" for line in lines)


class Pop3ScriptServer(ScriptServer):
    def __init__(self, mailbox, users=None, drop_in_retr=None, capa=None, unstuffed=(), on_command=None):
        super().__init__()
        self.capa = capa
        self.pipelined = []
        self.mailbox = dict(mailbox)
        self.users = users or {"alice": "secret"}
        self.drop_in_retr = dict(drop_in_retr or {})
        self.unstuffed = set(unstuffed)
        self.on_command = on_command

    def _session(self, conn, commands):
        user = None
        for command in self._lines(conn, commands, b"+OK scripted server ready\r\n"):
            if self.on_command:
                self.on_command(command)
            verb, _, arg = command.partition(" ")
            verb = verb.upper()
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
                conn.sendall(body + b".\r\n")
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

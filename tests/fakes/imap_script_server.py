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
"""
import re

from script_server import ScriptServer


class ImapScriptServer(ScriptServer):
    def __init__(self, mailbox, drop_in_body=None, silent=False, refuse_body=None, echo_refused_login=False,
                 flood=0, login_refusal=None, stall_in_body=None, search_padding=0):
        super().__init__()
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

    def _dialogue(self, conn, commands):
        selected = None
        for command in self._commands(conn, commands, b"* OK scripted server ready\r\n"):
            tag, _, rest = command.partition(" ")
            verb, _, arg = rest.partition(" ")
            verb = verb.upper()
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
            if verb == "LOGIN":
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

"""kelvar.dll end to end: loaded by a host program (kelvarcall.exe) under Wine
as a setup wizard loads it, migrating from a private Dovecot."""
import os
import re
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

from kelvar_e2e import BIN, WINE, crlf, dialogctl, screenshot, to_windows_path, wait_for

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fakes"))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "demo"))
from dovecot import Dovecot  # noqa: E402
from imap_script_server import ImapScriptServer  # noqa: E402
import sample_mail  # noqa: E402

BANNER = "*" * 80
USERS = {"alice": "alice-pw", "bob": "bob-pw", "erin": "erin-pw", "frank": "frank-pw"}
# frank's folders as created (UTF-8) and as the server names them (modified UTF-7).
FRANK = {"Sent Items": "Sent Items", 'Say "hi"': 'Say "hi"', "Entwürfe": "Entw&APw-rfe", "Work": "Work",
         "Work/2005": "Work/2005", "Bills OK Paid": "Bills OK Paid", "Say NO more": "Say NO more"}
ALICE = {"INBOX": 5, "Drafts": 2, "Trash": 1, "Work": 3, "Work/2005": 2, "Junk": 2, "Spam": 2, " Lead": 1}
LOCAL = {"INBOX": "Inbox", "Drafts": "Drafts", "Trash": "Deleted Items", "Work": "Work", "Work/2005": "Work/2005",
         "Junk": "Junk", "Spam": "Spam", " Lead": " Lead"}
MAPPING = "INBOX;Drafts;Trash;Sent"
BOB = 4
ERIN = 401
RESULT = re.compile(r"^(\w+) returned (-?\d+)$")


class Host:
    """A folder holding the host program and the library, as a wizard's installation would."""

    def __init__(self, name):
        self.path = Path(tempfile.mkdtemp(prefix=f"kelvar-lib-{name}-"))
        os.chmod(self.path, 0o755)
        shutil.copy(BIN / "kelvarcall.exe", self.path / "kelvarcall.exe")
        shutil.copy(BIN / "kelvar.dll", self.path / "kelvar.dll")
        self.runs = 0
        self.process = None

    def dest(self, name="dest"):
        return self.path / name

    def start(self, *calls, env=None, dll=None):
        """Starts kelvarcall with the calls (lists of arguments) joined by "+"."""
        self.runs += 1
        args = [f"--dll={dll}"] if dll else []
        for i, call in enumerate(calls):
            args += (["+"] if i else []) + [str(a) for a in call]
        self.out = self.path / f"kelvarcall-{self.runs}.out"
        # Output to a file: a wineserver started here would keep a pipe open.
        with open(self.out, "wb") as f:
            self.process = subprocess.Popen(WINE + [str(self.path / "kelvarcall.exe"), *args],
                                            cwd=tempfile.gettempdir(), env=dict(os.environ, **(env or {})),
                                            stdout=f, stderr=subprocess.STDOUT)
        return self

    def wait(self, timeout=300):
        """The results printed, as (export, result) pairs; fails on a non-zero exit."""
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            windows = dialogctl("list", "-")[1]
            self.process.kill()
            self.process.wait()
            raise AssertionError(f"kelvarcall did not end within {timeout} s; windows:\n{windows}")
        text = self.out.read_bytes().decode("latin-1")
        if code != 0:
            raise AssertionError(f"kelvarcall ended with {code}:\n{text}")
        return [(m.group(1), int(m.group(2))) for m in map(RESULT.match, text.splitlines()) if m]

    def call(self, *calls, env=None, dll=None):
        return self.start(*calls, env=env, dll=dll).wait()

    def outputs(self):
        """Each call's result with the texts printed after it: (export, result, {"folders": ..., ...})."""
        calls = []
        for line in self.out.read_bytes().decode("latin-1").splitlines():
            m = RESULT.match(line)
            if m:
                calls.append((m.group(1), int(m.group(2)), {}))
            elif calls and ": " in line:
                key, _, value = line.partition(": ")
                calls[-1][2][key] = value
        return calls

    def log_lines(self):
        path = self.path / "kelvar.log"
        return path.read_bytes().decode("latin-1").splitlines() if path.is_file() else []

    def remove(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.path, ignore_errors=True)


def imap(dest, port, user="alice", excluded="", mapping=MAPPING, flags=(0, 0, 0, 0)):
    return ["imap", to_windows_path(dest), "127.0.0.1", user, USERS.get(user, "x"), port, excluded, mapping, *flags]


def pop3(dest, port, user="bob"):
    return ["pop3", to_windows_path(dest), "127.0.0.1", user, USERS[user], port]


class Library(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server_dir = Path(tempfile.mkdtemp(prefix="kelvar-lib-dovecot-"))
        cls.server = Dovecot(cls.server_dir, USERS).start()
        cls.sources = {}
        seed = 7000
        for folder, count in ALICE.items():
            for _ in range(count):
                seed += 1
                data = sample_mail.message(seed, 1000 + seed % 3000)
                cls.server.add_message("alice", folder, data, mtime=1141826589 + seed * 60)
                cls.sources.setdefault(folder, []).append(data)
        for _ in range(BOB):
            seed += 1
            data = sample_mail.message(seed, 1500)
            cls.server.add_message("bob", "INBOX", data, mtime=1141826589 + seed * 60)
            cls.sources.setdefault("bob", []).append(data)
        for _ in range(ERIN - 1):
            seed += 1
            cls.server.add_message("erin", "INBOX", sample_mail.message(seed, 3000), mtime=1141826589 + seed * 60)
        cls.server.add_message("erin", "INBOX", sample_mail.message(1, 12_000_000), mtime=1141826589)
        for folder in FRANK:
            cls.server.create_mailbox("frank", folder)
        for user in USERS:
            cls.server.resync(user)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.server_dir, ignore_errors=True)

    def setUp(self):
        self.host = Host("call")

    def tearDown(self):
        self.host.remove()

    def files(self, dest, local):
        folder = dest / local.replace("/", os.sep)
        return sorted(folder.glob("*.imap")) if folder.exists() else []

    def assert_folder(self, dest, server_folder):
        """The folder's files as the batch program writes them: a header line, then the message."""
        bodies = []
        for f in self.files(dest, LOCAL[server_folder]):
            header, _, rest = f.read_bytes().partition(b"\r\n")
            self.assertTrue(header.startswith(b"0000000000000000"), f)
            bodies.append(rest)
        self.assertEqual(sorted(bodies), sorted(crlf(m) + b"\r\n" for m in self.sources[server_folder]),
                         server_folder)

    def session_lines(self, lines, caption):
        return [l[len(caption) + 3:] for l in lines if l.startswith(f"[{caption}] ")]

    def test_imap_migrates_the_mailbox_once_and_logs_beside_the_host(self):
        dest = self.host.dest()
        port = self.server.imap_port
        results = self.host.call(imap(dest, port), imap(dest, port))
        self.assertEqual(results, [("IMap2XRV", 1), ("IMap2XRV", 1)])
        for folder in ALICE:
            self.assert_folder(dest, folder)
        self.assertEqual(sorted(p.name for p in dest.iterdir()), [" Lead", "Deleted Items", "Drafts", "Inbox", "Junk",
                                                                 "Spam", "Work"])
        self.assertEqual(list(dest.rglob("*.partial")), [])

        lines = self.host.log_lines()
        self.assertEqual(lines[0], BANNER)
        self.assertRegex(lines[1], r"^KELVAR Dll Log File \[\w+day, \w+ \d\d, \d{4} \d{1,2}:\d\d [AP]M\]$")
        self.assertEqual(lines[2], "")
        self.assertEqual(lines[-1], BANNER)
        text = self.session_lines(lines, "IMap2XRV Function")
        self.assertEqual(text[:7], [f"Destination path : {to_windows_path(dest)}", "Source server : 127.0.0.1",
                                    f"Server port: {port}", "Username : alice", "Excluded directories : ",
                                    f"Folder mapping : {MAPPING}", "Create Empty : FALSE"])
        self.assertIn("Connected to the host server", text)
        self.assertIn("A000 LOGIN alice **********", text)
        self.assertFalse([l for l in lines if "alice-pw" in l], "the password never reaches the log")
        # The second call recognises every message as stored.
        total = sum(ALICE.values())
        self.assertEqual(len([l for l in text if l.startswith("Skipping message #")]), total)
        self.assertEqual(sum(len(self.files(dest, LOCAL[f])) for f in ALICE), total)

    def test_each_call_excludes_only_its_own_folders(self):
        port = self.server.imap_port
        first, second = self.host.dest("first"), self.host.dest("second")
        results = self.host.call(imap(first, port, excluded="Junk"), imap(second, port, excluded="Spam"),
                                 imap(self.host.dest("contained"), port, excluded=";;Work;", flags=(0, 0, 0, 1)))
        self.assertEqual(results, [("IMap2XRV", 1)] * 3)
        self.assertEqual(self.files(first, "Junk"), [])
        self.assert_folder(first, "Spam")
        self.assertEqual(self.files(second, "Spam"), [])
        self.assert_folder(second, "Junk")
        # Contained: "Work" also excludes "Work/2005"; the empty entry excludes nothing.
        contained = self.host.dest("contained")
        self.assertEqual(self.files(contained, "Work") + self.files(contained, "Work/2005"), [])
        self.assert_folder(contained, "INBOX")
        text = self.session_lines(self.host.log_lines(), "IMap2XRV Function")
        skipped = [l for l in text if l.startswith("Skipping the MailBox")]
        self.assertEqual(skipped, ["Skipping the MailBox 'Junk'", "Skipping the MailBox 'Spam'",
                                   "Skipping the MailBox 'Work'", "Skipping the MailBox 'Work/2005'"])

    def test_failures_return_0(self):
        closed = subprocess.run(["python3", "-c", "import socket;s=socket.socket();s.bind(('127.0.0.1',0));"
                                 "print(s.getsockname()[1])"], capture_output=True, text=True).stdout.strip()
        bad_login = imap(self.host.dest(), self.server.imap_port)
        bad_login[4] = "wrong"
        results = self.host.call(imap(self.host.dest(), closed), bad_login, pop3(self.host.dest(), closed),
                                 pop3(self.host.dest(), self.server.pop3_port + 65536))
        self.assertEqual(results, [("IMap2XRV", 0), ("IMap2XRV", 0), ("Pop32XRV", 0), ("Pop32XRV", 0)])
        lines = self.host.log_lines()
        # A port beyond 65535 is refused, not taken modulo 65536.
        self.assertIn(f"[Pop32XRV Function] The POP3 port {self.server.pop3_port + 65536} is not a TCP port", lines)
        self.assertIn("[IMap2XRV Function] Could not establish connection to server - 10061", lines)
        self.assertIn("[Pop32XRV Function] Could not establish connection to server - 10061", lines)

    def test_cancel_returns_2_and_leaves_no_partial_file(self):
        dest = self.host.dest()
        self.host.start(imap(dest, self.server.imap_port, user="erin"))
        inbox = dest / "Inbox"
        self.assertTrue(wait_for(lambda: len(list(inbox.glob("*.imap"))) >= 20 if inbox.exists() else False, 240),
                        "the migration did not get going")
        screenshot("library_cancel.png")
        self.assertEqual(dialogctl("command", "Migrating Messages For User [erin]", 2)[0], 0)
        self.assertEqual(self.host.wait(60), [("IMap2XRV", 2)])
        self.assertEqual(list(dest.rglob("*.partial")), [])
        self.assertLess(len(list(inbox.glob("*.imap"))), ERIN)
        self.assertIn("[IMap2XRV Function] Migration canceled by user", self.host.log_lines())

    def database_env(self, path, create=True):
        if create:
            path.parent.mkdir(parents=True, exist_ok=True)
            env = dict(os.environ, KELVAR_ODBC=f"DRIVER={{SQLite3}};Database={path}")
            subprocess.run(WINE + [str(BIN / "kelvardb.exe"), to_windows_path(path.parent)], env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=120)
        return {"KELVAR_ODBC": f"DRIVER={{SQLite3}};Database={path};NoCreat=1"}

    def test_pop3_records_unique_ids_and_a_second_call_retrieves_nothing(self):
        database = self.host.path / "mail2xrv.mdb"
        env = self.database_env(database)
        dest = self.host.dest()
        results = self.host.call(pop3(dest, self.server.pop3_port), pop3(dest, self.server.pop3_port), env=env)
        self.assertEqual(results, [("Pop32XRV", 1), ("Pop32XRV", 1)])
        files = sorted((dest / "inbox").glob("*.imap"))
        self.assertEqual(sorted(f.read_bytes() for f in files), sorted(crlf(m) for m in self.sources["bob"]))
        with sqlite3.connect(database) as db:
            self.assertEqual(db.execute("SELECT COUNT(*) FROM UIDLs").fetchone()[0], BOB)
        retrieved = wait_for(lambda: re.findall(r"pop3\(bob\).*?retr=(\d+)/", self.server.log_text())[-2:], 10)
        self.assertEqual(retrieved, [str(BOB), "0"])
        text = self.session_lines(self.host.log_lines(), "Pop32XRV Function")
        self.assertEqual(text[:4], [f"Destination path : {to_windows_path(dest)}", "Source server : 127.0.0.1",
                                    f"Server port: {self.server.pop3_port}", "Username : bob"])
        self.assertNotIn("Create Empty : FALSE", text)

    def test_pop3_without_its_database_shows_one_box_and_retrieves_nothing(self):
        env = self.database_env(self.host.path / "missing" / "mail2xrv.mdb", create=False)
        dest = self.host.dest()
        before = len(re.findall(r"pop3\(bob\)", self.server.log_text()))
        self.host.start(pop3(dest, self.server.pop3_port), env=env)
        code, title = dialogctl("wait", "Error", 120)
        self.assertEqual(code, 0, "no box")
        screenshot("library_database_box.png")
        self.assertEqual(dialogctl("command", "Error", 1)[0], 0)
        self.assertEqual(self.host.wait(120), [("Pop32XRV", 0)])
        self.assertEqual(list(dest.rglob("*.imap")), [])
        text = self.session_lines(self.host.log_lines(), "Pop32XRV Function")
        self.assertTrue(any(l.startswith("Nothing is retrieved: the migration database ") and "connect failed" in l
                            for l in text), text)
        self.assertGreaterEqual(len([l for l in text if l.startswith("State:")]), 2, "every failure is logged")
        sessions = wait_for(lambda: re.findall(r"pop3\(bob\).*?retr=(\d+)/", self.server.log_text())[before:], 10)
        self.assertEqual(sessions, ["0"])

    def test_cancel_while_the_worker_waits_on_a_box_returns_after_the_worker(self):
        env = self.database_env(self.host.path / "missing" / "mail2xrv.mdb", create=False)
        self.host.start(pop3(self.host.dest(), self.server.pop3_port), env=env)
        self.assertEqual(dialogctl("wait", "Error", 120)[0], 0, "no box")
        # The worker is held by the box: Cancel outlasts the stop bound.
        self.assertEqual(dialogctl("command", "Migrating Messages For User [bob]", 2)[0], 0)
        self.assertTrue(wait_for(lambda: "[IMap2XRV Function] Waiting for the session to end" in self.host.log_lines(),
                                 30), self.host.log_lines())
        self.assertIsNone(self.host.process.poll(), "the call returned while its worker still ran")
        self.assertEqual(dialogctl("command", "Error", 1)[0], 0)
        self.assertEqual(self.host.wait(60), [("Pop32XRV", 2)])
        lines = self.host.log_lines()
        self.assertLess(lines.index("[IMap2XRV Function] Migration canceled by user"),
                        lines.index("[IMap2XRV Function] Waiting for the session to end"))
        self.assertEqual(list(self.host.dest().rglob("*.imap")), [])

    def test_log_lies_beside_the_host_and_each_load_adds_its_banner(self):
        library_dir = self.host.path / "elsewhere"
        library_dir.mkdir()
        shutil.move(self.host.path / "kelvar.dll", library_dir / "kelvar.dll")
        results = self.host.call(["test", "127.0.0.1", 1], ["reload"], ["line", "x", 1],
                                 dll=to_windows_path(library_dir / "kelvar.dll"))
        self.assertEqual(results, [("TestConnection", 0), ("GetLine", 1)])
        self.assertFalse((library_dir / "kelvar.log").exists())
        lines = self.host.log_lines()
        self.assertEqual([i for i, l in enumerate(lines) if l == BANNER], [0, 6, 7, 13])
        self.assertTrue(lines[8].startswith("KELVAR Dll Log File ["))
        self.assertEqual(lines[3], "[TestConnection] Created Socket")
        self.assertEqual(lines[10:13], ["[GetLine Function] Path : x", "[GetLine Function] Line Number : 1",
                                        "[GetLine Function] Could not open/find file"])

        # A log that cannot be opened: no log, and the calls work as before.
        other = Host("nolog")
        try:
            (other.path / "kelvar.log").mkdir()
            self.assertEqual(other.call(imap(other.dest(), self.server.imap_port, excluded="Work;Work/2005;Junk;Spam")),
                             [("IMap2XRV", 1)])
            self.assert_folder(other.dest(), "INBOX")
        finally:
            other.remove()


    def closed_port(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            return s.getsockname()[1]

    def test_get_folders_lists_every_folder_under_the_servers_names(self):
        port = self.server.imap_port
        self.host.call(["folders", "127.0.0.1", port, "frank", USERS["frank"]],
                       ["folders", "127.0.0.1", port, "alice", USERS["alice"]])
        (name, count, frank), (_, alice_count, alice) = self.host.outputs()
        expected = ["INBOX"] + list(FRANK.values())
        self.assertEqual(sorted(frank["folders"].split(";")), sorted(expected))
        self.assertEqual(count, len(expected))
        self.assertEqual(frank["error"], "")
        self.assertEqual(sorted(alice["folders"].split(";")), sorted(ALICE))
        self.assertEqual(alice_count, len(ALICE))

        text = self.session_lines(self.host.log_lines(), "GetFolder Function")
        first = text[:text.index("Connection closed") + 2]
        for line in ["Server : 127.0.0.1", f"Port : {port}", "User : frank", "Created Socket",
                     "Retrieved host information", "Connected to the host server", "A000 LOGIN frank **********",
                     'A001 LIST "" "*"', "A002 LOGOUT", "Connection closed"]:
            self.assertIn(line, first)
        self.assertEqual(first[:3], ["Server : 127.0.0.1", f"Port : {port}", "User : frank"])
        self.assertEqual(first[-1], "Folder List : " + frank["folders"])
        self.assertFalse([l for l in self.host.log_lines() if "frank-pw" in l], "the password never reaches the log")

    def test_get_folders_failures_return_0_with_the_reason(self):
        port = self.server.imap_port
        self.host.call(["folders", "127.0.0.1", port, "frank", "wrong"],
                       ["folders", "127.0.0.1", self.closed_port(), "frank", "x"],
                       ["folders", "no-such-host.invalid", port, "frank", "x"])
        (_, wrong, login), (_, closed, refused), (_, unknown, host) = self.host.outputs()
        self.assertEqual((wrong, closed, unknown), (0, 0, 0))
        self.assertEqual(login["error"], "(IMAP2XRV)A000 NO [AUTHENTICATIONFAILED] Authentication failed.")
        self.assertEqual(login["folders"], "")
        self.assertEqual(refused["error"], "(IMAP2XRV)Could not establish connection to server - 10061")
        self.assertRegex(host["error"], r"^\(IMAP2XRV\)Could not retrieve host information - \d+$")

    def test_get_folders_cuts_a_long_refusal_to_the_error_buffer(self):
        refusal = "Account locked: " + "x" * 400
        server = ImapScriptServer({"INBOX": []}, login_refusal=refusal).start()
        try:
            self.host.call(["folders", "127.0.0.1", server.port, "alice", "wrong"])
        finally:
            server.stop()
        (_, result, texts), = self.host.outputs()
        self.assertEqual(result, 0)
        self.assertEqual(texts["error"], ("(IMAP2XRV)A000 NO " + refusal)[:255])
        # The log keeps the whole line.
        self.assertIn("A000 NO " + refusal, self.session_lines(self.host.log_lines(), "GetFolder Function"))

    def test_test_connection_to_listening_closed_and_unknown(self):
        results = self.host.call(["test", "127.0.0.1", self.server.imap_port], ["test", "127.0.0.1", self.closed_port()],
                                 ["test", "no-such-host.invalid", 143])
        self.assertEqual(results, [("TestConnection", 1), ("TestConnection", 0), ("TestConnection", 0)])
        text = self.session_lines(self.host.log_lines(), "TestConnection")
        self.assertEqual(text[:3], ["Created Socket", "Retrieved host information", "Success"])
        self.assertEqual(text[3:6], ["Created Socket", "Retrieved host information",
                                     "Could not establish connection to server - 10061"])
        self.assertEqual(text[6], "Created Socket")
        self.assertRegex(text[7], r"^Could not retrieve host information - \d+$")
        self.assertEqual(len(text), 8)

    def test_get_line(self):
        files = {"one": b"only line", "two": b"first\nsecond\n", "crlf": b"one\r\ntwo\r\n",
                 "long": b"x" * 5000 + b"\nafter\n"}
        for name, data in files.items():
            (self.host.path / name).write_bytes(data)
        asked = [("one", 1), ("two", 2), ("two", 3), ("two", 4), ("two", 0), ("crlf", 1), ("crlf", 2), ("long", 1),
                 ("long", 2), ("long", -1), ("missing", 1)]
        self.host.call(*[["line", to_windows_path(self.host.path / name), n] for name, n in asked])
        got = [(r, t["line"] if "line" in t else "") for _, r, t in self.host.outputs()]
        self.assertEqual(got, [(0, "only line"), (0, "second"), (0, ""), (2, ""), (2, ""), (0, "one"), (0, "two"),
                               (0, "x" * 1023), (0, "after"), (2, ""), (1, "")])
        text = self.session_lines(self.host.log_lines(), "GetLine Function")
        self.assertIn(f"Path : {to_windows_path(self.host.path / 'two')}", text)
        self.assertIn("Found the text 'second' at line number 2.", text)
        self.assertIn(f"Found the text '{'x' * 1023}' at line number 1.", text)
        self.assertEqual(text.count("Could not find line number"), 3)
        self.assertEqual(text.count("Could not open/find file"), 1)


class LibraryAgainstScriptedServers(unittest.TestCase):
    """GetFolders against servers that misbehave, from kelvarcall, whose out
    buffers end where a no-access page begins: a write past them ends it."""

    def setUp(self):
        self.host = Host("scripted")
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            server.stop()
        self.host.remove()

    def serve(self, names, **options):
        server = ImapScriptServer({name: [] for name in names}, **options).start()
        self.servers.append(server)
        return server

    def test_get_folders_never_writes_past_the_stated_buffer(self):
        # 256 names of 255 characters: 65,535 characters with the separators, the NUL fills the buffer.
        fitting = [f"F{i:03d}" + "x" * 251 for i in range(256)]
        too_long = [f"F{i:03d}" + "x" * 251 for i in range(280)]  # about 70 KB
        many = [f"f{i:05d}" for i in range(100_000)]
        with_separator = ["INBOX", "Bills;2005", "Sent"]
        servers = [self.serve(names) for names in (fitting, too_long, many, with_separator)]
        self.host.call(*[["folders", "127.0.0.1", s.port, "alice", "secret"] for s in servers])
        (_, fit_count, fit), (_, long_count, long_), (_, many_count, many_out), (_, sep_count, sep) = \
            self.host.outputs()
        self.assertEqual(fit_count, 256)
        self.assertEqual(fit["folders"], ";".join(fitting))
        self.assertEqual(len(fit["folders"]), 65535)
        self.assertEqual(fit["error"], "")
        for count, out in ((long_count, long_), (many_count, many_out)):
            self.assertEqual(count, 0)
            self.assertEqual(out["folders"], "")
            self.assertEqual(out["error"], "(IMAP2XRV)The folder list is longer than 65535 characters")
        # The conversation still ends in order.
        self.assertEqual(servers[1].connections[0][-1].split()[1:], ["LOGOUT"])
        self.assertEqual((sep_count, sep["folders"]), (2, "INBOX;Sent"))
        self.assertIn('[GetFolder Function] The folder "Bills;2005" is left out of the list: its name holds ";"',
                      self.host.log_lines())

    def test_an_echoed_login_shows_no_form_of_the_password(self):
        password = 'Zq9%s"x y\\\\'
        echo = self.serve(["INBOX"], echo_refused_login=True)
        common = self.serve(["INBOX"], echo_refused_login=True, login_refusal="for the next run, see C:\\ext\\ext.log")
        self.host.call(["folders", "127.0.0.1", echo.port, "alice", password],
                       ["folders", "127.0.0.1", common.port, "alice", "ext"])
        # What the server got is the password as the library sent it.
        self.assertEqual(echo.connections[0][0], 'A000 LOGIN alice "Zq9%s\\"x y\\\\\\\\"')
        (_, result, texts), (_, common_result, common_texts) = self.host.outputs()
        self.assertEqual((result, common_result), (0, 0))
        lines = self.host.log_lines()
        self.assertIn("[GetFolder Function] A000 NO A000 LOGIN alice ********** rejected", lines)
        self.assertEqual(texts["error"], "(IMAP2XRV)A000 NO A000 LOGIN alice ********** rejected")
        # Every form of it begins with these three letters.
        self.assertFalse([l for l in lines if "Zq9" in l], "a form of the password reached kelvar.log")
        # A password that is part of other words leaves them as they are.
        refusal = "A000 NO A000 LOGIN alice ********** rejected for the next run, see C:\\ext\\ext.log"
        self.assertIn("[GetFolder Function] " + refusal, lines)
        self.assertEqual(common_texts["error"], "(IMAP2XRV)" + refusal)


if __name__ == "__main__":
    unittest.main()

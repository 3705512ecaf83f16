"""The POP3 session end to end: Dovecot (or a scripted server) on loopback, the
session under Wine, the migration database in SQLite through Wine's ODBC."""
import hashlib
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

from kelvar_e2e import BIN, TEST_BIN, WINE, big_message, to_windows_path, wait_for

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "fakes"))
from dovecot import Dovecot  # noqa: E402
from pop3_script_server import Pop3ScriptServer  # noqa: E402

NAME = re.compile(r"^\d{14}(\d{4,})-0000000200000000[0-9A-F]{6,8}\.imap$")


def big_lines(n):
    """Lines with leading dots and lines that look like status lines, 8-bit bytes among them."""
    if n % 997 == 0:
        return b"." * (1 + n % 3) + b"dot line %d" % n
    if n % 499 == 0:
        return b"+OK line %d \xe4\xf6\xfc" % n
    return None


MESSAGES = {
    "8bit": b"From: a@example.com\nSubject: 8bit\n\nCaf\xe9 na\xefve \xff\xfe \x80\n\n\nafter two empty lines\n",
    "dots": b"Subject: dots\n\n.\n..\n.hidden\n...three\nend.\n",
    "status": b"Subject: status\n\n+OK this is content\n-ERR so is this\n+OK\n",
    "unterminated": b"Subject: no newline\n\nlast line without end",
}


def stored_form(data):
    """What a message becomes in the store: CR LF line ends, the last line ended too."""
    if not data.endswith(b"\n"):
        data += b"\n"
    return data.replace(b"\n", b"\r\n")


class Run:
    """A folder with the store, the database and the driver's logs."""

    def __init__(self, name):
        self.path = Path(tempfile.mkdtemp(prefix=f"kelvar-pop3-{name}-"))
        os.chmod(self.path, 0o755)
        self.store = self.path / "store"
        self.database = self.path / "db" / "mail2xrv.mdb"
        self.runs = 0

    def inbox(self, user="alice"):
        return self.store / "example.com" / user / "inbox"

    def create_database(self):
        self.database.parent.mkdir(exist_ok=True)
        env = dict(os.environ, KELVAR_ODBC=f"DRIVER={{SQLite3}};Database={self.database}")
        out = self.path / "kelvardb.out"
        with open(out, "wb") as f:
            code = subprocess.run(WINE + [str(BIN / "kelvardb.exe"), to_windows_path(self.database.parent)],
                                  env=env, stdout=f, stderr=subprocess.STDOUT, timeout=120).returncode
        assert code == 0, out.read_text(errors="replace")

    def uidls(self):
        with sqlite3.connect(self.database) as db:
            return sorted(row[0] for row in db.execute("SELECT Uidl FROM UIDLs"))

    def session(self, port, user="alice", password="secret", database=None, extra=(), odbc=""):
        """Runs one session; returns (result, log lines). `odbc`: more of the connection text."""
        self.runs += 1
        log = self.path / f"session-{self.runs}.log"
        database = database or self.database
        env = dict(os.environ, KELVAR_ODBC=f"DRIVER={{SQLite3}};Database={database};NoCreat=1{odbc}")
        args = [f"--host=127.0.0.1", f"--port={port}", f"--user={user}", f"--password={password}",
                f"--mail-path={to_windows_path(self.store)}", "--domain=example.com", "--wait-ms=1000",
                "--timeouts=9", f"--log={to_windows_path(log)}", *extra]
        with open(self.path / f"session-{self.runs}.out", "wb") as f:
            subprocess.run(WINE + [str(TEST_BIN / "pop3_session_driver.exe"), *args], env=env, stdout=f,
                           stderr=subprocess.STDOUT, timeout=300)
        lines = log.read_bytes().decode("latin-1").splitlines() if log.exists() else []
        result = [l for l in lines if l.startswith("RESULT ")]
        assert result, f"no result; log: {lines}"
        return int(result[-1].split()[1]), lines

    def stored(self, user="alice"):
        """name -> bytes of every file in the user's inbox."""
        inbox = self.inbox(user)
        return {p.name: p.read_bytes() for p in sorted(inbox.iterdir())} if inbox.exists() else {}

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


def refuse_writes(database):
    """Makes the database refuse every insert and update, as a read-only file
    would; the tests run as root, which file permissions do not stop."""
    with sqlite3.connect(database) as db:
        for table in ("Servers", "Users", "UIDLs"):
            for action in ("INSERT", "UPDATE"):
                db.execute(f"CREATE TRIGGER refuse_{action}_{table} BEFORE {action} ON {table} "
                           "BEGIN SELECT RAISE(ABORT, 'attempt to write a readonly database'); END")


def counters(names):
    return sorted(int(NAME.match(n).group(1)) for n in names)


class Pop3AgainstDovecot(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = Path(tempfile.mkdtemp(prefix="kelvar-pop3-dovecot-"))
        cls.server = Dovecot(cls.folder, users={"alice": "secret", "bob": "secret", "carol": "secret"})
        cls.server.start()
        cls.expected = dict(MESSAGES, big=big_message(20 * 1024 * 1024 + 123, big_lines))
        start = int(time.time()) - 86400
        for i, data in enumerate(cls.expected.values()):
            cls.server.add_message("alice", "INBOX", data, mtime=start + i * 60)
        cls.server.resync("alice")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self):
        self.run_folder = Run("dovecot")

    def tearDown(self):
        self.run_folder.remove()

    def retr_counts(self, user):
        """retr=n of every finished POP3 session of the user, in order."""
        return [int(n) for n in re.findall(rf"pop3\({user}\).*?retr=(\d+)/", self.server.log_text())]

    def wait_retr_counts(self, user, sessions):
        return wait_for(lambda: len(self.retr_counts(user)) >= sessions and self.retr_counts(user), 10)

    def test_mailbox_is_migrated_byte_for_byte_once(self):
        run = self.run_folder
        run.create_database()
        before = len(self.retr_counts("alice"))
        started = time.monotonic()
        result, log = run.session(self.server.pop3_port)
        seconds = time.monotonic() - started
        self.assertEqual(result, 0, log)
        stored = run.stored()
        self.assertEqual(counters(stored), [1, 2, 3, 4, 5])
        digest = lambda data: hashlib.sha256(data).hexdigest()
        self.assertEqual(sorted(map(digest, stored.values())),
                         sorted(digest(stored_form(m)) for m in self.expected.values()))
        self.assertEqual(len(run.uidls()), 5)
        self.assertIn("SHOW Logging out", log)
        # Octets counted as LIST counts them: the dot lines and the 20 MB message agree with Dovecot's sizes.
        self.assertFalse([l for l in log if "where the listing said" in l])
        print(f"\nfirst run with a {len(self.expected['big'])}-byte message: {seconds:.1f} s", file=sys.stderr)

        result, log = run.session(self.server.pop3_port)
        self.assertEqual(result, 0, log)
        self.assertEqual(run.stored(), stored)
        self.assertEqual(self.wait_retr_counts("alice", before + 2)[before:], [5, 0])
        self.assertEqual(len(run.uidls()), 5)

    def test_pipelined_mailbox_is_migrated_byte_for_byte_once(self):
        run = self.run_folder
        run.create_database()
        before = len(self.retr_counts("alice"))
        result, log = run.session(self.server.pop3_port, extra=["--pipeline=16"])
        self.assertEqual(result, 0, log)
        self.assertIn("Pop32XRV Object The server takes pipelined commands: up to 16 at once", log)
        self.assertIn("Pop32XRV Object The answer to UIDL gave unique-ids for 5 of the 5 listed messages", log)
        stored = run.stored()
        self.assertEqual(counters(stored), [1, 2, 3, 4, 5])
        digest = lambda data: hashlib.sha256(data).hexdigest()
        self.assertEqual(sorted(map(digest, stored.values())),
                         sorted(digest(stored_form(m)) for m in self.expected.values()))
        self.assertEqual(len(run.uidls()), 5)

        result, log = run.session(self.server.pop3_port, extra=["--pipeline=16"])
        self.assertEqual(result, 0, log)
        self.assertEqual(run.stored(), stored)
        self.assertEqual(self.wait_retr_counts("alice", before + 2)[before:], [5, 0])
        self.assertIn("Pop32XRV Object Messages stored: 0, recognised as stored: 5, failed: 0; the account is migrated",
                      log)

    def test_pipelined_rerun_after_deletes_and_additions_stores_exactly_the_new_messages(self):
        run = self.run_folder
        run.create_database()
        messages = {i: b"Subject: carol %d\n\nbody of %d\n%s" % (i, i, b".dot line\n" * (i % 2)) for i in range(1, 9)}
        start = int(time.time()) - 86400
        paths = {i: self.server.add_message("carol", "INBOX", messages[i], mtime=start + i * 60) for i in range(1, 6)}
        self.server.resync("carol")
        before = len(self.retr_counts("carol"))
        result, log = run.session(self.server.pop3_port, user="carol", extra=["--pipeline=16"])
        self.assertEqual(result, 0, log)
        first = run.stored("carol")
        self.assertEqual(sorted(first.values()), sorted(stored_form(messages[i]) for i in range(1, 6)))

        # Two messages leave the server and three arrive: the rest move to new numbers.
        for i in (2, 4):
            paths[i].unlink()
        for i in (6, 7, 8):
            self.server.add_message("carol", "INBOX", messages[i], mtime=start + i * 60)
        self.server.resync("carol")
        result, log = run.session(self.server.pop3_port, user="carol", extra=["--pipeline=16"])
        self.assertEqual(result, 0, log)
        now = run.stored("carol")
        added = {name: data for name, data in now.items() if name not in first}
        self.assertEqual({name: now[name] for name in first}, first)
        self.assertEqual(sorted(added.values()), sorted(stored_form(messages[i]) for i in (6, 7, 8)))
        self.assertEqual(self.wait_retr_counts("carol", before + 2)[before:], [5, 3])
        self.assertEqual(len(run.uidls()), 8)

    def test_without_a_usable_database_nothing_is_retrieved_and_the_log_says_why(self):
        run = self.run_folder
        missing = run.path / "missing" / "mail2xrv.mdb"
        before = len(self.retr_counts("alice"))
        result, log = run.session(self.server.pop3_port, database=missing)
        self.assertEqual(result, 1, log)
        self.assertEqual(run.stored(), {})
        self.assertFalse(run.inbox().exists())
        self.assertEqual(self.wait_retr_counts("alice", before + 1)[before:], [0])
        said = [l for l in log if l.startswith("Pop32XRV Object Nothing is retrieved: the migration database")]
        self.assertEqual(len(said), 1, log)
        self.assertIn(str(missing), said[0])
        self.assertIn("connect failed", said[0])
        self.assertIn("Pop32XRV Object Messages stored: 0, recognised as stored: 0, failed: 0; the account is left "
                      "for the next run: the migration database cannot be used", log)

        # Looks up but refuses every write: the account's rows are there from an earlier run.
        run.create_database()
        with sqlite3.connect(run.database) as db:
            db.execute("INSERT INTO Servers ( ServerTypeID, Name ) VALUES (1, '127.0.0.1')")
            db.execute("INSERT INTO Users ( ServerID, Username ) VALUES (1, 'alice')")
        refuse_writes(run.database)
        result, log = run.session(self.server.pop3_port)
        self.assertEqual(result, 1, log)
        self.assertEqual(run.stored(), {})
        said = [l for l in log if l.startswith("Pop32XRV Object Nothing is retrieved")]
        self.assertEqual(len(said), 1, log)
        self.assertIn("attempt to write a readonly database", said[0])

    def test_empty_mailbox_completes_and_wrong_password_does_not(self):
        run = self.run_folder
        run.create_database()
        result, log = run.session(self.server.pop3_port, user="bob")
        self.assertEqual(result, 0, log)
        self.assertFalse(run.inbox("bob").exists())

        result, log = run.session(self.server.pop3_port, password="wrong")
        self.assertEqual(result, 1, log)
        self.assertTrue(any(l.startswith("Pop32XRV Object -ERR") for l in log), log)
        self.assertNotIn("SHOW Logging out", log)
        self.assertFalse(any("wrong" in l for l in log), log)
        self.assertEqual(run.stored(), {})


class Pop3AgainstScriptedServer(unittest.TestCase):
    MAILBOX = {
        1: ("first", b"Subject: one\r\n\r\nbody one\r\n"),
        2: ("second", b"Subject: two\r\n\r\n" + b"".join(b"line %04d of two\r\n" % i for i in range(3000))),
    }

    def setUp(self):
        self.run_folder = Run("scripted")
        self.run_folder.create_database()

    def tearDown(self):
        self.run_folder.remove()

    def test_connection_dropped_mid_message_leaves_nothing_and_next_run_completes(self):
        run = self.run_folder
        server = Pop3ScriptServer(self.MAILBOX, drop_in_retr={2: 20000}).start()
        try:
            result, log = run.session(server.port)
            self.assertEqual(result, 1, log)
            self.assertEqual(server.connections[0][-1], "RETR 2")
            self.assertIn("SHOW Connection closed", log)
            files = run.stored()
            self.assertEqual(counters(files), [1])  # no message file, no temporary one
            self.assertEqual(run.uidls(), ["first"])

            result, log = run.session(server.port)
            self.assertEqual(result, 0, log)
            self.assertEqual(server.connections[1][2:], ["LIST", "UIDL 1", "UIDL 2", "RETR 2", "QUIT"])
            files = run.stored()
            self.assertEqual(counters(files), [1, 2])
            self.assertEqual(sorted(files.values()), sorted(m[1] for m in self.MAILBOX.values()))
            self.assertEqual(run.uidls(), ["first", "second"])
        finally:
            server.stop()

    def test_pipelining_only_where_capa_lists_it(self):
        run = self.run_folder
        mailbox = {n: (f"uid-{n}", b"Subject: %d\r\n\r\nbody %d\r\n" % (n, n)) for n in range(1, 9)}
        for capa, pipelined in ((None, False), (["TOP", "UIDL"], False), (["UIDL", "PIPELINING"], True)):
            with self.subTest(capa=capa):
                server = Pop3ScriptServer(mailbox, capa=capa).start()
                try:
                    result, log = run.session(server.port, extra=["--pipeline=16"])
                    self.assertEqual(result, 0, log)
                    commands = server.connections[0]
                    self.assertEqual(commands[2], "CAPA")
                    self.assertEqual(commands[-1], "QUIT")
                    if pipelined:
                        self.assertTrue(server.pipelined, commands)
                        # One UIDL for the mailbox, then the RETRs.
                        self.assertEqual(commands[3:], ["LIST", "UIDL"] + [f"RETR {n}" for n in range(1, 9)] + ["QUIT"])
                    else:
                        # Checked from the server's side: never a command before the answer to the last.
                        self.assertEqual(server.pipelined, [])
                        self.assertEqual(commands[3:], ["LIST"] + [c for n in range(1, 9)
                                                                    for c in (f"UIDL {n}", f"RETR {n}")] + ["QUIT"])
                    self.assertEqual(sorted(run.stored().values()), sorted(m[1] for m in mailbox.values()))
                    if pipelined:
                        # Every unique-id recorded: a constant number of commands, no RETR.
                        result, log = run.session(server.port, extra=["--pipeline=16"])
                        self.assertEqual(result, 0, log)
                        self.assertEqual(server.connections[1][2:], ["CAPA", "LIST", "UIDL", "QUIT"])
                finally:
                    server.stop()
                shutil.rmtree(run.store, ignore_errors=True)
                run.database.unlink()
                run.create_database()

    def test_connection_dropped_with_a_full_window_leaves_nothing_partial(self):
        run = self.run_folder
        mailbox = {n: (f"uid-{n}", b"Subject: %d\r\n\r\n" % n + b"line of %d\r\n" % n * 300) for n in range(1, 21)}
        server = Pop3ScriptServer(mailbox, capa=["PIPELINING"], drop_in_retr={4: 1000}).start()
        try:
            result, log = run.session(server.port, extra=["--pipeline=16"])
            self.assertEqual(result, 1, log)
            self.assertEqual(server.connections[0][2:6], ["CAPA", "LIST", "UIDL", "RETR 1"])
            self.assertTrue(server.pipelined, server.connections[0])
            stored = run.stored()
            self.assertEqual(counters(stored), [1, 2, 3])  # no partial file, no temporary one
            self.assertEqual(run.uidls(), ["uid-1", "uid-2", "uid-3"])

            result, log = run.session(server.port, extra=["--pipeline=16"])
            self.assertEqual(result, 0, log)
            self.assertEqual(len([c for c in server.connections[1] if c.startswith("RETR")]), 17)
            self.assertEqual(sorted(run.stored().values()), sorted(m[1] for m in mailbox.values()))
            self.assertEqual(len(run.uidls()), 20)
        finally:
            server.stop()

    def test_messages_sharing_a_unique_id_are_both_stored_once(self):
        run = self.run_folder
        mailbox = dict(self.MAILBOX)
        mailbox[3] = ("first", b"Subject: three\r\n\r\nanother message, the same unique-id\r\n")
        server = Pop3ScriptServer(mailbox).start()
        try:
            result, log = run.session(server.port)
            self.assertEqual(result, 0, log)
            self.assertEqual(sorted(run.stored().values()), sorted(m[1] for m in mailbox.values()))
            self.assertIn("Pop32XRV Object Message 3 has the same unique-id as message 1 (first); both are kept", log)
            self.assertEqual(run.uidls(), ["first", "first 2", "second"])

            result, log = run.session(server.port)
            self.assertEqual(result, 0, log)
            self.assertNotIn("RETR", " ".join(server.connections[1]))
            self.assertEqual(len(run.stored()), 3)
        finally:
            server.stop()


class Pop3AgainstFaultyServers(unittest.TestCase):
    """Faults no real server makes on purpose: a body line "." sent without
    its doubled dot, and a database another program holds locked."""

    MAILBOX = {n: (f"uid-{n}", b"Subject: %d\r\n\r\nbody of %d\r\n" % (n, n) + b"filler line\r\n" * n)
               for n in range(1, 9)}
    MAILBOX[3] = ("uid-3", b"Subject: 3\r\n\r\nabove the dot\r\n.\r\nbelow the dot\r\n+OK\r\nend of 3\r\n")

    def setUp(self):
        self.run_folder = Run("faulty")
        self.run_folder.create_database()

    def tearDown(self):
        self.run_folder.remove()

    def assert_each_stored_under_its_own_unique_id(self, run):
        """Every recorded unique-id has its own message stored whole, and nothing else is stored."""
        by_uid = {uid: body for uid, body in self.MAILBOX.values()}
        recorded = run.uidls()
        self.assertEqual(sorted(run.stored().values()), sorted(by_uid[u] for u in recorded))
        return recorded

    def test_an_unstuffed_dot_line_ends_the_session_and_a_correct_server_completes_it(self):
        run = self.run_folder
        for pipeline in (None, 16):
            with self.subTest(pipeline=pipeline):
                extra = [f"--pipeline={pipeline}"] if pipeline else []
                capa = ["UIDL", "PIPELINING"] if pipeline else None
                server = Pop3ScriptServer(self.MAILBOX, capa=capa, unstuffed={3}).start()
                try:
                    result, log = run.session(server.port, extra=extra)
                finally:
                    server.stop()
                self.assertEqual(result, 1, log)
                self.assertTrue(any("Protocol error: the answer to" in l and "below the dot" in l for l in log), log)
                self.assertNotIn("uid-3", run.uidls())
                recorded = self.assert_each_stored_under_its_own_unique_id(run)
                if pipeline:
                    self.assertTrue(server.pipelined)
                else:
                    self.assertEqual(recorded, ["uid-1", "uid-2"])
                self.assertTrue(any(l.startswith("Pop32XRV Object Messages stored:") and "out of step" in l
                                    for l in log), log)

                good = Pop3ScriptServer(self.MAILBOX, capa=capa).start()
                try:
                    result, log = run.session(good.port, extra=extra)
                finally:
                    good.stop()
                self.assertEqual(result, 0, log)
                self.assertEqual(sorted(run.stored().values()), sorted(m[1] for m in self.MAILBOX.values()))
                self.assertEqual(run.uidls(), sorted(m[0] for m in self.MAILBOX.values()))
                self.assertEqual(len(run.stored()), len(self.MAILBOX))
                shutil.rmtree(run.store, ignore_errors=True)
                run.database.unlink()
                run.create_database()

    def test_a_unique_id_that_cannot_be_recorded_leaves_its_message_for_the_next_run(self):
        run = self.run_folder
        holder = {}

        def lock_at_retr_5(command):
            if command == "RETR 5" and "db" not in holder:
                db = sqlite3.connect(run.database, isolation_level=None, check_same_thread=False)
                db.execute("BEGIN EXCLUSIVE")
                holder["db"] = db

        server = Pop3ScriptServer(self.MAILBOX, on_command=lock_at_retr_5).start()
        try:
            # A short busy time-out and short pauses: the lock outlasts all three tries.
            result, log = run.session(server.port, odbc=";Timeout=200",
                                      extra=["--record-attempts=3", "--record-pause-ms=100"])
            self.assertIn("db", holder, server.connections)
            holder["db"].execute("ROLLBACK")
            holder["db"].close()
            self.assertEqual(result, 1, log)
            self.assertIn("Pop32XRV Object Message 5 is removed from the store again: its unique-id could not be "
                          "recorded; the next run retrieves it", log)
            self.assertEqual(self.assert_each_stored_under_its_own_unique_id(run),
                             ["uid-1", "uid-2", "uid-3", "uid-4"])

            result, log = run.session(server.port)
            self.assertEqual(result, 0, log)
            self.assertEqual([c for c in server.connections[1] if c.startswith("RETR")],
                             ["RETR 5", "RETR 6", "RETR 7", "RETR 8"])
            self.assertEqual(sorted(run.stored().values()), sorted(m[1] for m in self.MAILBOX.values()))
            self.assertEqual(run.uidls(), sorted(m[0] for m in self.MAILBOX.values()))
        finally:
            server.stop()
            if "db" in holder:
                holder["db"].close()

if __name__ == "__main__":
    unittest.main()

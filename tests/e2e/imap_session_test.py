"""The IMAP4 session end to end: Dovecot (or a scripted server) on loopback,
the session under Wine, the message files checked byte for byte."""
import calendar
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from collections import Counter
from pathlib import Path

from kelvar_e2e import TEST_BIN, WINE, big_message, to_windows_path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "fakes"))
from dovecot import Dovecot  # noqa: E402
from imap_script_server import ImapScriptServer  # noqa: E402

NAME = re.compile(r"^\d{14}(\d{4,})-0000000200000000([0-9A-F]{6,8})\.imap$")
SYS_FOLDERS = ";INBOX;Drafts;Trash;Sent;"
RECORDS = "migrated.uids"  # the store's record of which message each file holds
BASE = 1141826588  # an even second: BASE and BASE + 1 share a two-second slot


def big_lines(n):
    """8-bit bytes, long lines and response-like lines among the filler of a big message."""
    if n % 1009 == 0:
        return b"A004 OK FETCH completed %d" % n
    if n % 499 == 0:
        return b"* %d FETCH (BODY[] {12}" % n
    if n % 97 == 0:
        return b"Gr\xfc\xdfe \xc3\xa9t\xc3\xa9 %d\t" % n
    return None


def messages():
    """folder -> list of (mtime, bytes) as written into the maildir (LF line ends)."""
    long_line = b"".join(b"%05d," % i for i in range(3000))
    return {
        "INBOX": [
            (BASE, b"From: a@example.com\nSubject: plain\n\nHello\n"),
            (BASE + 10, b"Subject: 8bit\n\nCaf\xe9 na\xefve \t \n\xc3\xa9t\xc3\xa9\xa0\n" + long_line + b"\nend\n"),
            (BASE + 20, b"Subject: no final line end\n\nlast line)"),
            (BASE + 30, b"Subject: inject\n\nA004 OK FETCH completed\n* 5 FETCH (BODY[] {12}\nI001 OK FETCH\n"
                        b"A006 OK LOGOUT\n)\n"),
            (BASE + 40, b"Subject: slot one\n\nfirst of the slot\n"),
            (BASE + 41, b"Subject: slot two\n\nsecond of the slot\n"),
            (BASE + 50, big_message(20 * 1024 * 1024 + 77, big_lines)),
        ],
        "Work": [(BASE + 60, b"Subject: w1\n\nwork one\n"), (BASE + 70, b"Subject: w2\n\nwork two\n")],
        "Work/2005": [(BASE + 80, b"Subject: y1\n\nold work\n")],
        "Parent/Child": [(BASE + 90, b"Subject: c1\n\nchild\n")],
        "Sent": [(BASE + 100, b"Subject: s1\n\nsent\n")],
        "Junk": [(BASE + 110, b"Subject: j1\n\njunk\n")],
    }


def small_messages():
    return {
        "INBOX": [(BASE, b"Subject: b1\n\none\n"), (BASE + 10, b"Subject: b2\n\ntwo\n")],
        "Work": [(BASE + 20, b"Subject: b3\n\nthree\n")],
    }


def date_hex(unix):
    t = time.gmtime(unix)
    date = ((t.tm_year - 1980) << 9) | (t.tm_mon << 5) | t.tm_mday
    clock = (t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec // 2)
    return "%X" % ((date << 16) | clock)


def message_time(mtime, bias):
    """The server's wall clock (its INTERNALDATE) as UTC, shifted by whole hours of the bias."""
    return calendar.timegm(time.localtime(mtime)) + int(bias / 60) * 3600


def stored_file(mtime, data, bias):
    """The message file: header line, the message as served (CR LF) and the closing line."""
    served = data.replace(b"\n", b"\r\n")
    return b"0" * 16 + date_hex(message_time(mtime, bias)).encode() + b"\r\n" + served + b"\r\n"


class Run:
    """A store and the driver's logs."""

    def __init__(self, name):
        self.path = Path(tempfile.mkdtemp(prefix=f"kelvar-imap-{name}-"))
        os.chmod(self.path, 0o755)
        self.store = self.path / "store"
        self.runs = 0

    def user_dir(self, user="alice"):
        return self.store / "example.com" / user

    def session(self, port, user="alice", *extra, password="secret"):
        """Runs one session; returns (result, log lines, seconds)."""
        self.runs += 1
        log = self.path / f"session-{self.runs}.log"
        args = ["--host=127.0.0.1", f"--port={port}", f"--user={user}", f"--password={password}",
                f"--mail-path={to_windows_path(self.store)}", "--domain=example.com", f"--sys-folders={SYS_FOLDERS}",
                f"--log={to_windows_path(log)}", *extra]
        begun = time.monotonic()
        with open(self.path / f"session-{self.runs}.out", "wb") as f:
            subprocess.run(WINE + [str(TEST_BIN / "imap_session_driver.exe"), *args], stdout=f,
                           stderr=subprocess.STDOUT, timeout=500)
        seconds = time.monotonic() - begun
        lines = log.read_bytes().decode("latin-1").splitlines() if log.exists() else []
        result = [line for line in lines if line.startswith("RESULT ")]
        assert result, f"no result; log: {lines}"
        return int(result[-1].split()[1]), lines, seconds

    def files(self, user="alice"):
        """relative path -> (bytes, mtime) of every file under the user's directory but the record files."""
        root = self.user_dir(user)
        out = {}
        for path in sorted(root.rglob("*")) if root.exists() else []:
            if path.is_file() and path.name != RECORDS:
                out[str(path.relative_to(root))] = (path.read_bytes(), int(path.stat().st_mtime))
        return out

    def directories(self, user="alice"):
        root = self.user_dir(user)
        return sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_dir())

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


def bias_of(lines):
    return int(next(line for line in lines if line.startswith("BIAS ")).split()[1])


def logged(lines, text):
    return f"IMap2XRV Object {text}" in lines


class ImapAgainstDovecot(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = Path(tempfile.mkdtemp(prefix="kelvar-imap-dovecot-"))
        cls.server = Dovecot(cls.folder, users={"alice": "secret", "bob": "secret", "carol": "secret",
                                                   "dave": "secret"})
        cls.server.start()
        for user, mailbox in (("alice", messages()), ("bob", small_messages())):
            for folder, items in mailbox.items():
                for mtime, data in items:
                    cls.server.add_message(user, folder, data, mtime=mtime, flags="S" if user == "alice" else "")
            cls.server.resync(user)
        cls.server.doveadm("mailbox", "create", "-u", "alice", "Empty")
        cls.server.fix_ownership()
        listed = cls.server.doveadm("mailbox", "list", "-u", "alice").stdout.split()
        assert "Empty" in listed and "Parent/Child" in listed, listed

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self):
        self.run_ = Run(self._testMethodName)

    def tearDown(self):
        self.run_.remove()

    def check_store(self, files, mailbox, bias):
        """Every message once, byte for byte, under its dateHex, with its time."""
        local = {"INBOX": "inbox", "Sent": "Sent Items"}
        by_folder = {}
        for relative, (data, mtime) in files.items():
            folder, _, name = relative.rpartition("/")
            match = NAME.match(name)
            self.assertTrue(match, relative)
            by_folder.setdefault(folder, []).append((match.group(2), data, mtime))
        expected = {}
        for folder, items in mailbox.items():
            if folder == "Junk":
                continue
            expected[local.get(folder, folder)] = [
                (date_hex(message_time(m, bias)), stored_file(m, d, bias), message_time(m, bias)) for m, d in items]
        self.assertEqual(sorted(by_folder), sorted(expected))
        for folder, want in expected.items():
            got = by_folder[folder]
            self.assertEqual(len(got), len(want), folder)
            # Compared as multisets without printing 20 MB on a mismatch.
            self.assertEqual(Counter((h, hash(d), len(d), t) for h, d, t in got),
                             Counter((h, hash(d), len(d), t) for h, d, t in want), folder)

    def test_whole_mailbox_once_then_nothing(self):
        result, lines, seconds = self.run_.session(self.server.imap_port, "alice", "--exclude=Junk", "--create-empty=1")
        self.assertEqual(result, 0, "\n".join(lines[-30:]))
        bias = bias_of(lines)
        self.assertEqual(self.run_.directories(), sorted(
            ["inbox", "Work", "Work/2005", "Empty", "Parent", "Parent/Child", "Sent Items"]))
        files = self.run_.files()
        self.check_store(files, messages(), bias)
        self.assertTrue(logged(lines, "A000 LOGIN alice **********"))
        self.assertTrue(logged(lines, "Skipping the MailBox 'Junk'"))
        self.assertIn("SHOW Skipping the MailBox 'Junk'", lines)
        self.assertNotIn('A002 SELECT "Junk"', " ".join(lines))
        self.assertNotIn('A002 SELECT "Parent"', " ".join(lines))
        self.assertIn("SHOW Disconnected", lines)

        peak = next(line for line in lines if line.startswith("PEAK_WORKING_SET ")).split()
        growth = int(peak[2]) - int(peak[1])
        print(f"\npeak working set before/after the session: {peak[1]} / {peak[2]} bytes "
              f"(growth {growth / 1048576:.1f} MiB with a 20 MiB message); run took {seconds:.1f} s")
        self.assertLess(growth, 8 * 1024 * 1024)

        result, lines, _ = self.run_.session(self.server.imap_port, "alice", "--exclude=Junk", "--create-empty=1")
        self.assertEqual(result, 0)
        self.assertEqual(self.run_.files(), files)
        total = sum(len(v) for k, v in messages().items() if k != "Junk")
        for n in range(1, total + 1):
            self.assertTrue(logged(lines, f"Skipping message #{n}"), n)
        self.assertFalse([line for line in lines if "A004 FETCH" in line])

    def test_pipelined_whole_mailbox_once_then_nothing(self):
        options = ("--exclude=Junk", "--create-empty=1", "--pipeline=16")
        result, lines, seconds = self.run_.session(self.server.imap_port, "alice", *options)
        self.assertEqual(result, 0, "\n".join(l for l in lines if "Object" in l))
        files = self.run_.files()
        self.check_store(files, messages(), bias_of(lines))
        total = sum(len(v) for k, v in messages().items() if k != "Junk")
        self.assertEqual(len([line for line in lines if line.endswith(" (BODY.PEEK[])")]), total)
        self.assertFalse([line for line in lines if "A004 FETCH" in line or "I001" in line])
        peak = next(line for line in lines if line.startswith("PEAK_WORKING_SET ")).split()
        print(f"\npipelined: {seconds:.1f} s, working set growth {(int(peak[2]) - int(peak[1])) / 1048576:.1f} MiB")
        self.assertLess(int(peak[2]) - int(peak[1]), 8 * 1024 * 1024)

        # The second run lists nothing and fetches no body: SELECT and UID SEARCH per folder.
        result, lines, _ = self.run_.session(self.server.imap_port, "alice", *options)
        self.assertEqual(result, 0)
        self.assertEqual(self.run_.files(), files)
        for n in range(1, total + 1):
            self.assertTrue(logged(lines, f"Skipping message #{n}"), n)
        self.assertFalse([line for line in lines if " UID FETCH " in line or "A004 FETCH" in line])

    def test_pipelined_rerun_after_two_deleted_and_three_added_stores_exactly_the_three(self):
        port = self.server.imap_port
        first = [b"Subject: d%d\n\nfirst batch %d\n" % (i, i) for i in range(6)]
        for i, data in enumerate(first):
            self.server.add_message("dave", "INBOX", data, mtime=BASE + 400 + 10 * i)
        self.server.resync("dave")
        self.server.fix_ownership()
        result, lines, _ = self.run_.session(port, "dave", "--pipeline=16")
        self.assertEqual(result, 0, "\n".join(lines[-30:]))
        self.assertEqual(len(self.run_.files("dave")), 6)

        self.server.doveadm("expunge", "-u", "dave", "mailbox", "INBOX", "uid", "2")
        self.server.doveadm("expunge", "-u", "dave", "mailbox", "INBOX", "uid", "5")
        added = [b"Subject: e%d\n\nsecond batch %d\n" % (i, i) for i in range(3)]
        for i, data in enumerate(added):
            self.server.add_message("dave", "INBOX", data, mtime=BASE + 500 + 10 * i)
        self.server.resync("dave")
        self.server.fix_ownership()
        result, lines, _ = self.run_.session(port, "dave", "--pipeline=16")
        self.assertEqual(result, 0, "\n".join(lines[-30:]))
        fetched = [line for line in lines if line.endswith(" (BODY.PEEK[])")]
        self.assertEqual(len(fetched), 3, fetched)
        self.assertEqual(len([line for line in lines if "Skipping message #" in line]), 4)
        bias = bias_of(lines)
        stored = Counter(data for data, _ in self.run_.files("dave").values())
        want = Counter(stored_file(BASE + 400 + 10 * i, d, bias) for i, d in enumerate(first))
        want.update(stored_file(BASE + 500 + 10 * i, d, bias) for i, d in enumerate(added))
        self.assertEqual(stored, want)

    def test_mark_deleted_as_the_server_sees_it(self):
        port = self.server.imap_port
        result, lines, _ = self.run_.session(port, "bob", "--mark-deleted=1")
        self.assertEqual(result, 0, "\n".join(lines[-30:]))
        files = self.run_.files("bob")
        self.assertEqual(len(files), 3)
        for folder in ("INBOX", "Work"):
            flags = self.server.flags("bob", folder)
            self.assertTrue(flags and all("\\Deleted" in f for f in flags), (folder, flags))
            # Fetched with BODY.PEEK[]: the messages stay unread.
            self.assertFalse([f for f in flags if "\\Seen" in f], flags)

        # Deleted messages are not searched for again...
        result, lines, _ = self.run_.session(port, "bob", "--mark-deleted=1")
        self.assertEqual(result, 0)
        self.assertIn("IMap2XRV Object A003 SEARCH NOT DELETED", lines)
        self.assertFalse([line for line in lines if "Skipping message" in line or "A004 FETCH" in line])
        # ...unless asked for, and then recognised as stored.
        result, lines, _ = self.run_.session(port, "bob", "--migrate-deleted=1")
        self.assertEqual(result, 0)
        self.assertIn("IMap2XRV Object A003 SEARCH ALL", lines)
        self.assertEqual(len([line for line in lines if "Skipping message #" in line]), 3)
        self.assertEqual(self.run_.files("bob"), files)

    def test_messages_deleted_and_added_in_one_slot_between_runs(self):
        """Copy now, copy the rest at cut-over: every message that ever existed is stored once."""
        slot = [b"Subject: c%d\n\nslot mate %d\n" % (i, i) for i in range(4)]
        for data in slot[:3]:
            self.server.add_message("carol", "INBOX", data, mtime=BASE + 200)
        self.server.resync("carol")
        self.server.fix_ownership()
        port = self.server.imap_port
        result, lines, _ = self.run_.session(port, "carol")
        self.assertEqual(result, 0, "\n".join(lines[-30:]))
        self.assertEqual(len(self.run_.files("carol")), 3)

        # Another client deletes the first of the slot; a new one arrives in it.
        self.server.doveadm("expunge", "-u", "carol", "mailbox", "INBOX", "uid", "1")
        self.server.add_message("carol", "INBOX", slot[3], mtime=BASE + 201)
        self.server.resync("carol")
        self.server.fix_ownership()
        result, lines, _ = self.run_.session(port, "carol")
        self.assertEqual(result, 0, "\n".join(lines[-30:]))
        self.assertEqual(len([line for line in lines if "A004 FETCH" in line]), 1)
        self.assertEqual(len([line for line in lines if "Skipping message #" in line]), 2)
        bias = bias_of(lines)
        stored = Counter(data for data, _ in self.run_.files("carol").values())
        want = Counter(stored_file(BASE + 200, d, bias) for d in slot[:3])
        want[stored_file(BASE + 201, slot[3], bias)] += 1
        self.assertEqual(stored, want)
        records = (self.run_.user_dir("carol") / "inbox" / RECORDS).read_bytes().decode().splitlines()
        self.assertEqual(len([line for line in records if not line.startswith("#")]), 4)

        # And the verification against the server: nothing missing, nothing doubled.
        result, lines, _ = self.run_.session(port, "carol")
        self.assertEqual(result, 0)
        self.assertFalse([line for line in lines if "A004 FETCH" in line])
        self.assertEqual(len([line for line in lines if "Skipping message #" in line]), 3)

    def test_refused_login_is_not_a_migrated_account(self):
        result, lines, _ = self.run_.session(self.server.imap_port, "bob", password="wrong pass")
        self.assertEqual(result, 1)
        self.assertIn("IMap2XRV Object A000 LOGIN bob **********", lines)
        self.assertIn("SHOW Disconnected", lines)
        self.assertNotIn("wrong pass", "\n".join(lines))
        self.assertEqual(self.run_.files("bob"), {})


SCRIPTED = {
    "INBOX": [
        ("01-Feb-2005 10:00:00 +0000", b"Subject: one\r\n\r\nfirst\r\n"),
        ("01-Feb-2005 10:00:10 +0000", b"Subject: two\r\n\r\n" + b"second message body line\r\n" * 200),
        ("01-Feb-2005 10:00:20 +0000", b"Subject: three\r\n\r\nthird\r\n"),
    ],
}


class ImapAgainstScriptedServer(unittest.TestCase):
    def setUp(self):
        self.run_ = Run(self._testMethodName)
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            server.stop()
        self.run_.remove()

    def serve(self, **options):
        server = ImapScriptServer(SCRIPTED, **options).start()
        self.servers.append(server)
        return server

    def test_connection_dropped_in_a_body_leaves_nothing_stored(self):
        server = self.serve(drop_in_body={("INBOX", 2): 1500})
        result, lines, _ = self.run_.session(server.port, "alice")
        self.assertEqual(result, 1, "\n".join(lines[-20:]))
        inbox = self.run_.user_dir() / "inbox"
        self.assertEqual([p.name for p in inbox.iterdir() if not NAME.match(p.name) and p.name != RECORDS], [])
        first = self.run_.files()
        self.assertEqual(len(first), 1)
        self.assertIn(b"first\r\n", next(iter(first.values()))[0])

        result, lines, _ = self.run_.session(server.port, "alice")
        self.assertEqual(result, 0, "\n".join(lines[-20:]))
        self.assertTrue(logged(lines, "Skipping message #1"))
        bodies = sorted(data for data, _ in self.run_.files().values())
        bias = bias_of(lines)
        want = []
        for date, data in SCRIPTED["INBOX"]:
            wall = calendar.timegm(time.strptime(date[:20], "%d-%b-%Y %H:%M:%S")) + int(bias / 60) * 3600
            want.append(b"0" * 16 + date_hex(wall).encode() + b"\r\n" + data + b"\r\n")
        self.assertEqual(bodies, sorted(want))

    def test_connection_dropped_with_a_full_window_leaves_nothing_partial(self):
        mailbox = {"INBOX": [(f"01-Feb-2005 10:{i // 30:02d}:{2 * (i % 30):02d} +0000",
                              b"Subject: m%d\r\n\r\n" % i + b"line of message %d\r\n" % i * (20 + 40 * i))
                             for i in range(30)]}
        server = ImapScriptServer(mailbox, drop_in_body={("INBOX", 6): 700}).start()
        self.servers.append(server)
        result, lines, _ = self.run_.session(server.port, "alice", "--pipeline=16")
        self.assertEqual(result, 1, "\n".join(lines[-20:]))
        first = server.connections[-1]
        # One listing for the folder, then the bodies by UID, each with a tag of its own; the window was
        # full when the connection dropped: bodies of later messages had been asked for (the server
        # never read them).
        transfer = [c.split(" ", 1)[1] for c in first if c.startswith("T")]
        self.assertEqual(transfer[0], "UID FETCH 101:130 (INTERNALDATE)")
        self.assertEqual(len({c.split(" ", 1)[0] for c in first if c.startswith("T")}), len(transfer))
        self.assertTrue([line for line in lines if line.endswith(" UID FETCH 116 (BODY.PEEK[])")])
        inbox = self.run_.user_dir() / "inbox"
        self.assertEqual([p.name for p in inbox.iterdir() if not NAME.match(p.name) and p.name != RECORDS], [])
        stored = self.run_.files()
        self.assertEqual(len(stored), 5, "\n".join(l for l in lines if "Object" in l))

        result, lines, _ = self.run_.session(server.port, "alice", "--pipeline=16")
        self.assertEqual(result, 0, "\n".join(lines[-20:]))
        for n in range(1, 6):
            self.assertTrue(logged(lines, f"Skipping message #{n}"), n)
        self.assertEqual(len([c for c in server.connections[-1] if c.endswith("(BODY.PEEK[])")]), 25)
        bodies = sorted(data.split(b"\r\n", 1)[1] for data, _ in self.run_.files().values())
        self.assertEqual(bodies, sorted(data + b"\r\n" for _, data in mailbox["INBOX"]))

    def test_mark_deleted_over_two_runs_with_a_body_refused_in_the_first(self):
        slot = {"INBOX": [("01-Feb-2005 10:00:00 +0000", b"Subject: one\r\n\r\nfirst\r\n"),
                          ("01-Feb-2005 10:00:01 +0000", b"Subject: two\r\n\r\nsecond of the slot\r\n"),
                          ("01-Feb-2005 10:00:20 +0000", b"Subject: three\r\n\r\nthird\r\n")]}
        server = ImapScriptServer(slot, refuse_body={("INBOX", 102)}).start()
        self.servers.append(server)
        result, lines, _ = self.run_.session(server.port, "alice", "--mark-deleted=1")
        self.assertEqual(result, 1, "\n".join(lines[-20:]))
        self.assertEqual(server.deleted, {("INBOX", 101), ("INBOX", 103)})
        self.assertEqual(len(self.run_.files()), 2)

        result, lines, _ = self.run_.session(server.port, "alice", "--mark-deleted=1")
        self.assertEqual(result, 0, "\n".join(lines[-20:]))
        self.assertEqual(server.connections[-1].count("A003 SEARCH NOT DELETED"), 2)
        self.assertIn("A004 FETCH 2 (BODY.PEEK[])", server.connections[-1])
        self.assertEqual(server.deleted, {("INBOX", 101), ("INBOX", 102), ("INBOX", 103)})
        bodies = sorted(data.split(b"\r\n", 1)[1] for data, _ in self.run_.files().values())
        self.assertEqual(bodies, sorted(data + b"\r\n" for _, data in slot["INBOX"]))

    def test_a_server_echoing_the_password_does_not_put_it_in_the_log(self):
        server = self.serve(echo_refused_login=True, login_refusal="for the next run")
        # A quoted string with escapes, "%s" and a blank; then a password that is part of a word.
        for password, form in (('Zq9%s"x y\\\\', "Zq9"), ("hunter2 pass", "hunter2"), ("ext", " ext ")):
            result, lines, _ = self.run_.session(server.port, "alice", password=password)
            self.assertEqual(result, 1)
            text = "\n".join(lines)
            self.assertNotIn(form, text)
            self.assertIn("A000 LOGIN alice ********** rejected for the next run", text)
        self.assertEqual(server.connections[0][0], 'A000 LOGIN alice "Zq9%s\\"x y\\\\\\\\"')

    def test_a_line_without_end_is_refused_before_memory_runs_out(self):
        server = self.serve(flood=20 * 1024 * 1024)
        result, lines, seconds = self.run_.session(server.port, "alice", "--wait-ms=300", "--timeouts=2")
        self.assertEqual(result, 1)
        self.assertTrue(logged(lines, "The server sent more than 4194304 bytes without a line end; the session ends"),
                        lines[-10:])
        peak = next(line for line in lines if line.startswith("PEAK_WORKING_SET ")).split()
        self.assertLess(int(peak[2]), 64 * 1024 * 1024)
        self.assertLess(seconds, 60)
        self.assertFalse([line for line in lines if len(line) > 1200])

    def test_a_search_answer_longer_than_the_line_bound_is_read(self):
        # Five megabytes in one SEARCH line (the blanks stand in for the
        # numbers of a folder of 700,000 messages); other lines stay bounded.
        server = self.serve(search_padding=5 * 1024 * 1024)
        result, lines, _ = self.run_.session(server.port, "alice")
        self.assertEqual(result, 0, "\n".join(lines[-20:]))
        self.assertEqual(len(self.run_.files()), 3)
        self.assertFalse([line for line in lines if "without a line end" in line])
        peak = next(line for line in lines if line.startswith("PEAK_WORKING_SET ")).split()
        self.assertLess(int(peak[2]), 64 * 1024 * 1024)

    def test_a_message_whose_bookkeeping_headers_were_rewritten_is_not_stored_again(self):
        # A mailbox-file server: another client expunges A, the folder gets a
        # new UIDVALIDITY and B's X-IMAPbase, X-UID and Status are rewritten.
        def b_with(base, uid, status):
            return (b"X-IMAPbase: %s\r\nX-UID: %d\r\nStatus: %s\r\nSubject: B\r\n\r\nStatus: kept in the body\r\n"
                    % (base, uid, status))
        a = b"X-IMAPbase: 1700000000 0000000003\r\nX-UID: 1\r\nStatus: RO\r\nSubject: A\r\n\r\nbody A\r\n"
        mailbox = {"INBOX": [("01-Feb-2005 10:00:00 +0000", a),
                             ("01-Feb-2005 10:00:01 +0000", b_with(b"1700000000 0000000003", 2, b"RO"))]}
        server = ImapScriptServer(mailbox).start()
        self.servers.append(server)
        result, lines, _ = self.run_.session(server.port, "alice")
        self.assertEqual(result, 0, "\n".join(lines[-20:]))
        first = self.run_.files()
        self.assertEqual(len(first), 2)

        server.uid_validity = 8
        server.mailbox["INBOX"] = [("01-Feb-2005 10:00:01 +0000", b_with(b"1700000777 0000000002", 1, b"O"))]
        result, lines, _ = self.run_.session(server.port, "alice")
        self.assertEqual(result, 0, "\n".join(lines[-20:]))
        self.assertIn("A004 FETCH 1 (BODY.PEEK[])", server.connections[-1])  # fetched and compared
        self.assertTrue(logged(lines, "Skipping message #1"))
        self.assertEqual(self.run_.files(), first)

        # A change in the body is another message.
        server.mailbox["INBOX"] = [("01-Feb-2005 10:00:01 +0000",
                                    b_with(b"1700000777 0000000002", 1, b"O").replace(b"kept", b"changed"))]
        server.uid_validity = 9
        result, lines, _ = self.run_.session(server.port, "alice")
        self.assertEqual(result, 0, "\n".join(lines[-20:]))
        self.assertEqual(len(self.run_.files()), 3)

    def test_silence_ends_with_the_time_out(self):
        server = self.serve(silent=True)
        result, lines, seconds = self.run_.session(server.port, "alice", "--wait-ms=300", "--timeouts=2")
        self.assertEqual(result, 1)
        self.assertTrue([line for line in lines if "Timed out waiting for server - " in line], lines)
        self.assertLess(seconds, 60)


if __name__ == "__main__":
    unittest.main()

"""A whole organisation in one run, end to end: several accounts at once
against a real Dovecot, an account that reconnects after dropped connections
and after a throttling answer, Cancel while accounts wait to try again, the
run's report, and a check of the whole list."""
import csv
import io
import re
import shutil
import sqlite3
import sys
import tempfile
import time
import unittest
from pathlib import Path

from kelvar_e2e import Program, RunFolder, crlf, dialogctl, inspect_dialog, to_windows_path, wait_for

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fakes"))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "demo"))
from dovecot import Dovecot  # noqa: E402
from imap_script_server import ImapScriptServer  # noqa: E402
from pop3_script_server import Pop3ScriptServer  # noqa: E402
import sample_mail  # noqa: E402

BANNER = "*" * 80
USERS = {"alice": "alice-pw", "bob": "bob-pw", "carol": "carol-pw", "dave": "dave-pw", "erin": "erin-pw"}
WRONG_PASSWORD = "carol-bad-pw"
# server folder -> local folder, with SYS_FOLDERS mapping INBOX and Sent
ALICE = {("INBOX", "inbox"): 12, ("Work", "Work"): 4, ("Work/2005", "Work/2005"): 6, ("Sent", "Sent Items"): 3}
ERIN = {("INBOX", "inbox"): 40, ("Archive", "Archive"): 20}
POP3_USERS = {"bob": 7, "dave": 9}
COLUMNS = ["Section", "User", "Domain", "Protocol", "Outcome", "Messages stored", "Recognised as stored", "Failed",
           "Bytes stored", "Seconds", "Retries", "Reason", "Folders", "Messages to copy", "Bytes to copy"]
# The six accounts: good ones of both kinds, a wrong password and a user name
# that would lead out of the store.
SIX_ACCOUNTS = ("[1]\nU=alice\nP=alice-pw\nD=example.com\nA=1\nStatus=0\n"
                "[2]\nU=bob\nP=bob-pw\nD=example.com\nA=2\nStatus=0\n"
                f"[3]\nU=carol\nP={WRONG_PASSWORD}\nD=example.com\nA=1\nStatus=0\n"
                "[4]\nU=..\\x\nP=alice-pw\nD=example.com\nA=1\nStatus=0\n"
                "[5]\nU=dave\nP=dave-pw\nD=example.com\nA=2\nStatus=0\n"
                "[6]\nU=erin\nP=erin-pw\nD=example.com\nA=1\nStatus=0\n")
GOOD = {1: "alice", 2: "bob", 5: "dave", 6: "erin"}
DATE = "17-Jul-1996 02:44:25 +0000"
LONG_WAIT = "Suggested Backoff Time: 600000 milliseconds"


def scripted_message(n, size=900):
    body = b"".join(b"line %05d of message %d\r\n" % (i, n) for i in range(size // 24 + 1))
    return b"From: a@example.com\r\nSubject: m%d\r\n\r\n" % n + body


def read_report(data):
    """The report's header and rows (dicts by column name), read as the CSV it must be."""
    reader = csv.reader(io.StringIO(data.decode("cp1252"), newline=""))
    rows = list(reader)
    header = rows[0]
    return header, [dict(zip(header, row)) for row in rows[1:]]


class ManyAccounts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server_dir = Path(tempfile.mkdtemp(prefix="kelvar-many-dovecot-"))
        cls.server = Dovecot(cls.server_dir, USERS).start()
        cls.sources = {}  # (user, local folder) -> [message bytes as written, LF line ends]
        seed = 9000
        for user, folders in (("alice", ALICE), ("erin", ERIN), ("carol", {("INBOX", "inbox"): 2})):
            for (folder, local), count in folders.items():
                for _ in range(count):
                    seed += 1
                    data = sample_mail.message(seed, 1200 + seed % 6000)
                    cls.server.add_message(user, folder, data, mtime=1141826589 + seed * 60)
                    cls.sources.setdefault((user, local), []).append(data)
        for user, count in POP3_USERS.items():
            for _ in range(count):
                seed += 1
                data = sample_mail.message(seed, 1500 + seed % 4000)
                cls.server.add_message(user, "INBOX", data, mtime=1141826589 + seed * 60)
                cls.sources.setdefault((user, "inbox"), []).append(data)
        for user in USERS:
            cls.server.resync(user)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.server_dir, ignore_errors=True)

    def setUp(self):
        self.folder = RunFolder("many")
        self.programs = []
        self.scripted = []
        self.store = self.folder.path / "store"
        self.database = self.folder.create_database()

    def tearDown(self):
        for p in self.programs:
            p.kill()
        for s in self.scripted:
            s.stop()
        self.folder.remove()

    # --- helpers ------------------------------------------------------------
    def configure(self, run_keys, imap_port=None, pop3_port=None):
        self.folder.write_config(
            f"[SOURCE_SERVER]\nNAME_IP=127.0.0.1\nIMAP_PORT={imap_port or self.server.imap_port}\n"
            f"POP3_PORT={pop3_port or self.server.pop3_port}\n"
            f"[CONFIG]\nMAIL_PATH={to_windows_path(self.store)}\nSYS_FOLDERS=;INBOX;Drafts;Trash;Sent;\n{run_keys}")

    def start(self):
        program = Program(self.folder)
        self.programs.append(program)
        return program

    def run_program(self, timeout=300):
        return self.start().wait(timeout)

    def scripted_server(self, server):
        self.scripted.append(server.start())
        return server

    def report(self):
        """The header and rows of the run's report; the logs folder holds only logs and reports (the report
        is written through a temporary name, which must be gone)."""
        logs = self.folder.path / "logs"
        strays = [p.name for p in logs.iterdir() if not re.fullmatch(r"\d{8}_(kelvard\.log|\d{6}_report\.csv)", p.name)]
        self.assertEqual(strays, [], "nothing but daily logs and reports in the logs folder")
        reports = sorted(logs.glob("*_report.csv"))
        self.assertTrue(reports, "the run wrote its report")
        data = reports[-1].read_bytes()
        self.assertTrue(data.endswith(b"\r\n"), "the report is whole")
        header, rows = read_report(data)
        self.assertEqual(header, COLUMNS)
        return rows

    def assert_row(self, row, section, user, protocol, outcome, **numbers):
        self.assertEqual((row["Section"], row["User"], row["Domain"], row["Protocol"], row["Outcome"]),
                         (str(section), user, "example.com", protocol, outcome), row)
        for column, value in numbers.items():
            self.assertEqual(row[column.replace("_", " ").capitalize()], str(value), f"{column} of {row}")
        self.assertRegex(row["Seconds"], r"^\d+$")

    def store_files(self, user, local_folder):
        folder = self.store / "example.com" / user / local_folder
        return sorted(folder.glob("*.imap")) if folder.exists() else []

    def stored_bytes(self, user):
        return sum(p.stat().st_size for p in (self.store / "example.com" / user).rglob("*.imap"))

    def assert_imap_folder(self, user, local_folder, expected):
        """Each message once, byte for byte: the stored file is a header line, the message as served (CR LF)
        and a closing line end."""
        bodies = sorted(f.read_bytes().partition(b"\r\n")[2] for f in self.store_files(user, local_folder))
        self.assertEqual(bodies, sorted(m + b"\r\n" for m in expected), f"{user} {local_folder}")

    def assert_pop3_inbox(self, user, expected):
        self.assertEqual(sorted(f.read_bytes() for f in self.store_files(user, "inbox")), sorted(expected), user)

    def retry_lines(self):
        return [l for l in self.folder.log_texts() if re.search(r"Retry \d+ of \d+ for account \[", l)]

    def assert_closed_log(self):
        lines = self.folder.log_texts()
        self.assertEqual(lines[:2], [BANNER, "KELVAR.Exe Log File"])
        self.assertEqual(lines[-1], BANNER)
        return lines

    def assert_summary(self, lines, accounts):
        """The run's closing lines, which a run with any of the new keys ends with."""
        self.assertTrue(any(l.endswith(accounts) for l in lines), f"no line ends with {accounts!r}")

    # --- several accounts at once ------------------------------------------------
    def test_six_accounts_four_at_once_against_dovecot(self):
        # RETRIES is given too: a refused password must still be tried only once.
        self.configure("PARALLEL=4\nRETRIES=2\n")
        self.folder.write_accounts(SIX_ACCOUNTS)
        self.assertEqual(self.run_program(), 0)

        self.assertEqual([self.folder.status(i) for i in range(1, 7)], ["1", "1", "0", "0", "1", "1"])
        for user, folders in (("alice", ALICE), ("erin", ERIN)):
            for (_, local), _ in folders.items():
                self.assert_imap_folder(user, local, [crlf(m) for m in self.sources[(user, local)]])
        for user in POP3_USERS:
            self.assert_pop3_inbox(user, [crlf(m) for m in self.sources[(user, "inbox")]])
        self.assertEqual(list(self.store.rglob("*.partial")), [])
        self.assertFalse((self.store / "example.com" / "carol").exists() and
                         list((self.store / "example.com" / "carol").rglob("*.imap")))
        self.assertFalse((self.store / "x").exists(), "nothing is written outside the domain's folder")
        self.assertFalse((self.folder.path / "x").exists())
        with sqlite3.connect(self.database) as db:
            uidls = db.execute("SELECT COUNT(*), COUNT(DISTINCT UserID || ' ' || Uidl) FROM UIDLs").fetchone()
        self.assertEqual(uidls, (sum(POP3_USERS.values()),) * 2, "each POP3 message recorded once for its user")

        rows = self.report()
        self.assertEqual([r["Section"] for r in rows], ["1", "2", "3", "4", "5", "6"], "list order")
        counts = {1: sum(ALICE.values()), 2: POP3_USERS["bob"], 5: POP3_USERS["dave"], 6: sum(ERIN.values())}
        for section, user in GOOD.items():
            self.assert_row(rows[section - 1], section, user, "IMAP" if section in (1, 6) else "POP3", "migrated",
                            messages_stored=counts[section], recognised_as_stored=0, failed=0,
                            bytes_stored=self.stored_bytes(user), retries=0)
            self.assertEqual(rows[section - 1]["Reason"], "")
        carol = rows[2]
        self.assert_row(carol, 3, "carol", "IMAP", "left for the next run", messages_stored=0, retries=0)
        self.assertTrue(carol["Reason"].startswith("the server refused the sign-in"), carol)
        unsafe = rows[3]
        self.assert_row(unsafe, 4, "..\\x", "IMAP", "skipped", messages_stored=0, retries=0)
        self.assertIn('cannot be a folder of the store', unsafe["Reason"])

        lines = self.assert_closed_log()
        written = "\n".join(lines) + "".join(p.read_text("cp1252") for p in (self.folder.path / "logs").glob("*.csv"))
        for password in list(USERS.values()) + [WRONG_PASSWORD]:
            self.assertNotIn(password, written)
        self.assertEqual(sum(1 for l in lines if "LOGIN carol" in l), 1, "a refused password is never tried again")
        self.assertEqual(self.retry_lines(), [])
        # Every session line names its account, so one account's story is one search away.
        tagged = re.compile(r"^(IMap2XRV|Pop32XRV) Object \[(\d) ([^\]]*)\] ")
        session_lines = [l for l in lines if l.startswith(("IMap2XRV Object", "Pop32XRV Object"))]
        untagged = [l for l in session_lines if not tagged.match(l)]
        self.assertEqual(untagged, [], "session lines without their account")
        for line in session_lines:
            section, user = tagged.match(line).group(2, 3)
            self.assertEqual(user, {**GOOD, 3: "carol"}.get(int(section)), line)
        for section, user in GOOD.items():
            mine = [l for l in lines if f"[{section} {user}]" in l]
            self.assertTrue(any(l.endswith("Connected to the host server") for l in mine), user)
            if section in (1, 6):
                logins = [l for l in lines if f"LOGIN {user}" in l]
                self.assertTrue(logins and all(f"[{section} {user}]" in l for l in logins), user)
        self.assert_summary(lines, "Accounts: 6, 4 migrated, 1 left for the next run, 1 skipped")
        stored = sum(counts.values())
        self.assertTrue(any(l.endswith(f"Messages: {stored} stored, 0 recognised as stored, 0 failed") for l in lines))
        total = sum(self.stored_bytes(user) for user in GOOD.values())
        self.assertTrue(any(l.endswith(f"Bytes stored: {total}") for l in lines))

        # The next run finds the four migrated and tries the others again.
        self.assertEqual(self.run_program(), 0)
        rows = self.report()
        self.assertEqual([r["Outcome"] for r in rows], ["already migrated", "already migrated", "left for the next run",
                                                        "skipped", "already migrated", "already migrated"])
        self.assertEqual(sum(len(self.store_files("alice", local)) for (_, local) in ALICE), sum(ALICE.values()))

    def test_check_only_two_at_once_counts_every_account_and_writes_nothing(self):
        self.configure("PARALLEL=2\nCHECK_ONLY=1\n")
        self.folder.write_accounts(SIX_ACCOUNTS)
        accounts_before = (self.folder.path / "import" / "accounts.ini").read_bytes()
        database_before = self.database.read_bytes()
        self.assertEqual(self.run_program(), 0)

        self.assertFalse(self.store.exists() and any(self.store.rglob("*")), "nothing is created in the store")
        self.assertEqual((self.folder.path / "import" / "accounts.ini").read_bytes(), accounts_before, "no Status")
        self.assertEqual(self.database.read_bytes(), database_before, "the database is untouched")
        rows = self.report()
        self.assertEqual([r["Outcome"] for r in rows], ["checked", "checked", "left for the next run", "skipped",
                                                        "checked", "checked"])
        expected = {1: ALICE, 6: ERIN}
        for section, user in GOOD.items():
            if section in expected:
                sources = [m for (_, local) in expected[section] for m in self.sources[(user, local)]]
                folders = len(expected[section])
            else:
                sources, folders = self.sources[(user, "inbox")], 1
            # Nothing of the store is there yet: nothing is recognised as stored.
            self.assert_row(rows[section - 1], section, user, "IMAP" if section in expected else "POP3", "checked",
                            messages_stored=0, recognised_as_stored=0, failed=0, bytes_stored=0, retries=0)
            row = rows[section - 1]
            self.assertEqual((row["Folders"], row["Messages to copy"], row["Bytes to copy"]),
                             (str(folders), str(len(sources)), str(sum(len(crlf(m)) for m in sources))), row)
        self.assertTrue(rows[2]["Reason"].startswith("the server refused the sign-in"), rows[2])
        lines = self.assert_closed_log()
        self.assert_summary(lines, "Accounts: 6, 4 checked, 1 left for the next run, 1 skipped")
        self.assertFalse([l for l in lines if "SELECT" in l or "BODY.PEEK" in l or "RETR" in l])

    # --- reconnecting within the run ----------------------------------------------
    def test_an_imap_account_dropped_twice_mid_folder_is_migrated_in_one_run(self):
        mailbox = {"INBOX": [(DATE, scripted_message(n)) for n in range(1, 9)],
                   "Work": [(DATE, scripted_message(n)) for n in range(9, 11)]}
        server = self.scripted_server(ImapScriptServer(mailbox, drop_after_bodies=3, dropping_connections=2))
        self.configure("RETRIES=3\n", imap_port=server.port)
        self.folder.write_accounts("[1]\nU=alice\nP=secret\nD=example.com\nA=1\nStatus=0\n")
        self.assertEqual(self.run_program(), 0)

        self.assertEqual(self.folder.status(1), "1")
        self.assertEqual(len(server.connections), 3)
        self.assert_imap_folder("alice", "inbox", [m for _, m in mailbox["INBOX"]])
        self.assert_imap_folder("alice", "Work", [m for _, m in mailbox["Work"]])
        fetched = [(folder, uid) for _, folder, uid in server.fetched]
        self.assertEqual(sorted(fetched), sorted(set(fetched)), "it resumes where its records say: no body twice")
        self.assertEqual(len(fetched), 10)
        self.assertEqual([l.split("Retry ", 1)[1] for l in self.retry_lines()],
                         ["1 of 3 for account [1] (alice) in 10 s: the connection dropped",
                          "2 of 3 for account [1] (alice) in 20 s: the connection dropped"])
        row, = self.report()
        # The report counts the account's whole run: what the first two sessions stored is this run's work,
        # not messages recognised from an earlier run.
        self.assert_row(row, 1, "alice", "IMAP", "migrated", messages_stored=10, recognised_as_stored=0, failed=0,
                        retries=2, bytes_stored=self.stored_bytes("alice"))
        self.assertEqual(list(self.store.rglob("*.partial")), [])

    def test_a_pop3_account_dropped_twice_mid_retrieval_is_migrated_in_one_run(self):
        mailbox = {n: (f"uid-{n}", scripted_message(n)) for n in range(1, 9)}
        server = self.scripted_server(Pop3ScriptServer(mailbox, drop_after_retrs=3, dropping_connections=2))
        self.configure("RETRIES=3\n", pop3_port=server.port)
        self.folder.write_accounts("[1]\nU=alice\nP=secret\nD=example.com\nA=2\nStatus=0\n")
        self.assertEqual(self.run_program(), 0)

        self.assertEqual(self.folder.status(1), "1")
        self.assertEqual(len(server.connections), 3)
        self.assert_pop3_inbox("alice", [m for _, m in mailbox.values()])
        with sqlite3.connect(self.database) as db:
            self.assertEqual(sorted(r[0] for r in db.execute("SELECT Uidl FROM UIDLs")),
                             sorted(u for u, _ in mailbox.values()))
        self.assertEqual(len(self.retry_lines()), 2)
        self.assertTrue(self.retry_lines()[1].endswith("Retry 2 of 3 for account [1] (alice) in 20 s: "
                                                       "the connection dropped"))
        row, = self.report()
        self.assert_row(row, 1, "alice", "POP3", "migrated", messages_stored=8, recognised_as_stored=0, failed=0,
                        retries=2, bytes_stored=self.stored_bytes("alice"))

    def test_a_throttled_account_waits_the_suggested_time_before_it_comes_back(self):
        mailbox = {"INBOX": [(DATE, scripted_message(n)) for n in range(1, 4)]}
        server = self.scripted_server(ImapScriptServer(mailbox, throttle_command="LOGIN"))
        self.configure("RETRIES=1\n", imap_port=server.port)
        self.folder.write_accounts("[1]\nU=alice\nP=secret\nD=example.com\nA=1\nStatus=0\n")
        self.assertEqual(self.run_program(), 0)

        self.assertEqual(self.folder.status(1), "1")
        self.assertEqual(len(server.accepted_at), 2)
        gap = server.accepted_at[1] - server.throttled_at[0]
        self.assertGreaterEqual(gap, 1.5, "the account came back before the server's suggested time")
        self.assertLess(gap, 10, "the server's suggestion replaces the first wait of 10 s")
        self.assertEqual([l.split("Retry ", 1)[1] for l in self.retry_lines()],
                         ["1 of 1 for account [1] (alice) in 1500 ms: the server is throttling the account"])
        self.assert_imap_folder("alice", "inbox", [m for _, m in mailbox["INBOX"]])
        row, = self.report()
        self.assert_row(row, 1, "alice", "IMAP", "migrated", messages_stored=3, retries=1)

    # --- Cancel while accounts wait --------------------------------------------
    def throttling_imap(self):
        """A server that ends every sign-in with a BYE asking for ten minutes."""
        return self.scripted_server(ImapScriptServer(
            {"INBOX": [(DATE, scripted_message(1))]}, throttle_command="LOGIN", throttle_connections=None,
            throttle_bye=True, throttle_text=f"[UNAVAILABLE] Request is throttled. {LONG_WAIT}"))

    def wait_for_retry_lines(self, expected):
        self.assertTrue(wait_for(lambda: sorted(l.split("Retry ", 1)[1] for l in self.retry_lines()) == expected,
                                 120, step=0.3), f"not waiting as expected: {self.retry_lines()}")

    def cancel(self, program, title):
        """Cancel; returns the seconds from it to the run's last line of its own (the summary's time), written
        once the report is final and just before the dialog is destroyed. The end of the process follows, plus
        what Wine adds: on a display without a window manager (Xvfb here) Wine's X11 driver waits up to 2 s
        for a destroyed window to be withdrawn."""
        summed_up = lambda: any(l.startswith("Controller Object Time: ") for l in self.folder.log_texts())
        self.assertFalse(summed_up())
        self.assertEqual(dialogctl("command", title, 2)[0], 0)
        cancelled = time.monotonic()
        self.assertTrue(wait_for(summed_up, 30, step=0.02), "the run did not end")
        ended = time.monotonic() - cancelled
        self.assertEqual(program.wait(60), 0)
        self.assertLess(time.monotonic() - cancelled, 12, "the program ends (plus Wine's exit)")
        return ended

    def assert_cancelled_log(self):
        lines = self.assert_closed_log()
        self.assertEqual(sum(1 for l in lines if l.endswith("Migration canceled by user")), 1)
        return lines

    def test_cancel_during_a_back_off_wait_ends_the_run_at_once(self):
        imap = self.throttling_imap()
        pop3 = self.scripted_server(Pop3ScriptServer(
            {1: ("uid-1", scripted_message(1))}, users={"bob": "secret"}, throttle_command="PASS",
            throttle_connections=None, throttle_text=f"[SYS/TEMP] Request is throttled. {LONG_WAIT}"))
        self.configure("RETRIES=3\n", imap_port=imap.port, pop3_port=pop3.port)
        self.folder.write_accounts("[1]\nU=bob\nP=secret\nD=example.com\nA=2\nStatus=0\n"
                                   "[2]\nU=alice\nP=secret\nD=example.com\nA=1\nStatus=0\n")
        program = self.start()
        self.wait_for_retry_lines(["1 of 3 for account [1] (bob) in 600 s: the server is throttling the account"])
        self.assertLess(self.cancel(program, "Migrating Messages"), 2.0, "Cancel cuts the back-off wait short")

        self.assertEqual((len(pop3.connections), len(imap.connections)), (1, 0), "no reconnect after Cancel")
        self.assertEqual([self.folder.status(i) for i in (1, 2)], ["0", "0"])
        with sqlite3.connect(self.database) as db:
            self.assertEqual(db.execute("SELECT COUNT(*) FROM UIDLs").fetchone()[0], 0)
        lines = self.assert_cancelled_log()
        rows = self.report()
        self.assert_row(rows[0], 1, "bob", "POP3", "left for the next run", messages_stored=0)
        self.assert_row(rows[1], 2, "alice", "IMAP", "not attempted", messages_stored=0, retries=0)
        self.assertEqual(rows[1]["Reason"], "the run ended before this account was started")
        self.assert_summary(lines, "Accounts: 2, 1 left for the next run, 1 not attempted")

    def test_cancel_with_two_accounts_waiting_and_one_migrated_meanwhile(self):
        imap = self.throttling_imap()
        pop3 = self.scripted_server(Pop3ScriptServer({n: (f"uid-{n}", scripted_message(n)) for n in (1, 2, 3)},
                                                     users={"bob": "secret"}))
        self.configure("RETRIES=3\nPARALLEL=2\n", imap_port=imap.port, pop3_port=pop3.port)
        self.folder.write_accounts("[1]\nU=alice\nP=secret\nD=example.com\nA=1\nStatus=0\n"
                                   "[2]\nU=bob\nP=secret\nD=example.com\nA=2\nStatus=0\n"
                                   "[3]\nU=carol\nP=secret\nD=example.com\nA=1\nStatus=0\n")
        program = self.start()
        self.wait_for_retry_lines(["1 of 3 for account [1] (alice) in 600 s: the server is throttling the account",
                                   "1 of 3 for account [3] (carol) in 600 s: the server is throttling the account"])
        # bob finished while alice waited: his Status is written at once, not at the end of the run.
        self.assertEqual([self.folder.status(i) for i in (1, 2, 3)], ["0", "1", "0"])
        # One row per running account, its user first; the title counts the accounts.
        dialog = inspect_dialog("accounts")
        self.assertIsNotNone(dialog)
        self.assertEqual(dialog["title"], "Migrating 3 of 3 accounts: 1 done, 2 running, 0 left")
        self.assertEqual(sorted(re.split(r"[:\s]", r, 1)[0] for r in dialog["rows"]), ["alice", "carol"],
                         dialog["rows"])
        self.assertLess(self.cancel(program, "accounts"), 2.0, "Cancel cuts both waits short")

        self.assertEqual(len(imap.connections), 2, "no reconnect after Cancel")
        self.assertEqual([self.folder.status(i) for i in (1, 2, 3)], ["0", "1", "0"])
        self.assert_pop3_inbox("bob", [m for _, m in pop3.mailbox.values()])
        lines = self.assert_cancelled_log()
        rows = self.report()
        self.assertEqual([r["Outcome"] for r in rows], ["left for the next run", "migrated", "left for the next run"])
        self.assert_row(rows[1], 2, "bob", "POP3", "migrated", messages_stored=3, retries=0,
                        bytes_stored=self.stored_bytes("bob"))
        self.assert_summary(lines, "Accounts: 3, 1 migrated, 2 left for the next run")


if __name__ == "__main__":
    unittest.main()

"""The batch program migrating an account list from a real Dovecot, end to end."""
import shutil
import sys
import tempfile
import time
import unittest
from pathlib import Path

from kelvar_e2e import Program, RunFolder, crlf, dialogctl, screenshot, to_windows_path, wait_for

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fakes"))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "demo"))
from dovecot import Dovecot  # noqa: E402
import sample_mail  # noqa: E402

BANNER = "*" * 80
USERS = {"alice": "alice-pw", "bob": "bob-pw", "carol": "carol-pw", "erin": "erin-pw"}
ALICE = {"INBOX": 12, "Work": 4, "Work/2005": 6, "Sent": 3}
BOB = 7
ERIN = 401


class BatchRun(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server_dir = Path(tempfile.mkdtemp(prefix="kelvar-batch-dovecot-"))
        cls.server = Dovecot(cls.server_dir, USERS).start()
        cls.sources = {}  # (user, folder) -> [message bytes]
        seed = 5000
        for folder, count in ALICE.items():
            for i in range(count):
                seed += 1
                data = sample_mail.message(seed, 1200 + seed % 5000)
                cls.server.add_message("alice", folder, data, mtime=1141826589 + seed * 60)
                cls.sources.setdefault(("alice", folder), []).append(data)
        for i in range(BOB):
            seed += 1
            data = sample_mail.message(seed, 1500 + seed % 4000)
            cls.server.add_message("bob", "INBOX", data, mtime=1141826589 + seed * 60)
            cls.sources.setdefault(("bob", "INBOX"), []).append(data)
        # A long mailbox for the cancel test: many messages, one of them large.
        for i in range(ERIN - 1):
            seed += 1
            cls.server.add_message("erin", "INBOX", sample_mail.message(seed, 3000), mtime=1141826589 + seed * 60)
        cls.server.add_message("erin", "INBOX", sample_mail.message(1, 12_000_000), mtime=1141826589)
        for user in USERS:
            cls.server.resync(user)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.server_dir, ignore_errors=True)

    def setUp(self):
        self.folder = RunFolder("batch")
        self.programs = []
        self.store = self.folder.path / "store"
        self.database = self.folder.create_database()
        self.folder.write_config(
            f"[SOURCE_SERVER]\nNAME_IP=127.0.0.1\nIMAP_PORT={self.server.imap_port}\nPOP3_PORT={self.server.pop3_port}\n"
            f"[CONFIG]\nMAIL_PATH={to_windows_path(self.store)}\nSYS_FOLDERS=;INBOX;Drafts;Trash;Sent;\n")

    def tearDown(self):
        for p in self.programs:
            p.kill()
        self.folder.remove()

    def run_program(self, timeout=300):
        program = Program(self.folder)
        self.programs.append(program)
        return program.wait(timeout)

    def stored(self, user, local_folder):
        folder = self.store / "example.com" / user / local_folder
        return sorted(folder.glob("*.imap")) if folder.exists() else []

    def assert_imap_folder(self, user, server_folder, local_folder):
        files = self.stored(user, local_folder)
        expected = sorted(crlf(m) + b"\r\n" for m in self.sources[(user, server_folder)])
        bodies = []
        for f in files:
            header, _, rest = f.read_bytes().partition(b"\r\n")
            self.assertTrue(header.startswith(b"0000000000000000"), f)
            bodies.append(rest)
        self.assertEqual(sorted(bodies), expected, f"{user} {server_folder}")

    def assert_pop3_inbox(self, user):
        files = self.stored(user, "inbox")
        expected = sorted(crlf(m) for m in self.sources[(user, "INBOX")])
        self.assertEqual(sorted(f.read_bytes() for f in files), expected)

    def test_accounts_migrated_in_turn_then_skipped(self):
        self.folder.write_accounts(
            "[1]\nU=alice\nP=alice-pw\nD=example.com\nA=1\nStatus=0\n"
            "[2]\nU=bob\nP=bob-pw\nD=example.com\nA=2\nStatus=0\n"
            "[3]\nU=carol\nP=wrong\nD=example.com\nA=1\nStatus=0\n"
            "[4]\nU=dave\nP=x\nD=example.com\nA=1\n")
        self.assertEqual(self.run_program(), 0)
        self.assertEqual([self.folder.status(i) for i in (1, 2, 3, 4)], ["1", "1", "0", None])
        self.assert_imap_folder("alice", "INBOX", "inbox")
        self.assert_imap_folder("alice", "Work", "Work")
        self.assert_imap_folder("alice", "Work/2005", "Work/2005")
        self.assert_imap_folder("alice", "Sent", "Sent Items")
        self.assert_pop3_inbox("bob")
        self.assertEqual(list(self.store.rglob("*.partial")), [])
        lines = self.folder.log_texts()
        self.assertEqual(lines[:2], [BANNER, "KELVAR.Exe Log File"])
        self.assertEqual(lines[-1], BANNER)
        firsts = [next(i for i, l in enumerate(lines) if l.startswith(name))
                  for name in ("IMap2XRV Object", "Pop32XRV Object")]
        self.assertLess(firsts[0], firsts[1], "the IMAP account runs before the POP3 account")

        # Second run: the migrated accounts are skipped, the third is tried again.
        self.assertEqual(self.run_program(), 0)
        lines = self.folder.log_texts()
        self.assertIn("IMap2XRV Object Skipping alice. User already migrated.", lines)
        self.assertIn("Pop32XRV Object Skipping bob. User already migrated.", lines)
        self.assertEqual(self.folder.status(3), "0")
        self.assertEqual(sum(1 for l in lines if "A000 LOGIN carol" in l), 2, "carol is tried on both runs")
        self.assert_imap_folder("alice", "INBOX", "inbox")
        self.assert_pop3_inbox("bob")

    def test_pipeline_from_default_cfg(self):
        config = (self.folder.path / "default.cfg").read_text().replace("\r\n", "\n")
        self.folder.write_config(config + "PIPELINE=16\n")
        self.folder.write_accounts("[1]\nU=alice\nP=alice-pw\nD=example.com\nA=1\nStatus=0\n"
                                   "[2]\nU=bob\nP=bob-pw\nD=example.com\nA=2\nStatus=0\n")
        self.assertEqual(self.run_program(), 0)
        self.assertEqual(self.folder.status(1), "1")
        self.assertEqual(self.folder.status(2), "1")
        for server_folder, local_folder in (("INBOX", "inbox"), ("Work", "Work"), ("Work/2005", "Work/2005"),
                                            ("Sent", "Sent Items")):
            self.assert_imap_folder("alice", server_folder, local_folder)
        self.assert_pop3_inbox("bob")
        self.assertIn(f"Pop32XRV Object The answer to UIDL gave unique-ids for {BOB} of the {BOB} listed messages",
                      self.folder.log_texts())
        self.assertFalse([l for l in self.folder.log_texts() if "PIPELINE" in l])

        # A value out of range is named in the log and the run goes on one command at a time.
        self.folder.write_config(config + "PIPELINE=65\n")
        self.folder.write_accounts("[1]\nU=alice\nP=alice-pw\nD=example.com\nA=1\nStatus=0\n")
        self.assertEqual(self.run_program(), 0)
        self.assertEqual(self.folder.status(1), "1")
        self.assertIn("DefaultCfgModel Object PIPELINE=65 is not a number from 0 to 64; one command at a time is sent",
                      self.folder.log_texts())

    def test_unknown_protocol_is_skipped_and_the_run_goes_on(self):
        self.folder.write_accounts(
            "[1]\nU=alice\nP=alice-pw\nD=example.com\nA=1\nStatus=0\n"
            "[2]\nU=zed\nP=x\nD=example.com\nA=3\nStatus=0\n"
            "[3]\nU=bob\nP=bob-pw\nD=example.com\nA=2\nStatus=0\n")
        self.assertEqual(self.run_program(), 0)
        self.assertEqual([self.folder.status(i) for i in (1, 2, 3)], ["1", "0", "1"])
        self.assertTrue(any(l.startswith("Controller Object Skipping account [2]") for l in self.folder.log_texts()))

    def test_cancel_stops_the_account_and_the_next_run_completes_it(self):
        self.folder.write_accounts("[1]\nU=erin\nP=erin-pw\nD=example.com\nA=1\nStatus=0\n")
        program = Program(self.folder)
        self.programs.append(program)
        inbox = self.store / "example.com" / "erin" / "inbox"
        self.assertTrue(wait_for(lambda: len(list(inbox.glob("*.imap"))) >= 20 if inbox.exists() else False, 240),
                        "the migration did not get going")
        screenshot("batch_run_cancel.png")
        cancelled = time.monotonic()
        self.assertEqual(dialogctl("command", "Migrating Messages", 2)[0], 0)
        self.assertEqual(program.wait(60), 0)
        self.assertLess(time.monotonic() - cancelled, 15, "the run ends within the stop bound (plus Wine's exit)")
        self.assertEqual(self.folder.status(1), "0")
        self.assertEqual(list(self.store.rglob("*.partial")), [])
        self.assertIn("IMap2XRV Object Migration canceled by user", self.folder.log_texts())
        self.assertLess(len(list(inbox.glob("*.imap"))), ERIN, "cancelled before the end")

        code = self.run_program()
        if code != 0:
            # Seen once, with nothing from Wine: the run's own log says how far it got.
            log = "\n".join(self.folder.log_texts()[-60:])
            sys.stderr.write(f"daily log of the run after the cancel:\n{log}\n")
        self.assertEqual(code, 0)
        self.assertEqual(self.folder.status(1), "1")
        self.assertEqual(len(list(inbox.glob("*.imap"))), ERIN, "each message exactly once")


if __name__ == "__main__":
    unittest.main()

"""CHECK_ONLY=1: the batch program counts what it would copy and changes nothing, against a real Dovecot."""
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

from kelvar_e2e import Program, RunFolder, crlf, to_windows_path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fakes"))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "demo"))
from dovecot import Dovecot  # noqa: E402
import sample_mail  # noqa: E402

USERS = {"alice": "alice-pw", "bob": "bob-pw"}
# Messages per folder before the first run, and added after it.
ALICE_BEFORE = {"INBOX": 4, "Work": 2}
ALICE_AFTER = {"INBOX": 4, "Work": 2}
BOB_BEFORE = 3
BOB_AFTER = 3
ACCOUNTS = ("[1]\nU=alice\nP=alice-pw\nD=example.com\nA=1\nStatus=0\n"
            "[2]\nU=bob\nP=bob-pw\nD=example.com\nA=2\nStatus=0\n")


def snapshot(root):
    """Every file and directory under root, with the bytes of each file."""
    if not root.exists():
        return None
    return {str(p.relative_to(root)): (p.read_bytes() if p.is_file() else None) for p in sorted(root.rglob("*"))}


class BatchCheck(unittest.TestCase):
    def setUp(self):
        self.server_dir = Path(tempfile.mkdtemp(prefix="kelvar-check-dovecot-"))
        self.server = Dovecot(self.server_dir, USERS).start()
        self.folder = RunFolder("check")
        self.programs = []
        self.store = self.folder.path / "store"
        self.database = self.folder.create_database()
        self.config = (f"[SOURCE_SERVER]\nNAME_IP=127.0.0.1\nIMAP_PORT={self.server.imap_port}\n"
                       f"POP3_PORT={self.server.pop3_port}\n"
                       f"[CONFIG]\nMAIL_PATH={to_windows_path(self.store)}\nSYS_FOLDERS=;INBOX;Drafts;Trash;Sent;\n")
        self.seed = 7000

    def tearDown(self):
        for p in self.programs:
            p.kill()
        self.folder.remove()
        self.server.stop()
        shutil.rmtree(self.server_dir, ignore_errors=True)

    def add(self, user, folder, count):
        sizes = []
        for _ in range(count):
            self.seed += 1
            data = sample_mail.message(self.seed, 1000 + self.seed % 3000)
            self.server.add_message(user, folder, data, mtime=1141826589 + self.seed * 60)
            sizes.append(len(crlf(data)))
        return sizes

    def run_program(self, extra_config="", timeout=300):
        self.folder.write_config(self.config + extra_config)
        program = Program(self.folder)
        self.programs.append(program)
        return program.wait(timeout)

    def logged(self, text):
        return [line for line in self.folder.log_texts() if line.endswith(text)]

    def test_check_counts_what_is_left_and_writes_nothing(self):
        for folder, count in ALICE_BEFORE.items():
            self.add("alice", folder, count)
        self.add("bob", "INBOX", BOB_BEFORE)
        for user in USERS:
            self.server.resync(user)
        self.folder.write_accounts(ACCOUNTS)
        self.assertEqual(self.run_program(), 0)
        self.assertEqual([self.folder.status(i) for i in (1, 2)], ["1", "1"])

        # Half of each mailbox arrives after the migration.
        new_alice = {folder: self.add("alice", folder, count) for folder, count in ALICE_AFTER.items()}
        new_bob = self.add("bob", "INBOX", BOB_AFTER)
        for user in USERS:
            self.server.resync(user)
        self.folder.write_accounts(ACCOUNTS)
        store_before = snapshot(self.store)
        database_before = self.database.read_bytes()
        accounts_before = (self.folder.path / "import" / "accounts.ini").read_bytes()
        for log in self.folder.log_files():
            log.unlink()

        self.assertEqual(self.run_program("CHECK_ONLY=1\n"), 0)

        self.assertEqual(snapshot(self.store), store_before, "the store is untouched")
        self.assertEqual(self.database.read_bytes(), database_before, "the database is untouched")
        for folder, local in (("INBOX", "INBOX"), ("Work", "Work")):
            sizes = new_alice[folder]
            self.assertTrue(self.logged(f"Check of folder {local}: {len(sizes)} messages ({sum(sizes)} bytes) to copy, "
                                        f"{ALICE_BEFORE[folder]} already stored"), folder)
        total = sum(len(s) for s in new_alice.values())
        total_bytes = sum(sum(s) for s in new_alice.values())
        self.assertTrue(self.logged(f"Check of the account: {len(ALICE_BEFORE)} folders, {total} messages "
                                    f"({total_bytes} bytes) to copy, {sum(ALICE_BEFORE.values())} already stored"))
        self.assertTrue(self.logged(f"Check of the mailbox: {BOB_AFTER} messages ({sum(new_bob)} bytes) to copy, "
                                    f"{BOB_BEFORE} already stored"))
        texts = self.folder.log_texts()
        self.assertTrue(any("EXAMINE" in line for line in texts))
        self.assertFalse([line for line in texts if "SELECT" in line or "BODY.PEEK" in line or "RETR" in line])
        self.assertFalse([line for line in texts if "alice-pw" in line or "bob-pw" in line])
        # The run's controller writes no Status for a check.
        self.assertEqual((self.folder.path / "import" / "accounts.ini").read_bytes(), accounts_before,
                         "no Status is written")


if __name__ == "__main__":
    unittest.main()

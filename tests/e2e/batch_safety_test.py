"""The batch program against careless settings and an impatient user: the
close box during a transfer, ports out of range, unsafe account folders, an
empty MAIL_PATH from another current directory, a gap in the account list."""
import os
import socket
import sys
import tempfile
import time
import unittest
from pathlib import Path

from kelvar_e2e import Program, RunFolder, dialogctl, wait_for

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fakes"))
from imap_script_server import ImapScriptServer  # noqa: E402

BANNER = "*" * 80
DATE = "17-Jul-1996 02:44:25 +0000"


def message(n, size=600):
    body = b"".join(b"line %05d of message %d\r\n" % (i, n) for i in range(size // 24 + 1))
    return b"From: a@example.com\r\nSubject: m%d\r\n\r\n" % n + body


class BatchSafety(unittest.TestCase):
    def setUp(self):
        self.folder = RunFolder("safety")
        self.programs = []
        self.servers = []
        self.store = self.folder.path / "store"

    def tearDown(self):
        for p in self.programs:
            p.kill()
        for s in self.servers:
            s.stop()
        self.folder.remove()

    def imap_server(self, **options):
        mailbox = options.pop("mailbox", {"INBOX": [(DATE, message(1)), (DATE, message(2))]})
        server = ImapScriptServer(mailbox, **options).start()
        self.servers.append(server)
        return server

    def configure(self, imap_port=143, pop3_port=110, mail_path=None):
        path = self.folder.windows_path("store") if mail_path is None else mail_path
        self.folder.write_config(f"[SOURCE_SERVER]\nNAME_IP=127.0.0.1\nIMAP_PORT={imap_port}\nPOP3_PORT={pop3_port}\n"
                                 f"[CONFIG]\nMAIL_PATH={path}\n")

    def start(self, cwd=None):
        program = Program(self.folder, cwd=cwd)
        self.programs.append(program)
        return program

    def assert_closed_log(self):
        lines = self.folder.log_texts()
        self.assertEqual(lines[:2], [BANNER, "KELVAR.Exe Log File"])
        self.assertEqual(lines[-1], BANNER)
        return lines

    def test_close_box_during_a_transfer_stops_the_session_and_keeps_no_partial_message(self):
        big = message(3, 400_000)
        server = self.imap_server(mailbox={"INBOX": [(DATE, message(1)), (DATE, message(2)), (DATE, big)]},
                                  stall_in_body={("INBOX", 3): 150_000})
        self.configure(imap_port=server.port)
        self.folder.write_accounts("[1]\nU=alice\nP=secret\nD=example.com\nA=1\nStatus=0\n")
        program = self.start()
        fetching_third = lambda: any("FETCH 3 (BODY" in c.upper() for conn in server.connections for c in conn)
        self.assertTrue(wait_for(fetching_third, 120), "the transfer did not reach the stalled message")
        unfinished = lambda: [p for p in self.store.rglob("*") if p.is_file() and p.suffix not in (".imap", ".uids")]
        self.assertTrue(wait_for(unfinished, 30), "the stalled message is being written")
        closed = time.monotonic()
        # What the close box sends; the dialog manager turns it into WM_CLOSE.
        self.assertEqual(dialogctl("sysclose", "Migrating Messages")[0], 0)
        self.assertEqual(program.wait(60), 0)
        self.assertLess(time.monotonic() - closed, 15, "the run ends within the stop wait (plus Wine's exit)")

        self.assertEqual(self.folder.status(1), "0")
        files = [p for p in self.store.rglob("*") if p.is_file() and p.name != "migrated.uids"]
        self.assertEqual(len([p for p in files if p.suffix == ".imap"]), 2, files)
        self.assertEqual([p for p in files if p.suffix != ".imap"], [], "nothing half-written is left")
        lines = self.assert_closed_log()
        self.assertIn("IMap2XRV Object Migration canceled by user", lines)

    def test_a_pop3_port_out_of_range_connects_nowhere(self):
        # 81048 cut to 16 bits is 15512: whatever listens there must hear nothing.
        trap = socket.socket()
        trap.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            trap.bind(("127.0.0.1", 81048 % 65536))
            trap.listen(4)
            trap.settimeout(0)
        except OSError:
            trap.close()
            trap = None
        self.configure(pop3_port=81048)
        self.folder.write_accounts("[1]\nU=bob\nP=secret\nD=example.com\nA=2\nStatus=0\n")
        os.environ["KELVAR_ODBC"] = f"DRIVER={{SQLite3}};Database={self.folder.path / 'mail2xrv.mdb'}"
        self.assertEqual(self.start().wait(120), 0)
        if trap:
            with self.assertRaises(OSError, msg="a connection reached port 15512"):
                trap.accept()
            trap.close()
        self.assertEqual(self.folder.status(1), "0")
        lines = self.assert_closed_log()
        self.assertIn("DefaultCfgModel Object POP3_PORT=81048 in default.cfg is not a TCP port (1 to 65535): "
                      "the account is not migrated", lines)
        self.assertEqual(list(self.store.rglob("*.imap")) if self.store.exists() else [], [])

    def test_an_unsafe_domain_or_user_is_skipped_and_nothing_is_written_outside_the_store(self):
        server = self.imap_server()
        self.configure(imap_port=server.port)
        self.folder.write_accounts("[1]\nU=alice\nP=secret\nD=..\\x\nA=1\nStatus=0\n"
                                   "[2]\nU=..\\..\\y\nP=secret\nD=example.com\nA=1\nStatus=0\n"
                                   "[3]\nU=alice\nP=secret\nD=example.com\nA=1\nStatus=0\n")
        self.assertEqual(self.start().wait(120), 0)
        self.assertEqual([self.folder.status(i) for i in (1, 2, 3)], ["0", "0", "1"])
        self.assertEqual(len(server.connections), 1, "only the safe account logs in")
        self.assertFalse((self.folder.path / "x").exists())
        self.assertFalse((self.folder.path.parent / "y").exists())
        self.assertEqual(len(list((self.store / "example.com" / "alice").rglob("*.imap"))), 2)
        lines = self.assert_closed_log()
        self.assertIn('Controller Object Skipping account [1] of user alice: D "..\\x" cannot be a folder of the '
                      'store: it has a ".." level', lines)
        self.assertIn('Controller Object Skipping account [2] of user ..\\..\\y: U "..\\..\\y" cannot be a folder '
                      'of the store: it has a ".." level', lines)

    def test_an_empty_mail_path_puts_the_store_beside_the_program_whatever_the_current_directory(self):
        server = self.imap_server()
        self.configure(imap_port=server.port, mail_path="")
        self.folder.write_accounts("[1]\nU=alice\nP=secret\nD=example.com\nA=1\nStatus=0\n")
        elsewhere = Path(tempfile.mkdtemp(prefix="kelvar-cwd-"))
        try:
            self.assertEqual(self.start(cwd=elsewhere).wait(120), 0)
            self.assertEqual(list(elsewhere.iterdir()), [], "nothing lands in the current directory")
        finally:
            for p in sorted(elsewhere.rglob("*"), reverse=True):
                p.rmdir() if p.is_dir() else p.unlink()
            elsewhere.rmdir()
        self.assertEqual(len(list((self.folder.path / "example.com" / "alice").rglob("*.imap"))), 2)
        lines = self.assert_closed_log()
        place = [l for l in lines if l.startswith("DefaultCfgModel Object The store is ")]
        self.assertEqual(place, [f"DefaultCfgModel Object The store is {self.folder.windows_path()}\\ "
                                 "(MAIL_PATH is empty: the program's folder)"])

    def test_a_gap_in_the_numbering_ends_the_list_and_names_what_is_not_read(self):
        server = self.imap_server()
        self.configure(imap_port=server.port)
        self.folder.write_accounts("[1]\nU=alice\nP=secret\nD=example.com\nA=1\nStatus=0\n"
                                   "[2]\nU=bob\nP=wrong\nD=example.com\nA=1\nStatus=0\n"
                                   "[4]\nU=carol\nP=x\nD=example.com\nA=1\nStatus=0\n"
                                   "[7]\nU=dave\nP=x\nD=example.com\nA=1\nStatus=0\n")
        self.assertEqual(self.start().wait(120), 0)
        self.assertEqual(len(server.connections), 2)
        self.assertEqual([self.folder.status(i) for i in (1, 2, 4, 7)], ["1", "0", "0", "0"])
        lines = self.assert_closed_log()
        self.assertIn("Controller Object The account list ends at [3], which is missing; not read: [4] [7]", lines)
        self.assertEqual(sum(1 for l in lines if l.startswith("DefaultCfgModel Object The store is ")), 1,
                         "one line a run says where the store is")


if __name__ == "__main__":
    unittest.main()

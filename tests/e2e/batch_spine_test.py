"""The batch program's start, dialog and end, without any session."""
import re
import tempfile
import unittest

from kelvar_e2e import Program, RunFolder, SilentServer, dialogctl, inspect_dialog, screenshot

BANNER = "*" * 80
LINE = re.compile(r"^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d [AP]M \[\d+\] : (.*)$")

ACCOUNT_1 = """[1]
U=alice
P=secret
D=example.com
Status=0
A=1
"""


def texts(folder):
    out = []
    for line in folder.log_lines():
        m = LINE.match(line)
        assert m, f"log line out of format: {line!r}"
        out.append(m.group(1))
    return out


class BatchSpine(unittest.TestCase):
    def setUp(self):
        self.folder = RunFolder("spine")
        self.programs = []
        # The account's session connects and then waits for a greeting that never comes.
        self.server = SilentServer()
        self.folder.write_config(f"[SOURCE_SERVER]\nNAME_IP=127.0.0.1\nIMAP_PORT={self.server.port}\n"
                                 f"POP3_PORT={self.server.port}\n[CONFIG]\nMAIL_PATH={self.folder.windows_path('store')}\n")

    def tearDown(self):
        for program in self.programs:
            program.kill()
        self.server.close()
        self.folder.remove()

    def start_and_wait_for_dialog(self):
        program = Program(self.folder, cwd=tempfile.gettempdir())
        self.programs.append(program)
        code, title = dialogctl("wait", "Migrating Messages", 120)
        if code != 0:
            shot = screenshot(f"{self.id()}-no-dialog.png")
            self.fail(f"the dialog did not appear; windows:\n{dialogctl('list', '-')[1]}\nscreen: {shot}")
        return program, title.strip()

    def assert_complete_log(self):
        lines = texts(self.folder)
        self.assertEqual(lines[:2], [BANNER, "KELVAR.Exe Log File"])
        self.assertEqual(lines[-1], BANNER)
        return lines

    def test_dialog_shows_account_and_ends_on_close(self):
        self.folder.write_accounts(ACCOUNT_1)
        program, title = self.start_and_wait_for_dialog()
        self.assertEqual(title, "Migrating Messages For User [alice] - [Step 9 of 9]")
        info = inspect_dialog("Migrating Messages")
        screenshot("batch_spine_dialog.png")
        self.assertEqual(info["children"][2], ("Button", "Cancel"))
        self.assertEqual(info["children"][1000][0], "SysListView32")
        self.assertEqual(info["children"][1001], ("Static", "Processing Mailbox [].\\nMessage [0] of [0]."))
        self.assertEqual(info["columns"], ["Information"])

        self.assertEqual(dialogctl("close", "Migrating Messages")[0], 0)
        self.assertEqual(program.wait(60), 0)
        # The log lies next to the program, not in the current directory.
        self.assertEqual(len(self.folder.log_files()), 1)
        self.assert_complete_log()

    def test_cancel_ends_the_run_and_logs_it(self):
        self.folder.write_accounts(ACCOUNT_1)
        program, _ = self.start_and_wait_for_dialog()
        self.assertEqual(dialogctl("command", "Migrating Messages", 2)[0], 0)
        self.assertEqual(program.wait(60), 0)
        lines = self.assert_complete_log()
        self.assertIn("IMap2XRV Object Migration canceled by user", lines)
        # Status is only written for a completed migration.
        self.assertIn("Status=0", self.folder.accounts_text())

    def test_lines_are_appended_across_runs(self):
        self.folder.write_accounts(ACCOUNT_1)
        for _ in range(2):
            program, _ = self.start_and_wait_for_dialog()
            dialogctl("close", "Migrating Messages")
            self.assertEqual(program.wait(60), 0)
        lines = texts(self.folder)
        self.assertEqual(lines.count("KELVAR.Exe Log File"), 2)
        self.assertEqual(lines.count(BANNER), 4)

    def test_escape_key_cancels_like_the_button(self):
        self.folder.write_accounts(ACCOUNT_1)
        program, _ = self.start_and_wait_for_dialog()
        self.assertEqual(dialogctl("key", "Migrating Messages", 27)[0], 0)
        self.assertEqual(program.wait(60), 0)
        self.assertIn("IMap2XRV Object Migration canceled by user", texts(self.folder))

    def test_missing_first_account_ends_quietly(self):
        self.folder.write_accounts("[2]\nU=bob\nStatus=0\nA=1\n")
        # No box may block: the run ends by itself with exit code 0.
        self.assertEqual(Program(self.folder).wait(60), 0)
        lines = self.assert_complete_log()
        self.assertEqual(lines, [BANNER, "KELVAR.Exe Log File", "Controller Object Invalid Information",
                                 "Controller Object The account list ends at [1], which is missing; not read: [2]",
                                 BANNER])

    def test_missing_account_list_ends_quietly(self):
        self.assertEqual(Program(self.folder).wait(60), 0)
        self.assertIn("Controller Object Invalid Information", texts(self.folder))


if __name__ == "__main__":
    unittest.main()

"""kelvardb.exe under Wine with the SQLite ODBC driver: creates the migration database, idempotently."""
import os
import shutil
import sqlite3
import subprocess
import tempfile
import unittest
from pathlib import Path

from kelvar_e2e import BIN, WINE, to_windows_path


def kelvardb(*args, odbc):
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(WINE + [str(BIN / "kelvardb.exe"), *args], env=dict(os.environ, KELVAR_ODBC=odbc),
                              stdout=out, stderr=subprocess.STDOUT, timeout=120).returncode
        out.seek(0)
        return code, out.read().decode("latin-1")


class Kelvardb(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="kelvar-db-"))
        self.database = self.folder / "mail2xrv.mdb"

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def tables(self):
        with sqlite3.connect(self.database) as db:
            return sorted(r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type='table'"))

    def test_creates_the_three_tables_once_and_keeps_rows(self):
        code, out = kelvardb(to_windows_path(self.folder), odbc=f"DRIVER={{SQLite3}};Database={self.database}")
        self.assertEqual(code, 0, out)
        self.assertEqual(self.tables(), ["Servers", "UIDLs", "Users"])
        with sqlite3.connect(self.database) as db:
            db.execute("INSERT INTO Servers ( ServerTypeID, Name ) VALUES (1, 'pop.example.com')")
            db.execute("INSERT INTO UIDLs ( ServerID, UserID, Uidl ) VALUES (1, 1, 'u')")
            # Keys are generated on insert.
            self.assertEqual(db.execute("SELECT UidlID FROM UIDLs").fetchone()[0], 1)

        # Beside a file named on the command line; "%s" is not the SQLite path here.
        program = self.folder / "kelvard.exe"
        program.write_bytes(b"")
        code, out = kelvardb(to_windows_path(program), odbc=f"DRIVER={{SQLite3}};Database={self.database}")
        self.assertEqual(code, 0, out)
        self.assertIn("Table UIDLs is there", out)
        with sqlite3.connect(self.database) as db:
            self.assertEqual(db.execute("SELECT Name FROM Servers").fetchall(), [("pop.example.com",)])
            self.assertEqual(db.execute("SELECT COUNT(*) FROM UIDLs").fetchone()[0], 1)

    def test_a_database_that_cannot_be_opened_fails_with_the_drivers_reason(self):
        code, out = kelvardb(to_windows_path(self.folder),
                             odbc=f"DRIVER={{SQLite3}};Database={self.folder}/absent/mail2xrv.mdb")
        self.assertEqual(code, 1, out)
        self.assertIn("kelvardb: State:", out)


if __name__ == "__main__":
    unittest.main()

"""Shared fixtures of the end-to-end tests: run folders, the programs under Wine, the dialog."""
import os
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

BIN = Path(os.environ.get("KELVAR_BIN", "build/windows64/bin"))
TOOLS = Path(os.environ.get("KELVAR_TOOLS", "build/windows64/tools"))
TEST_BIN = Path(os.environ.get("KELVAR_TEST_BIN", "build/windows64/tests"))
WINE = shlex.split(os.environ.get("KELVAR_WINE", "scripts/wine-run.sh --win64"))
OUTPUT = Path(os.environ.get("KELVAR_OUTPUT", "build/test-output"))


class SilentServer:
    """Accepts connections on loopback and never answers: a session waits on it until stopped."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.connections = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.connections.append(conn)

    def close(self):
        self.sock.close()
        for c in self.connections:
            c.close()


def crlf(data):
    return data.replace(b"\n", b"\r\n")


def to_windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class RunFolder:
    """A folder holding kelvard.exe with its default.cfg and import\\accounts.ini."""

    def __init__(self, name):
        self.path = Path(tempfile.mkdtemp(prefix=f"kelvar-{name}-"))
        shutil.copy(BIN / "kelvard.exe", self.path / "kelvard.exe")
        (self.path / "import").mkdir()

    def windows_path(self, relative=""):
        return to_windows_path(self.path / relative) if relative else to_windows_path(self.path)

    def write_accounts(self, text):
        (self.path / "import" / "accounts.ini").write_text(text.replace("\n", "\r\n"))

    def write_config(self, text):
        (self.path / "default.cfg").write_text(text.replace("\n", "\r\n"))

    def accounts_text(self):
        return (self.path / "import" / "accounts.ini").read_text()

    def status(self, section):
        """The Status value of account [section] in accounts.ini, or None."""
        current = None
        for line in self.accounts_text().splitlines():
            line = line.strip()
            if line.startswith("["):
                current = line.strip("[]")
            elif current == str(section) and line.startswith("Status="):
                return line.split("=", 1)[1]
        return None

    def log_files(self):
        return sorted((self.path / "logs").glob("*_kelvard.log"))

    def log_lines(self):
        lines = []
        for f in self.log_files():
            lines += f.read_bytes().decode("latin-1").splitlines()
        return lines

    def log_texts(self):
        """Each log line without its time stamp and process id."""
        return [line.split(" : ", 1)[1] for line in self.log_lines() if " : " in line]

    def create_database(self):
        """mail2xrv.mdb beside the program, made by kelvardb.exe, and KELVAR_ODBC pointing at it; its path."""
        database = self.path / "mail2xrv.mdb"
        os.environ["KELVAR_ODBC"] = f"DRIVER={{SQLite3}};Database={database}"
        shutil.copy(BIN / "kelvardb.exe", self.path / "kelvardb.exe")
        subprocess.run(WINE + [str(self.path / "kelvardb.exe"), to_windows_path(database)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=120)
        return database

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


class Program:
    """kelvard.exe running under Wine, started from a current directory of the caller's choice."""

    def __init__(self, folder, cwd=None):
        self.output = tempfile.TemporaryFile()
        self.process = subprocess.Popen(WINE + [str(folder.path / "kelvard.exe")], cwd=cwd or tempfile.gettempdir(),
                                        stdout=self.output, stderr=subprocess.STDOUT)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.output.close()

    def wait(self, timeout):
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            windows = dialogctl("list", "-")[1]
            self.kill()
            raise AssertionError(f"kelvard.exe did not end within {timeout} s; windows:\n{windows}")
        if self.process.returncode != 0:
            # What Wine printed says why; CTest shows it with the failure.
            self.output.seek(0)
            sys.stderr.write(f"kelvard.exe ended with {self.process.returncode}:\n"
                             f"{self.output.read().decode(errors='replace')}\n")
        self.output.close()
        return self.process.returncode


def dialogctl(*args, timeout=180):
    # Output goes to a file, not a pipe: a wineserver started by this process
    # would inherit the pipe and keep it open long after dialogctl ended.
    with tempfile.TemporaryFile() as out:
        result = subprocess.run(WINE + [str(TOOLS / "dialogctl.exe"), *map(str, args)], stdout=out,
                                stderr=subprocess.DEVNULL, timeout=timeout)
        out.seek(0)
        return result.returncode, out.read().decode("latin-1").replace("\r\n", "\n")


def inspect_dialog(title_part):
    """The dialog as a dict: title, children by id, list columns and rows."""
    code, out = dialogctl("inspect", title_part)
    if code != 0:
        return None
    info = {"title": None, "children": {}, "columns": [], "rows": []}
    for line in out.splitlines():
        if line.startswith("title="):
            info["title"] = line[6:]
        elif line.startswith("child id="):
            head, _, text = line.partition(" text=")
            ident, _, cls = head[len("child id="):].partition(" class=")
            info["children"][int(ident)] = (cls, text)
        elif line.startswith("column "):
            info["columns"].append(line.partition("=")[2])
        elif line.startswith("row "):
            info["rows"].append(line.partition("=")[2])
    return info


def screenshot(name):
    OUTPUT.mkdir(parents=True, exist_ok=True)
    target = OUTPUT / name
    subprocess.run(["import", "-window", "root", str(target)], check=False, capture_output=True, timeout=60)
    return target


def wait_for(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def big_message(size, special):
    """A message of at least `size` bytes with LF line ends: a header, then
    numbered filler lines of 80 bytes, except where special(n) gives line n."""
    head = b"From: big@example.com\nSubject: large\n\n"
    lines, total, n = [], len(head), 0
    while total < size:
        line = special(n)
        if line is None:
            line = b"%07d " % n + bytes(0x41 + (n + i) % 26 for i in range(72))
        lines.append(line)
        total += len(line) + 1
        n += 1
    return head + b"\n".join(lines) + b"\n"

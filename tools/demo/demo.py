"""Demo run: sample mailboxes on a private Dovecot, kelvard.exe migrating them, a report;
then one IMap2XRV call of kelvar.dll through kelvarcall.exe.

Called by scripts/demo.sh, which builds and sets up Wine and the display."""
import argparse
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "fakes"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
from dovecot import Dovecot  # noqa: E402
import sample_mail  # noqa: E402

BUILD = Path(os.environ.get("KELVAR_BUILD", ROOT / "build" / "windows64"))
WINE = shlex.split(os.environ.get("KELVAR_WINE", f"{ROOT}/scripts/wine-run.sh --win64"))
DEMO = ROOT / "build" / "demo"
USERS = {"alice": "alice-secret", "bob": "bob-secret"}
# IMAP user alice: folder -> number of messages (Junk is excluded, Archive/Empty stays empty).
ALICE = {"INBOX": 120, "Work": 40, "Work/2005": 60, "Work/2006": 25, "Sent": 45, "Drafts": 5, "Trash": 8,
         "Junk": 6, "Archive/Empty": 0}
BOB_MESSAGES = 40
BASE_TIME = 1141826589  # 8 March 2006


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def fill_server(server):
    seed = 0
    for folder, count in ALICE.items():
        server.create_mailbox("alice", folder)
        for i in range(count):
            seed += 1
            server.add_message("alice", folder, sample_mail.message(seed, 1500 + (seed * 7919) % 20000),
                               mtime=BASE_TIME + seed * 3600)
    for i in range(BOB_MESSAGES):
        seed += 1
        server.add_message("bob", "INBOX", sample_mail.message(seed, 2000 + (seed * 104729) % 15000),
                           mtime=BASE_TIME + seed * 600)
    for user in USERS:
        server.resync(user)


def prepare_run_folder(run, server):
    (run / "import").mkdir(parents=True, exist_ok=True)
    for name in ("kelvard.exe", "kelvardb.exe"):
        if (BUILD / "bin" / name).exists():
            shutil.copy(BUILD / "bin" / name, run / name)
    store = DEMO / "store"
    # As in the sample default.cfg of the archive: up to 16 commands in flight.
    cfg = (f"[SOURCE_SERVER]\nNAME_IP=127.0.0.1\nIMAP_PORT={server.imap_port}\nPOP3_PORT={server.pop3_port}\n"
           f"[CONFIG]\nMARK_DELETED=0\nMIGRATE_DELETED=0\nCREATE_EMPTY=1\n"
           f"; Up to 16 commands in flight; without this line one command is sent at a time.\nPIPELINE=16\n"
           f"MAIL_PATH={windows_path(store)}\n"
           f"SYS_FOLDERS=;INBOX;Drafts;Trash;Sent;\n[EXCLUDE_FOLDERS]\nEXCLUDE=Junk\n")
    (run / "default.cfg").write_text(cfg.replace("\n", "\r\n"))
    accounts = run / "import" / "accounts.ini"
    if not accounts.exists():
        text = ("[1]\nU=alice\nP=alice-secret\nD=example.com\nA=1\nStatus=0\n"
                "[2]\nU=bob\nP=bob-secret\nD=example.com\nA=2\nStatus=0\n")
        accounts.write_text(text.replace("\n", "\r\n"))
    database = run / "mail2xrv.mdb"
    env = dict(os.environ, KELVAR_ODBC=f"DRIVER={{SQLite3}};Database={database}")
    if (run / "kelvardb.exe").exists():
        subprocess.run(WINE + [str(run / "kelvardb.exe"), windows_path(database)], env=env, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return env


def run_program(run, env):
    shots = DEMO / "screenshots"
    shots.mkdir(parents=True, exist_ok=True)
    shot = shots / "dialog.png"
    with tempfile.TemporaryFile() as out:
        started = time.monotonic()
        process = subprocess.Popen(WINE + [str(run / "kelvard.exe")], cwd=str(run), env=env, stdout=out,
                                   stderr=subprocess.STDOUT)
        # The migration takes a few seconds: the picture is taken shortly
        # after the dialog appears, while the first account is under way.
        taken = False
        shown_at = None
        while process.poll() is None:
            time.sleep(0.1)
            if taken:
                continue
            if shown_at is None:
                found = subprocess.run(["xdotool", "search", "--name", "Migrating Messages"], capture_output=True)
                if found.returncode == 0 and found.stdout.strip():
                    shown_at = time.monotonic()
            elif time.monotonic() - shown_at > 0.5 and process.poll() is None:
                subprocess.run(["import", "-window", "root", str(shot)], capture_output=True)
                taken = True
        elapsed = time.monotonic() - started
    return process.returncode, elapsed, shot if taken else None


def report(run, code, elapsed, shot):
    print()
    print(f"kelvard.exe ended with exit code {code} after {elapsed:.1f} s")
    print("Accounts (import\\accounts.ini):")
    section = None
    for line in (run / "import" / "accounts.ini").read_text().splitlines():
        line = line.strip()
        if line.startswith("["):
            section = line
        elif line.startswith(("U=", "A=", "Status=")):
            print(f"  {section} {line}")
    store = DEMO / "store"
    print(f"Messages in the store ({store}):")
    for folder in sorted(p for p in store.rglob("*") if p.is_dir()):
        count = len(list(folder.glob("*.imap")))
        print(f"  {folder.relative_to(store)}: {count}")
    logs = sorted((run / "logs").glob("*.log")) if (run / "logs").exists() else []
    print(f"Log: {logs[-1] if logs else '(none)'}")
    if logs:
        lines = logs[-1].read_text(errors="replace").splitlines()
        print("Last log lines:")
        for line in lines[-12:]:
            print("  " + line)
    print(f"Screenshot of the dialog: {shot or '(the run ended before one was taken)'}")


def library_call(server):
    """One IMap2XRV call, as a setup wizard makes it, into build/demo/library/store."""
    host = DEMO / "library"
    host.mkdir(parents=True, exist_ok=True)
    for name in ("kelvar.dll", "kelvarcall.exe"):
        if not (BUILD / "bin" / name).exists():
            print(f"demo: {name} is not built; no library call")
            return
        shutil.copy(BUILD / "bin" / name, host / name)
    store = host / "store"
    call = ["imap", windows_path(store), "127.0.0.1", "alice", USERS["alice"], str(server.imap_port), "Junk",
            "INBOX;Drafts;Trash;Sent", "1", "0", "0", "0"]
    print()
    shown = [("*" * 10 if i == 4 else a) for i, a in enumerate(call)]
    print("demo: the library: kelvarcall " + " ".join(f'"{a}"' if (";" in a or not a) else a for a in shown))
    with tempfile.TemporaryFile() as out:
        subprocess.run(WINE + [str(host / "kelvarcall.exe"), *call], cwd=str(host), stdout=out,
                       stderr=subprocess.STDOUT, check=False)
        out.seek(0)
        for line in out.read().decode(errors="replace").splitlines():
            print("  " + line)
    print(f"Messages in the library's store ({store}):")
    for folder in sorted(p for p in store.rglob("*") if p.is_dir()):
        print(f"  {folder.relative_to(store)}: {len(list(folder.glob('*.imap')))}")
    log = host / "kelvar.log"
    print(f"Library log: {log}")
    if log.exists():
        for line in log.read_text(errors="replace").splitlines()[-6:]:
            print("  " + line)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--fresh", action="store_true", help="start again: new server data, store and run folder")
    args = parser.parse_args()
    if args.fresh and DEMO.exists():
        shutil.rmtree(DEMO)
    server_dir = DEMO / "server"
    fresh_server = not (server_dir / "mail").exists()
    server = Dovecot(server_dir, USERS)
    server.start()
    try:
        if fresh_server:
            print("demo: filling the sample mailboxes")
            fill_server(server)
        run = DEMO / "run"
        env = prepare_run_folder(run, server)
        print(f"demo: running {run / 'kelvard.exe'} (IMAP user alice, POP3 user bob)")
        code, elapsed, shot = run_program(run, env)
        report(run, code, elapsed, shot)
        library_call(server)
    finally:
        server.stop()
    print("demo: server stopped. Run scripts/demo.sh again to see migrated accounts skipped; --fresh starts over.")


if __name__ == "__main__":
    main()

"""Counts the system calls of one IMAP4 or POP3 session under Wine, per message.

Runs the session driver against the test Dovecot twice, on a small and on a
larger mailbox, each time under `strace -c -f` (the Wine process tree) while
a second strace counts the calls of the running wineserver; prints the
difference divided by the difference in messages, so the fixed cost of a
session (start-up, login) drops out. Not a test: it prints figures.

    bash scripts/wine_calls.sh [--requests] [--protocol imap|pop3] [--small 200] [--large 1200] [--pipeline N]

With --requests (set up by wine_calls.sh) the wineserver traces every
request, and the requests per message are counted by name as well.
"""
import argparse
import os
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

root = Path(os.environ.get("KELVAR_ROOT") or Path(__file__).resolve().parent.parent)
sys.path.insert(0, str(root / "tests" / "fakes"))
sys.path.insert(0, str(root / "tests" / "e2e"))
from dovecot import Dovecot  # noqa: E402

WINE = shlex.split(os.environ.get("KELVAR_WINE", f"{root}/scripts/wine-run.sh --win64"))
BUILD = Path(os.environ.get("KELVAR_BUILD", root / "build" / "windows64"))
FOLDER_SIZE = 200  # messages per folder: keeps Wine's per-directory cost out of the figures
# Calls that reach wineserver or wait: the request pipe (write/writev), the
# reply pipe (read), the fd passing socket (recvmsg/sendmsg), and the waits.
INTEREST = ("read", "write", "writev", "recvmsg", "sendmsg", "futex", "poll", "ppoll", "select", "pselect6",
            "epoll_wait", "epoll_pwait", "recvfrom", "sendto", "openat", "newfstatat", "getdents64", "rename",
            "utimensat", "fsync", "fdatasync")


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def body(i, kilobytes=0):
    """About 1 to 9 KB, or `kilobytes` when given."""
    size = kilobytes * 1024 if kilobytes else 1024 + (i * 7919) % 8192
    head = b"From: a@example.com\nSubject: message %d\n\n" % i
    line = b"The quick brown fox jumps over the lazy dog %d.\n" % i
    return head + line * (size // len(line))


def parse_summary(path):
    """syscall -> calls from an `strace -c` summary."""
    calls = {}
    for line in Path(path).read_text().splitlines():
        fields = line.split()
        if len(fields) >= 5 and re.fullmatch(r"[\d.]+", fields[0]) and fields[-1] != "total":
            try:
                calls[fields[-1]] = int(fields[3])
            except ValueError:
                pass
        elif fields and fields[-1] == "total" and len(fields) >= 4:
            calls["TOTAL"] = int(fields[3])
    return calls


def wineserver_pid():
    prefix = os.environ.get("KELVAR_WINEPREFIX") or str(BUILD / "wineprefix")
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            name = (entry / "comm").read_text().strip()
            environ = (entry / "environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if name.startswith("wineserver") and f"WINEPREFIX={prefix}".encode() in environ:
            return int(entry.name)
    return None


def measure(args, command, env, work, label):
    client_out = work / f"{label}.client.strace"
    server_out = work / f"{label}.server.strace"
    server = wineserver_pid()
    watcher = None
    if server:
        watcher = subprocess.Popen(["strace", "-c", "-f", "-p", str(server), "-o", str(server_out)],
                                   stderr=subprocess.DEVNULL)
        time.sleep(0.5)
    trace = os.environ.get("KELVAR_SERVER_TRACE")
    trace_from = os.path.getsize(trace) if trace else 0
    begun = time.monotonic()
    with open(work / f"{label}.stderr", "wb") as err:
        subprocess.run(["strace", "-c", "-f", "-o", str(client_out)] + command, env=env, stdout=subprocess.DEVNULL,
                       stderr=err, timeout=900)
    seconds = time.monotonic() - begun
    if watcher:
        watcher.send_signal(signal.SIGINT)
        watcher.wait(timeout=30)
    if trace:
        time.sleep(1)
        with open(trace, "rb") as f:
            f.seek(trace_from)
            (work / f"{label}.requests").write_bytes(f.read())
    client = parse_summary(client_out)
    served = parse_summary(server_out) if server else {}
    return client, served, seconds


def run_imap(args, dovecot, work, user, count):
    store = work / f"store-{user}"
    log = work / f"{user}.log"
    command = WINE + [str(BUILD / "tests" / "imap_session_driver.exe"), "--host=127.0.0.1",
                      f"--port={dovecot.imap_port}", f"--user={user}", "--password=secret",
                      f"--mail-path={windows_path(store)}", "--domain=example.com",
                      "--sys-folders=;INBOX;Drafts;Trash;Sent;", f"--log={windows_path(log)}",
                      f"--pipeline={args.pipeline}"]
    result = measure(args, command, dict(os.environ), work, user)
    check(log, count, store)
    return result


def run_pop3(args, dovecot, work, user, count):
    store = work / f"store-{user}"
    log = work / f"{user}.log"
    database = work / f"db-{user}" / "mail2xrv.mdb"
    database.parent.mkdir()
    env = dict(os.environ, KELVAR_ODBC=f"DRIVER={{SQLite3}};Database={database}")
    subprocess.run(WINE + [str(BUILD / "bin" / "kelvardb.exe"), windows_path(database.parent)], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=120)
    env["KELVAR_ODBC"] += ";NoCreat=1"
    command = WINE + [str(BUILD / "tests" / "pop3_session_driver.exe"), "--host=127.0.0.1",
                      f"--port={dovecot.pop3_port}", f"--user={user}", "--password=secret",
                      f"--mail-path={windows_path(store)}", "--domain=example.com", f"--log={windows_path(log)}",
                      f"--pipeline={args.pipeline}", "--wait-ms=20000"]  # its bound on the whole session grows with this
    result = measure(args, command, env, work, user)
    check(log, count, store)
    return result


def check(log, count, store):
    text = log.read_text(errors="replace")
    result = re.findall(r"^RESULT (\d+)", text, re.M)
    files = sum(1 for p in store.rglob("*") if p.is_file() and p.name != "migrated.uids")
    if not result or result[-1] != "0" or files != count:
        raise SystemExit(f"the session failed or stored {files} of {count}: see {log}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--protocol", choices=("imap", "pop3"), default="imap")
    parser.add_argument("--small", type=int, default=200)
    parser.add_argument("--large", type=int, default=1200)
    parser.add_argument("--pipeline", type=int, default=1)
    parser.add_argument("--kilobytes", type=int, default=0, help="size of every message (default: 1 to 9 KB)")
    parser.add_argument("--requests", action="store_true", help="also count wineserver requests by name (slow)")
    args = parser.parse_args()
    work = Path(tempfile.mkdtemp(prefix="kelvar-wine-calls-"))
    os.chmod(work, 0o755)
    users = {"small": args.small, "large": args.large}
    with Dovecot(work / "dovecot", {u: "secret" for u in users}) as dovecot:
        for user, count in users.items():
            for i in range(count):
                folder = "INBOX" if args.protocol == "pop3" or i < FOLDER_SIZE else f"F{i // FOLDER_SIZE}"
                dovecot.add_message(user, folder, body(i, args.kilobytes), mtime=1141826588 + 10 * i)
            dovecot.resync(user)
        run = run_imap if args.protocol == "imap" else run_pop3
        figures = {user: run(args, dovecot, work, user, count) for user, count in users.items()}
    delta = args.large - args.small
    (small_client, small_server, small_s), (large_client, large_server, large_s) = figures["small"], figures["large"]
    print(f"{args.protocol} PIPELINE={args.pipeline}: {args.small} and {args.large} messages; "
          f"{small_s:.1f} s and {large_s:.1f} s; per message ({delta} more):")
    names = sorted(set(large_client) | set(large_server), key=lambda n: (n != "TOTAL", n))
    print(f"  {'syscall':<14}{'wine processes':>16}{'wineserver':>12}")
    for name in names:
        if name != "TOTAL" and name not in INTEREST:
            continue
        c = (large_client.get(name, 0) - small_client.get(name, 0)) / delta
        s = (large_server.get(name, 0) - small_server.get(name, 0)) / delta
        if abs(c) >= 0.05 or abs(s) >= 0.05:
            print(f"  {name:<14}{c:>16.1f}{s:>12.1f}")
    if args.requests:
        counts = {u: request_counts(work / f"{u}.requests") for u in users}
        print(f"  {'wineserver request':<28}{'per message':>12}")
        for name in sorted(counts["large"], key=lambda n: -(counts["large"][n] - counts["small"].get(n, 0))):
            per = (counts["large"][name] - counts["small"].get(name, 0)) / delta
            if per >= 0.05:
                print(f"  {name:<28}{per:>12.2f}")
    print(f"  (raw summaries in {work})")


def request_counts(path):
    """request name -> how many, from the trace of `wineserver -d1` (calls, not replies)."""
    counts = {}
    # "0120: send_socket( async=..." is a call; "0120: send_socket() = ..." its reply.
    pattern = re.compile(rb"^[0-9a-f]+: (\w+)\((?!\) =)")
    with open(path, "rb") as f:
        for line in f:
            m = pattern.match(line)
            if m:
                name = m.group(1).decode()
                counts[name] = counts.get(name, 0) + 1
    return counts


if __name__ == "__main__":
    main()

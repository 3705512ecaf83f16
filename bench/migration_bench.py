"""Migration benchmark: kelvard.exe under Wine against mbsync and fetchmail on the same mailboxes.

Called by bench/run.sh, which builds, installs the peers and starts Wine and the display.
Prints a table and writes bench/results/<date>.md; the README's Benchmark section quotes it."""
import argparse
import datetime
import os
import platform
import re
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tests" / "fakes"))
sys.path.insert(0, str(HERE))
from dovecot import Dovecot  # noqa: E402
import corpus  # noqa: E402
from delay_proxy import DelayProxy  # noqa: E402
from test_certificates import TestCertificates  # noqa: E402

BUILD = Path(os.environ.get("KELVAR_BUILD", ROOT / "build" / "windows64"))
WINE = shlex.split(os.environ.get("KELVAR_WINE", f"{ROOT}/scripts/wine-run.sh --win64"))
WORK = ROOT / "build" / "bench"
SET_ASIDE = WORK / "set-aside"
SET_ASIDE_MIN_FREE = 10 * 10**9  # bytes; below this, leftovers are deleted at once
RESULTS = HERE / "results"
MB = 1_000_000
RUN_TIMEOUT = 900  # seconds; a run that takes longer is killed and reported as failed

# Targets for kelvard.exe on this kind of machine.
TARGET_MSGS = 1000
TARGET_MBS = 60
TARGET_FIXED = 3.5
TARGET_MEMORY_MB = 8
# With PIPELINE=16 on loopback, steady messages/s: IMAP on the spread corpus, POP3 on the small one.
TARGET_PIPELINED_MSGS = {"IMAP": ("spread", 1000), "POP3": ("small", 500)}
# Across a delaying proxy, kelvard.exe pipelined keeps at least this share of its own loopback rate on the
# same corpus, at these (RTT ms, PIPELINE) pairs.
TARGET_LATENCY_SHARE = 0.85
TARGET_LATENCY_POINTS = [(10, 16), (50, 64)]
# An unchanged re-run at this RTT takes at most this many seconds more than an empty account (pipelined).
TARGET_RERUN_RTT = 50
TARGET_RERUN_EXTRA = 2.0
# Sequential mode must not get slower: steady messages/s measured before the pipelined dialogue was
# reworked, with the results file they come from, and the share of it a run may lose to noise.
BEFORE_SEQUENTIAL = {  # (corpus, tool name) -> (steady messages/s, results file)
    ("small", "kelvard.exe IMAP"): (162, "2026-12-10_0103.md"),
    ("small", "kelvard.exe POP3"): (94, "2026-12-10_0103.md"),
}
BEFORE_NOISE = 0.10
LATENCY_CORPUS = "medium"
# Single-folder mailboxes a re-run can be measured on (the default is the 10,050-message one).
RERUN_MAILBOXES = ["rerun", "folder3000", "small", "folder1000", "folder300", "medium"]


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def crlf(text):
    return text.replace("\n", "\r\n")


class Shared:
    """Notes other work on the machine: load average and busy processes not started by the benchmark."""

    def __init__(self):
        self.loads = []
        self.seen = set()

    def sample(self):
        self.loads.append(float(Path("/proc/loadavg").read_text().split()[0]))
        mine = os.getpid()
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit() or int(entry.name) == mine:
                continue
            try:
                fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
                name = (entry / "comm").read_text().strip()
            except OSError:
                continue
            # Building or testing: work the benchmark never starts itself.
            if fields[0] == "R" and name in ("cc1plus", "ctest", "ninja", "ld", "make", "cmake"):
                self.seen.add(name)

    def note(self):
        """(text, shared): shared when a build or test was seen running beside the benchmark."""
        text = (f"load average (1 min) between {min(self.loads):.2f} and {max(self.loads):.2f}, the benchmark's "
                f"own processes included" if self.loads else "no samples")
        if self.seen:
            return f"shared: other work seen running ({', '.join(sorted(self.seen))}); {text}", True
        return f"quiet: no build or test seen running beside it; {text}", False


def high_water_kb(pid):
    """VmHWM of a live process: the peak resident set of its current program (reset by exec)."""
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return 0


def private_kb(pid):
    """RssAnon of a live process: its resident memory that no other process shares (heap, stacks)."""
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("RssAnon:"):
                return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return 0


def run_measured(argv, cwd, env, timeout=RUN_TIMEOUT, private_peak=None):
    """Runs one process to its end; returns (wall seconds, peak resident KB, exit code).
    private_peak: a list that gets the highest private resident KB (RssAnon) seen while it ran.

    A process still running after timeout seconds is killed (exit code -9).

    The peak is the process's VmHWM, read every few milliseconds until it exits. Wine's
    loader replaces itself (exec, same process id) with the process that runs kelvard.exe,
    so this is the peak of the migrating process. (wait4's ru_maxrss would not do: it
    keeps the parent's resident size from before the exec.)"""
    with open(cwd / "output.txt", "wb") as out:
        started = time.monotonic()
        process = subprocess.Popen(argv, cwd=str(cwd), env=env, stdout=out, stderr=subprocess.STDOUT,
                                   start_new_session=True)
        deadline = started + timeout
        peak = private = 0
        while True:
            peak = max(peak, high_water_kb(process.pid))
            if private_peak is not None:
                private = max(private, private_kb(process.pid))
            pid, status, _ = os.wait4(process.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() > deadline:
                os.killpg(process.pid, signal.SIGKILL)
                pid, status, _ = os.wait4(process.pid, 0)
                break
            time.sleep(0.003)
        wall = time.monotonic() - started
    if private_peak is not None:
        private_peak.append(private)
    process.returncode = os.waitstatus_to_exitcode(status)
    return wall, peak, process.returncode


def set_aside(path):
    """Moves what a run left out of the way; empty_set_aside deletes it all after the last run.

    Deleting thousands of files just before a run would be measured as the run's: on a file
    system without a journal (this machine's), ext4 skips inodes freed in the last minutes when
    it allocates new ones, reading their table blocks, and every file the next run creates pays
    for it (seen here: 13.6 s for a run just after the delete, 8.5 s without)."""
    if not path.exists():
        return
    if shutil.disk_usage(WORK).free < SET_ASIDE_MIN_FREE:
        # A full disk would fail every run after it: a slower next run is the lesser harm.
        shutil.rmtree(path, ignore_errors=True)
        return
    SET_ASIDE.mkdir(parents=True, exist_ok=True)
    path.rename(SET_ASIDE / f"{time.monotonic_ns()}-{path.name}")


def empty_set_aside():
    shutil.rmtree(SET_ASIDE, ignore_errors=True)


def count_files(folder, suffix=""):
    return sum(1 for p in Path(folder).rglob("*") if p.is_file() and p.name.endswith(suffix)) if folder.exists() else 0


class Kelvard:
    def __init__(self, server, protocol, pipeline=1, tag="", ca_file=None, parallel=1):
        """ca_file: SECURITY=tls, trusting that PEM file's roots. parallel: the PARALLEL key (1: left out)."""
        self.server = server
        self.protocol = protocol  # "IMAP" or "POP3"
        self.parallel = parallel
        self.private_peak = []  # the highest private resident KB of each run
        self.run = WORK / f"kelvard-{protocol.lower()}{'-p%d' % pipeline if pipeline != 1 else ''}{tag}"
        self.store = self.run / "store"
        set_aside(self.run)
        (self.run / "import").mkdir(parents=True)
        for exe in ("kelvard.exe", "kelvardb.exe"):
            shutil.copy(BUILD / "bin" / exe, self.run / exe)
        self.env = dict(os.environ, KELVAR_ODBC=f"DRIVER={{SQLite3}};Database={self.run / 'mail2xrv.mdb'}" + os.environ.get('KELVAR_BENCH_ODBC_EXTRA', ''))
        template = WORK / "mail2xrv-empty.mdb"
        if not template.exists():
            subprocess.run(WINE + [str(self.run / "kelvardb.exe"), windows_path(self.run / "mail2xrv.mdb")],
                           env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            shutil.copy(self.run / "mail2xrv.mdb", template)
        self.template = template
        self.ca_file = ca_file
        self.configure(server, pipeline)

    def configure(self, server, pipeline):
        """Points the program at server (or a proxy) with that PIPELINE."""
        self.server = server
        self.pipeline = pipeline
        ca_file = self.ca_file
        self.name = kelvard_name(self.protocol, pipeline) + (" TLS" if ca_file else "")
        cfg = (f"[SOURCE_SERVER]\nNAME_IP=127.0.0.1\nIMAP_PORT={server.imap_port}\nPOP3_PORT={server.pop3_port}\n"
               + (f"SECURITY=tls\nCA_FILE={windows_path(ca_file)}\n" if ca_file else "") +
               f"[CONFIG]\nMARK_DELETED=0\nMIGRATE_DELETED=0\nCREATE_EMPTY=0\nMAIL_PATH={windows_path(self.store)}\n"
               + (f"PIPELINE={pipeline}\n" if pipeline != 1 else "")
               + (f"PARALLEL={self.parallel}\n" if self.parallel != 1 else "") +
               f"SYS_FOLDERS=;INBOX;Drafts;Trash;Sent;\n[EXCLUDE_FOLDERS]\nEXCLUDE=\n")
        (self.run / "default.cfg").write_bytes(crlf(cfg).encode())

    def once(self, user, timeout=RUN_TIMEOUT):
        """From an empty store and database."""
        set_aside(self.store)
        shutil.copy(self.template, self.run / "mail2xrv.mdb")
        return self.again(user, timeout)

    def again(self, user, timeout=RUN_TIMEOUT):
        """Over what the store and database hold from the runs before (the account marked unmigrated).
        user: one mailbox, or a list of them for a list of accounts."""
        set_aside(self.run / "logs")
        code = 1 if self.protocol == "IMAP" else 2
        users = [user] if isinstance(user, str) else list(user)
        accounts = "".join(f"[{i}]\nU={u}\nP={corpus.PASSWORD}\nD=bench.example\nA={code}\nStatus=0\n"
                           for i, u in enumerate(users, 1))
        (self.run / "import" / "accounts.ini").write_bytes(crlf(accounts).encode())
        wall, rss, rc = run_measured(WINE + [str(self.run / "kelvard.exe")], self.run, self.env, timeout,
                                     private_peak=self.private_peak)
        stored = count_files(self.store, ".imap")
        status = (self.run / "import" / "accounts.ini").read_text(errors="replace")
        ok = rc == 0 and status.count("Status=1") == len(users)
        return wall, rss, stored, ok

    def skipped(self):
        """Messages the last run found already stored ("Skipping message #n" in its log)."""
        return sum(1 for line in self.log_lines() if "Skipping message #" in line)

    def log_lines(self):
        logs = sorted((self.run / "logs").glob("*.log"))
        return logs[-1].read_text(errors="replace").splitlines() if logs else []


class Mbsync:
    protocol = "IMAP"
    name = "mbsync IMAP"

    def __init__(self, server, tag=""):
        self.server = server
        self.run = WORK / f"mbsync{tag}"
        set_aside(self.run)
        self.run.mkdir(parents=True)
        self.maildir = self.run / "maildir"

    def once(self, user, timeout=RUN_TIMEOUT):
        """From an empty maildir and no sync state."""
        set_aside(self.maildir)
        self.maildir.mkdir()
        return self.again(user, timeout)

    def again(self, user, timeout=RUN_TIMEOUT):
        """Over the maildir and sync state of the run before."""
        # FSync off: kelvard.exe does not force its files to disk either.
        config = (f"FSync no\n\nIMAPAccount far\nHost 127.0.0.1\nPort {self.server.imap_port}\nUser {user}\n"
                  f"Pass {corpus.PASSWORD}\nSSLType None\nAuthMechs LOGIN\n\n"
                  f"IMAPStore far\nAccount far\n\n"
                  f"MaildirStore near\nPath {self.maildir}/\nInbox {self.maildir}/INBOX\nSubFolders Verbatim\n\n"
                  f"Channel bench\nFar :far:\nNear :near:\nPatterns *\nCreate Near\nSync Pull\nExpunge None\n"
                  f"SyncState *\n")
        (self.run / "mbsyncrc").write_text(config)
        wall, rss, rc = run_measured(["mbsync", "-q", "-c", str(self.run / "mbsyncrc"), "bench"], self.run,
                                     dict(os.environ, HOME=str(self.run)), timeout)
        stored = sum(1 for p in self.maildir.rglob("*") if p.is_file() and p.parent.name in ("cur", "new"))
        return wall, rss, stored, rc == 0


class Fetchmail:
    protocol = "POP3"
    name = "fetchmail POP3"

    def __init__(self, server, tag=""):
        self.server = server
        self.run = WORK / f"fetchmail{tag}"
        set_aside(self.run)
        self.run.mkdir(parents=True)
        self.out = self.run / "messages"

    def once(self, user, timeout=RUN_TIMEOUT):
        set_aside(self.out)
        self.out.mkdir()
        for stale in ("fetchids", ".fetchmail.pid"):
            (self.run / stale).unlink(missing_ok=True)
        # One file per message: the delivery shell's process id names it.
        rc_text = (f"set no syslog\n"
                   f"poll 127.0.0.1 with proto POP3 port {self.server.pop3_port} auth password\n"
                   f"  user \"{user}\" there with password \"{corpus.PASSWORD}\" is \"{os.environ.get('USER', 'root')}\""
                   f" here\n  options keep fetchall no rewrite sslproto ''\n  mda \"cat > {self.out}/m.$$\"\n")
        rcfile = self.run / "fetchmailrc"
        rcfile.write_text(rc_text)
        rcfile.chmod(0o600)
        env = dict(os.environ, HOME=str(self.run), FETCHMAILHOME=str(self.run))
        wall, rss, rc = run_measured(["fetchmail", "-f", str(rcfile), "-i", str(self.run / "fetchids"),
                                      "--nodetach", "--silent"], self.run, env, timeout)
        stored = count_files(self.out)
        # fetchmail ends with 1 when the mailbox had nothing to fetch.
        return wall, rss, stored, rc == 0 or (rc == 1 and user == "empty")


def median(values):
    return statistics.median(values) if values else float("nan")


def versions():
    def first_line(argv):
        try:
            out = subprocess.run(argv, capture_output=True, text=True, timeout=30)
            text = (out.stdout or out.stderr).strip().splitlines()
            return text[0] if text else "?"
        except (OSError, subprocess.SubprocessError):
            return "?"
    wine_loader = WINE[0] if not WINE[0].endswith(".sh") else "/usr/lib/wine/wine64"
    cpu = "?"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    mem = int(Path("/proc/meminfo").read_text().split()[1]) // 1024
    commit = first_line(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"])
    dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=no"],
                           capture_output=True, text=True).stdout.strip()
    return {
        "machine": f"{platform.node()}: {cpu}, {os.cpu_count()} cores, {mem} MB memory, {platform.system()} "
                   f"{platform.release()}",
        "kelvard.exe": f"commit {commit}{' with local changes' if dirty else ''}, build {BUILD.name}",
        "wine": first_line([wine_loader, "--version"]),
        "dovecot": first_line(["dovecot", "--version"]),
        "mbsync": first_line(["mbsync", "--version"]),
        "fetchmail": re.sub(r"^This is ", "", first_line(["fetchmail", "--version"])),
        "mingw-w64 g++": first_line(["x86_64-w64-mingw32-g++-posix", "--version"]),
    }


def fmt(value, digits=1):
    if value != value:  # NaN
        return "–"
    return f"{value:.{digits}f}"


def kelvard_name(protocol, pipeline):
    return f"kelvard.exe {protocol}" + (f" PIPELINE={pipeline}" if pipeline != 1 else "")


def verdict(good):
    return "met" if good else "MISSED"


KELVARDS = [SimpleNamespace(name="kelvard.exe IMAP", protocol="IMAP"),
            SimpleNamespace(name="kelvard.exe POP3", protocol="POP3")]
# kelvard.exe with commands in flight, on every corpus (the message-rate targets are theirs).
PIPELINED_WINDOW = 16
PIPELINED = [SimpleNamespace(name=f"kelvard.exe {p} PIPELINE={PIPELINED_WINDOW}", protocol=p) for p in ("IMAP", "POP3")]
TOOL_NAMES = ["kelvard.exe IMAP", "kelvard.exe POP3"] + [k.name for k in PIPELINED] + ["mbsync IMAP", "fetchmail POP3"]


def latency_report(latency, sizes, rtts, mailbox):
    """The table of the runs across the delaying proxy on `mailbox`, and {(tool name, rtt): share of the
    tool's own loopback steady rate}."""
    n = sizes[mailbox]["messages"]
    mbytes = sizes[mailbox]["bytes_sent"] / MB
    names = sorted({name for name, m, _ in latency if m == mailbox}, key=lambda x: (not x.startswith("kelvard"), x))

    def fig(name, mailbox, rtt):
        return median([r[0] for r in latency.get((name, mailbox, rtt), [])])

    def steady(name, rtt):
        span = fig(name, mailbox, rtt) - fig(name, "empty", rtt)
        return n / span if span > 0 else float("nan")

    lines = ["| RTT ms | tool | wall s | msg/s | MB/s | fixed s | steady msg/s | share of own loopback rate "
             "| msg/s over mbsync |", "|--:|---|--:|--:|--:|--:|--:|--:|--:|"]
    shares = {}
    for rtt in rtts:
        for name in names:
            wall = fig(name, mailbox, rtt)
            share = steady(name, rtt) / steady(name, 0) if rtt and steady(name, 0) == steady(name, 0) else float("nan")
            peer = fig("mbsync IMAP", mailbox, rtt)
            lines.append(f"| {rtt} | {name} | {fmt(wall, 2)} | {fmt(n / wall, 0)} | {fmt(mbytes / wall, 2)} | "
                         f"{fmt(fig(name, 'empty', rtt), 2)} | {fmt(steady(name, rtt), 0)} | "
                         f"{fmt(share * 100, 0) + ' %' if share == share else '–'} | "
                         f"{fmt(peer / wall, 3) if name != 'mbsync IMAP' else '–'} |")
            shares[(name, rtt)] = share
    return "\n".join(lines), shares


def latency_targets(shares_by_corpus):
    """Target lines of the runs across the proxy: IMAP read on the spread corpus, POP3 on the small one."""
    lines = []
    for protocol in ("IMAP", "POP3"):
        mailbox = TARGET_PIPELINED_MSGS[protocol][0]
        shares = shares_by_corpus.get(mailbox, {})
        for rtt, pipeline in TARGET_LATENCY_POINTS:
            name = kelvard_name(protocol, pipeline)
            what = (f"- {name} at RTT {rtt} ms, {mailbox}: share of its loopback steady rate "
                    f"(target at least {TARGET_LATENCY_SHARE:.0%})")
            share = shares.get((name, rtt), float("nan"))
            if share != share:
                lines.append(f"{what}: not measured (needs --corpora {mailbox}, --rtt {rtt}, --pipeline {pipeline})")
            else:
                lines.append(f"{what}: {fmt(share * 100, 0)} %: {verdict(share >= TARGET_LATENCY_SHARE)}")
    return lines


def curve_report(curve, sizes, names, results):
    """The folder-size curve: steady ms per message at each folder size, and the ratio to mbsync.

    The fixed cost is the median of every loopback run against the empty account by the same tool,
    the main table's too: a single run of it varies by a second on a busy machine."""
    def fig(name, mailbox):
        walls = curve.get((name, mailbox), [])
        if mailbox == "empty":
            walls = walls + [r[0] for r in results.get((name, mailbox), [])]
        return median(walls)

    def steady_ms(name, mailbox):
        span = fig(name, mailbox) - fig(name, "empty")
        return span * 1000 / sizes[mailbox]["messages"] if span == span else float("nan")

    def marginal_ms(name, mailbox, smaller):
        """ms per message of the messages the larger folder has over the smaller one: no fixed cost in it."""
        if smaller is None:
            return float("nan")
        extra = sizes[mailbox]["messages"] - sizes[smaller]["messages"]
        return (fig(name, mailbox) - fig(name, smaller)) * 1000 / extra

    lines = ["| messages in the folder | tool | wall s | fixed s | steady ms per message | steady msg/s | "
             "ms per message over mbsync | ms per message added since the size before |",
             "|--:|---|--:|--:|--:|--:|--:|--:|"]
    smaller = None
    for mailbox in corpus.CURVE:
        peer = steady_ms("mbsync IMAP", mailbox)
        for name in names:
            if not curve.get((name, mailbox)):
                continue
            ms = steady_ms(name, mailbox)
            lines.append(f"| {sizes[mailbox]['messages']} | {name} | {fmt(fig(name, mailbox), 2)} | "
                         f"{fmt(fig(name, 'empty'), 2)} | {fmt(ms, 2)} | {fmt(1000 / ms, 0) if ms > 0 else '–'} | "
                         f"{fmt(ms / peer, 1) if name != 'mbsync IMAP' and peer > 0 and ms > 0 else '–'} | "
                         f"{fmt(marginal_ms(name, mailbox, smaller), 2)} |")
        smaller = mailbox
    return "\n".join(lines)


def rerun_report(rerun, first_copies, mailbox, n):
    """The re-run table: wall seconds of an unchanged re-run beside an empty account's, commands sent,
    the ratio to mbsync; and its target lines."""
    def fig(name, rtt, what, index):
        return median([r[index] for r in rerun.get((name, rtt, what), []) if r[index] == r[index]])

    names = sorted({name for name, _, _ in rerun}, key=lambda x: (not x.startswith("kelvard"), x))
    rtts = sorted({rtt for _, rtt, _ in rerun})
    lines = [f"First copy of {n} messages on loopback: " +
             "; ".join(f"{name} {fmt(wall, 1)} s" for name, wall in first_copies) + ".", "",
             "| RTT ms | tool | re-run wall s | empty account s | re-run minus empty s | commands, re-run | "
             "commands, empty account | commands per message | re-run wall over mbsync |",
             "|--:|---|--:|--:|--:|--:|--:|--:|--:|"]
    targets = []
    for rtt in rtts:
        peer = fig("mbsync IMAP", rtt, "again", 0)
        for name in names:
            if not rerun.get((name, rtt, "again")):
                continue
            wall, empty = fig(name, rtt, "again", 0), fig(name, rtt, "empty", 0)
            cmds, empty_cmds = fig(name, rtt, "again", 1), fig(name, rtt, "empty", 1)
            stopped = [r[2] for r in rerun[(name, rtt, "again")] if r[2]]
            shown = fmt(wall, 2) + (f" ({stopped[0]})" if stopped else "")
            lines.append(f"| {rtt} | {name} | {shown} | {fmt(empty, 2)} | {fmt(wall - empty, 2)} | "
                         f"{fmt(cmds, 0) if not stopped else '–'} | {fmt(empty_cmds, 0)} | "
                         f"{fmt((cmds - empty_cmds) / n, 3) if not stopped else '–'} | "
                         f"{fmt(wall / peer, 1) if name != 'mbsync IMAP' and peer > 0 else '–'} |")
            if rtt == TARGET_RERUN_RTT and name.startswith("kelvard") and "PIPELINE" in name:
                extra = wall - empty
                targets.append(f"- {name}: unchanged re-run of {n} messages at RTT {rtt} ms takes {fmt(extra, 2)} s "
                               f"more than an empty account (target at most {TARGET_RERUN_EXTRA:g} s"
                               f"{'' if n == corpus.RERUN_MESSAGES else f', set for {corpus.RERUN_MESSAGES} messages'}"
                               f"): {verdict(extra <= TARGET_RERUN_EXTRA)}")
    if rerun and not targets:
        targets.append(f"- unchanged re-run at RTT {TARGET_RERUN_RTT} ms within {TARGET_RERUN_EXTRA:g} s of an empty "
                       f"account: not measured (needs {TARGET_RERUN_RTT} in --rerun-rtt or --rtt and a --pipeline value "
                       f"above 1)")
    return "\n".join(lines), targets


def commands_report(commands, sizes):
    """Commands sent per message, counted by the proxy, with the ratio to mbsync."""
    def fig(name, mailbox, rtt):
        return median(commands.get((name, mailbox, rtt), []))

    keys = sorted({(m, rtt, name) for name, m, rtt in commands if m != "empty"},
                  key=lambda k: (list(corpus.MAILBOXES).index(k[0]), k[1], not k[2].startswith("kelvard"), k[2]))
    lines = ["| corpus | RTT ms | tool | commands | commands, empty account | commands per message | "
             "per message over mbsync |", "|---|--:|---|--:|--:|--:|--:|"]
    for mailbox, rtt, name in keys:
        n = sizes[mailbox]["messages"]

        def per_message(tool):
            return (fig(tool, mailbox, rtt) - fig(tool, "empty", rtt)) / n

        mine, peer = per_message(name), per_message("mbsync IMAP")
        lines.append(f"| {mailbox} | {rtt} | {name} | {fmt(fig(name, mailbox, rtt), 0)} | "
                     f"{fmt(fig(name, 'empty', rtt), 0)} | {fmt(mine, 3)} | "
                     f"{fmt(mine / peer, 2) if name != 'mbsync IMAP' and peer > 0 else '–'} |")
    return "\n".join(lines)


def report(results, sizes, corpora, runs, shared_note, failures, raw, update_readme, now=None, latency=None,
           curve=None, curve_names=(), rerun=None, rerun_mailbox=None, first_copies=(), commands=None,
           command_line=None):
    """Prints the tables and writes the results file (and the README's quoted table)."""
    def fig(name, mailbox, index):
        return median([r[index] for r in results.get((name, mailbox), [])])

    rows = []
    for mailbox in corpora:
        n = sizes[mailbox]["messages"]
        mbytes = sizes[mailbox]["bytes_sent"] / MB
        for tool_name in TOOL_NAMES:
            if not results.get((tool_name, mailbox)):
                continue
            wall = fig(tool_name, mailbox, 0)
            fixed = fig(tool_name, "empty", 0)
            steady = wall - fixed
            rows.append({
                "corpus": mailbox, "tool": tool_name, "messages": n, "mb": mbytes, "wall": wall,
                "msgs": n / wall, "mbs": mbytes / wall, "fixed": fixed,
                "steady_msgs": n / steady if steady > 0 else float("nan"),
                "steady_mbs": mbytes / steady if steady > 0 else float("nan"),
                "rss": fig(tool_name, mailbox, 1)})

    by = {(r["corpus"], r["tool"]): r for r in rows}
    header = ("| corpus | tool | messages | MB sent | wall s | msg/s | MB/s | fixed s | steady msg/s | steady MB/s "
              "| peak RSS MB | steady rate over mbsync |\n|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|")
    lines = [header]
    for r in rows:
        peer = by.get((r["corpus"], "mbsync IMAP"), {}).get("steady_msgs", float("nan"))
        over = r["steady_msgs"] / peer if r["tool"] != "mbsync IMAP" and peer == peer and peer else float("nan")
        lines.append(f"| {r['corpus']} | {r['tool']} | {r['messages']} | {r['mb']:.1f} | {fmt(r['wall'], 2)} | "
                     f"{fmt(r['msgs'], 0)} | {fmt(r['mbs'])} | {fmt(r['fixed'], 2)} | {fmt(r['steady_msgs'], 0)} | "
                     f"{fmt(r['steady_mbs'])} | {fmt(r['rss'])} | {fmt(over, 3)} |")
    table = "\n".join(lines)

    ratio_lines = ["| corpus | kelvard.exe row | peer | wall | msg/s | fixed | steady msg/s | steady MB/s | peak RSS |",
                   "|---|---|---|--:|--:|--:|--:|--:|--:|"]
    for mailbox in corpora:
        for k in KELVARDS + PIPELINED:
            for peer in ("mbsync IMAP", "fetchmail POP3"):
                if (mailbox, k.name) not in by or (mailbox, peer) not in by:
                    continue
                a, b = by[(mailbox, k.name)], by[(mailbox, peer)]
                def ratio(key):
                    return f"{a[key] / b[key]:.3g}" if b[key] and b[key] == b[key] else "–"
                ratio_lines.append(f"| {mailbox} | {k.name} | {peer} | {ratio('wall')} | {ratio('msgs')} | "
                                   f"{ratio('fixed')} | {ratio('steady_msgs')} | {ratio('steady_mbs')} | "
                                   f"{ratio('rss')} |")
    ratios = "\n".join(ratio_lines)

    memory_lines = ["| kelvard.exe | peak RSS, 1 KB message | peak RSS, 50 MB message | difference | "
                    "peak RSS, large corpus | difference | target |", "|---|--:|--:|--:|--:|--:|---|"]
    targets = []
    memory_targets = []  # listed after the rate targets

    def memory_target(what, diff):
        return (f"{what} {fmt(diff)} MB to the peak (target below {TARGET_MEMORY_MB} MB): "
                f"{'met' if diff < TARGET_MEMORY_MB else 'MISSED'}")

    for k in KELVARDS + PIPELINED:
        if not results.get((k.name, "tiny")):
            continue
        tiny, huge = fig(k.name, "tiny", 1), fig(k.name, "huge", 1)
        # Pipelined, the large corpus fills the window with messages of 1 to 50 MB.
        large = fig(k.name, "large", 1) if results.get((k.name, "large")) else float("nan")
        diff = max(huge - tiny, large - tiny) if large == large else huge - tiny
        memory_lines.append(f"| {k.name.removeprefix('kelvard.exe ')} | {fmt(tiny)} MB | {fmt(huge)} MB | "
                            f"{fmt(huge - tiny)} MB | {fmt(large)} MB | {fmt(large - tiny)} MB | "
                            f"< {TARGET_MEMORY_MB} MB: {'met' if diff < TARGET_MEMORY_MB else 'MISSED'} |")
        memory_targets.append(memory_target(f"- {k.name}: the 50 MB message adds", huge - tiny))
        if large == large and k in PIPELINED:
            memory_targets.append(memory_target(f"- {k.name}: the window full of large messages adds", large - tiny))
    memory = "\n".join(memory_lines)

    for k in KELVARDS:
        fixed = fig(k.name, "empty", 0)
        targets.append(f"- {k.name}: fixed cost {fmt(fixed, 2)} s (target at most {TARGET_FIXED} s): "
                       f"{'met' if fixed <= TARGET_FIXED else 'MISSED'}")
        if "small" in corpora:
            v = by[("small", k.name)]["steady_msgs"]
            targets.append(f"- {k.name}, small: steady {fmt(v, 0)} messages/s (target at least {TARGET_MSGS}): "
                           f"{'met' if v >= TARGET_MSGS else 'MISSED'}")
        if "large" in corpora:
            v = by[("large", k.name)]["steady_mbs"]
            targets.append(f"- {k.name}, large: steady {fmt(v)} MB/s (target at least {TARGET_MBS}): "
                           f"{'met' if v >= TARGET_MBS else 'MISSED'}")
    for k in PIPELINED:
        mailbox, target = TARGET_PIPELINED_MSGS[k.protocol]
        what = f"- {k.name}, {mailbox}, loopback: steady messages/s (target at least {target})"
        if (mailbox, k.name) in by:
            v = by[(mailbox, k.name)]["steady_msgs"]
            targets.append(f"{what}: {fmt(v, 0)}: {verdict(v >= target)}")
        else:
            targets.append(f"{what}: not measured (needs --corpora {mailbox})")
    for (mailbox, name), (before, source) in BEFORE_SEQUENTIAL.items():
        if (mailbox, name) in by:
            v = by[(mailbox, name)]["steady_msgs"]
            targets.append(f"- {name}, {mailbox}: steady {fmt(v, 0)} messages/s, before the rework {fmt(before, 0)} "
                           f"(bench/results/{source}; target not slower, {BEFORE_NOISE:.0%} allowed for noise): "
                           f"{verdict(v >= before * (1 - BEFORE_NOISE))}")
    targets += memory_targets
    tls_lines = []
    for k in KELVARDS:
        name = k.name + " TLS"
        if not results.get((name, "empty")):
            continue
        if not tls_lines:
            tls_lines = ["| kelvard.exe | large, steady MB/s, clear | large, steady MB/s, TLS | TLS over clear | "
                         "peak RSS, 1 KB message, TLS | peak RSS, 50 MB message, TLS | difference |",
                         "|---|--:|--:|--:|--:|--:|--:|"]
        clear = by[("large", k.name)]["steady_mbs"] if ("large", k.name) in by else float("nan")
        span = fig(name, "large", 0) - fig(name, "empty", 0)
        secured = sizes["large"]["bytes_sent"] / MB / span if span > 0 else float("nan")
        tiny, huge = fig(name, "tiny", 1), fig(name, "huge", 1)
        tls_lines.append(f"| {k.protocol} | {fmt(clear)} | {fmt(secured)} | "
                         f"{fmt(secured / clear, 2) if clear == clear and clear else '–'} | {fmt(tiny)} MB | "
                         f"{fmt(huge)} MB | {fmt(huge - tiny)} MB |")
        targets.append(memory_target(f"- {name}: the 50 MB message adds", huge - tiny))
    tls_table = "\n".join(tls_lines)
    latency_table = ""
    latency_corpora = []
    if latency:
        rtts = sorted({rtt for _, _, rtt in latency})
        # The pipelined rows on the spread and small corpora too, where the fixed cost does not swamp the
        # steady rate; the targets are read from these (IMAP spread, POP3 small).
        latency_corpora = [m for m in (LATENCY_CORPUS, "spread", "small") if any(x == m for _, x, _ in latency)]
        shares, tables = {}, []
        for mailbox in latency_corpora:
            table_text, shares[mailbox] = latency_report(latency, sizes, rtts, mailbox)
            tables.append(f"Corpus \"{mailbox}\" ({sizes[mailbox]['messages']} messages):\n\n{table_text}")
        latency_table = "\n\n".join(tables)
        targets += latency_targets(shares)
    curve_table = curve_report(curve, sizes, curve_names, results) if curve else ""
    rerun_table = ""
    if rerun:
        rerun_table, rerun_targets = rerun_report(rerun, first_copies, rerun_mailbox,
                                                  sizes[rerun_mailbox]["messages"])
        targets += rerun_targets
    commands_table = commands_report(commands, sizes) if commands else ""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    info = versions()

    print()
    print(table)
    print()
    print(ratios)
    print()
    print(memory)
    print()
    for extra in (latency_table, curve_table, rerun_table, commands_table):
        if extra:
            print(extra)
            print()
    if tls_table:
        print(tls_table)
        print()
    print("\n".join(targets))
    if failures:
        print("\nFAILED runs:\n" + "\n".join("  " + f for f in failures))

    RESULTS.mkdir(exist_ok=True)
    result_file = RESULTS / f"{now:%Y-%m-%d_%H%M}.md"
    text = [f"# Migration benchmark, {now:%Y-%m-%d %H:%M} UTC", "",
            "Command: `" + (command_line or "bash bench/run.sh") + "`", ""]
    text += [f"- {k}: {v}" for k, v in info.items()]
    text += [f"- machine load during the run: {shared_note}", ""]
    text += ["## Figures", "",
             f"Medians of {runs} counted runs after one warm-up; the tools run interleaved in each round. "
             "Each run is one whole process from an empty destination: wall seconds from start to exit. "
             "MB are 10^6 bytes as sent by the server (CR LF lines). Fixed cost: the same process against an empty "
             "mailbox (for kelvard.exe: Wine's start, login, logout and the pause after LOGOUT). Steady rate: the "
             "corpus over (wall minus fixed cost).", "", table, "", "Ratios, kelvard.exe over the peer "
             "(above 1 means kelvard.exe takes longer, goes faster or uses more, by column):", "", ratios, "",
             "## Memory check", "", memory, ""]
    if latency_table:
        text += ["## Across a delaying proxy", "",
                 f"The corpus \"{LATENCY_CORPUS}\" ({sizes[LATENCY_CORPUS]['messages']} messages, "
                 f"{sizes[LATENCY_CORPUS]['bytes_sent'] / MB:.1f} MB) through `bench/delay_proxy.py`, which holds "
                 "every chunk for half the RTT each way (RTT 0: straight to the server). Fixed cost and steady "
                 "rate as above, at the same RTT. The further tables, where they are there, have kelvard.exe "
                 "pipelined and mbsync on the corpus \"spread\" (IMAP) and on the corpus \"small\" (POP3, and "
                 "IMAP when spread was not run): on the short corpus the fixed cost is most of a pipelined run, "
                 "so its steady rate and share vary widely from run to run; the targets are read from spread "
                 "(IMAP) and small (POP3).", "", latency_table, ""]
    if curve_table:
        text += ["## Folder size", "",
                 "kelvard.exe over IMAP and mbsync on loopback, each on a mailbox of one folder of 300, 1000 and "
                 "3000 messages of 1 to 20 KB: steady milliseconds per message (wall minus the fixed cost of an "
                 "empty account, over the messages). Under Wine creating and renaming a file costs more as its "
                 "folder fills (Wine reads the whole directory to look for a name differing only in case); "
                 "Windows has no such cost, so the rise from 300 to 3000 is Wine's.", "", curve_table, ""]
    if rerun_table:
        text += ["## Unchanged re-run", "",
                 f"The mailbox \"{rerun_mailbox}\" ({sizes[rerun_mailbox]['messages']} messages in one folder) "
                 "copied once on loopback, then migrated again, unchanged, at each RTT and each PIPELINE value "
                 "(the account set back to Status=0, store and records kept); mbsync likewise with its sync "
                 "state kept. Every run goes through the delaying proxy (RTT 0: no delay), which counts the "
                 "commands each tool sends. Beside it the same tool against an empty account through the same "
                 "proxy. A re-run still going after the limit (--rerun-limit) is stopped; its wall time is then "
                 "extrapolated from the messages it had got through (\"Skipping message\" lines of its log).",
                 "", rerun_table, ""]
    if commands_table:
        text += ["## Commands per message", "",
                 "Client-to-server command lines counted by the delaying proxy (IMAP: lines that end a command, "
                 "not a literal's data; POP3: every line), on the corpora of the runs across the proxy; at RTT 0 "
                 "one extra run of each tool through the proxy without delay. Commands per message: the run's "
                 "commands minus those against an empty account, over the messages.", "", commands_table, ""]
    if tls_table:
        text += ["## Over TLS", "", "`SECURITY=tls` to Dovecot's TLS ports with a certificate from a CA made for the "
                 "run (`CA_FILE`); large corpus and memory check as above, beside the clear-text figure.", "",
                 tls_table, ""]
    text += ["## Targets", ""] + targets + [""]
    text += ["## Method", "",
             "- Server: a private Dovecot on 127.0.0.1 (`tests/fakes/dovecot.py`); the mailboxes are written straight "
             "into its maildirs by `bench/corpus.py` (same bytes every run; file times give INTERNALDATE). Small: "
             f"{sizes['small']['messages']} messages, {sizes['small']['bytes_sent'] / MB:.1f} MB; large: "
             f"{sizes['large']['messages']} messages, {sizes['large']['bytes_sent'] / MB:.1f} MB; spread: "
             f"{sizes['spread']['messages']} messages in {sizes['spread']['folders']} folders, "
             f"{sizes['spread']['bytes_sent'] / MB:.1f} MB (IMAP only: POP3 sees one folder).",
             "- kelvard.exe: one account per process (IMAP, A=1, or POP3, A=2), SQLite migration database through "
             "`KELVAR_ODBC` copied fresh from an empty one, an empty store each run (what a run leaves is set aside "
             "and deleted after the last run: deleting it just before the next would slow that run's file "
             "creation on a file system without a journal). Success means exit "
             "code 0, `Status=1` written back and one `.imap` file per message.",
             "- mbsync: IMAP to a local maildir, `Sync Pull`, `Create Near`, `FSync no` (kelvard.exe does not force "
             "files to disk either), fresh maildir and sync state each run.",
             "- fetchmail: POP3, `keep fetchall no rewrite`, each message delivered by the MDA `cat > file` to its "
             "own file (one shell per message, which is how fetchmail delivers to files).",
             "- Peak resident memory: `VmHWM` from `/proc/<pid>/status` of the measured process, read every 3 ms "
             "until it exits (the kernel's high-water mark, so short peaks between reads are not missed). Wine's "
             "loader replaces itself (same process id) with the process that runs kelvard.exe, so this is the "
             "peak of the migrating process including Wine's own libraries; the persistent wineserver and the X "
             "server are not included. For fetchmail it is fetchmail's own peak (its delivery shells are "
             "separate, smaller processes).",
             f"- Machine load: {shared_note}."]
    if failures:
        text += ["", "## Failed runs", ""] + [f"- {f}" for f in failures]
    text += ["", "## Every run", "", "```"] + raw + ["```"]
    result_file.write_text("\n".join(text) + "\n")
    print(f"\nbench: results written to {result_file.relative_to(ROOT)}")

    if update_readme:
        readme = ROOT / "README.md"
        body = readme.read_text()
        begin, end = "<!-- bench:begin -->", "<!-- bench:end -->"
        if begin in body and end in body:
            quoted = (f"{begin}\nLatest run ({result_file.relative_to(ROOT)}, {now:%Y-%m-%d}, "
                      f"{info['machine'].split(': ', 1)[-1]}; {shared_note.split(':')[0]}):\n\n{table}\n\n{memory}\n{end}")
            readme.write_text(body[:body.index(begin)] + quoted + body[body.index(end) + len(end):])
            print("bench: README.md Benchmark section updated")
    return result_file


# Many accounts at once: with PARALLEL=8 at this RTT, eight accounts take at most this many times the wall
# time of one account alone (same PIPELINE); on loopback PARALLEL=8 is not slower than PARALLEL=1.
TARGET_MANY_RTT = 50
TARGET_MANY_RATIO = 2.0
TARGET_MANY_MEMORY_MB = 64  # peak of the process with 8 sessions, a 50 MB message in one of them
MANY_PARALLEL = 8


def many_accounts(args):
    """The many-accounts row: eight accounts one at a time and eight at once, beside one account alone, at each
    RTT, PIPELINE and protocol; then the peak memory of eight sessions with a 50 MB message in one of them.
    Uses a Dovecot of its own holding only these mailboxes. Returns the exit code."""
    rtts = sorted({int(r) for r in args.many_rtt.split(",") if r})
    pipelines = [int(x) for x in args.many_pipeline.split(",") if x]
    protocols = [x.strip().upper() for x in args.many_protocols.split(",") if x.strip()]
    users = corpus.MANY
    WORK.mkdir(parents=True, exist_ok=True)
    server = Dovecot(WORK / "server-many", {u: corpus.PASSWORD for u in users + ["huge"]})
    shared = Shared()
    server.start()
    proxies, raw, failures = [], [], []
    walls = {}  # (protocol, rtt, pipeline, what) -> wall seconds; what: "one", "parallel 1", "parallel 8"
    memory = {}  # protocol -> (peak resident MB, peak private MB)
    command_line = "bash bench/run.sh many-accounts" + "".join(" " + shlex.quote(a) for a in sys.argv[2:])

    def measure(tool, mailboxes, expected, label):
        shared.sample()
        wall, rss, stored, ok = tool.once(mailboxes)
        good = ok and stored == expected
        line = (f"{label:34} {wall:7.2f} s  {rss / 1024:6.1f} MB peak  "
                f"{tool.private_peak[-1] / 1024:6.1f} MB private  {stored}/{expected} messages"
                + ("" if good else "  FAILED"))
        raw.append(line)
        print("bench: " + line, flush=True)
        if not good:
            failures.append(f"{label}: {stored}/{expected} messages, ok={ok}")
        return wall, rss, good

    try:
        print("bench: preparing the mailboxes (reused when unchanged)")
        sizes = corpus.write_corpus(server, users=users + ["huge"])
        per_account = sizes[users[0]]["messages"]
        # Wine's first start after a while pays for loading its libraries: one run outside the figures.
        warm = Kelvard(server, "IMAP", tag="-many-warm")
        measure(warm, users[0], per_account, "warm-up one account IMAP")
        for rtt in rtts:
            if rtt:
                imap = DelayProxy(server.imap_port, rtt / 2).start()
                pop3 = DelayProxy(server.pop3_port, rtt / 2).start()
                proxies += [imap, pop3]
                where = SimpleNamespace(imap_port=imap.port, pop3_port=pop3.port)
            else:
                where = server
            for protocol in protocols:
                for pipeline in pipelines:
                    for what, parallel, mailboxes in (("one", 1, users[:1]), ("parallel 1", 1, users),
                                                      (f"parallel {MANY_PARALLEL}", MANY_PARALLEL, users)):
                        tool = Kelvard(where, protocol, pipeline, tag=f"-many-{what.replace(' ', '')}-rtt{rtt}",
                                       parallel=parallel)
                        label = f"{protocol} rtt {rtt} PIPELINE={pipeline} {what}"
                        wall, _, good = measure(tool, mailboxes, per_account * len(mailboxes), label)
                        walls[(protocol, rtt, pipeline, what)] = wall if good else float("nan")
                        set_aside(tool.run)
        if args.many_memory:
            # Eight sessions at once, one of them carrying the 50 MB message.
            for protocol in protocols:
                tool = Kelvard(server, protocol, max(pipelines), tag="-many-memory", parallel=MANY_PARALLEL)
                mailboxes = ["huge"] + users[:MANY_PARALLEL - 1]
                expected = sizes["huge"]["messages"] + per_account * (MANY_PARALLEL - 1)
                _, rss, good = measure(tool, mailboxes, expected, f"{protocol} memory, 8 sessions, 50 MB message")
                memory[protocol] = ((rss / 1024, tool.private_peak[-1] / 1024) if good
                                    else (float("nan"), float("nan")))
                set_aside(tool.run)
    finally:
        for proxy in proxies:
            proxy.stop()
        server.stop()
        empty_set_aside()

    parallel_name = f"parallel {MANY_PARALLEL}"
    table = [f"| protocol | RTT ms | PIPELINE | one account s | 8 accounts, PARALLEL=1 s | "
             f"8 accounts, PARALLEL={MANY_PARALLEL} s | PARALLEL={MANY_PARALLEL} over PARALLEL=1 | "
             f"PARALLEL={MANY_PARALLEL} over one account |", "|---|--:|--:|--:|--:|--:|--:|--:|"]
    targets = []
    for protocol in protocols:
        for rtt in rtts:
            for pipeline in pipelines:
                one, seq, par = (walls.get((protocol, rtt, pipeline, w), float("nan"))
                                 for w in ("one", "parallel 1", parallel_name))
                table.append(f"| {protocol} | {rtt} | {pipeline} | {fmt(one, 2)} | {fmt(seq, 2)} | {fmt(par, 2)} | "
                             f"{fmt(par / seq, 2)} | {fmt(par / one, 2)} |")
                if rtt == TARGET_MANY_RTT:
                    targets.append(f"- {protocol} PIPELINE={pipeline} at RTT {rtt} ms: 8 accounts with "
                                   f"PARALLEL={MANY_PARALLEL} take {fmt(par / one, 2)} times one account alone "
                                   f"(target at most {TARGET_MANY_RATIO:g}): {verdict(par / one <= TARGET_MANY_RATIO)}")
                if rtt == 0:
                    targets.append(f"- {protocol} PIPELINE={pipeline} on loopback: PARALLEL={MANY_PARALLEL} "
                                   f"{fmt(par, 2)} s, PARALLEL=1 {fmt(seq, 2)} s (target not slower): "
                                   f"{verdict(par <= seq)}")
    memory_lines = [f"| protocol | peak resident MB | peak private MB |", "|---|--:|--:|"]
    for protocol, (rss, private) in memory.items():
        memory_lines.append(f"| {protocol} | {fmt(rss)} | {fmt(private)} |")
        targets.append(f"- {protocol}: peak resident memory with {MANY_PARALLEL} sessions and a 50 MB message "
                       f"{fmt(rss)} MB (target below {TARGET_MANY_MEMORY_MB} MB): "
                       f"{verdict(rss < TARGET_MANY_MEMORY_MB)}")
    shared_note = shared.note()[0]
    print("\n" + "\n".join(table) + "\n")
    if memory:
        print("\n".join(memory_lines) + "\n")
    print("\n".join(targets))

    info = versions()
    now = datetime.datetime.now()
    RESULTS.mkdir(parents=True, exist_ok=True)
    result_file = RESULTS / f"{now:%Y-%m-%d_%H%M}-many-accounts.md"
    text = [f"# Many accounts at once ({now:%Y-%m-%d %H:%M})", "", f"Command: `{command_line}`", ""]
    text += [f"- {k}: {v}" for k, v in info.items()]
    text += ["", f"{len(users)} accounts of {per_account} messages of 2 to 20 KB each, through the delaying proxy "
             "at each RTT (none at 0); one counted run per cell after one warm-up run. Wall time of kelvard.exe "
             "from start to exit, Wine's start included.", "", "\n".join(table), "", "## Targets", "",
             "\n".join(targets)]
    if memory:
        text += ["", "## Memory", "", f"Accounts: one mailbox with one 50 MB message and {MANY_PARALLEL - 1} of the "
                 f"{per_account}-message mailboxes, PARALLEL={MANY_PARALLEL}, PIPELINE={max(pipelines)}, loopback. "
                 "Peak resident: `VmHWM` of the process (Wine's own libraries included); peak private: the highest "
                 "`RssAnon` seen, sampled every 3 ms.", "", "\n".join(memory_lines)]
    text += ["", f"- Machine load: {shared_note}."]
    if failures:
        text += ["", "## Failed runs", ""] + [f"- {f}" for f in failures]
    text += ["", "## Every run", "", "```"] + raw + ["```"]
    result_file.write_text("\n".join(text) + "\n")
    print(f"\nbench: results written to {result_file.relative_to(ROOT)}")
    return 1 if failures else 0


def main():
    if sys.argv[1:2] == ["many-accounts"]:
        parser = argparse.ArgumentParser(description=many_accounts.__doc__, prog="bench/run.sh many-accounts")
        parser.add_argument("--many-rtt", default="0,50", help="round-trip times in ms (default 0,50)")
        parser.add_argument("--many-pipeline", default="1,16", help="PIPELINE values (default 1,16)")
        parser.add_argument("--many-protocols", default="IMAP,POP3", help="IMAP, POP3 or both (default both)")
        parser.add_argument("--no-memory", dest="many_memory", action="store_false",
                            help="skip the peak memory of eight sessions with a 50 MB message")
        return many_accounts(parser.parse_args(sys.argv[2:]))
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=2, help="counted runs per row after one warm-up (default 2)")
    parser.add_argument("--corpora", default="small,large,spread",
                        help="comma-separated: small,large,spread (default all three; spread is IMAP only)")
    parser.add_argument("--no-readme", action="store_true", help="do not update the README's quoted table")
    parser.add_argument("--rtt", default="0,10,50",
                        help="round-trip times in ms for the runs across the delaying proxy and the re-run table "
                             "(default 0,10,50; '' for no runs across the proxy)")
    parser.add_argument("--pipeline", default="1,16",
                        help="PIPELINE values of kelvard.exe in those runs, the re-run table and (those above 1) "
                             "the folder-size curve (default 1,16)")
    parser.add_argument("--no-tls", dest="tls", action="store_false",
                        help="skip kelvard.exe over SECURITY=tls (large corpus and memory check)")
    parser.add_argument("--no-curve", dest="curve", action="store_false",
                        help="skip the folder-size curve (300, 1000 and 3000 messages in one folder)")
    parser.add_argument("--curve-runs", type=int, default=1,
                        help="counted runs of the folder-size curve after one warm-up (default 1)")
    parser.add_argument("--no-rerun", dest="rerun", action="store_false",
                        help="skip the table of the unchanged re-run")
    parser.add_argument("--rerun-mailbox", default="rerun", choices=RERUN_MAILBOXES,
                        help="the one-folder mailbox of the re-run table (default rerun: 10050 messages)")
    parser.add_argument("--rerun-runs", type=int, default=1, help="counted re-runs per row (default 1)")
    parser.add_argument("--rerun-rtt", default=None,
                        help="round-trip times in ms of the re-run table (default: those of --rtt, or 0 without "
                             "them; 0 is always included)")
    parser.add_argument("--rerun-limit", type=float, default=60,
                        help="seconds after which a re-run is stopped and its time extrapolated (default 60)")
    parser.add_argument("--no-commands", dest="commands", action="store_false",
                        help="skip the table of commands per message (and its counting runs at RTT 0)")
    args = parser.parse_args()
    corpora = [c for c in args.corpora.split(",") if c]
    unknown = [c for c in corpora if c not in ("small", "large", "spread")]
    if unknown:
        parser.error(f"unknown corpus {', '.join(unknown)} (small, large, spread)")
    rtts = sorted({int(r) for r in args.rtt.split(",") if r})
    if rtts and 0 not in rtts:
        rtts.insert(0, 0)  # the loopback rate each share is taken of
    pipelines = [int(p) for p in args.pipeline.split(",") if p]
    curve_runs = args.curve_runs
    rerun_rtts = rtts if args.rerun_rtt is None else sorted({int(r) for r in args.rerun_rtt.split(",") if r} | {0})
    rerun_rtts = rerun_rtts or [0]
    command_line = "bash bench/run.sh" + "".join(" " + shlex.quote(a) for a in sys.argv[1:])

    WORK.mkdir(parents=True, exist_ok=True)
    server_dir = WORK / "server"
    certificates = TestCertificates(WORK / "certificates") if args.tls else None
    server = Dovecot(server_dir, {u: corpus.PASSWORD for u in corpus.MAILBOXES},
                     tls=certificates.server if certificates else None)
    shared = Shared()
    server.start()
    proxies = []

    def endpoint(rtt):
        """The server through a proxy pair that delays by rtt and counts commands (rtt 0: no delay)."""
        imap = DelayProxy(server.imap_port, rtt / 2, protocol="imap").start()
        pop3 = DelayProxy(server.pop3_port, rtt / 2, protocol="pop3").start()
        proxies.extend([imap, pop3])
        return SimpleNamespace(imap_port=imap.port, pop3_port=pop3.port, imap_proxy=imap, pop3_proxy=pop3)

    def proxy_of(tool):
        return getattr(tool.server, "imap_proxy" if tool.protocol == "IMAP" else "pop3_proxy", None)

    failures = []
    raw = []  # every run's line, for the results file

    def measure(tool, mailbox, label, where="", again=False, timeout=RUN_TIMEOUT, expected=None):
        """One run; returns (wall, rss KB, stored, ok, commands or NaN). Notes it in raw and failures."""
        shared.sample()
        proxy = proxy_of(tool)
        if proxy:
            proxy.reset_commands()
        wall, rss, stored, ok = (tool.again if again else tool.once)(mailbox, timeout)
        cmds = float("nan")
        if proxy:
            proxy.settle()
            cmds = proxy.commands
        expected = sizes[mailbox]["messages"] if expected is None else expected
        good = ok and stored == expected
        line = (f"{label:9} {tool.name + where:30} {mailbox:6} {wall:7.2f} s  {rss / 1024:6.1f} MB peak  "
                f"{stored}/{expected} messages" + ("" if cmds != cmds else f"  {cmds} commands") +
                ("" if good else "  stopped at the limit" if again and wall >= timeout else "  FAILED"))
        raw.append(line)
        print("bench: " + line, flush=True)
        if not good and not (again and wall >= timeout):
            failures.append(f"{label} {tool.name}{where} {mailbox}: {stored}/{expected} messages, ok={ok}")
        return wall, rss, stored, ok, cmds

    try:
        print("bench: preparing the mailboxes (reused when unchanged)")
        sizes = corpus.write_corpus(server)
        tools = [Kelvard(server, "IMAP"), Kelvard(server, "POP3"), Mbsync(server), Fetchmail(server)]
        kelvards = tools[:2]
        # (tool name, mailbox) -> list of (wall, rss KB, stored) of counted runs
        results = {}
        # POP3 sees INBOX only: the spread corpus is for the IMAP tools.
        plan = [(t, m) for m in corpora + ["empty"] for t in tools if m != "spread" or t.protocol == "IMAP"]
        pipelined = [Kelvard(server, protocol, PIPELINED_WINDOW) for protocol in ("IMAP", "POP3")]
        plan += [(t, m) for m in corpora + ["empty", "tiny", "huge"] for t in pipelined
                 if m != "spread" or t.protocol == "IMAP"]
        plan += [(t, m) for m in ("tiny", "huge") for t in kelvards]
        # Over TLS from the first byte: kelvard.exe on the large corpus and the memory check.
        tls_plan = []
        if certificates:
            secure = SimpleNamespace(imap_port=server.imaps_port, pop3_port=server.pop3s_port)
            secured = [Kelvard(secure, protocol, tag="-tls", ca_file=certificates.ca_pem) for protocol in ("IMAP", "POP3")]
            tls_plan = [(t, m, "tls") for m in [c for c in corpora if c == "large"] + ["empty", "tiny", "huge"]
                        for t in secured]
        # Across the proxy: the same tools (kelvard.exe at each PIPELINE) on the medium corpus; pipelined
        # kelvard.exe and mbsync also on spread (IMAP) and small (POP3, and IMAP when spread is not run).
        latency = {}
        commands = {}  # (tool name, mailbox, rtt) -> commands of counted runs
        latency_plan = []
        counting_plan = []  # at RTT 0 through a proxy without delay, once: commands only

        def latency_group(where, rtt, tag):
            group = [Kelvard(where, protocol, p, tag) for protocol in ("IMAP", "POP3") for p in pipelines]
            group += [Mbsync(where, tag), Fetchmail(where, tag)]
            chosen = [(t, m, rtt) for m in (LATENCY_CORPUS, "empty") for t in group]
            for mailbox, protocols in (("spread", ("IMAP",)),
                                       ("small", ("POP3",) if "spread" in corpora else ("IMAP", "POP3"))):
                if mailbox in corpora:
                    chosen += [(t, mailbox, rtt) for t in group
                               if isinstance(t, Mbsync) or
                               (isinstance(t, Kelvard) and t.pipeline != 1 and t.protocol in protocols)]
            return chosen

        for rtt in rtts:
            where = endpoint(rtt) if rtt else server
            latency_plan += latency_group(where, rtt, f"-rtt{rtt}")
        if args.commands and rtts:
            counting_plan = latency_group(endpoint(0), 0, "-count")
        # The folder-size curve: kelvard.exe IMAP pipelined (at each PIPELINE above 1) and mbsync, on loopback.
        # Wine's cost per file is the same in both modes; the sequential mode's runs would only add time.
        curve = {}
        curve_tools = [Kelvard(server, "IMAP", p, "-curve") for p in [p for p in pipelines if p > 1] or [1]]
        curve_tools.append(Mbsync(server, "-curve"))
        curve_plan = [(t, m) for m in list(corpus.CURVE) + ["empty"] for t in curve_tools] if args.curve else []

        for round_ in range(args.runs + 1):
            label = "warm-up" if round_ == 0 else f"run {round_}/{args.runs}"
            for tool, mailbox in plan:
                wall, rss, stored, ok, _ = measure(tool, mailbox, label)
                if round_ > 0:
                    results.setdefault((tool.name, mailbox), []).append((wall, rss / 1024, stored))
            for tool, mailbox, rtt in latency_plan + tls_plan:
                where = "" if rtt == "tls" else f" rtt {rtt}"
                wall, rss, stored, ok, cmds = measure(tool, mailbox, label, where)
                if round_ > 0 and rtt == "tls":
                    results.setdefault((tool.name, mailbox), []).append((wall, rss / 1024, stored))
                elif round_ > 0:
                    latency.setdefault((tool.name, mailbox, rtt), []).append((wall, rss / 1024))
                    if cmds == cmds:
                        commands.setdefault((tool.name, mailbox, rtt), []).append(cmds)
            shared.sample()

        for round_ in range(curve_runs + 1 if curve_plan else 0):
            label = "warm-up" if round_ == 0 else f"run {round_}/{curve_runs}"
            for tool, mailbox in curve_plan:
                wall, _, _, _, _ = measure(tool, mailbox, label, " curve")
                if round_ > 0:
                    curve.setdefault((tool.name, mailbox), []).append(wall)

        for tool, mailbox, rtt in counting_plan:
            _, _, _, _, cmds = measure(tool, mailbox, "count", f" rtt {rtt}")
            commands.setdefault((tool.name, mailbox, rtt), []).append(cmds)

        # The unchanged re-run: one copy on loopback, then the same mailbox again at each RTT and PIPELINE.
        rerun, first_copies = {}, []
        mailbox = args.rerun_mailbox
        if args.rerun:
            n = sizes[mailbox]["messages"]
            copier = Kelvard(server, "IMAP", max(pipelines or [1]), "-rerun")
            peer = Mbsync(server, "-rerun")
            for tool in (copier, peer):
                wall, _, _, ok, _ = measure(tool, mailbox, "copy")
                first_copies.append((tool.name, wall))
            empties = {p: Kelvard(server, "IMAP", p, "-rerun-empty") for p in pipelines}
            empty_peer = Mbsync(server, "-rerun-empty")
            for round_ in range(1, args.rerun_runs + 1):
                label = f"run {round_}/{args.rerun_runs}"
                for rtt in rerun_rtts:
                    where = endpoint(rtt)
                    for p in pipelines:
                        name = kelvard_name("IMAP", p)
                        copier.configure(where, p)
                        wall, _, _, ok, cmds = measure(copier, mailbox, label, f" again rtt {rtt}", again=True,
                                                       timeout=args.rerun_limit, expected=n)
                        stopped = ""
                        if not ok and wall >= args.rerun_limit:
                            done = copier.skipped()
                            stopped = f"stopped after {wall:.0f} s at {done} of {n}; extrapolated"
                            wall = wall * n / done if done else float("nan")
                            cmds = float("nan")
                        rerun.setdefault((name, rtt, "again"), []).append((wall, cmds, stopped))
                        empties[p].configure(where, p)
                        wall, _, _, _, cmds = measure(empties[p], "empty", label, f" rtt {rtt}")
                        rerun.setdefault((name, rtt, "empty"), []).append((wall, cmds, ""))
                    peer.server = where
                    wall, _, _, _, cmds = measure(peer, mailbox, label, f" again rtt {rtt}", again=True, expected=n)
                    rerun.setdefault((peer.name, rtt, "again"), []).append((wall, cmds, ""))
                    empty_peer.server = where
                    wall, _, _, _, cmds = measure(empty_peer, "empty", label, f" rtt {rtt}")
                    rerun.setdefault((peer.name, rtt, "empty"), []).append((wall, cmds, ""))
                    where.imap_proxy.stop()
                    where.pop3_proxy.stop()
    finally:
        for proxy in proxies:
            proxy.stop()
        server.stop()
        empty_set_aside()

    report(results, sizes, corpora, args.runs, shared.note()[0], failures, raw, not args.no_readme, latency=latency,
           curve=curve, curve_names=[t.name for t in curve_tools], rerun=rerun, rerun_mailbox=mailbox,
           first_copies=first_copies, commands=commands, command_line=command_line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

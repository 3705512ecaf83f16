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
# Across a delaying proxy, kelvard.exe pipelined keeps at least this share of its own loopback rate.
TARGET_LATENCY_SHARE = 0.8
LATENCY_CORPUS = "medium"


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


def run_measured(argv, cwd, env):
    """Runs one process to its end; returns (wall seconds, peak resident KB, exit code).

    The peak is the process's VmHWM, read every few milliseconds until it exits. Wine's
    loader replaces itself (exec, same process id) with the process that runs kelvard.exe,
    so this is the peak of the migrating process. (wait4's ru_maxrss would not do: it
    keeps the parent's resident size from before the exec.)"""
    with open(cwd / "output.txt", "wb") as out:
        started = time.monotonic()
        process = subprocess.Popen(argv, cwd=str(cwd), env=env, stdout=out, stderr=subprocess.STDOUT,
                                   start_new_session=True)
        deadline = started + RUN_TIMEOUT
        peak = 0
        while True:
            peak = max(peak, high_water_kb(process.pid))
            pid, status, _ = os.wait4(process.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() > deadline:
                os.killpg(process.pid, signal.SIGKILL)
                pid, status, _ = os.wait4(process.pid, 0)
                break
            time.sleep(0.003)
        wall = time.monotonic() - started
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
    def __init__(self, server, protocol, pipeline=1, tag="", ca_file=None):
        """ca_file: SECURITY=tls, trusting that PEM file's roots."""
        self.server = server
        self.protocol = protocol  # "IMAP" or "POP3"
        self.pipeline = pipeline
        self.name = (f"kelvard.exe {protocol}" + (f" PIPELINE={pipeline}" if pipeline != 1 else "") +
                     (" TLS" if ca_file else ""))
        self.run = WORK / f"kelvard-{protocol.lower()}{'-p%d' % pipeline if pipeline != 1 else ''}{tag}"
        self.store = self.run / "store"
        set_aside(self.run)
        (self.run / "import").mkdir(parents=True)
        for exe in ("kelvard.exe", "kelvardb.exe"):
            shutil.copy(BUILD / "bin" / exe, self.run / exe)
        self.env = dict(os.environ, KELVAR_ODBC=f"DRIVER={{SQLite3}};Database={self.run / 'mail2xrv.mdb'}")
        template = WORK / "mail2xrv-empty.mdb"
        if not template.exists():
            subprocess.run(WINE + [str(self.run / "kelvardb.exe"), windows_path(self.run / "mail2xrv.mdb")],
                           env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            shutil.copy(self.run / "mail2xrv.mdb", template)
        self.template = template
        cfg = (f"[SOURCE_SERVER]\nNAME_IP=127.0.0.1\nIMAP_PORT={server.imap_port}\nPOP3_PORT={server.pop3_port}\n"
               + (f"SECURITY=tls\nCA_FILE={windows_path(ca_file)}\n" if ca_file else "") +
               f"[CONFIG]\nMARK_DELETED=0\nMIGRATE_DELETED=0\nCREATE_EMPTY=0\nMAIL_PATH={windows_path(self.store)}\n"
               + (f"PIPELINE={pipeline}\n" if pipeline != 1 else "") +
               f"SYS_FOLDERS=;INBOX;Drafts;Trash;Sent;\n[EXCLUDE_FOLDERS]\nEXCLUDE=\n")
        (self.run / "default.cfg").write_bytes(crlf(cfg).encode())

    def once(self, user):
        set_aside(self.store)
        set_aside(self.run / "logs")
        shutil.copy(self.template, self.run / "mail2xrv.mdb")
        code = 1 if self.protocol == "IMAP" else 2
        accounts = f"[1]\nU={user}\nP={corpus.PASSWORD}\nD=bench.example\nA={code}\nStatus=0\n"
        (self.run / "import" / "accounts.ini").write_bytes(crlf(accounts).encode())
        wall, rss, rc = run_measured(WINE + [str(self.run / "kelvard.exe")], self.run, self.env)
        stored = count_files(self.store, ".imap")
        status = (self.run / "import" / "accounts.ini").read_text(errors="replace")
        ok = rc == 0 and "Status=1" in status
        return wall, rss, stored, ok

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

    def once(self, user):
        set_aside(self.maildir)
        self.maildir.mkdir()
        # FSync off: kelvard.exe does not force its files to disk either.
        config = (f"FSync no\n\nIMAPAccount far\nHost 127.0.0.1\nPort {self.server.imap_port}\nUser {user}\n"
                  f"Pass {corpus.PASSWORD}\nSSLType None\nAuthMechs LOGIN\n\n"
                  f"IMAPStore far\nAccount far\n\n"
                  f"MaildirStore near\nPath {self.maildir}/\nInbox {self.maildir}/INBOX\nSubFolders Verbatim\n\n"
                  f"Channel bench\nFar :far:\nNear :near:\nPatterns *\nCreate Near\nSync Pull\nExpunge None\n"
                  f"SyncState *\n")
        (self.run / "mbsyncrc").write_text(config)
        wall, rss, rc = run_measured(["mbsync", "-q", "-c", str(self.run / "mbsyncrc"), "bench"], self.run,
                                     dict(os.environ, HOME=str(self.run)))
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

    def once(self, user):
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
                                      "--nodetach", "--silent"], self.run, env)
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


KELVARDS = [SimpleNamespace(name="kelvard.exe IMAP", protocol="IMAP"),
            SimpleNamespace(name="kelvard.exe POP3", protocol="POP3")]
# kelvard.exe with commands in flight, on the small corpus (the message-rate target is theirs).
PIPELINED_WINDOW = 16
PIPELINED = [SimpleNamespace(name=f"kelvard.exe {p} PIPELINE={PIPELINED_WINDOW}", protocol=p) for p in ("IMAP", "POP3")]
TOOL_NAMES = ["kelvard.exe IMAP", "kelvard.exe POP3"] + [k.name for k in PIPELINED] + ["mbsync IMAP", "fetchmail POP3"]


def latency_report(latency, sizes, rtts, mailbox):
    """The table of the runs across the delaying proxy on `mailbox`, and its target lines."""
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
    targets = []
    for rtt in rtts:
        for name in names:
            wall = fig(name, mailbox, rtt)
            share = steady(name, rtt) / steady(name, 0) if rtt and steady(name, 0) == steady(name, 0) else float("nan")
            peer = fig("mbsync IMAP", mailbox, rtt)
            lines.append(f"| {rtt} | {name} | {fmt(wall, 2)} | {fmt(n / wall, 0)} | {fmt(mbytes / wall, 2)} | "
                         f"{fmt(fig(name, 'empty', rtt), 2)} | {fmt(steady(name, rtt), 0)} | "
                         f"{fmt(share * 100, 0) + ' %' if share == share else '–'} | "
                         f"{fmt(peer / wall, 3) if name != 'mbsync IMAP' else '–'} |")
            if rtt and name.startswith("kelvard") and "PIPELINE" in name:
                targets.append(f"- {name} at RTT {rtt} ms: {fmt(share * 100, 0)} % of its loopback steady rate "
                               f"(target at least {TARGET_LATENCY_SHARE:.0%}): "
                               f"{'met' if share >= TARGET_LATENCY_SHARE else 'MISSED'}")
    return "\n".join(lines), targets


def report(results, sizes, corpora, runs, shared_note, failures, raw, update_readme, now=None, latency=None):
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

    header = ("| corpus | tool | messages | MB sent | wall s | msg/s | MB/s | fixed s | steady msg/s | steady MB/s "
              "| peak RSS MB |\n|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|")
    lines = [header]
    for r in rows:
        lines.append(f"| {r['corpus']} | {r['tool']} | {r['messages']} | {r['mb']:.1f} | {fmt(r['wall'], 2)} | "
                     f"{fmt(r['msgs'], 0)} | {fmt(r['mbs'])} | {fmt(r['fixed'], 2)} | {fmt(r['steady_msgs'], 0)} | "
                     f"{fmt(r['steady_mbs'])} | {fmt(r['rss'])} |")
    table = "\n".join(lines)

    by = {(r["corpus"], r["tool"]): r for r in rows}
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
        if ("small", k.name) in by:
            v = by[("small", k.name)]["steady_msgs"]
            targets.append(f"- {k.name}, small: steady {fmt(v, 0)} messages/s (target at least {TARGET_MSGS}): "
                           f"{'met' if v >= TARGET_MSGS else 'MISSED'}")
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
    if latency:
        rtts = sorted({rtt for _, _, rtt in latency})
        latency_table, latency_targets = latency_report(latency, sizes, rtts, LATENCY_CORPUS)
        # The pipelined rows on the small corpus too, where the fixed cost does not swamp the steady rate;
        # the targets are read from these when they were run.
        if any(m == "small" for _, m, _ in latency):
            small_table, latency_targets = latency_report(latency, sizes, rtts, "small")
            latency_table += "\n\n" + small_table
        targets += latency_targets
    now = now or datetime.datetime.now(datetime.timezone.utc)
    info = versions()

    print()
    print(table)
    print()
    print(ratios)
    print()
    print(memory)
    print()
    if latency_table:
        print(latency_table)
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
            "Command: `bash bench/run.sh" + (f" --runs {runs}" if runs != 3 else "") +
            (f" --corpora {','.join(corpora)}" if corpora != ["small", "large"] else "") + "`", ""]
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
                 "rate as above, at the same RTT. The second table, where it is there, has kelvard.exe pipelined "
                 f"and mbsync on the corpus \"small\" ({sizes['small']['messages']} messages): on the short corpus "
                 "the fixed cost is most of a pipelined run, so its steady rate and share vary widely from run to "
                 "run; the targets are read from the small corpus.", "", latency_table, ""]
    if tls_table:
        text += ["## Over TLS", "", "`SECURITY=tls` to Dovecot's TLS ports with a certificate from a CA made for the "
                 "run (`CA_FILE`); large corpus and memory check as above, beside the clear-text figure.", "",
                 tls_table, ""]
    text += ["## Targets", ""] + targets + [""]
    text += ["## Method", "",
             "- Server: a private Dovecot on 127.0.0.1 (`tests/fakes/dovecot.py`); the mailboxes are written straight "
             "into its maildirs by `bench/corpus.py` (same bytes every run; file times give INTERNALDATE). Small: "
             f"{sizes['small']['messages']} messages, {sizes['small']['bytes_sent'] / MB:.1f} MB; large: "
             f"{sizes['large']['messages']} messages, {sizes['large']['bytes_sent'] / MB:.1f} MB.",
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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=3, help="counted runs per row after one warm-up (default 3)")
    parser.add_argument("--corpora", default="small,large", help="comma-separated: small,large")
    parser.add_argument("--no-readme", action="store_true", help="do not update the README's quoted table")
    parser.add_argument("--rtt", default="0,10,50",
                        help="round-trip times in ms for the runs across the delaying proxy (default 0,10,50; "
                             "'' for none)")
    parser.add_argument("--pipeline", default="1,16", help="PIPELINE values of kelvard.exe in those runs")
    parser.add_argument("--no-tls", dest="tls", action="store_false",
                        help="skip kelvard.exe over SECURITY=tls (large corpus and memory check)")
    args = parser.parse_args()
    corpora = [c for c in args.corpora.split(",") if c]
    rtts = sorted({int(r) for r in args.rtt.split(",") if r})
    if rtts and 0 not in rtts:
        rtts.insert(0, 0)  # the loopback rate each share is taken of
    pipelines = [int(p) for p in args.pipeline.split(",") if p]

    WORK.mkdir(parents=True, exist_ok=True)
    server_dir = WORK / "server"
    certificates = TestCertificates(WORK / "certificates") if args.tls else None
    server = Dovecot(server_dir, {u: corpus.PASSWORD for u in corpus.MAILBOXES},
                     tls=certificates.server if certificates else None)
    shared = Shared()
    server.start()
    try:
        print("bench: preparing the mailboxes (reused when unchanged)")
        sizes = corpus.write_corpus(server)
        tools = [Kelvard(server, "IMAP"), Kelvard(server, "POP3"), Mbsync(server), Fetchmail(server)]
        kelvards = tools[:2]
        # (tool name, mailbox) -> list of (wall, rss KB, stored) of counted runs
        results = {}
        plan = [(t, m) for m in corpora + ["empty"] for t in tools]
        pipelined = [Kelvard(server, protocol, PIPELINED_WINDOW) for protocol in ("IMAP", "POP3")]
        plan += [(t, m) for m in corpora + ["empty", "tiny", "huge"] for t in pipelined]
        plan += [(t, m) for m in ("tiny", "huge") for t in kelvards]
        # Over TLS from the first byte: kelvard.exe on the large corpus and the memory check.
        tls_plan = []
        if certificates:
            endpoint = SimpleNamespace(imap_port=server.imaps_port, pop3_port=server.pop3s_port)
            secured = [Kelvard(endpoint, protocol, tag="-tls", ca_file=certificates.ca_pem) for protocol in ("IMAP", "POP3")]
            tls_plan = [(t, m, "tls") for m in [c for c in corpora if c == "large"] + ["empty", "tiny", "huge"]
                        for t in secured]
        # Across the proxy: the same tools (kelvard.exe at each PIPELINE) on the medium corpus.
        latency = {}
        latency_plan = []
        proxies = []
        for rtt in rtts:
            if rtt:
                imap, pop3 = (DelayProxy(port, rtt / 2).start() for port in (server.imap_port, server.pop3_port))
                proxies += [imap, pop3]
                endpoint = SimpleNamespace(imap_port=imap.port, pop3_port=pop3.port)
            else:
                endpoint = server
            tag = f"-rtt{rtt}"
            group = [Kelvard(endpoint, protocol, p, tag) for protocol in ("IMAP", "POP3") for p in pipelines]
            group += [Mbsync(endpoint, tag), Fetchmail(endpoint, tag)]
            latency_plan += [(t, m, rtt) for m in (LATENCY_CORPUS, "empty") for t in group]
            if "small" in corpora:
                latency_plan += [(t, "small", rtt) for t in group
                                 if isinstance(t, Mbsync) or (isinstance(t, Kelvard) and t.pipeline != 1)]
        failures = []
        raw = []  # every run's line, for the results file
        for round_ in range(args.runs + 1):
            label = "warm-up" if round_ == 0 else f"run {round_}/{args.runs}"
            for tool, mailbox in plan:
                shared.sample()
                wall, rss, stored, ok = tool.once(mailbox)
                expected = sizes[mailbox]["messages"]
                good = ok and stored == expected
                line = (f"{label:9} {tool.name:16} {mailbox:6} {wall:7.2f} s  {rss / 1024:6.1f} MB peak  "
                        f"{stored}/{expected} messages{'' if good else '  FAILED'}")
                raw.append(line)
                print("bench: " + line, flush=True)
                if not good:
                    failures.append(f"{label} {tool.name} {mailbox}: {stored}/{expected} messages, ok={ok}")
                if round_ > 0:
                    results.setdefault((tool.name, mailbox), []).append((wall, rss / 1024, stored))
            for tool, mailbox, rtt in latency_plan + tls_plan:
                shared.sample()
                wall, rss, stored, ok = tool.once(mailbox)
                expected = sizes[mailbox]["messages"]
                good = ok and stored == expected
                where = "" if rtt == "tls" else f" rtt {rtt}"
                line = (f"{label:9} {tool.name + where:30} {mailbox:6} {wall:7.2f} s  "
                        f"{rss / 1024:6.1f} MB peak  {stored}/{expected} messages{'' if good else '  FAILED'}")
                raw.append(line)
                print("bench: " + line, flush=True)
                if not good:
                    failures.append(f"{label} {tool.name}{where} {mailbox}: {stored}/{expected} messages, ok={ok}")
                if round_ > 0 and rtt == "tls":
                    results.setdefault((tool.name, mailbox), []).append((wall, rss / 1024, stored))
                elif round_ > 0:
                    latency.setdefault((tool.name, mailbox, rtt), []).append((wall, rss / 1024))
            shared.sample()
    finally:
        for proxy in proxies:
            proxy.stop()
        server.stop()
        empty_set_aside()

    report(results, sizes, corpora, args.runs, shared.note()[0], failures, raw, not args.no_readme, latency=latency)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

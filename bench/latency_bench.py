"""Migration over a slow network: kelvard.exe with PIPELINE 1 and 16 (IMAP and
POP3), mbsync and fetchmail, each through a proxy on loopback that delays every
chunk, at several round-trip times, on the "near" mailbox (300 messages of 2 to
20 KB); the "empty" mailbox through the same proxy gives each tool's fixed cost.

Prints a table per round-trip time and tool: wall seconds, messages/s and MB/s,
the fixed cost and the steady rate (wall less fixed cost), the speed against
mbsync in the same run, and for kelvard.exe its steady rate against its own at
the first round-trip time; writes bench/results/<date>_<time>_latency.md.
Figures, not a test."""
import argparse
import datetime
import platform
import sys
from pathlib import Path
from types import SimpleNamespace

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import migration_bench as mb  # noqa: E402
from delay_proxy import DelayProxy  # noqa: E402

MAILBOX = "near"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rtt", default="0,10,50", help="comma-separated round-trip times in ms (default 0,10,50)")
    parser.add_argument("--runs", type=int, default=1, help="counted runs per row after one warm-up (default 1)")
    args = parser.parse_args()
    rtts = [int(r) for r in args.rtt.split(",") if r]

    mb.WORK.mkdir(parents=True, exist_ok=True)
    server = mb.Dovecot(mb.WORK / "server", {u: mb.corpus.PASSWORD for u in mb.corpus.MAILBOXES})
    server.start()
    rows, raw, failures = [], [], []
    try:
        print("bench: preparing the mailboxes (reused when unchanged)")
        sizes = mb.corpus.write_corpus(server)
        expected = sizes[MAILBOX]["messages"]
        megabytes = sizes[MAILBOX]["bytes_sent"] / mb.MB
        for rtt in rtts:
            proxies = [DelayProxy(server.imap_port, rtt / 2).start(), DelayProxy(server.pop3_port, rtt / 2).start()]
            far = SimpleNamespace(imap_port=proxies[0].port, pop3_port=proxies[1].port)
            tools = [mb.Kelvard(far, "IMAP", 1), mb.Kelvard(far, "IMAP", 16), mb.Kelvard(far, "POP3", 1),
                     mb.Kelvard(far, "POP3", 16), mb.Mbsync(far), mb.Fetchmail(far)]
            try:
                walls = {}
                for round_ in range(args.runs + 1):
                    for tool in tools:
                        for mailbox in (MAILBOX, "empty"):
                            wall, _, stored, ok = tool.once(mailbox)
                            want = sizes[mailbox]["messages"]
                            good = ok and stored == want
                            line = (f"rtt {rtt:3} ms {'warm-up' if round_ == 0 else f'run {round_}':8} "
                                    f"{tool.name:22} {mailbox:5} {wall:7.2f} s {stored}/{want}"
                                    f"{'' if good else '  FAILED'}")
                            print("bench: " + line, flush=True)
                            raw.append(line)
                            if not good:
                                failures.append(line)
                            if round_ > 0:
                                walls.setdefault((tool.name, mailbox), []).append(wall)
                reference = mb.median(walls.get(("mbsync IMAP", MAILBOX), []))
                for tool in tools:
                    wall = mb.median(walls[(tool.name, MAILBOX)])
                    fixed = mb.median(walls[(tool.name, "empty")])
                    steady = expected / (wall - fixed) if wall > fixed else float("nan")
                    rows.append((rtt, tool.name, wall, expected / wall, megabytes / wall, fixed, steady,
                                 reference / wall if tool.protocol == "IMAP" else float("nan")))
            finally:
                for proxy in proxies:
                    proxy.stop()
    finally:
        server.stop()

    lines = ["| RTT ms | tool | wall s | msg/s | MB/s | fixed s | steady msg/s | speed vs mbsync | steady vs first RTT |",
             "|--:|---|--:|--:|--:|--:|--:|--:|--:|"]
    first = {name: steady for rtt, name, _, _, _, _, steady, _ in rows if rtt == rtts[0]}
    for rtt, name, wall, rate, mbs, fixed, steady, ratio in rows:
        own = steady / first[name] if name.startswith("kelvard") and name in first else float("nan")
        lines.append(f"| {rtt} | {name} | {wall:.2f} | {rate:.0f} | {mbs:.2f} | {fixed:.2f} | {mb.fmt(steady, 0)} | "
                     f"{mb.fmt(ratio, 2)} | {mb.fmt(own, 2)} |")
    now = datetime.datetime.now()
    text = [f"# Latency run {now:%Y-%m-%d %H:%M}", "",
            f"{platform.node()}, {platform.platform()}; mailbox {MAILBOX}: {expected} messages, "
            f"{megabytes:.1f} MB as sent; each chunk delayed RTT/2 each way by bench/delay_proxy.py; "
            f"medians of {args.runs} counted run(s) after a warm-up.", ""] + lines + ["", "```"] + raw + ["```", ""]
    mb.RESULTS.mkdir(exist_ok=True)
    out = mb.RESULTS / f"{now:%Y-%m-%d_%H%M}_latency.md"
    out.write_text("\n".join(text))
    print("\n".join(lines))
    print(f"bench: written to {out}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

"""Deterministic benchmark mailboxes, written straight into a private Dovecot's maildirs.

Every mailbox is a user of its own, its messages in INBOX except for "spread", whose
messages fill INBOX and nine further folders. The same seed gives the same bytes on
every run; file times (INTERNALDATE) are distinct so that no two messages share a date."""
import base64
import hashlib
import json
import os
import random
import shutil
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools" / "demo"))
import sample_mail  # noqa: E402

BASE_TIME = 1141826589  # 8 March 2006
MB = 1_000_000
PASSWORD = "bench-pw"

# user -> (description, generator name)
MAILBOXES = {
    "small": "2000 messages of 1 to 20 KB",
    "large": "20 messages of 1 to 10 MB and one of 50 MB",
    "medium": "300 messages of 2 to 20 KB (the runs across a delaying proxy)",
    "empty": "no message (fixed cost of one account)",
    "tiny": "one message of 1 KB (memory check)",
    "huge": "one message of 50 MB (memory check)",
    "spread": "3000 messages of 1 to 20 KB in 10 folders of 300 (IMAP)",
    "folder300": "300 messages of 1 to 20 KB (folder-size curve)",
    "folder1000": "1000 messages of 1 to 20 KB (folder-size curve)",
    "folder3000": "3000 messages of 1 to 20 KB (folder-size curve)",
    "rerun": "10050 messages of 1 to 20 KB (copied once, then run again unchanged)",
}
# Eight accounts of an organisation, run one at a time and all at once.
MANY = [f"many{i}" for i in range(1, 9)]
MANY_MESSAGES = 300
for _user in MANY:
    MAILBOXES[_user] = f"{MANY_MESSAGES} messages of 2 to 20 KB (one of eight accounts run at once)"
# The folder-size curve: mailbox -> messages in its one folder.
CURVE = {"folder300": 300, "folder1000": 1000, "folder3000": 3000}
# "spread": a realistic account, its messages in folders of a few hundred.
SPREAD_FOLDERS = ["INBOX"] + [f"Archive{i:02}" for i in range(1, 10)]
SPREAD_PER_FOLDER = 300
RERUN_MESSAGES = 10050


def attachment_message(seed, size):
    """A short text part (with a line beginning with ".") and a base64 attachment; about size bytes."""
    rng = random.Random(seed)
    boundary = f"=_bench_{seed}"
    text = sample_mail.message(seed, 1500).decode("latin-1").split("\n\n", 1)[1]
    raw = rng.randbytes(max(0, (size - 2000) * 57 // 78))
    encoded = base64.encodebytes(raw).decode()  # 76-character lines
    head = (f"From: Sender {seed % 17} <sender{seed % 17}@example.org>\n"
            f"To: Recipient <user@example.com>\n"
            f"Subject: Large attachment #{seed}\n"
            f"Message-ID: <large.{seed}@example.org>\n"
            f"MIME-Version: 1.0\n"
            f'Content-Type: multipart/mixed; boundary="{boundary}"\n\n'
            f"--{boundary}\nContent-Type: text/plain; charset=ISO-8859-1\nContent-Transfer-Encoding: 8bit\n\n")
    tail = (f"--{boundary}\nContent-Type: application/octet-stream; name=archive{seed}.bin\n"
            f"Content-Transfer-Encoding: base64\n\n")
    return (head + text + tail + encoded + f"--{boundary}--\n").encode("latin-1")


def folder_of(user, index):
    """The server folder of a mailbox's index-th message."""
    if user == "spread":
        return SPREAD_FOLDERS[index // SPREAD_PER_FOLDER]
    return "INBOX"


def plain_messages(first_seed, count, size_seed):
    """count messages of 1 to 20 KB, as in "small"."""
    sizes = random.Random(size_seed)
    for i in range(count):
        yield sample_mail.message(first_seed + i, sizes.randint(1024, 19 * 1024))


def messages(user):
    """Yields the messages of a mailbox (LF line ends) in order."""
    if user == "small":
        sizes = random.Random(2000)
        for i in range(2000):
            yield sample_mail.message(100_000 + i, sizes.randint(1024, 19 * 1024))
    elif user == "large":
        sizes = random.Random(16)
        for i in range(20):
            yield attachment_message(200_000 + i, sizes.randint(1 * MB, 10 * MB))
        yield attachment_message(200_100, 50 * MB)
    elif user == "medium":
        sizes = random.Random(300)
        for i in range(300):
            yield sample_mail.message(400_000 + i, sizes.randint(2 * 1024, 20 * 1024))
    elif user == "tiny":
        yield sample_mail.message(300_000, 1000)
    elif user == "huge":
        yield attachment_message(200_100, 50 * MB)
    elif user == "spread":
        yield from plain_messages(500_000, len(SPREAD_FOLDERS) * SPREAD_PER_FOLDER, 3000)
    elif user in CURVE:
        yield from plain_messages(600_000 + CURVE[user] * 10, CURVE[user], CURVE[user])
    elif user == "rerun":
        yield from plain_messages(700_000, RERUN_MESSAGES, RERUN_MESSAGES)
    elif user in MANY:
        k = MANY.index(user)
        sizes = random.Random(800 + k)
        for i in range(MANY_MESSAGES):
            yield sample_mail.message(800_000 + k * 1000 + i, sizes.randint(2 * 1024, 20 * 1024))


def generator_digest():
    """Changes whenever the generators change: a stored corpus is reused only when it matches."""
    h = hashlib.sha256()
    for path in (Path(__file__), ROOT / "tools" / "demo" / "sample_mail.py"):
        h.update(path.read_bytes())
    return h.hexdigest()


def write_corpus(server, log=print, users=None):
    """Fills the mailboxes of `users` (every mailbox when None) unless the stored ones were made by the same
    generators.

    Returns {user: {"messages": n, "bytes_sent": CR LF bytes, "folders": n}} for those users."""
    users = list(users or MAILBOXES)
    manifest = server.folder / "bench-corpus.json"
    digest = generator_digest()
    stored = {}
    if manifest.exists():
        data = json.loads(manifest.read_text())
        if data.get("digest") == digest:
            stored = {u: s for u, s in data["mailboxes"].items() if (server.folder / "mail" / u / "cur").is_dir()}
    missing = [u for u in users if u not in stored]
    for user in missing:
        home = server.folder / "mail" / user
        if home.exists():
            shutil.rmtree(home)
        count = sent = 0
        folders = set()
        for i, data in enumerate(messages(user)):
            name = folder_of(user, i)
            # Maildir++: INBOX is the user's directory, another folder ".<name>" inside it.
            maildir = home if name == "INBOX" else home / f".{name}"
            if name not in folders:
                for sub in ("cur", "new", "tmp"):
                    (maildir / sub).mkdir(parents=True, exist_ok=True)
                folders.add(name)
            mtime = BASE_TIME + i * 3600
            path = maildir / "cur" / f"{mtime}.M{i}P1.bench:2,S"
            path.write_bytes(data)
            os.utime(path, (mtime, mtime))
            count += 1
            sent += len(data) + data.count(b"\n")  # the server sends CR LF
        for sub in ("cur", "new", "tmp"):
            (home / sub).mkdir(parents=True, exist_ok=True)
        stored[user] = {"messages": count, "bytes_sent": sent, "folders": max(1, len(folders))}
        log(f"bench: mailbox {user}: {count} messages in {max(1, len(folders))} folder(s), "
            f"{sent / MB:.1f} MB as sent")
    for user in missing:
        server.resync(user)
    if missing:
        manifest.write_text(json.dumps({"digest": digest, "mailboxes": stored}, indent=1))
    return {u: stored[u] for u in users}

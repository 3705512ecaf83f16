"""Deterministic benchmark mailboxes, written straight into a private Dovecot's maildirs.

Every mailbox is INBOX of its own user. The same seed gives the same bytes on every
run; file times (INTERNALDATE) are distinct so that no two messages share a date."""
import base64
import hashlib
import json
import os
import random
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
    "near": "300 messages of 2 to 20 KB (the latency runs)",
    "large": "20 messages of 1 to 10 MB and one of 50 MB",
    "empty": "no message (fixed cost of one account)",
    "tiny": "one message of 1 KB (memory check)",
    "huge": "one message of 50 MB (memory check)",
}


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


def messages(user):
    """Yields the messages of a mailbox (LF line ends) in order."""
    if user == "small":
        sizes = random.Random(2000)
        for i in range(2000):
            yield sample_mail.message(100_000 + i, sizes.randint(1024, 19 * 1024))
    elif user == "near":
        sizes = random.Random(300)
        for i in range(300):
            yield sample_mail.message(400_000 + i, sizes.randint(2 * 1024, 20 * 1024))
    elif user == "large":
        sizes = random.Random(16)
        for i in range(20):
            yield attachment_message(200_000 + i, sizes.randint(1 * MB, 10 * MB))
        yield attachment_message(200_100, 50 * MB)
    elif user == "tiny":
        yield sample_mail.message(300_000, 1000)
    elif user == "huge":
        yield attachment_message(200_100, 50 * MB)


def generator_digest():
    """Changes whenever the generators change: a stored corpus is reused only when it matches."""
    h = hashlib.sha256()
    for path in (Path(__file__), ROOT / "tools" / "demo" / "sample_mail.py"):
        h.update(path.read_bytes())
    return h.hexdigest()


def write_corpus(server, log=print):
    """Fills every mailbox unless the stored one was made by the same generators.

    Returns {user: {"messages": n, "bytes_sent": CR LF bytes}}."""
    manifest = server.folder / "bench-corpus.json"
    digest = generator_digest()
    if manifest.exists():
        data = json.loads(manifest.read_text())
        if data.get("digest") == digest and all((server.folder / "mail" / u / "cur").is_dir() for u in MAILBOXES):
            return data["mailboxes"]
    summary = {}
    for user in MAILBOXES:
        inbox = server.folder / "mail" / user
        for sub in ("cur", "new", "tmp"):
            folder = inbox / sub
            folder.mkdir(parents=True, exist_ok=True)
            for old in folder.iterdir():
                old.unlink()
        count = sent = 0
        for i, data in enumerate(messages(user)):
            mtime = BASE_TIME + i * 3600
            path = inbox / "cur" / f"{mtime}.M{i}P1.bench:2,S"
            path.write_bytes(data)
            os.utime(path, (mtime, mtime))
            count += 1
            sent += len(data) + data.count(b"\n")  # the server sends CR LF
        for index in inbox.glob("dovecot*"):
            index.unlink()
        summary[user] = {"messages": count, "bytes_sent": sent}
        log(f"bench: mailbox {user}: {count} messages, {sent / MB:.1f} MB as sent")
    for user in MAILBOXES:
        server.resync(user)
    manifest.write_text(json.dumps({"digest": digest, "mailboxes": summary}, indent=1))
    return summary

"""Deterministic sample messages: the same bytes on every run (seeded), varied enough
to exercise a migration: plain and 8-bit text, lines beginning with "." and "+OK",
lines that look like IMAP responses, base64 attachments, long lines."""
import base64
import random

SUBJECTS = ["Quarterly figures", "Lunch on Friday?", "Re: build broken", "Minutes of the meeting",
            "Invoice 2041", "Travel plans", "Café menu", "Holiday photos", "Server maintenance", "Draft proposal"]
WORDS = ("the quick brown fox jumps over a lazy dog while migration of mail keeps every byte in place "
         "server client folder message store report figure plan meeting coffee tea résumé naïve").split()


def _paragraph(rng, lines):
    out = []
    for _ in range(lines):
        out.append(" ".join(rng.choice(WORDS) for _ in range(rng.randint(4, 14))))
    return out


def message(seed, size_hint=4000, when=1141826589):
    """One RFC 5322 message with LF line ends, about size_hint bytes."""
    rng = random.Random(seed)
    subject = rng.choice(SUBJECTS)
    lines = [
        f"From: Sender {seed % 17} <sender{seed % 17}@example.org>",
        "To: Recipient <user@example.com>",
        f"Subject: {subject} #{seed}",
        f"Message-ID: <{seed}.{when}@example.org>",
        "MIME-Version: 1.0",
    ]
    attach = rng.random() < 0.3
    if attach:
        boundary = f"=_part_{seed}"
        lines += [f'Content-Type: multipart/mixed; boundary="{boundary}"', "", f"--{boundary}",
                  "Content-Type: text/plain; charset=ISO-8859-1", "Content-Transfer-Encoding: 8bit", ""]
    else:
        lines += ["Content-Type: text/plain; charset=ISO-8859-1", "Content-Transfer-Encoding: 8bit", ""]
    body = _paragraph(rng, 3)
    body.append(".a line that begins with a dot")
    if rng.random() < 0.5:
        body.append("+OK this line only looks like a server reply")
    if rng.random() < 0.3:
        body.append("A004 OK FETCH completed")
    size = sum(len(x) + 1 for x in lines + body)
    while size < size_hint * (0.6 if attach else 1.0):
        paragraph = _paragraph(rng, 4) + [""]
        size += sum(len(x) + 1 for x in paragraph)
        body += paragraph
    lines += body
    if attach:
        blob = rng.randbytes(int(size_hint * 0.3))
        encoded = base64.encodebytes(blob).decode().rstrip("\n").split("\n")
        lines += [f"--{boundary}", "Content-Type: application/octet-stream; name=data.bin",
                  "Content-Transfer-Encoding: base64", ""] + encoded + [f"--{boundary}--"]
    return ("\n".join(lines) + "\n").encode("latin-1")

#!/usr/bin/env python3
"""A Maildir++ tree of real MIME messages for the Maildir benchmark, and the
per-folder digests its check compares.

    maildir_corpus.py generate DIR --messages N [--seed S] [--max-attachment BYTES]
    maildir_corpus.py digest DIR

generate writes INBOX and nine folders (nested ones, and "Entwürfe" under its
modified UTF-7 name): plain text messages, multipart/alternative text+HTML,
about 15% multipart/mixed with base64 attachments of 10 KB up to
--max-attachment (default 2 MB), From and Subject headers with RFC 2047
encoded words, flags in the file names (:2,S  :2,RS  :2,FS, keyword letters,
some unseen ones in new/) and dovecot-keywords files. The same seed and
count give the same bytes. It prints "MESSAGES BYTES".

digest prints one line "FOLDER SHA256" for every message file under cur/ and
new/ of every folder (FOLDER as IMAP names it: INBOX, Archive.2025, ...),
sorted, so two trees holding the same messages give the same text."""
import argparse
import base64
import email.charset
import hashlib
import os
import random
import sys
import time
from email.header import Header
from urllib.parse import quote

# Maildir++ directory names (below the top, which is INBOX) and each one's
# share of the messages; INBOX takes the rest.
FOLDERS = [
    (".Sent", 0.12),
    (".Drafts", 0.02),
    (".Trash", 0.04),
    (".Archive", 0.06),
    (".Archive.2025", 0.12),
    (".Archive.2025.Q1", 0.06),
    (".Projects", 0.05),
    (".Projects.Tesk", 0.08),
    (".Entw&APw-rfe", 0.02),  # "Entwürfe"
]
KEYWORDS = ["$Label1", "Work", "$Forwarded", "Project"]
BASE_TIME = 1767225600  # 2026-01-01 00:00:00 UTC

NAMES = [
    ("Anna Berger", "anna@example.com"),
    ("Jörg Müller", "joerg@example.net"),
    ("Zoë Lefèvre", "zoe@example.fr"),
    ("Paul Smith", "paul@example.org"),
    ("Łukasz Żółw", "lukasz@example.pl"),
    ("Μαρία Παπαδοπούλου", "maria@example.gr"),
    ("田中 太郎", "taro@example.jp"),
    ("Service Desk", "desk@example.com"),
]
WORDS = (
    "report meeting budget draft review schedule invoice project delivery "
    "quarter numbers update team release notes minutes customer contract "
    "offer travel plan results agenda feedback approval summary"
).split()
SUBJECTS_8BIT = ["Übersicht", "Grüße aus München", "Réunion prévue", "Счёт за услуги", "会議の議事録", "Ödemeler"]
DAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def rfc2822_date(t):
    tm = time.gmtime(t)
    return f"{DAYS[tm.tm_wday]}, {tm.tm_mday:02d} {MONTHS[tm.tm_mon - 1]} {tm.tm_year} " \
           f"{tm.tm_hour:02d}:{tm.tm_min:02d}:{tm.tm_sec:02d} +0000"


def encoded(text, rng):
    """The text as RFC 2047 encoded words when it is not ASCII, B or Q encoded."""
    if text.isascii():
        return text
    cs = email.charset.Charset("utf-8")
    cs.header_encoding = email.charset.BASE64 if rng.random() < 0.5 else email.charset.QP
    return Header(text, cs, maxlinelen=76).encode()


def mailbox(name, addr, rng):
    return f"{encoded(name, rng)} <{addr}>" if not name.isascii() else f"\"{name}\" <{addr}>"


def sentence(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n)).capitalize() + "."


def paragraphs(rng, lines):
    out = []
    for _ in range(lines):
        out.append(sentence(rng, rng.randint(6, 14)))
        if rng.random() < 0.15:
            out.append("")
    return out


def attachment_size(rng, largest):
    # Mostly small, a few large: 10 KB * (largest / 10 KB) ** u^3.5.
    smallest = 10 * 1024
    if largest <= smallest:
        return largest
    return int(smallest * (largest / smallest) ** (rng.random() ** 3.5))


def message(rng, n, t):
    sender = rng.choice(NAMES)
    rcpt = rng.choice(NAMES)
    if rng.random() < 0.3:
        subject = rng.choice(SUBJECTS_8BIT) + f" {n}"
    else:
        subject = sentence(rng, rng.randint(2, 6))[:-1] + f" {n}"
    head = [
        f"Return-Path: <{sender[1]}>",
        f"Received: from mx.example.com by mail.example.org with ESMTPS id {n:08x}; {rfc2822_date(t + 2)}",
        f"From: {mailbox(*sender, rng)}",
        f"To: {mailbox(*rcpt, rng)}",
    ]
    if rng.random() < 0.25:
        cc = rng.choice(NAMES)
        head.append(f"Cc: {mailbox(*cc, rng)}")
    head += [
        f"Subject: {encoded(subject, rng)}",
        f"Date: {rfc2822_date(t)}",
        f"Message-ID: <bench.{n}.{rng.getrandbits(32):08x}@example.com>",
        "MIME-Version: 1.0",
    ]
    text = paragraphs(rng, rng.randint(3, 60))
    kind = rng.random()
    if kind < 0.15:
        b = f"mix-{n}-{rng.getrandbits(24):06x}"
        body = [f"Content-Type: multipart/mixed; boundary=\"{b}\"", "", "This is a multi-part message in MIME format.",
                f"--{b}", "Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: 8bit", ""]
        body += text + ["Grüße"]
        for k in range(1 if rng.random() < 0.8 else 2):
            size = attachment_size(rng, ARGS.max_attachment)
            data = rng.randbytes(size)
            name = rng.choice(["scan", "Übersicht", "invoice", "photo", "Bericht März"]) + f" {n}-{k}"
            ext, mime = rng.choice([(".pdf", "application/pdf"), (".jpg", "image/jpeg"),
                                    (".zip", "application/zip"), (".bin", "application/octet-stream")])
            fname = name + ext
            if fname.isascii():
                disp = f"attachment; filename=\"{fname}\""
            else:
                disp = f"attachment; filename*=utf-8''{quote(fname)}"
            body += [f"--{b}", f"Content-Type: {mime}; name=\"{encoded(fname, rng)}\"", f"Content-Disposition: {disp}",
                     "Content-Transfer-Encoding: base64", ""]
            body.append(base64.encodebytes(data).decode("ascii").rstrip("\n"))
        body.append(f"--{b}--")
    elif kind < 0.55:
        b = f"alt-{n}-{rng.getrandbits(24):06x}"
        html = "".join(f"<p>{line}</p>\n" if line else "<br>\n" for line in text)
        body = [f"Content-Type: multipart/alternative; boundary=\"{b}\"", "", f"--{b}",
                "Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: 8bit", ""]
        body += text + ["Grüße", f"--{b}", "Content-Type: text/html; charset=utf-8",
                        "Content-Transfer-Encoding: quoted-printable", "",
                        "<html><body>", html.replace("=", "=3D").rstrip("\n"), "<p>Gr=C3=BC=C3=9Fe</p></body></html>",
                        f"--{b}--"]
    else:
        body = ["Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: 8bit", ""] + text + ["Grüße"]
    # Most files end lines with LF as Dovecot stores them; a few keep CRLF.
    eol = "\r\n" if rng.random() < 0.05 else "\n"
    return (eol.join(head + body) + eol).encode("utf-8")


def info(rng):
    """(subdir, info suffix) of one message."""
    r = rng.random()
    if r < 0.08:
        return "new", ""
    flags = "S"
    if r < 0.20:
        flags = "RS"
    elif r < 0.28:
        flags = "FS"
    elif r < 0.30:
        flags = "PS"
    letters = ""
    if rng.random() < 0.1:
        letters = "".join(sorted(rng.sample("abcd", rng.randint(1, 2))))
    return "cur", ":2," + flags + letters


def generate(args):
    rng = random.Random(args.seed)
    top = os.path.abspath(args.dir)
    dirs = [("", None)] + FOLDERS
    for d, _ in dirs:
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(top, d, sub), exist_ok=True)
        if d:
            open(os.path.join(top, d, "maildirfolder"), "wb").close()
        with open(os.path.join(top, d, "dovecot-keywords"), "w") as f:
            f.write("".join(f"{k} {w}\n" for k, w in enumerate(KEYWORDS)))
    with open(os.path.join(top, "subscriptions"), "w") as f:
        f.write("".join(d[1:] + "\n" for d, _ in FOLDERS))
    counts = [int(args.messages * share) for _, share in FOLDERS]
    counts.insert(0, args.messages - sum(counts))
    total = 0
    n = 0
    for (d, _), count in zip(dirs, counts):
        for _ in range(count):
            n += 1
            t = BASE_TIME + n * 37 + rng.randint(0, 30)
            data = message(rng, n, t)
            sub, suffix = info(rng)
            name = f"{t}.M{rng.getrandbits(20)}P{1000 + n % 30000}.benchhost,S={len(data)}{suffix}"
            path = os.path.join(top, d, sub, name)
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (t, t))
            total += len(data)
    print(n, total)


def digest(args):
    top = os.path.abspath(args.dir)
    lines = folder_lines("INBOX", top)
    for entry in os.listdir(top):
        path = os.path.join(top, entry)
        if entry.startswith(".") and entry != ".." and len(entry) > 1 and os.path.isdir(path):
            lines += folder_lines(entry[1:], path)
    lines.sort()
    sys.stdout.write("".join(line + "\n" for line in lines))


def folder_lines(name, path):
    out = []
    for sub in ("cur", "new"):
        d = os.path.join(path, sub)
        if not os.path.isdir(d):
            continue
        for f in os.listdir(d):
            p = os.path.join(d, f)
            if not os.path.isfile(p):
                continue
            h = hashlib.sha256()
            with open(p, "rb") as fh:
                while chunk := fh.read(1 << 20):
                    h.update(chunk)
            out.append(f"{name} {h.hexdigest()}")
    return out


def main():
    global ARGS
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sp = p.add_subparsers(dest="command", required=True)
    g = sp.add_parser("generate")
    g.add_argument("dir")
    g.add_argument("--messages", type=int, required=True)
    g.add_argument("--seed", type=int, default=1)
    g.add_argument("--max-attachment", type=int, default=2 * 1024 * 1024)
    d = sp.add_parser("digest")
    d.add_argument("dir")
    ARGS = p.parse_args()
    (generate if ARGS.command == "generate" else digest)(ARGS)


if __name__ == "__main__":
    main()

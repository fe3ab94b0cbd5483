#!/usr/bin/env python3
"""Fills an IMAP account with the messages of a Maildir++ tree (as
bench/maildir_corpus.py or bench/imap/corpus.py write it), or empties it.

    seed.py --server WORKDIR|server.json|JSON --user NAME [--password P]
            [--security plain|starttls|tls] [--wipe]
            [--corpus MAILDIR [--into FOLDER] [--limit N] [--skip N]]

Every folder of the tree becomes a mailbox (".Archive.2025" becomes
Archive/2025 with the server's delimiter, the top is INBOX); with --into the
tree goes below FOLDER instead (FOLDER itself takes the top's messages).
FOLDER is UTF-8 with "/" between levels. Each message is APPENDed with its
flags (Maildir letters S R F D T, P as $Forwarded, lowercase letters as the
keywords of the folder's dovecot-keywords file; files in new/ unflagged)
and the file's mtime as INTERNALDATE, pipelined with LITERAL+ when the
server offers it. Messages go in file name order; --skip/--limit pick a
slice of each folder.

--wipe first deletes every mailbox of the personal namespace except INBOX
and expunges INBOX (the server may re-create its special-use folders).

Prints {"appended": N, "bytes": N, "mailboxes": {name: count}}."""
import argparse
import imaplib
import json
import os
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from imaputil import (ToolError, connect, list_mailboxes, load_server, mutf7_decode,  # noqa: E402
                      mutf7_encode, quote, special_use)

SYSTEM = {"S": "\\Seen", "R": "\\Answered", "F": "\\Flagged", "D": "\\Draft", "T": "\\Deleted", "P": "$Forwarded"}
WINDOW = 32


def imap_date(t):
    return time.strftime('"%d-%b-%Y %H:%M:%S +0000"', time.gmtime(t))


def keywords_of(folder_dir):
    out = {}
    try:
        with open(os.path.join(folder_dir, "dovecot-keywords")) as f:
            for line in f:
                n, _, word = line.strip().partition(" ")
                if n.isdigit() and word:
                    out[chr(ord("a") + int(n))] = word
    except FileNotFoundError:
        pass
    return out


def flags_of(filename, sub, keywords):
    if sub == "new" or ":2," not in filename:
        return []
    out = []
    for c in filename.rsplit(":2,", 1)[1]:
        if c in SYSTEM:
            out.append(SYSTEM[c])
        elif c in keywords:
            out.append(keywords[c])
    return sorted(set(out))


def corpus_folders(top):
    """[(levels, dir)] with the top (INBOX) as levels []."""
    out = [([], top)]
    for entry in sorted(os.listdir(top)):
        path = os.path.join(top, entry)
        if entry.startswith(".") and len(entry) > 1 and entry != ".." and os.path.isdir(path):
            out.append(([mutf7_decode(level) for level in entry[1:].split(".")], path))
    return out


def folder_messages(path, skip, limit):
    files = []
    for sub in ("cur", "new"):
        d = os.path.join(path, sub)
        if os.path.isdir(d):
            files += [(f, sub, os.path.join(d, f)) for f in os.listdir(d)]
    files.sort()
    files = files[skip:]
    return files[:limit] if limit is not None else files


class Appender:
    """APPENDs pipelined over an imaplib connection (LITERAL+)."""

    def __init__(self, imap):
        self.imap = imap
        self.pending = {}
        self.n = 0
        self.literal_plus = "LITERAL+" in imap.capabilities

    def append(self, mailbox, flags, date, data):
        if not self.literal_plus:
            typ, resp = self.imap.append(mailbox, "(" + " ".join(flags) + ")", date, data)
            if typ != "OK":
                raise ToolError(f"APPEND to {mailbox} failed: {resp}")
            return
        self.n += 1
        tag = f"S{self.n:06d}"
        head = f"{tag} APPEND {mailbox} ({' '.join(flags)}) {date} {{{len(data)}+}}\r\n".encode()
        self.imap.send(head + data + b"\r\n")
        self.pending[tag] = mailbox
        while len(self.pending) >= WINDOW:
            self._read()

    def _read(self):
        line = self.imap.readline()
        if not line:
            raise ToolError("the server closed the connection during APPEND")
        tag, _, rest = line.decode("utf-8", "replace").partition(" ")
        if tag in self.pending:
            box = self.pending.pop(tag)
            if not rest.startswith("OK"):
                raise ToolError(f"APPEND to {box} failed: {rest.strip()}")
        elif tag == "+":
            raise ToolError("the server asked for a literal it had announced LITERAL+ for")

    def flush(self):
        while self.pending:
            self._read()


def wipe(imap):
    boxes = list_mailboxes(imap)
    delims = {d for _, d, _ in boxes if d}
    ns = imap.namespace()[1][0].decode()
    personal_only = []
    others = [p for p in _namespace_prefixes(ns)[1:] if p]
    for attrs, d, raw in boxes:
        if raw.upper() == "INBOX" or any(raw.startswith(p) or raw + (d or "") == p for p in others):
            continue
        personal_only.append((raw, bool(special_use(attrs))))
    # Children before their parents.
    delim = next(iter(delims), "/")
    for raw, special in sorted(personal_only, key=lambda r: -r[0].count(delim)):
        typ, data = imap.delete(quote(raw))
        if typ != "OK":
            # Cyrus keeps special-use mailboxes; those are emptied instead.
            if not special:
                raise ToolError(f"DELETE {raw} failed: {data}")
            empty(imap, raw)
    empty(imap, "INBOX")


def empty(imap, raw):
    typ, data = imap.select(quote(raw))
    if typ != "OK":
        raise ToolError(f"SELECT {raw} failed: {data}")
    if int(data[0]):
        imap.store("1:*", "+FLAGS.SILENT", "(\\Deleted)")
        imap.expunge()
    imap.close()


def _namespace_prefixes(ns):
    """Prefixes of a NAMESPACE reply: personal first, then the others."""
    import re
    return [m.group(1) for m in re.finditer(r'\(\("((?:[^"\\]|\\.)*)"', ns)] if ns else []


def seed(imap, top, into, skip, limit):
    boxes = list_mailboxes(imap)
    delim = next((d for _, d, _ in boxes if d), "/")
    existing = {raw for _, _, raw in boxes}
    into_levels = into.split("/") if into else []
    stats = {"appended": 0, "bytes": 0, "mailboxes": {}}
    app = Appender(imap)
    for levels, path in corpus_folders(top):
        if into_levels:
            full = into_levels + levels
        else:
            full = levels or ["INBOX"]
        name = delim.join(full)
        raw = mutf7_encode(name)
        if raw not in existing and raw.upper() != "INBOX":
            app.flush()
            for i in range(1, len(full) + 1):
                part = mutf7_encode(delim.join(full[:i]))
                if part not in existing:
                    typ, data = imap.create(quote(part))
                    if typ != "OK" and b"exist" not in (data[0] or b"").lower():
                        raise ToolError(f"CREATE {delim.join(full[:i])} failed: {data}")
                    existing.add(part)
        keywords = keywords_of(path)
        count = 0
        for filename, sub, file in folder_messages(path, skip, limit):
            with open(file, "rb") as f:
                data = f.read()
            # IMAP wants CRLF; the files may end lines with LF only.
            data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
            app.append(quote(raw), flags_of(filename, sub, keywords), imap_date(os.stat(file).st_mtime), data)
            count += 1
            stats["bytes"] += len(data)
        stats["mailboxes"][name] = count
        stats["appended"] += count
    app.flush()
    return stats


def main():
    p = argparse.ArgumentParser(description="Fill an IMAP account from a Maildir++ tree.")
    p.add_argument("--server", required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--password")
    p.add_argument("--security", choices=["plain", "starttls", "tls"], default="plain")
    p.add_argument("--corpus")
    p.add_argument("--into")
    p.add_argument("--skip", type=int, default=0)
    p.add_argument("--limit", type=int)
    p.add_argument("--wipe", action="store_true")
    args = p.parse_args()
    if not args.corpus and not args.wipe:
        p.error("give --corpus, --wipe or both")
    try:
        if args.corpus and not os.path.isdir(os.path.join(args.corpus, "cur")):
            raise ToolError(f"{args.corpus} is not a Maildir (no cur/)")
        server = load_server(args.server)
        imap = connect(server, args.user, args.password, args.security, timeout=300)
        try:
            if args.wipe:
                wipe(imap)
            stats = seed(imap, args.corpus, args.into, args.skip, args.limit) if args.corpus else \
                {"appended": 0, "bytes": 0, "mailboxes": {}}
        finally:
            try:
                imap.logout()
            except Exception:
                pass
    except (ToolError, imaplib.IMAP4.error, OSError) as e:
        print(f"seed.py: {e}", file=sys.stderr)
        sys.exit(1)
    print(json.dumps(stats, ensure_ascii=False))


if __name__ == "__main__":
    main()

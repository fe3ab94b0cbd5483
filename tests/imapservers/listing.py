#!/usr/bin/env python3
"""Prints, as JSON, everything an IMAP account holds, and compares two such
listings.

    listing.py --server WORKDIR|server.json|JSON --user NAME [--password P]
               [--security plain|starttls|tls] [--no-bodies] [--count]
               [--skip-prefix PREFIX ...]
    listing.py compare A.json B.json [--skip-prefix PREFIX ...]

The listing:
    {"user": NAME, "delimiter": "/", "namespace": raw NAMESPACE reply,
     "total_messages": N,
     "mailboxes": [{"name": UTF-8 name, "raw": name as sent (modified UTF-7),
                    "delimiter": "/", "path": [levels], "attributes": [...],
                   "special_use": [...],
                    "selectable": true, "uidvalidity": N, "count": N,
                    "messages": [{"uid": N, "flags": [sorted, no \\Recent],
                                  "internaldate": "09-Dec-2026 10:00:00 +0000",
                                  "internaldate_unix": N, "size": N,
                                  "sha256": hex of BODY.PEEK[]}, ...]}, ...]}
sorted by name, messages by UID. --no-bodies leaves out sha256 (and is
fast); --count prints only {"total_messages": N, "mailboxes": {name: count}}.
--skip-prefix leaves out mailboxes whose UTF-8 name starts with PREFIX.

"path" is the name split at the delimiter.

compare matches the mailboxes of two listings by path (special-use
attributes compared case-insensitively) and their messages as multisets of
(sha256, flags, internaldate_unix, size), so UIDs may differ; it prints
every difference and exits 1 when there is one."""
import argparse
import calendar
import hashlib
import imaplib
import json
import os
import re
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from imaputil import (ToolError, connect, list_mailboxes, load_server, mutf7_decode,  # noqa: E402
                      quote, special_use)

BATCH_BYTES = 8 << 20
BATCH_COUNT = 250


def internaldate_unix(text):
    t = time.strptime(text[:20].strip(), "%d-%b-%Y %H:%M:%S")
    sign = 1 if text[21] == "+" else -1
    offset = sign * (int(text[22:24]) * 3600 + int(text[24:26]) * 60)
    return calendar.timegm(t) - offset


def fetch_items(data):
    """imaplib FETCH data to [(meta text, literal or None)]."""
    out = []
    i = 0
    while i < len(data):
        item = data[i]
        i += 1
        if isinstance(item, tuple):
            head, lit = item
            meta = head.decode("utf-8", "replace")
            # The rest of the FETCH after the literal comes as the next bytes item.
            if i < len(data) and isinstance(data[i], bytes):
                meta += " " + data[i].decode("utf-8", "replace")
                i += 1
            out.append((meta, lit))
        elif isinstance(item, bytes):
            out.append((item.decode("utf-8", "replace"), None))
    return out


def parse_meta(meta):
    m = {}
    if x := re.search(r"\bUID (\d+)", meta):
        m["uid"] = int(x.group(1))
    if x := re.search(r"\bFLAGS \(([^)]*)\)", meta):
        m["flags"] = sorted(f for f in x.group(1).split() if f.lower() != "\\recent")
    if x := re.search(r'\bINTERNALDATE "([^"]+)"', meta):
        m["internaldate"] = x.group(1)
        m["internaldate_unix"] = internaldate_unix(x.group(1))
    if x := re.search(r"\bRFC822\.SIZE (\d+)", meta):
        m["size"] = int(x.group(1))
    return m


def checked(reply, what):
    typ, data = reply
    if typ != "OK":
        raise ToolError(f"{what} failed: {data}")
    return data


def list_messages(imap, count, bodies):
    if not count:
        return []
    items = fetch_items(checked(imap.fetch("1:*", "(UID FLAGS INTERNALDATE RFC822.SIZE)"), "FETCH"))
    msgs = {}
    for meta, _ in items:
        m = parse_meta(meta)
        if "uid" in m:
            msgs.setdefault(m["uid"], {}).update(m)
    if bodies:
        uids = sorted(msgs)
        batch, size = [], 0
        for n, uid in enumerate(uids):
            batch.append(uid)
            size += msgs[uid].get("size", 0)
            if n + 1 == len(uids) or size >= BATCH_BYTES or len(batch) >= BATCH_COUNT:
                data = checked(imap.uid("FETCH", ",".join(map(str, batch)), "(UID BODY.PEEK[])"), "UID FETCH")
                for meta, lit in fetch_items(data):
                    m = parse_meta(meta)
                    if lit is not None and m.get("uid") in msgs:
                        msgs[m["uid"]]["sha256"] = hashlib.sha256(lit).hexdigest()
                batch, size = [], 0
        missing = [u for u in uids if "sha256" not in msgs[u]]
        if missing:
            raise ToolError(f"no body came for UIDs {missing[:10]}")
    return [msgs[u] for u in sorted(msgs)]


def listing(server, user, password, security, bodies, skip):
    imap = connect(server, user, password, security)
    try:
        ns = checked(imap.namespace(), "NAMESPACE")[0].decode()
        out = {"user": user, "namespace": ns, "mailboxes": []}
        boxes = list_mailboxes(imap)
        delim = None
        for attrs, d, raw in boxes:
            name = mutf7_decode(raw)
            if any(name.startswith(p) for p in skip):
                continue
            if delim is None and d:
                delim = d
            lower = {a.lower() for a in attrs}
            box = {"name": name, "raw": raw, "delimiter": d, "path": name.split(d) if d else [name],
                   "attributes": attrs,
                   "special_use": sorted(special_use(attrs)),
                   "selectable": not ({"\\noselect", "\\nonexistent"} & lower)}
            if box["selectable"]:
                typ, data = imap.select(quote(raw), readonly=True)
                if typ != "OK":
                    raise ToolError(f"EXAMINE {name} failed: {data}")
                count = int(data[0])
                uv = imap.untagged_responses.get("UIDVALIDITY", [b"0"])[-1]
                box["uidvalidity"] = int(uv)
                box["messages"] = list_messages(imap, count, bodies)
                box["count"] = len(box["messages"])
                imap.close()
            out["mailboxes"].append(box)
        out["delimiter"] = delim
        out["mailboxes"].sort(key=lambda b: b["name"])
        out["total_messages"] = sum(b.get("count", 0) for b in out["mailboxes"])
        return out
    finally:
        try:
            imap.logout()
        except Exception:
            pass


def compare(a, b, skip):
    def boxes(x):
        return {"/".join(m["path"]): m for m in x["mailboxes"] if not any(m["name"].startswith(p) for p in skip)}

    def key(m):
        return (m.get("sha256", ""), tuple(m.get("flags", [])), m.get("internaldate_unix"), m.get("size"))

    diffs = []
    ba, bb = boxes(a), boxes(b)
    for name in sorted(set(ba) | set(bb)):
        if name not in bb:
            diffs.append(f"mailbox {name!r} only in the first listing")
            continue
        if name not in ba:
            diffs.append(f"mailbox {name!r} only in the second listing")
            continue
        x, y = ba[name], bb[name]
        su_x = sorted(s.lower() for s in x["special_use"])
        su_y = sorted(s.lower() for s in y["special_use"])
        if su_x != su_y:
            diffs.append(f"mailbox {name!r}: special-use {x['special_use']} vs {y['special_use']}")
        mx = sorted(map(key, x.get("messages", [])))
        my = sorted(map(key, y.get("messages", [])))
        if mx != my:
            only_x = [m for m in mx if m not in my]
            only_y = [m for m in my if m not in mx]
            diffs.append(f"mailbox {name!r}: {len(mx)} vs {len(my)} messages; "
                         f"only first: {only_x[:3]}; only second: {only_y[:3]}")
    return diffs


def main():
    argv = sys.argv[1:]
    if argv and argv[0] == "compare":
        p = argparse.ArgumentParser(prog="listing.py compare")
        p.add_argument("a")
        p.add_argument("b")
        p.add_argument("--skip-prefix", action="append", default=[])
        args = p.parse_args(argv[1:])
        with open(args.a) as fa, open(args.b) as fb:
            diffs = compare(json.load(fa), json.load(fb), args.skip_prefix)
        for d in diffs:
            print(d)
        sys.exit(1 if diffs else 0)
    p = argparse.ArgumentParser(description="JSON listing of an IMAP account.")
    p.add_argument("--server", required=True, help="work dir, server.json or the JSON itself")
    p.add_argument("--user", required=True)
    p.add_argument("--password")
    p.add_argument("--security", choices=["plain", "starttls", "tls"], default="plain")
    p.add_argument("--no-bodies", action="store_true")
    p.add_argument("--count", action="store_true")
    p.add_argument("--skip-prefix", action="append", default=[])
    args = p.parse_args(argv)
    try:
        server = load_server(args.server)
        out = listing(server, args.user, args.password, args.security,
                      not (args.no_bodies or args.count), args.skip_prefix)
    except (ToolError, imaplib.IMAP4.error, OSError) as e:
        print(f"listing.py: {e}", file=sys.stderr)
        sys.exit(1)
    if args.count:
        out = {"total_messages": out["total_messages"],
               "mailboxes": {b["name"]: b.get("count", 0) for b in out["mailboxes"]}}
    json.dump(out, sys.stdout, ensure_ascii=False, sort_keys=True)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()

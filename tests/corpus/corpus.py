#!/usr/bin/env python3
"""The message corpus as mail stores hold it, and what other programs read
from such stores.

    corpus.py maildir OUT [--layout maildir++|fs]
        Writes the corpus (messages/ beside this file) into a new Maildir:
        INBOX holds messages/python, every other folder of messages/ goes
        below a parent folder ("Libraries/enmime", "Lists/notmuch",
        "Bounces"). Flags, keywords and the file time (the delivery date)
        come from the message's SHA-256, so every run writes the same
        Maildir; some messages stay in new/. Prints the listing (below).
    corpus.py list-maildir DIR [--layout maildir++|fs] [--under FOLDER]
        The listing of a Maildir, from its files.
    corpus.py list-imap --server JSON --user NAME [--under FOLDER] [--dump DIR]
        The listing of an IMAP account (INTERNALDATE as the date); --dump
        also writes every message to DIR/<n>.eml ("path" in the listing).
    corpus.py serve-maildir DIR WORK [--layout maildir++|fs]
        The listing of a Maildir as a Dovecot of its own serves it (index in
        WORK, keywords from the Maildir's dovecot-keywords files).
    corpus.py compare EXPECTED ACTUAL [--line-ends] [--served]
        Compares two listings: every message of every folder exactly once
        with the same bytes, flags, keywords and date. --line-ends lets a
        message whose only change is bare LF made CR LF pass (IMAP carries
        lines ending in CR LF only), counted in the summary. Prints each
        difference and a JSON summary as the last line; exit 1 on a
        difference. --served: ACTUAL is what serve-maildir listed of a
        Maildir of EXPECTED's messages (lines ending in CR LF, NUL sent as
        0x80, Maildir's P not shown).
    corpus.py readers LISTING WORK [--cache FILE]
        Reads every message of a listing with Python's email package
        (policy.default: defects of every part and header) and with
        mblaze's mshow (the MIME structure), keyed by the SHA-256 of the
        bytes; for a Maildir listing also with Python's mailbox.Maildir,
        mblaze's mlist and notmuch (new, count). Prints JSON.
    corpus.py compare-readers SOURCE RESULT EXPECTED ACTUAL WORK
        Compares what the readers saw in the source and in the result
        (messages matched through the two listings). Exit 1 on a difference.

A listing is JSON: {"kind": "maildir"|"imap", "layout": ..., "top": DIR,
"folders": {name: [{"sha256", "crlf_sha256", "flags", "keywords", "date",
"path", "message_id"}]}} with folder names as IMAP shows them ("INBOX",
"Libraries/enmime"); flags are Maildir letters (S R F T D P) in ASCII
order, keywords sorted; date is Unix seconds. --under FOLDER lists only
that folder's subtree, named relative to it, its "Inbox" as "INBOX"."""
import argparse
import email
import email.policy
import hashlib
import imaplib
import json
import mailbox
import os
import re
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "imapservers"))
from imaputil import connect, list_mailboxes, load_server, mutf7_decode, quote  # noqa: E402
import maildir_server  # noqa: E402

MESSAGES = os.path.join(HERE, "messages")
PARENT = {"python": None, "enmime": "Libraries", "kmime": "Libraries", "gmime": "Libraries",
          "notmuch": "Lists", "mailman": "Lists", "hyperkitty": "Lists", "mairix": "Lists",
          "flufl-bounce": "Bounces"}
KEYWORDS = ["$Label1", "Work", "$Junk", "Later"]
STANDARD = {"Sent", "Drafts", "Trash", "Junk", "Archive", "Outbox", "Sent Items", "Deleted Items", "Calendar",
            "Contacts", "Journal", "Notes", "Tasks"}
IMAP_FLAGS = {"\\Seen": "S", "\\Answered": "R", "\\Flagged": "F", "\\Deleted": "T", "\\Draft": "D", "$Forwarded": "P"}


def sha(data):
    return hashlib.sha256(data).hexdigest()


def crlf(data):
    """Every bare LF made CR LF (what an IMAP server stores)."""
    return re.sub(rb"(?<!\r)\n", b"\r\n", data)


def message_id(data):
    m = re.search(rb"(?im)^message-id:[ \t]*(.*(?:\r?\n[ \t].*)*)", data.split(b"\n\n", 1)[0])
    return m.group(1).decode("utf-8", "replace").strip() if m else ""


def entry(data, flags, keywords, date, path, origin=""):
    # served_sha256: the bytes as Dovecot serves them from a Maildir (lines
    # ending in CR LF, every NUL sent as 0x80).
    return {"sha256": sha(data), "crlf_sha256": sha(crlf(data)),
            "served_sha256": sha(crlf(data).replace(b"\0", b"\x80")), "origin": origin,
            "flags": "".join(sorted(flags)),
            "keywords": sorted(keywords), "date": int(date), "path": path, "message_id": message_id(data),
            "size": len(data)}


# ---------------------------------------------------------------- writing the corpus

def corpus_files():
    out = []
    for group in sorted(os.listdir(MESSAGES)):
        for name in sorted(os.listdir(os.path.join(MESSAGES, group))):
            out.append((group, name, os.path.join(MESSAGES, group, name)))
    return out


def folder_of(group):
    parent = PARENT.get(group, "Other")
    return "INBOX" if parent is None else (group if parent == group else parent + "/" + group)


def folder_dir(top, folder, layout):
    if folder == "INBOX":
        return top
    return os.path.join(top, folder) if layout == "fs" else os.path.join(top, "." + folder.replace("/", "."))


def make_maildir(top, layout):
    if os.path.exists(top) and os.listdir(top):
        raise SystemExit(f"{top} is not empty")
    folders = {}
    for n, (group, name, path) in enumerate(corpus_files()):
        with open(path, "rb") as f:
            data = f.read()
        h = hashlib.sha256(data).digest()
        folder = folder_of(group)
        d = folder_dir(top, folder, layout)
        if folder not in folders:
            for sub in ("cur", "new", "tmp"):
                os.makedirs(os.path.join(d, sub), exist_ok=True)
            if layout != "fs" and folder != "INBOX":
                open(os.path.join(d, "maildirfolder"), "w").close()
            folders[folder] = []
            # The parents, as Maildirs of their own.
            parts = folder.split("/")
            for i in range(1, len(parts)):
                pd = folder_dir(top, "/".join(parts[:i]), layout)
                for sub in ("cur", "new", "tmp"):
                    os.makedirs(os.path.join(pd, sub), exist_ok=True)
                if layout != "fs":
                    open(os.path.join(pd, "maildirfolder"), "w").close()
        # About one in ten stays new (unseen, no info); the rest is seen
        # mostly, some answered, flagged, forwarded, drafts, deleted, with
        # keywords now and then.
        date = 1000000000 + int.from_bytes(h[0:4], "big") % 700000000
        new = h[4] < 26
        flags = set()
        keywords = []
        if not new:
            if h[5] < 200: flags.add("S")
            if h[6] < 40: flags.add("R")
            if h[7] < 30: flags.add("F")
            if h[8] < 20: flags.add("P")
            if h[9] < 8: flags.add("D")
            if h[10] < 8: flags.add("T")
            for k, word in enumerate(KEYWORDS):
                if h[11 + k] < 25:
                    keywords.append(word)
        base = f"{date}.M{n}P4242.corpus"
        letters = "".join(sorted(flags))
        if keywords:
            letters += "".join(chr(ord("a") + KEYWORDS.index(k)) for k in keywords)
        file = os.path.join(d, "new", base) if new else os.path.join(d, "cur", base + ":2," + letters)
        with open(file, "wb") as f:
            f.write(data)
        os.utime(file, (date, date))
        folders[folder].append(entry(data, flags, keywords, date, file, group + "/" + name))
    for folder in folders:
        with open(os.path.join(folder_dir(top, folder, layout), "dovecot-keywords"), "w") as f:
            for k, word in enumerate(KEYWORDS):
                f.write(f"{k} {word}\n")
    for folder in list(folders):
        parts = folder.split("/")
        for i in range(1, len(parts)):
            folders.setdefault("/".join(parts[:i]), [])
    return {"kind": "maildir", "layout": layout, "top": os.path.abspath(top), "folders": folders}


# ---------------------------------------------------------------- reading stores

def maildir_keywords(d):
    out = {}
    try:
        with open(os.path.join(d, "dovecot-keywords"), encoding="utf-8", errors="replace") as f:
            for line in f:
                n, _, word = line.rstrip("\n").partition(" ")
                if n.isdigit() and int(n) < 26 and word:
                    out[chr(ord("a") + int(n))] = word
    except FileNotFoundError:
        pass
    return out


def maildir_folders(top, layout):
    """[(IMAP name, directory)] of a Maildir."""
    out = []
    if os.path.isdir(os.path.join(top, "cur")):
        out.append(("INBOX", top))
    if layout == "fs":
        for root, dirs, files in os.walk(top):
            dirs[:] = sorted(d for d in dirs if d not in ("cur", "new", "tmp") and not d.startswith("."))
            if root != top and os.path.isdir(os.path.join(root, "cur")):
                out.append((os.path.relpath(root, top), root))
    else:
        for e in sorted(os.listdir(top)):
            p = os.path.join(top, e)
            if e.startswith(".") and e not in (".", "..") and os.path.isdir(os.path.join(p, "cur")):
                out.append((e[1:].replace(".", "/"), p))
    return out


def rename_under(folders, under):
    if not under:
        return folders
    out = {}
    for name, msgs in folders.items():
        if name == under or not name.startswith(under + "/"):
            continue
        rel = name[len(under) + 1:]
        head, _, rest = rel.partition("/")
        if head.lower() == "inbox":
            rel = "INBOX" + ("/" + rest if rest else "")
        out[rel] = msgs
    return out


def list_maildir(top, layout, under):
    folders = {}
    for name, d in maildir_folders(top, layout):
        keywords = maildir_keywords(d)
        msgs = []
        for sub in ("cur", "new"):
            sd = os.path.join(d, sub)
            if not os.path.isdir(sd):
                continue
            for f in sorted(os.listdir(sd)):
                p = os.path.join(sd, f)
                if not os.path.isfile(p):
                    continue
                with open(p, "rb") as fh:
                    data = fh.read()
                flags, kws = set(), []
                if sub == "cur" and ":2," in f:
                    for c in f.rsplit(":2,", 1)[1]:
                        if c.isupper():
                            flags.add(c)
                        elif c in keywords:
                            kws.append(keywords[c])
                # Forwarded is the letter P for mutt and notmuch, the keyword
                # $Forwarded for Dovecot; either, or both, mean the one flag.
                if "$Forwarded" in kws:
                    kws.remove("$Forwarded")
                    flags.add("P")
                msgs.append(entry(data, flags, kws, os.stat(p).st_mtime, os.path.abspath(p)))
        folders[name] = msgs
    return {"kind": "maildir", "layout": layout, "top": os.path.abspath(top), "folders": rename_under(folders, under)}


def imap_date(text):
    import calendar
    import time
    t = time.strptime(text[:20].strip(), "%d-%b-%Y %H:%M:%S")
    sign = 1 if text[21] == "+" else -1
    return calendar.timegm(t) - sign * (int(text[22:24]) * 3600 + int(text[24:26]) * 60)


def list_imap(server, user, under, dump):
    return list_connection(connect(load_server(server), user), under, dump)


def list_connection(imap, under, dump):
    folders = {}
    n = 0
    try:
        for attrs, delim, raw in list_mailboxes(imap):
            if any(a.lower() == "\\noselect" for a in attrs):
                continue
            name = mutf7_decode(raw)
            if delim and delim != "/":
                name = name.replace(delim, "/")
            if name.startswith("Public/"):
                continue
            typ, data = imap.select(quote(raw), readonly=True)
            if typ != "OK":
                raise SystemExit(f"SELECT {name} failed: {data}")
            msgs = []
            if int(data[0]):
                typ, data = imap.fetch("1:*", "(UID FLAGS INTERNALDATE BODY.PEEK[])")
                if typ != "OK":
                    raise SystemExit(f"FETCH in {name} failed: {data}")
                for item in data:
                    if not isinstance(item, tuple):
                        continue
                    meta = item[0].decode("utf-8", "replace")
                    body = item[1]
                    fl = re.search(r"FLAGS \(([^)]*)\)", meta)
                    dt = re.search(r'INTERNALDATE "([^"]+)"', meta)
                    flags, kws = set(), []
                    for f in (fl.group(1).split() if fl else []):
                        if f in IMAP_FLAGS:
                            flags.add(IMAP_FLAGS[f])
                        elif not f.startswith("\\"):
                            kws.append(f)
                    path = ""
                    if dump:
                        n += 1
                        path = os.path.join(os.path.abspath(dump), f"{n}.eml")
                        os.makedirs(dump, exist_ok=True)
                        with open(path, "wb") as fh:
                            fh.write(body)
                    msgs.append(entry(body, flags, kws, imap_date(dt.group(1)) if dt else 0, path))
            folders[name] = msgs
            imap.close()
    finally:
        try:
            imap.logout()
        except Exception:
            pass
    return {"kind": "imap", "layout": "imap", "top": "", "folders": rename_under(folders, under)}


def serve_maildir(top, layout, work):
    """The listing of a Maildir as a Dovecot of its own serves it (the caller
    hands over a copy the dovecot user owns). Dovecot's index goes to WORK;
    its control files (dovecot-keywords) are the Maildir's own."""
    with maildir_server.serve(top, layout, work, index=True) as imap:
        return list_connection(imap, None, os.path.join(os.path.abspath(work), "served"))


# ---------------------------------------------------------------- comparing

def describe_difference(a, b):
    """Where two byte strings part, in words."""
    i = 0
    while i < min(len(a), len(b)) and a[i] == b[i]:
        i += 1
    line = a[:i].count(b"\n") + 1
    return (f"{len(a)} bytes became {len(b)}, first difference at byte {i} (line {line}): "
            f"{a[max(0, i - 20):i + 20]!r} became {b[max(0, i - 20):i + 20]!r}")


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def compare(expected, actual, line_ends, served=False):
    """served: actual is what Dovecot serves from a Maildir of expected's
    messages (their served_sha256; forwarded shows as $Forwarded, which the
    Maildir carries beside its P)."""
    if served:
        expected = json.loads(json.dumps(expected))
        for msgs in expected["folders"].values():
            for m in msgs:
                m["sha256"] = m["crlf_sha256"] = m["served_sha256"]
                m["path"] = ""
    problems = []
    summary = {"messages": 0, "matched": 0, "line_ends": 0, "changed": 0, "missing": 0, "extra": 0,
               "flags": 0, "keywords": 0, "dates": 0, "folders_missing": 0}
    ef, af = expected["folders"], actual["folders"]
    pairs = []  # (expected entry, actual entry) for compare-readers
    for name in sorted(ef):
        want = ef[name]
        if name not in af:
            summary["messages"] += len(want)
            summary["missing"] += len(want)
            # A store of another kind names its standard folders its own way
            # (and may leave an empty one out): only a folder with messages,
            # or one of the corpus, must be there.
            if want or name.split("/")[-1] not in STANDARD:
                summary["folders_missing"] += 1
                problems.append(f"folder {name}: missing ({len(want)} messages)")
            continue
        got = list(af[name])
        summary["messages"] += len(want)
        rest = []
        # Exact bytes first, then CR LF made of bare LF, then the Message-ID.
        for w in want:
            hit = next((g for g in got if g["sha256"] == w["sha256"]), None)
            if hit is None:
                rest.append(w)
                continue
            got.remove(hit)
            pairs.append((w, hit, "same"))
        rest2 = []
        for w in rest:
            hit = next((g for g in got if g["sha256"] == w["crlf_sha256"] or g["crlf_sha256"] == w["crlf_sha256"]), None)
            if hit is None:
                rest2.append(w)
                continue
            got.remove(hit)
            if line_ends:
                summary["line_ends"] += 1
                pairs.append((w, hit, "line-ends"))
            else:
                summary["changed"] += 1
                summary.setdefault("changed_origins", []).append(w["origin"] or w["path"])
                problems.append(f"{name}: {w['origin'] or w['path']}: line ends changed: "
                                + describe_difference(read(w["path"]) or b"", read(hit["path"]) or b""))
                pairs.append((w, hit, "changed"))
        for w in rest2:
            # The same Message-ID, else the same date (the corpus gives every
            # message a date of its own), and about the same size.
            near = [g for g in got if abs(g["size"] - w["size"]) < max(64, w["size"] // 4)]
            hit = next((g for g in near if w["message_id"] and g["message_id"] == w["message_id"]), None) or \
                next((g for g in near if g["date"] == w["date"]), None)
            if hit is None:
                summary["missing"] += 1
                summary.setdefault("missing_origins", []).append(w["origin"] or w["path"])
                problems.append(f"{name}: {w['origin'] or w['path']}: missing (Message-ID {w['message_id'] or 'none'}, "
                                f"{w['size']} bytes)")
                continue
            got.remove(hit)
            summary["changed"] += 1
            a, b = read(w["path"]), read(hit["path"])
            if a is None or b is None:
                how = f"{w['size']} bytes became {hit['size']}"
            elif crlf(a) != crlf(b) and (a.count(b"\r\n") != b.count(b"\r\n")):
                how = "with line ends made CR LF, " + describe_difference(crlf(a), crlf(b))
            else:
                how = describe_difference(a, b)
            problems.append(f"{name}: {w['origin'] or w['path']}: bytes changed: {how}")
            summary.setdefault("changed_origins", []).append(w["origin"] or w["path"])
            pairs.append((w, hit, "changed"))
        for g in got:
            summary["extra"] += 1
            problems.append(f"{name}: extra message {g['path'] or g['sha256']} (Message-ID {g['message_id'] or 'none'})")
    for name in sorted(af):
        if name not in ef and af[name]:
            summary["extra"] += len(af[name])
            problems.append(f"folder {name}: not in the source, with {len(af[name])} messages")
    for w, g, how in pairs:
        summary["matched"] += 1
        if w["flags"] != g["flags"]:
            summary["flags"] += 1
            problems.append(f"{w['origin'] or w['path']}: flags {w['flags'] or '-'} became {g['flags'] or '-'}")
        if w["keywords"] != g["keywords"]:
            summary["keywords"] += 1
            problems.append(f"{w['origin'] or w['path']}: keywords {w['keywords']} became {g['keywords']}")
        if w["date"] != g["date"]:
            summary["dates"] += 1
            problems.append(f"{w['origin'] or w['path']}: date {w['date']} became {g['date']}")
    return problems, summary, pairs


# ---------------------------------------------------------------- readers

def python_email(data):
    """Defects Python's parser finds (every part, every header read) and the
    content types of the parts."""
    try:
        msg = email.message_from_bytes(data, policy=email.policy.default)
    except Exception as e:  # a reader that fails is what we look for
        return {"error": type(e).__name__, "defects": [], "types": []}
    defects, types = [], []
    try:
        for part in msg.walk():
            types.append(part.get_content_type())
            for k, v in part.items():
                try:
                    str(v)
                    defects += [type(d).__name__ for d in getattr(v, "defects", ())]
                except Exception as e:
                    defects.append("header:" + type(e).__name__)
            defects += [type(d).__name__ for d in part.defects]
    except Exception as e:
        return {"error": type(e).__name__, "defects": sorted(defects), "types": types}
    return {"error": "", "defects": sorted(defects), "types": types}


def mshow_structures(paths):
    """mshow -t of many files at once: {path: structure}. Each file's part
    starts with its name on a line of its own; the parts below are indented."""
    out = {}
    for i in range(0, len(paths), 200):
        chunk = paths[i:i + 200]
        r = subprocess.run(["mshow", "-t"] + chunk, capture_output=True)
        current = None
        wanted = set(chunk)
        for line in r.stdout.decode("utf-8", "replace").split("\n"):
            if line in wanted:
                current = line
                out[current] = ""
            elif current is not None and line:
                # The structure, without the sizes (CR LF line ends count).
                out[current] += re.sub(r" size=\d+", "", line) + "\n"
        for p in chunk:
            out.setdefault(p, "(nothing shown)")
    return out


def readers(listing, work, cache_file=None):
    out = {"messages": {}, "maildir": None}
    # What the parsers make of some bytes depends on the bytes alone: a cache
    # by SHA-256 spares parsing the same messages in every test again.
    cache = {}
    if cache_file:
        try:
            with open(cache_file) as f:
                cache = json.load(f)
        except (OSError, ValueError):
            cache = {}
    entries = [m for msgs in listing["folders"].values() for m in msgs if m["path"] and m["sha256"] not in cache]
    shown = mshow_structures([m["path"] for m in entries])
    for m in entries:
        data = read(m["path"])
        if data is not None and sha(data) == m["sha256"]:
            cache[m["sha256"]] = {"email": python_email(data), "mshow": shown[m["path"]]}
    for msgs in listing["folders"].values():
        for m in msgs:
            if m["sha256"] in cache:
                out["messages"][m["sha256"]] = cache[m["sha256"]]
    if cache_file and entries:
        tmp = f"{cache_file}.{os.getpid()}"
        with open(tmp, "w") as f:
            json.dump(cache, f)
        os.replace(tmp, cache_file)
    if listing["kind"] == "maildir":
        top, layout = listing["top"], listing["layout"]
        md = {"mailbox": {}, "mlist": {}}
        for name, d in maildir_folders(top, layout):
            box = mailbox.Maildir(d, factory=None, create=False)
            shas = []
            for key in box.keys():
                shas.append(sha(box.get_bytes(key)))
            md["mailbox"][name] = sorted(shas)
            r = subprocess.run(["mlist", d], capture_output=True)
            md["mlist"][name] = len([l for l in r.stdout.split(b"\n") if l])
        # notmuch: a database of its own in WORK over the Maildir.
        work = os.path.abspath(work)
        os.makedirs(work, exist_ok=True)
        config = os.path.join(work, "notmuch-config")
        with open(config, "w") as f:
            f.write(f"[database]\npath={top}\nmail_root={top}\n\n[new]\ntags=\nignore=tesk-index.sqlite;tesk-journal;"
                    f"tesk-lock;dovecot-keywords;dovecot-uidlist;maildirfolder;subscriptions\n\n"
                    f"[maildir]\nsynchronize_flags=false\n")
        os.makedirs(os.path.join(work, "notmuch-db"), exist_ok=True)
        env = dict(os.environ, NOTMUCH_CONFIG=config, NOTMUCH_DATABASE=os.path.join(work, "notmuch-db"))
        r = subprocess.run(["notmuch", "new", "--quiet"], capture_output=True, env=env)
        files = subprocess.run(["notmuch", "count", "--output=files", "*"], capture_output=True, env=env)
        ids = subprocess.run(["notmuch", "count", "*"], capture_output=True, env=env)
        md["notmuch"] = {"new_rc": r.returncode, "new_stderr": r.stderr.decode("utf-8", "replace")[-2000:],
                         "files": int(files.stdout or b"-1"), "messages": int(ids.stdout or b"-1")}
        out["maildir"] = md
    return out


def compare_readers(src, res, pairs_listing, work):
    problems = []
    # A message whose lines were made CR LF on the way is compared with what
    # the readers make of the source's bytes made CR LF the same way: a
    # reader may see a broken header differently with other line ends.
    crlfed = [(w, g) for w, g, how in pairs_listing if how == "line-ends" and read(w["path"]) is not None]
    again = {}
    if crlfed:
        os.makedirs(work, exist_ok=True)
        paths = []
        for n, (w, g) in enumerate(crlfed):
            p = os.path.join(os.path.abspath(work), f"{n}.eml")
            with open(p, "wb") as f:
                f.write(crlf(read(w["path"])))
            paths.append(p)
        shown = mshow_structures(paths)
        for (w, g), p in zip(crlfed, paths):
            again[w["sha256"]] = {"email": python_email(read(p)), "mshow": shown[p]}
    for w, g, how in pairs_listing:
        a = again.get(w["sha256"]) if how == "line-ends" else None
        a = a or src["messages"].get(w["sha256"])
        b = res["messages"].get(g["sha256"])
        if a is None or b is None:
            problems.append(f"{w['origin'] or w['path']}: not read ({'source' if a is None else 'result'})")
            continue
        if a["email"] != b["email"]:
            problems.append(f"{w['origin'] or w['path']}: Python's email reads {a['email']} in the source, {b['email']} in the result")
        if a["mshow"] != b["mshow"]:
            problems.append(f"{w['origin'] or w['path']}: mshow -t shows {a['mshow']!r} in the source, {b['mshow']!r} in the result")
    return problems


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="cmd", required=True)
    m = sub.add_parser("maildir")
    m.add_argument("out")
    m.add_argument("--layout", default="maildir++", choices=["maildir++", "fs"])
    lm = sub.add_parser("list-maildir")
    lm.add_argument("dir")
    lm.add_argument("--layout", default="maildir++", choices=["maildir++", "fs"])
    lm.add_argument("--under")
    li = sub.add_parser("list-imap")
    li.add_argument("--server", required=True)
    li.add_argument("--user", required=True)
    li.add_argument("--under")
    li.add_argument("--dump")
    c = sub.add_parser("compare")
    c.add_argument("expected")
    c.add_argument("actual")
    c.add_argument("--line-ends", action="store_true")
    c.add_argument("--served", action="store_true")
    sv = sub.add_parser("serve-maildir")
    sv.add_argument("dir")
    sv.add_argument("work")
    sv.add_argument("--layout", default="maildir++", choices=["maildir++", "fs"])
    r = sub.add_parser("readers")
    r.add_argument("listing")
    r.add_argument("work")
    r.add_argument("--cache")
    cr = sub.add_parser("compare-readers")
    for a in ("source", "result", "expected", "actual", "work"):
        cr.add_argument(a)
    cr.add_argument("--line-ends", action="store_true")
    a = p.parse_args()
    load = lambda path: json.load(open(path))
    if a.cmd == "maildir":
        print(json.dumps(make_maildir(a.out, a.layout)))
    elif a.cmd == "list-maildir":
        print(json.dumps(list_maildir(a.dir, a.layout, a.under)))
    elif a.cmd == "serve-maildir":
        print(json.dumps(serve_maildir(a.dir, a.layout, a.work)))
    elif a.cmd == "list-imap":
        print(json.dumps(list_imap(a.server, a.user, a.under, a.dump)))
    elif a.cmd == "compare":
        problems, summary, _ = compare(load(a.expected), load(a.actual), a.line_ends, a.served)
        for line in problems:
            print(line)
        print(json.dumps(summary))
        sys.exit(1 if problems else 0)
    elif a.cmd == "readers":
        print(json.dumps(readers(load(a.listing), a.work, a.cache)))
    elif a.cmd == "compare-readers":
        _, _, pairs = compare(load(a.expected), load(a.actual), True)
        problems = compare_readers(load(a.source), load(a.result), pairs, a.work)
        for line in problems:
            print(line)
        print(json.dumps({"compared": len(pairs), "differences": len(problems)}))
        sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Serves a Maildir with a Dovecot of its own on loopback and prints what an
IMAP client sees there, as JSON: "mailboxes", every mailbox by its name
(decoded from modified UTF-7) with the flags, keywords and SHA-256 of the
bytes of each message, and "refused", the listed mailboxes that SELECT
refuses, with the server's answer.

    imap_listing.py MAILDIR WORKDIR [--layout fs]

Dovecot runs with its default Maildir settings (its index, control files and
keywords inside the Maildir), so the caller hands over a copy it may write,
owned by the dovecot user when running as root."""
import hashlib
import json
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "imapservers"))
import maildir_server  # noqa: E402
from imaputil import mutf7_decode  # noqa: E402


def main():
    maildir, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    layout = "fs" if "--layout" in sys.argv and sys.argv[sys.argv.index("--layout") + 1] == "fs" else "maildir++"
    with maildir_server.serve(maildir, layout, work) as imap:
        typ, boxes = imap.list()
        assert typ == "OK", boxes
        out, refused = {}, {}
        for line in boxes:
            # (\HasNoChildren) "." Name  or  "Name with blanks"
            text = line.decode()
            name = text.split(') ', 1)[1].split(' ', 1)[1]
            if name.startswith('"'):
                name = name[1:-1].replace('\\"', '"').replace("\\\\", "\\")
            typ, count = imap.select('"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"', readonly=True)
            if typ != "OK":
                refused[mutf7_decode(name)] = count[0].decode(errors="replace")
                continue
            data = imap.fetch("1:*", "(FLAGS BODY.PEEK[])")[1] if int(count[0]) else []
            messages = []
            for item in data:
                if not isinstance(item, tuple):
                    continue
                head = item[0].decode()
                flags = head[head.index("FLAGS (") + 7:].split(")", 1)[0].split()
                flags = sorted(f for f in flags if f != "\\Recent")
                messages.append({"flags": flags, "sha256": hashlib.sha256(item[1]).hexdigest()})
            messages.sort(key=lambda m: (m["sha256"], m["flags"]))
            out[mutf7_decode(name)] = messages
        print(json.dumps({"mailboxes": out, "refused": refused}, sort_keys=True))


if __name__ == "__main__":
    main()

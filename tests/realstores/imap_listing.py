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
import base64
import hashlib
import imaplib
import json
import os
import pwd
import socket
import subprocess
import sys
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def decode_mutf7(name):
    out, k = [], 0
    while k < len(name):
        if name[k] != "&":
            out.append(name[k])
            k += 1
            continue
        end = name.index("-", k)
        run = name[k + 1:end].replace(",", "/")
        out.append(base64.b64decode(run + "=" * (-len(run) % 4)).decode("utf-16-be") if run else "&")
        k = end + 1
    return "".join(out)


def main():
    maildir, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    layout = ":LAYOUT=fs" if "--layout" in sys.argv and sys.argv[sys.argv.index("--layout") + 1] == "fs" else ""
    user = pwd.getpwnam("dovecot")
    for d in ("run", "index", "home"):
        os.makedirs(os.path.join(work, d), exist_ok=True)
    for d in ("index", "home"):
        os.chown(os.path.join(work, d), user.pw_uid, user.pw_gid)
    os.chmod(work, 0o755)
    port = free_port()
    conf = os.path.join(work, "dovecot.conf")
    with open(conf, "w") as f:
        f.write(f"""base_dir = {work}/run
state_dir = {work}/run
log_path = {work}/dovecot.log
protocols = imap
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
first_valid_uid = 1
default_internal_user = dovecot
default_internal_group = dovecot
default_login_user = dovenull
mail_location = maildir:{maildir}{layout}
passdb {{
  driver = static
  args = password=secret
}}
userdb {{
  driver = static
  args = uid={user.pw_uid} gid={user.pw_gid} home={work}/home
}}
service imap-login {{
  inet_listener imap {{
    address = 127.0.0.1
    port = {port}
  }}
}}
""")
    subprocess.run(["dovecot", "-c", conf], check=True)
    try:
        deadline = time.time() + 20
        while True:
            try:
                imap = imaplib.IMAP4("127.0.0.1", port)
                break
            except OSError:
                if time.time() > deadline:
                    raise
                time.sleep(0.1)
        imap.login("tester", "secret")
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
                refused[decode_mutf7(name)] = count[0].decode(errors="replace")
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
            out[decode_mutf7(name)] = messages
        imap.logout()
        print(json.dumps({"mailboxes": out, "refused": refused}, sort_keys=True))
    finally:
        subprocess.run(["doveadm", "-c", conf, "stop"], capture_output=True)


if __name__ == "__main__":
    main()

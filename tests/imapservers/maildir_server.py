"""A stock Dovecot of its own on loopback serving one Maildir (run as root:
Dovecot reads the files as its own user, so the caller hands over a copy
the dovecot user owns).

    with maildir_server.serve(TOP, "maildir++"|"fs", WORK, index=False) as imap:
        ... imap is a logged-in imaplib connection ...

Dovecot's index goes to WORK/index with index=True, else its default place
(inside the Maildir); its control files (dovecot-keywords) are the
Maildir's own either way."""
import contextlib
import imaplib
import os
import pwd
import socket
import subprocess
import time


@contextlib.contextmanager
def serve(top, layout, work, index=False):
    top, work = os.path.abspath(top), os.path.abspath(work)
    user = pwd.getpwnam("dovecot")
    for d in ("run", "index", "home"):
        os.makedirs(os.path.join(work, d), exist_ok=True)
    for d in ("index", "home"):
        os.chown(os.path.join(work, d), user.pw_uid, user.pw_gid)
    os.chmod(work, 0o755)
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    conf = os.path.join(work, "dovecot.conf")
    location = top + (":LAYOUT=fs" if layout == "fs" else "") + (f":INDEX={work}/index" if index else "")
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
mail_location = maildir:{location}
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
    imap = None
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
        yield imap
    finally:
        if imap is not None:
            try:
                imap.logout()
            except Exception:
                pass
        subprocess.run(["doveadm", "-c", conf, "stop"], capture_output=True)

#!/usr/bin/env python3
r"""Starts and stops a private IMAP server (Dovecot or Cyrus) on free loopback
ports, everything it writes kept under one work dir. Run as root (the servers
drop to the dovecot user, which owns the mail files).

    imapserver.py start --kind dovecot|cyrus --dir WORKDIR [--tls]
                        [--users alice:secret,bob:secret] [--no-public] [--fsync]
                        [--config tesk|stock|stock-slash|gmail|exchange|no-uidplus]
                        [--oauth2 URL]
        Starts the server, waits until every account can log in, prints one
        JSON line (also kept in WORKDIR/server.json) and returns; the server
        keeps running in its own session.
    imapserver.py stop --dir WORKDIR
        Stops the server and every process it started; exit 0 also when
        nothing was running.
    imapserver.py run  (same options as start)
        Starts, prints the JSON line, serves until stdin reaches EOF or the
        process gets SIGTERM/SIGINT, then stops.
    imapserver.py install-cyrus
        Only fetches and unpacks Cyrus (start --kind cyrus does it as well).

The JSON line:
    {"kind": "dovecot"|"cyrus", "host": "127.0.0.1", "port": N,
     "tls_port": M|null,            implicit TLS port (with --tls; the plain
                                    port then offers STARTTLS)
     "ca_file": PATH|null,          CA that signed the server certificate
                                    (subjectAltName DNS:localhost, IP:127.0.0.1)
     "users": [{"name": "alice", "password": "secret"}, ...],
     "admin": {"name": "cyrus", "password": ...}|null,   Cyrus administrator
     "pid": master pid, "dir": WORKDIR, "log": server log file or null,
     "delimiter": "/"|".",          hierarchy delimiter of the personal namespace
     "namespace": raw NAMESPACE reply after login,
     "public_folder": name|null,    an existing mailbox every user may read,
                                    write and create children under
     "greeting": ..., "capability_before_login": ..., "capability_after_login": ...}

Dovecot: passwd-file accounts, each a Maildir (LAYOUT=fs) under
WORKDIR/mail/USER; delimiter "/"; Sent, Drafts, Trash, Junk and Archive
carry their special-use attributes and are created on first login; public
namespace "Public/" (a shared Maildir under WORKDIR/public, ACL anyone with
all rights, \Seen private to each user) holding "Public/Shared"; imap_acl
and imap_zlib (COMPRESS=DEFLATE) loaded; mail files are not fsynced unless
--fsync is given (a loopback test server needs no durability, and fsync
would dominate every APPEND).

--oauth2 URL (Dovecot): logins by XOAUTH2 and OAUTHBEARER too, the bearer
token checked by token introspection at URL/introspect (oauthserver.py);
its "username" is the account. Passwords go on working.

--config picks how the server is set up (default tesk, as described below):
  stock  Dovecot as it ships, pointed at Maildirs: Maildir++ layout with "."
         as separator, the special-use attributes of Debian's
         15-mailboxes.conf (Drafts, Junk, Trash, Sent, "Sent Messages"),
         no public namespace; Drafts, Junk, Trash and Sent are made at
         start as a mail client makes them on first use.
         Cyrus with its own defaults: altnamespace and "/" as separator
         (unixhierarchysep), special-use folders created on first login.
  stock-slash  (Dovecot) the same with "/" as the namespace's separator,
         as many set-ups write it: the Maildir++ storage then refuses "."
         in mailbox names.
  gmail  (Dovecot) an account shaped like Gmail's: LAYOUT=fs, "/" as
         separator, a \Noselect parent "[Gmail]" holding "All Mail" (\All),
         "Sent Mail" (\Sent), "Drafts", "Trash", "Spam" (\Junk) and
         "Starred" (\Flagged), created on first login; no public namespace;
         X-GM-EXT-1 among the capabilities and Gmail's ID ("GImap").
  exchange  (Dovecot) the tesk set-up without a public namespace, greeting
         and ID as Microsoft 365 sends them ("The Microsoft Exchange IMAP4
         service is ready.", "Microsoft.Exchange.Imap4.Imap4Server").
  no-uidplus  (Dovecot) the tesk set-up without a public namespace whose
         capabilities leave out UIDPLUS and MOVE: a client expunges with
         EXPUNGE and moves with COPY (Dovecot still answers APPEND and COPY
         with APPENDUID and COPYUID).

Cyrus: the Debian packages cyrus-common and cyrus-imapd are downloaded and
unpacked (never installed, they would pull in a mail transfer agent) into
$TESK_CYRUS_ROOT, else $XDG_CACHE_HOME/tesk-cyrus, else /var/cache/tesk-cyrus,
and reused from there; the plain libraries they link against are installed
with apt-get. Accounts live in a sasldb under WORKDIR; alternate namespace
with delimiter "." (netnews separator); the special-use folders are created
on first login; the shared mailbox "Shared Folders.Public" is open to anyone.
"""
import argparse
import fcntl
import json
import os
import pwd
import re
import secrets
import shutil
import signal
import ssl
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from imaputil import ToolError, free_port, wait_for_login  # noqa: E402

GMAIL = [("[Gmail]/All Mail", "\\All"), ("[Gmail]/Sent Mail", "\\Sent"), ("[Gmail]/Drafts", "\\Drafts"),
         ("[Gmail]/Trash", "\\Trash"), ("[Gmail]/Spam", "\\Junk"), ("[Gmail]/Starred", "\\Flagged")]
# Capabilities, ID and greeting of Gmail and of Microsoft 365, as they send
# them (the server's own extensions are not there, only their names).
PROVIDER_IDENTITY = {
    "gmail": ('  imap_capability = +X-GM-EXT-1\n  imap_id_send = name "GImap" vendor "Google, Inc."\n', ""),
    # Dovecot's capabilities without UIDPLUS and MOVE, as older servers
    # have them (it still sends APPENDUID and COPYUID codes).
    "no-uidplus": ("  imap_capability = IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE SORT SORT=DISPLAY "
                   "THREAD=REFERENCES THREAD=REFS THREAD=ORDEREDSUBJECT MULTIAPPEND URL-PARTIAL CATENATE UNSELECT "
                   "CHILDREN NAMESPACE LIST-EXTENDED I18NLEVEL=1 CONDSTORE QRESYNC ESEARCH ESORT SEARCHRES WITHIN "
                   "CONTEXT=SEARCH LIST-STATUS BINARY SNIPPET=FUZZY PREVIEW=FUZZY PREVIEW STATUS=SIZE SAVEDATE "
                   "LITERAL+ NOTIFY SPECIAL-USE\n", ""),
    "exchange": ('  imap_id_send = name "Microsoft.Exchange.Imap4.Imap4Server"\n',
                 "login_greeting = The Microsoft Exchange IMAP4 service is ready.\n"),
}
STOCK = [("Drafts", "\\Drafts"), ("Junk", "\\Junk"), ("Trash", "\\Trash"), ("Sent", "\\Sent"),
         ("Sent Messages", "\\Sent")]
SPECIAL = [("Sent", "\\Sent"), ("Drafts", "\\Drafts"), ("Trash", "\\Trash"), ("Junk", "\\Junk"),
           ("Archive", "\\Archive")]
MTA_PACKAGES = re.compile(r"^Inst (exim4\S*|postfix\S*|sendmail\S*|courier-mta|dma|nullmailer|opensmtpd|"
                          r"ssmtp|msmtp-mta|esmtp-run)\s")


def need(binary, package):
    path = shutil.which(binary)
    if not path:
        raise ToolError(f"{binary} not found; install the Debian package {package}")
    return path


def run(cmd, **kw):
    p = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if p.returncode != 0:
        raise ToolError(f"{' '.join(cmd)} failed ({p.returncode}): {p.stderr.strip() or p.stdout.strip()}")
    return p.stdout


def service_user():
    for name in ("dovecot", "nobody"):
        try:
            return pwd.getpwnam(name)
        except KeyError:
            pass
    raise ToolError("neither a dovecot nor a nobody user exists")


def chown_tree(path, user):
    for root, dirs, files in os.walk(path):
        os.chown(root, user.pw_uid, user.pw_gid)
        for f in files:
            os.lchown(os.path.join(root, f), user.pw_uid, user.pw_gid)


def parse_users(text):
    users = []
    for item in text.split(","):
        if not item:
            continue
        name, sep, password = item.partition(":")
        if not sep or not re.fullmatch(r"[A-Za-z0-9_.-]+", name) or not password or ":" in password:
            raise ToolError(f"bad --users entry {item!r} (want name:password)")
        users.append({"name": name, "password": password})
    if not users:
        raise ToolError("--users names no account")
    return users


# ---------------------------------------------------------------- certificates

def make_certificates(work):
    """A CA and a server certificate for localhost / 127.0.0.1 under work/tls."""
    need("openssl", "openssl")
    d = os.path.join(work, "tls")
    os.makedirs(d, exist_ok=True)
    ca_key, ca_crt = os.path.join(d, "ca.key"), os.path.join(d, "ca.crt")
    key, csr, crt = os.path.join(d, "server.key"), os.path.join(d, "server.csr"), os.path.join(d, "server.crt")
    if os.path.exists(crt) and os.path.exists(ca_crt):
        return ca_crt, crt, key
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run(["openssl", "req", "-x509", *ec, "-keyout", ca_key, "-out", ca_crt, "-days", "3650",
         "-subj", "/CN=Tesk Loopback Test CA",
         "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign,cRLSign",
         "-addext", "subjectKeyIdentifier=hash"])
    run(["openssl", "req", *ec, "-keyout", key, "-out", csr, "-subj", "/CN=localhost"])
    ext = os.path.join(d, "server.ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n"
                "subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                "subjectKeyIdentifier=hash\n"
                "authorityKeyIdentifier=keyid,issuer\n")
    run(["openssl", "x509", "-req", "-in", csr, "-CA", ca_crt, "-CAkey", ca_key, "-CAcreateserial",
         "-days", "3650", "-out", crt, "-extfile", ext])
    for p in (ca_crt, crt):
        os.chmod(p, 0o644)
    return ca_crt, crt, key


# ---------------------------------------------------------------- process helpers

def descendants(pid):
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        for c in children.get(p, []):
            out.append(c)
            todo.append(c)
    return out


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def stop_tree(pid, start_time=None):
    """SIGTERM to pid, SIGKILL to whatever of its tree is left after 10 s."""
    if not pid or not alive(pid):
        return
    if start_time is not None and proc_start_time(pid) != start_time:
        return  # the pid was reused by an unrelated process
    tree = descendants(pid)
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    deadline = time.time() + 10
    while time.time() < deadline and (alive(pid) or any(alive(p) for p in tree)):
        try:
            os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            pass
        time.sleep(0.05)
    for p in [pid] + tree:
        if alive(p):
            try:
                os.kill(p, signal.SIGKILL)
            except ProcessLookupError:
                pass


def proc_start_time(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[19])
    except OSError:
        return None


def spawn(cmd, log, env=None):
    out = open(log, "ab")
    return subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=out, env=env,
                            start_new_session=True, close_fds=True)


# ---------------------------------------------------------------- Dovecot

def start_dovecot(work, users, tls, public, fsync, config="tesk", oauth2=None):
    need("dovecot", "dovecot-core")
    if not os.path.exists("/usr/lib/dovecot/imap"):
        raise ToolError("/usr/lib/dovecot/imap not found; install the Debian package dovecot-imapd")
    mailuser = service_user()
    uid, gid = mailuser.pw_uid, mailuser.pw_gid
    for d in ("run", "mail", "public"):
        os.makedirs(os.path.join(work, d), exist_ok=True)
    port = free_port()
    tls_port = free_port() if tls else None
    with open(os.path.join(work, "users.passwd"), "w") as f:
        for u in users:
            home = os.path.join(work, "mail", u["name"])
            os.makedirs(home, exist_ok=True)
            f.write(f"{u['name']}:{{PLAIN}}{u['password']}:{uid}:{gid}::{home}::\n")
    os.chown(os.path.join(work, "users.passwd"), 0, gid)
    os.chmod(os.path.join(work, "users.passwd"), 0o640)
    pub = os.path.join(work, "public")
    if public:
        # Rights every user gets on the namespace's new mailboxes, and on the
        # one made here.
        for d in (pub, os.path.join(pub, "Shared")):
            for sub in ("cur", "new", "tmp") if d != pub else ():
                os.makedirs(os.path.join(d, sub), exist_ok=True)
            with open(os.path.join(d, "dovecot-acl"), "w") as f:
                f.write("anyone lrwstipekxa\n")
    for d in ("mail", "public"):
        chown_tree(os.path.join(work, d), mailuser)
    os.chmod(work, 0o755)

    special, auto = {"stock": (STOCK, None), "stock-slash": (STOCK, None),
                     "gmail": (GMAIL, None)}.get(config, (SPECIAL, "subscribe"))
    maildirpp = config in ("stock", "stock-slash")
    if config != "tesk":
        public = False
    mailboxes = "".join(f"  mailbox \"{name}\" {{\n    special_use = {flag}\n" +
                        (f"    auto = {auto}\n" if auto else "") + "  }\n"
                        for name, flag in special)
    ssl_conf = "ssl = no\n"
    listeners = f"  inet_listener imap {{\n    address = 127.0.0.1\n    port = {port}\n  }}\n"
    ca_file = None
    if tls:
        ca_file, crt, key = make_certificates(work)
        ssl_conf = (f"ssl = yes\nssl_cert = <{crt}\nssl_key = <{key}\nssl_min_protocol = TLSv1.2\n")
        listeners += (f"  inet_listener imaps {{\n    address = 127.0.0.1\n    port = {tls_port}\n"
                      f"    ssl = yes\n  }}\n")
    else:
        listeners += "  inet_listener imaps {\n    port = 0\n  }\n"
    public_conf = ""
    if public:
        public_conf = f"""namespace public {{
  type = public
  separator = /
  prefix = Public/
  location = maildir:{pub}:LAYOUT=fs:INDEXPVT=~/public-pvt
  subscriptions = no
  list = yes
}}
"""
    oauth2_passdb = ""
    if oauth2:
        ext = os.path.join(work, "oauth2.conf.ext")
        with open(ext, "w") as f:
            f.write(f"introspection_mode = post\nintrospection_url = {oauth2.rstrip('/')}/introspect\n"
                    "force_introspection = yes\nusername_attribute = username\nusername_format = %u\n"
                    "active_attribute = active\nactive_value = true\n")
        oauth2_passdb = f"passdb {{\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer\n  args = {ext}\n}}\n"
    # What the big providers' servers say of themselves, for their quirks.
    identity, login_greeting = PROVIDER_IDENTITY.get(config, ("", ""))
    conf = os.path.join(work, "dovecot.conf")
    log = os.path.join(work, "dovecot.log")
    with open(conf, "w") as f:
        f.write(f"""base_dir = {work}/run
state_dir = {work}/run
log_path = {log}
protocols = imap
listen = 127.0.0.1
{ssl_conf}disable_plaintext_auth = no
auth_mechanisms = plain login{" xoauth2 oauthbearer" if oauth2 else ""}
first_valid_uid = 1
mail_uid = {uid}
mail_gid = {gid}
default_internal_user = {mailuser.pw_name}
default_internal_group = {mailuser.pw_name}
default_login_user = {"dovenull" if _has_user("dovenull") else mailuser.pw_name}
mail_location = maildir:~/Maildir{"" if maildirpp else ":LAYOUT=fs"}
mail_fsync = {"optimized" if fsync else "never"}
mail_plugins = acl
passdb {{
  driver = passwd-file
  args = scheme=PLAIN {work}/users.passwd
}}
{oauth2_passdb}
userdb {{
  driver = passwd-file
  args = {work}/users.passwd
}}
namespace inbox {{
{"" if config == "stock" else "  type = private" + chr(10) + "  separator = /" + chr(10) + "  prefix =" + chr(10)}  inbox = yes
{mailboxes}}}
{public_conf}plugin {{
  acl = vfile
}}
{login_greeting}protocol imap {{
  mail_plugins = $mail_plugins imap_acl imap_zlib
  mail_max_userip_connections = 500
{identity}}}
service imap-login {{
{listeners}}}
service auth {{
  unix_listener auth-userdb {{
    mode = 0666
  }}
}}
""")
    run(["dovecot", "-c", conf, "-n"])  # config check with a readable error
    proc = spawn(["dovecot", "-F", "-c", conf], os.path.join(work, "dovecot.stdout"))
    info = {"kind": "dovecot", "config": config, "port": port, "tls_port": tls_port, "ca_file": ca_file, "admin": None,
            "pid": proc.pid, "log": log, "public_folder": "Public/Shared" if public else None}
    return info, conf


def _has_user(name):
    try:
        pwd.getpwnam(name)
        return True
    except KeyError:
        return False


# ---------------------------------------------------------------- Cyrus

def cyrus_root():
    if os.environ.get("TESK_CYRUS_ROOT"):
        return os.environ["TESK_CYRUS_ROOT"]
    if os.environ.get("XDG_CACHE_HOME"):
        return os.path.join(os.environ["XDG_CACHE_HOME"], "tesk-cyrus")
    return "/var/cache/tesk-cyrus"


def cyrus_env(root):
    env = dict(os.environ)
    lib = os.path.join(root, "usr/lib/x86_64-linux-gnu")
    multiarch = subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], capture_output=True, text=True)
    if multiarch.returncode == 0 and multiarch.stdout.strip():
        lib = os.path.join(root, "usr/lib", multiarch.stdout.strip())
    env["LD_LIBRARY_PATH"] = lib + (":" + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else "")
    return env


def _installed(pkg):
    p = subprocess.run(["dpkg-query", "-W", "-f=${Status}", pkg], capture_output=True, text=True)
    return p.returncode == 0 and "install ok installed" in p.stdout


def _apt(args, env):
    return subprocess.run(["apt-get", *args], capture_output=True, text=True, env=env)


def install_cyrus():
    """Cyrus binaries unpacked under cyrus_root(); returns that root."""
    root = cyrus_root()
    master = os.path.join(root, "usr/lib/cyrus/bin/master")
    marker = os.path.join(root, ".unpacked")
    os.makedirs(os.path.dirname(root) or "/", exist_ok=True)
    with open(root + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        if not (os.path.exists(marker) and os.path.exists(master)):
            for tool in ("apt-get", "apt-cache", "dpkg"):
                need(tool, "apt")
            if os.geteuid() != 0:
                raise ToolError(f"Cyrus is not unpacked in {root}; run once as root to fetch it")
            deps = subprocess.run(["apt-cache", "depends", "--no-recommends", "--no-suggests",
                                   "--no-conflicts", "--no-breaks", "--no-replaces", "--no-enhances",
                                   "cyrus-common", "cyrus-imapd"], capture_output=True, text=True, env=env)
            if deps.returncode != 0 or "cyrus-common" not in deps.stdout:
                _apt(["update", "-qq"], env)
                deps = subprocess.run(["apt-cache", "depends", "--no-recommends", "--no-suggests",
                                       "cyrus-common", "cyrus-imapd"], capture_output=True, text=True, env=env)
            libs = sorted({m.group(1) for m in re.finditer(r"^\s*\|?Depends: (lib[^\s<>]+)", deps.stdout, re.M)})
            if not libs:
                raise ToolError(f"apt-cache knows no cyrus-common/cyrus-imapd: {deps.stderr.strip()}")
            missing = [p for p in libs + ["sasl2-bin"] if not _installed(p)]
            if missing:
                sim = _apt(["-s", "install", "--no-install-recommends", *missing], env)
                bad = [line for line in sim.stdout.splitlines() if MTA_PACKAGES.match(line)]
                if sim.returncode != 0 or bad:
                    raise ToolError(f"installing {' '.join(missing)} would fail or pull in a mail transfer "
                                    f"agent: {' '.join(bad) or sim.stderr.strip()}")
                p = _apt(["install", "-y", "-qq", "--no-install-recommends", *missing], env)
                if p.returncode != 0:
                    raise ToolError(f"apt-get install {' '.join(missing)} failed: {p.stderr.strip()}")
            tmp = root + ".download"
            shutil.rmtree(tmp, ignore_errors=True)
            os.makedirs(tmp)
            os.chmod(tmp, 0o777)  # apt's _apt user writes the files
            p = subprocess.run(["apt-get", "download", "cyrus-common", "cyrus-imapd"], cwd=tmp,
                               capture_output=True, text=True, env=env)
            if p.returncode != 0:
                _apt(["update", "-qq"], env)
                p = subprocess.run(["apt-get", "download", "cyrus-common", "cyrus-imapd"], cwd=tmp,
                                   capture_output=True, text=True, env=env)
            if p.returncode != 0:
                raise ToolError(f"apt-get download cyrus-common cyrus-imapd failed: {p.stderr.strip()}")
            shutil.rmtree(root, ignore_errors=True)
            for deb in sorted(os.listdir(tmp)):
                if deb.endswith(".deb"):
                    run(["dpkg", "-x", os.path.join(tmp, deb), root])
            shutil.rmtree(tmp, ignore_errors=True)
            if not os.path.exists(master):
                raise ToolError(f"the unpacked packages hold no {master}")
            open(marker, "w").close()
        need("saslpasswd2", "sasl2-bin")
        ldd = subprocess.run(["ldd", os.path.join(root, "usr/lib/cyrus/bin/imapd")], capture_output=True,
                             text=True, env=cyrus_env(root))
        missing = [line.split()[0] for line in ldd.stdout.splitlines() if "not found" in line]
        if missing:
            raise ToolError(f"Cyrus imapd under {root} misses libraries: {' '.join(missing)}")
    return root


def start_cyrus(work, users, tls, public, fsync, config="tesk"):
    root = install_cyrus()
    env = cyrus_env(root)
    bindir = os.path.join(root, "usr/lib/cyrus/bin")
    mailuser = service_user()
    for d in ("conf", "part", "run"):
        os.makedirs(os.path.join(work, d), exist_ok=True)
    port = free_port()
    tls_port = free_port() if tls else None
    admin = {"name": "cyrus", "password": secrets.token_hex(8)}
    sasldb = os.path.join(work, "sasldb2")
    if os.path.exists(sasldb):
        os.unlink(sasldb)
    for u in users + [admin]:
        p = subprocess.run(["saslpasswd2", "-p", "-c", "-f", sasldb, u["name"]], input=u["password"],
                           capture_output=True, text=True)
        if p.returncode != 0:
            raise ToolError(f"saslpasswd2 for {u['name']} failed: {p.stderr.strip()}")
    conf = os.path.join(work, "imapd.conf")
    folders = " | ".join(name for name, _ in SPECIAL)
    xlist = "".join(f"xlist-{flag[1:].lower()}: {name}\n" for name, flag in SPECIAL)
    ca_file = None
    tls_conf = ""
    if tls:
        ca_file, crt, key = make_certificates(work)
        tls_conf = f"tls_server_cert: {crt}\ntls_server_key: {key}\ntls_client_certs: off\n"
    with open(conf, "w") as f:
        f.write(f"""configdirectory: {work}/conf
partition-default: {work}/part
defaultpartition: default
cyrus_user: {mailuser.pw_name}
admins: {admin['name']}
allowplaintext: 1
sasl_pwcheck_method: auxprop
sasl_auxprop_plugin: sasldb
sasl_sasldb_path: {sasldb}
sasl_mech_list: PLAIN LOGIN
{"" if config == "stock" else "unixhierarchysep: 0" + chr(10) + "altnamespace: 1" + chr(10)}master_pid_file: {work}/run/master.pid
syslog_prefix: tesk-cyrus
autocreate_quota: 0
autocreate_inbox_folders: {folders}
autocreate_subscribe_folders: {folders}
{xlist}{tls_conf}""")
    services = f'  imap cmd="{bindir}/imapd -C {conf}" listen="127.0.0.1:{port}" prefork=0\n'
    if tls:
        services += f'  imaps cmd="{bindir}/imapd -s -C {conf}" listen="127.0.0.1:{tls_port}" prefork=0\n'
    cyrus_conf = os.path.join(work, "cyrus.conf")
    with open(cyrus_conf, "w") as f:
        f.write(f"START {{\n  recover cmd=\"{bindir}/ctl_cyrusdb -C {conf} -r\"\n}}\n"
                f"SERVICES {{\n{services}}}\nEVENTS {{\n}}\nDAEMON {{\n}}\n")
    for entry in ("conf", "part", "run", "tls", "sasldb2", "imapd.conf", "cyrus.conf"):
        if os.path.exists(os.path.join(work, entry)):
            chown_tree(os.path.join(work, entry), mailuser) if os.path.isdir(os.path.join(work, entry)) else \
                os.chown(os.path.join(work, entry), mailuser.pw_uid, mailuser.pw_gid)
    os.chmod(work, 0o755)
    # The pid file named on the command line: the master ignores
    # master_pid_file and would take /run/cyrus-master.pid, which a second
    # server running at the same time holds locked.
    proc = spawn([os.path.join(bindir, "master"), "-C", conf, "-M", cyrus_conf, "-p",
                  os.path.join(work, "run", "master.pid"), "-D"],
                 os.path.join(work, "cyrus.log"), env=env)
    info = {"kind": "cyrus", "config": config, "port": port, "tls_port": tls_port, "ca_file": ca_file, "admin": admin,
            "pid": proc.pid, "log": os.path.join(work, "cyrus.log"),
            "public_folder": ("Shared Folders/Public" if config == "stock" else "Shared Folders.Public")
            if public else None}
    return info, conf


def cyrus_setup(info, users, public):
    """First logins create the accounts' folders; the admin makes the shared one."""
    import imaplib
    for u in users:
        wait_for_login("127.0.0.1", info["port"], u["name"], u["password"])
    if public:
        imap = imaplib.IMAP4("127.0.0.1", info["port"])
        imap.login(info["admin"]["name"], info["admin"]["password"])
        typ, data = imap.create("Public")
        if typ != "OK" and b"exists" not in (data[0] or b"").lower():
            raise ToolError(f"cannot create the shared mailbox: {data}")
        typ, data = imap.setacl("Public", "anyone", "lrswipkxtecdan")
        if typ != "OK":
            raise ToolError(f"cannot set the shared mailbox's ACL: {data}")
        imap.logout()


def create_mailboxes(info, users, names):
    """Makes the mailboxes every account starts with, as a client would on
    first use (the stock set-up creates nothing itself; Gmail's own
    mailboxes exist from the start, below the \\Noselect "[Gmail]")."""
    import imaplib
    for u in users:
        wait_for_login("127.0.0.1", info["port"], u["name"], u["password"])
        imap = imaplib.IMAP4("127.0.0.1", info["port"])
        imap.login(u["name"], u["password"])
        for name in names:
            typ, data = imap.create(f'"{name}"')
            if typ != "OK" and b"exists" not in (data[0] or b"").lower():
                raise ToolError(f"cannot create {name}: {data}")
            imap.subscribe(f'"{name}"')
        imap.logout()


# ---------------------------------------------------------------- start / stop

def describe(info, users):
    """Probes the running server for what the JSON line reports."""
    import imaplib
    u = users[0]
    greeting, before, after = wait_for_login("127.0.0.1", info["port"], u["name"], u["password"])
    if info["tls_port"]:
        ctx = ssl.create_default_context(cafile=info["ca_file"])
        wait_for_login("127.0.0.1", info["tls_port"], u["name"], u["password"], ctx=ctx)
    for other in users[1:]:
        wait_for_login("127.0.0.1", info["port"], other["name"], other["password"])
    imap = imaplib.IMAP4("127.0.0.1", info["port"])
    imap.login(u["name"], u["password"])
    ns = imap.namespace()[1][0].decode()
    typ, data = imap.list('""', '""')
    m = re.match(rb'\([^)]*\) (?:"((?:[^"\\]|\\.)*)"|NIL)', data[0] or b"")
    imap.logout()
    info.update({"greeting": greeting, "capability_before_login": before, "capability_after_login": after,
                 "namespace": ns, "delimiter": m.group(1).decode() if m and m.group(1) is not None else None})


def start(args):
    work = os.path.abspath(args.dir)
    os.makedirs(work, exist_ok=True)
    state = os.path.join(work, "server.json")
    if os.path.exists(state):
        stop_dir(work)
    users = parse_users(args.users)
    starter = start_dovecot if args.kind == "dovecot" else start_cyrus
    if args.kind == "cyrus" and args.config in ("gmail", "stock-slash", "exchange", "no-uidplus"):
        raise ToolError(f"--config {args.config} is a Dovecot set-up")
    if args.oauth2 and args.kind != "dovecot":
        raise ToolError("--oauth2 is a Dovecot set-up")
    extra = {"oauth2": args.oauth2} if args.oauth2 else {}
    info, conf = starter(work, users, args.tls, not args.no_public, args.fsync, args.config, **extra)
    info.update({"host": "127.0.0.1", "dir": work, "users": users, "conf": conf,
                 "start_time": proc_start_time(info["pid"])})
    # The state file exists before the first probe, so stop finds the server
    # whatever happens next.
    with open(state, "w") as f:
        json.dump(info, f)
    try:
        if args.kind == "cyrus":
            cyrus_setup(info, users, not args.no_public)
        if args.kind == "dovecot" and args.config == "gmail":
            create_mailboxes(info, users, [name for name, _ in GMAIL])
        if args.kind == "dovecot" and args.config in ("stock", "stock-slash"):
            create_mailboxes(info, users, ["Drafts", "Junk", "Trash", "Sent"])
        describe(info, users)
    except BaseException as e:
        log = info.get("log")
        tail = ""
        if log and os.path.exists(log):
            with open(log, errors="replace") as f:
                tail = "".join(f.readlines()[-15:])
        stop_dir(work)
        if isinstance(e, ToolError):
            raise ToolError(f"{e}\n{tail}")
        raise
    with open(state + ".tmp", "w") as f:
        json.dump(info, f)
    os.replace(state + ".tmp", state)
    return info


def stop_dir(work):
    state = os.path.join(os.path.abspath(work), "server.json")
    try:
        with open(state) as f:
            info = json.load(f)
    except FileNotFoundError:
        return False
    except json.JSONDecodeError:
        os.unlink(state)
        return False
    stop_tree(info.get("pid"), info.get("start_time"))
    os.unlink(state)
    return True


def main():
    p = argparse.ArgumentParser(description="Private IMAP servers on loopback for tests.")
    sp = p.add_subparsers(dest="command", required=True)
    for name in ("start", "run"):
        s = sp.add_parser(name)
        s.add_argument("--kind", choices=["dovecot", "cyrus"], required=True)
        s.add_argument("--dir", required=True)
        s.add_argument("--tls", action="store_true")
        s.add_argument("--users", default="alice:secret,bob:secret")
        s.add_argument("--no-public", action="store_true", help="no public/shared folders")
        s.add_argument("--fsync", action="store_true", help="Dovecot syncs mail files to disk (off by default)")
        s.add_argument("--oauth2", metavar="URL", help="XOAUTH2/OAUTHBEARER logins checked at URL/introspect")
        s.add_argument("--config", choices=["tesk", "stock", "stock-slash", "gmail", "exchange", "no-uidplus"], default="tesk",
                       help="how the server is set up (see the module's description)")
    s = sp.add_parser("stop")
    s.add_argument("--dir", required=True)
    sp.add_parser("install-cyrus")
    args = p.parse_args()
    try:
        if args.command == "install-cyrus":
            print(json.dumps({"root": install_cyrus()}))
        elif args.command == "stop":
            stop_dir(args.dir)
        else:
            info = start(args)
            public = {k: v for k, v in info.items() if k not in ("conf", "start_time")}
            print(json.dumps(public), flush=True)
            if args.command == "run":
                def interrupted(*_):
                    raise KeyboardInterrupt
                signal.signal(signal.SIGTERM, interrupted)
                try:
                    while True:
                        if not sys.stdin.buffer.read1(4096):
                            break
                except (KeyboardInterrupt, OSError):
                    pass
                finally:
                    stop_dir(args.dir)
    except ToolError as e:
        print(f"imapserver.py: {e}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()

"""Shared pieces of the loopback IMAP tools: modified UTF-7 mailbox names,
connecting to a server described by imapserver.py, and parsing LIST replies.

A server description is the JSON object imapserver.py prints (also kept in
WORKDIR/server.json); load_server() accepts that file, its directory or a
JSON string."""
import base64
import imaplib
import json
import os
import re
import socket
import ssl


class ToolError(Exception):
    """A failure with a message meant for the person running the tool."""


# ---------------------------------------------------------------- names

def mutf7_decode(name):
    """Modified UTF-7 (IMAP mailbox names) to text."""
    out = []
    i = 0
    while i < len(name):
        c = name[i]
        if c != "&":
            out.append(c)
            i += 1
            continue
        j = name.find("-", i)
        if j < 0:
            raise ValueError(f"unterminated shift in mailbox name {name!r}")
        if j == i + 1:
            out.append("&")
        else:
            chunk = name[i + 1:j].replace(",", "/")
            chunk += "=" * (-len(chunk) % 4)
            out.append(base64.b64decode(chunk).decode("utf-16-be"))
        i = j + 1
    return "".join(out)


def mutf7_encode(text):
    """Text to modified UTF-7."""
    out = []
    pending = []

    def flush():
        if pending:
            raw = "".join(pending).encode("utf-16-be")
            out.append("&" + base64.b64encode(raw).decode("ascii").rstrip("=").replace("/", ",") + "-")
            pending.clear()

    for c in text:
        if 0x20 <= ord(c) <= 0x7E:
            flush()
            out.append("&-" if c == "&" else c)
        else:
            pending.append(c)
    flush()
    return "".join(out)


def quote(s):
    """An IMAP quoted string (names here never need a literal)."""
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


# ---------------------------------------------------------------- servers

def load_server(where):
    """The server description from a JSON string, a file or a work dir."""
    if where.lstrip().startswith("{"):
        return json.loads(where)
    path = os.path.join(where, "server.json") if os.path.isdir(where) else where
    try:
        with open(path) as f:
            return json.load(f)
    except FileNotFoundError:
        raise ToolError(f"no server description at {path} (is the server started?)")


def user_password(server, user):
    for u in server.get("users", []):
        if u["name"] == user:
            return u["password"]
    admin = server.get("admin")
    if admin and admin["name"] == user:
        return admin["password"]
    raise ToolError(f"user {user} is not an account of this server")


def connect(server, user, password=None, security="plain", timeout=60):
    """A logged-in imaplib connection. security: plain, starttls or tls."""
    host = server["host"]
    if password is None:
        password = user_password(server, user)
    ctx = None
    if security in ("tls", "starttls"):
        if not server.get("ca_file"):
            raise ToolError("the server was started without --tls")
        ctx = ssl.create_default_context(cafile=server["ca_file"])
    try:
        if security == "tls":
            imap = imaplib.IMAP4_SSL(host, server["tls_port"], ssl_context=ctx, timeout=timeout)
        else:
            imap = imaplib.IMAP4(host, server["port"], timeout=timeout)
            if security == "starttls":
                imap.starttls(ssl_context=ctx)
    except (OSError, imaplib.IMAP4.error) as e:
        raise ToolError(f"cannot connect to {host}:{server['port']} ({security}): {e}")
    try:
        imap.login(user, password)
    except imaplib.IMAP4.error as e:
        raise ToolError(f"login as {user} failed: {e}")
    return imap


def wait_for_login(host, port, user, password, timeout=30, ctx=None):
    """Polls until a LOGIN succeeds; returns (greeting, capability before login,
    capability after login)."""
    import time
    deadline = time.time() + timeout
    last = None
    while time.time() < deadline:
        try:
            if ctx:
                imap = imaplib.IMAP4_SSL(host, port, ssl_context=ctx, timeout=10)
            else:
                imap = imaplib.IMAP4(host, port, timeout=10)
            try:
                greeting = imap.welcome.decode("utf-8", "replace")
                before = imap.capability()[1][0].decode()
                imap.login(user, password)
                after = imap.capability()[1][0].decode()
                return greeting, before, after
            finally:
                try:
                    imap.logout()
                except Exception:
                    pass
        except (OSError, imaplib.IMAP4.error, ssl.SSLError) as e:
            last = e
            time.sleep(0.1)
    raise ToolError(f"server on {host}:{port} did not accept a login within {timeout}s: {last}")


# ---------------------------------------------------------------- LIST

_TOKEN = re.compile(rb'\s*(\((?P<attrs>[^)]*)\)|"(?P<q>(?:[^"\\]|\\.)*)"|(?P<atom>[^\s()"]+))')


def _unquote(b):
    return re.sub(rb"\\(.)", rb"\1", b)


def parse_list(items):
    """imaplib LIST/LSUB data to [(attributes, delimiter, raw name)].
    Handles quoted names, NIL delimiters and names sent as literals."""
    out = []
    i = 0
    while i < len(items):
        item = items[i]
        i += 1
        if item is None:
            continue
        literal = None
        if isinstance(item, tuple):
            head, literal = item
            # imaplib puts the rest of the line after the literal as the next item.
            if i < len(items) and isinstance(items[i], bytes) and not items[i].startswith(b"("):
                i += 1
        else:
            head = item
        pos = 0
        toks = []
        while len(toks) < 3:
            m = _TOKEN.match(head, pos)
            if not m:
                break
            pos = m.end()
            if m.group("attrs") is not None:
                toks.append(m.group("attrs").split())
            elif m.group("q") is not None:
                toks.append(_unquote(m.group("q")))
            else:
                toks.append(m.group("atom"))
        if literal is not None:
            toks = toks[:2] + [literal]
        if len(toks) < 3:
            raise ToolError(f"cannot parse LIST reply {item!r}")
        attrs = [a.decode() for a in toks[0]]
        delim = None if toks[1] == b"NIL" else toks[1].decode()
        name = toks[2]
        if isinstance(name, bytes):
            name = name.decode("utf-8")
        out.append((attrs, delim, name))
    return out


SPECIAL_USE = {"\\all", "\\archive", "\\drafts", "\\flagged", "\\junk", "\\sent", "\\trash", "\\important"}


def special_use(attrs):
    """The special-use attributes among LIST attributes, as sent."""
    return [a for a in attrs if a.lower() in SPECIAL_USE]


def list_mailboxes(imap, pattern="*"):
    """[(attributes, delimiter, raw name)] for LIST "" pattern, with special-use
    attributes when the server has SPECIAL-USE."""
    caps = imap.capabilities
    if "SPECIAL-USE" in caps and "LIST-EXTENDED" in caps:
        typ, data = imap._simple_command("LIST", '""', pattern, "RETURN", "(SPECIAL-USE)")
        typ, data = imap._untagged_response(typ, data, "LIST")
    else:
        typ, data = imap.list('""', pattern)
    if typ != "OK":
        raise ToolError(f"LIST failed: {data}")
    return parse_list(data)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

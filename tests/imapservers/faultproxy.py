#!/usr/bin/env python3
"""A TCP proxy on loopback that breaks connections on purpose.

    faultproxy.py --target HOST:PORT [--listen-port 0]
                  [--drop-after-bytes N] [--match REGEX]
                  [--direction server-to-client|client-to-server]
                  [--action rst|close|stall] [--fault-connections K]
                  [--faults K] [--cut-before]
                  [--refuse] [--delay-ms MS [--window-bytes N]]
                  [--state-dir DIR [--daemon]]
    faultproxy.py stop --state-dir DIR
    faultproxy.py status --state-dir DIR

Prints one JSON line {"host": "127.0.0.1", "port": N, "pid": P} once it
listens, then forwards every connection to the target. With
--drop-after-bytes the watched direction (default server-to-client) may
carry N bytes, counted from the end of the first line matching --match (a
Python regex on the raw bytes, e.g. ' FETCH ') or from the connection's
start without --match (with --cut-before: from the start of that line,
so that e.g. --match 'OK \[APPENDUID' --drop-after-bytes 0 --cut-before
keeps the answer to an upload the server took from the client); then the
fault happens:
    rst    both connections are reset (SO_LINGER 0), the default
    close  both connections are closed in order (FIN)
    stall  nothing more is forwarded either way and nothing is closed; the
           proxy reads and drops what the client sends until it hangs up
--drop-after-bytes 0 without --match faults each connection at once (with
stall: accepted, never greeted). --fault-connections K faults only the
first K connections, later ones are forwarded untouched (a retry
succeeds). --faults K: K faults in all, whichever connections they hit
(e.g. the first connection that sends an APPEND is cut in its literal
with --direction client-to-server --match ' APPEND ' --faults 1; the
one after it passes). --refuse binds the port without listening: every connect is
refused.

With --answer-no TEXT the proxy reads the client's IMAP commands (it must
not compress them) and, once --after-commands N tagged commands have
passed on a connection, answers the next one itself with "TAG NO TEXT"
instead of passing it on, as a throttling server does: e.g.
    --answer-no "Request is throttled. Suggested Backoff Time: 1500 milliseconds"
    --answer-no "[UNAVAILABLE] Try again later"
--answer-times K: so many answers in all (default 1; 0: every command
after the first N of each connection). --answer-match REGEX: only
commands whose first line matches (a Python regex on the raw bytes, e.g.
' APPEND ' or 'UID FETCH .*BODY') are answered, and counted for
--after-commands. Logins, CAPABILITY, STARTTLS,
COMPRESS, LOGOUT and ID always pass. A command with a literal that gets the
answer loses its literal too (a synchronizing one is never asked for).
The counts gain "answered".

With --count-bodies the proxy follows the conversation (it must not be
compressed: a COMPRESS the server accepts is counted as "compressed" and
ends the counting on that connection) and counts the whole message bodies
the server sends (BODY[], BINARY[], RFC822, also in parts: BODY[]<0>) as
"bodies", and per mailbox (as the client named it in its SELECT or
EXAMINE) in "bodies_by_mailbox". It also counts the client's commands
("commands", STATUS ones also as "status") and its round trips
("round_trips": commands sent while none of the client's was unanswered,
so that commands sent together count once).

With --delay-ms MS every piece of data reaches the other side MS
milliseconds after the proxy read it, both ways, as over a distant network
(loopback has next to no latency); --window-bytes N (default 262144 with
--delay-ms) lets at most N bytes of one direction of a connection be on
their way at once, as a TCP window does: one connection then carries at
most N bytes per MS milliseconds, and several connections carry more.

With --state-dir the JSON line is also written to DIR/faultproxy.json and
the counts to DIR/faultproxy-stats.json ({"connections": n, "faults": n});
--daemon returns once the proxy listens and leaves it running in the
background; stop ends it, status prints the counts. Without --daemon the
proxy runs until SIGTERM/SIGINT."""
import argparse
import json
import os
import re
import select
import signal
import socket
import struct
import sys
import threading
import time


class Stats:
    def __init__(self, state_dir, bodies=False):
        self.lock = threading.Lock()
        self.counts = {"connections": 0, "faults": 0, "answered": 0}
        if bodies:
            self.counts.update(bodies=0, bodies_by_mailbox={}, compressed=0, commands=0, status=0, round_trips=0)
        self.path = os.path.join(state_dir, "faultproxy-stats.json") if state_dir else None
        self.write()

    def spent(self, limit):
        with self.lock:
            return bool(limit) and self.counts["faults"] >= limit

    def bump(self, key):
        with self.lock:
            self.counts[key] += 1
            n = self.counts[key]
            self.write()
            return n

    def body(self, mailbox):
        with self.lock:
            self.counts["bodies"] += 1
            per = self.counts["bodies_by_mailbox"]
            per[mailbox] = per.get(mailbox, 0) + 1
            self.write()

    def write(self):
        if self.path:
            with open(self.path + ".tmp", "w") as f:
                json.dump(self.counts, f)
            os.replace(self.path + ".tmp", self.path)


def hard_close(sock, how):
    try:
        if how == "rst":
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        else:
            sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    try:
        sock.close()
    except OSError:
        pass


class Connection:
    def __init__(self, client, args, faulty, stats):
        self.client = client
        self.server = None
        self.args = args
        self.faulty = faulty
        self.stats = stats
        self.done = False
        self.armed = faulty and not args.match
        self.counted = 0
        self.tail = b""
        self.pattern = re.compile(args.match.encode()) if args.match else None
        self.reader = CommandReader(args, stats) if args.answer_no else None
        self.counter = BodyCounter(stats) if args.count_bodies else None

    def start(self):
        if self.faulty and self.args.drop_after_bytes == 0 and not self.pattern and not self.stats.spent(self.args.faults):
            self.fault()
            return
        try:
            self.server = socket.create_connection(self.args.target, timeout=10)
            self.server.settimeout(None)
        except OSError:
            hard_close(self.client, "rst")
            return
        self.relay()

    def allowance(self, data):
        """How much of data may pass before the fault, or None for all of it."""
        offset = 0
        if not self.armed:
            buf = self.tail + data
            m = self.pattern.search(buf)
            if not m:
                self.tail = buf[-4096:]
                return None
            nl = buf.find(b"\n", m.end())
            if nl < 0:
                self.tail = buf[-4096:]
                return None
            self.armed = True
            end = buf.rfind(b"\n", 0, m.start()) + 1 if self.args.cut_before else nl + 1
            offset = max(0, end - len(self.tail))
        left = self.args.drop_after_bytes - self.counted
        after = len(data) - offset
        if after < left:
            self.counted += after
            return None
        return offset + left

    def relay(self):
        """Both directions in one thread, so a fault closes sockets no other
        thread is blocked on (a reset then really goes out)."""
        watch_s2c = self.args.direction == "server-to-client"
        peer = {self.client: self.server, self.server: self.client}
        counting = self.faulty and self.args.drop_after_bytes is not None
        delay = self.args.delay_ms / 1000.0
        window = self.args.window_bytes
        # With a delay: what waits to be passed on, per destination, as
        # (due time, bytes), and how many bytes wait.
        queued = {self.client: [], self.server: []}
        waiting = {self.client: 0, self.server: 0}

        def send(dst, data):
            if not delay:
                dst.sendall(data)
                return
            queued[dst].append((time.monotonic() + delay, data))
            waiting[dst] += len(data)

        def flush(dst, everything=False):
            now = time.monotonic()
            q = queued[dst]
            while q and (everything or q[0][0] <= now):
                data = q.pop(0)[1]
                waiting[dst] -= len(data)
                dst.sendall(data)

        try:
            while True:
                timeout = None
                sources = [self.client, self.server]
                if delay:
                    for d in (self.client, self.server):
                        flush(d)
                    dues = [q[0][0] for q in queued.values() if q]
                    if dues:
                        timeout = max(0.0, min(dues) - time.monotonic())
                    # A full window: the sender waits (TCP pushes back).
                    sources = [s for s in sources if waiting[peer[s]] < window]
                readable, _, _ = select.select(sources, [], [], timeout)
                for src in readable:
                    dst = peer[src]
                    data = src.recv(65536)
                    if not data:
                        if delay:
                            flush(dst, True)
                        self.finish()
                        return
                    if self.counter:
                        self.counter.feed(data, src is self.server)
                    if self.reader and src is self.client:
                        data, answer = self.reader.feed(data)
                        if answer:
                            send(self.client, answer)
                        if not data:
                            continue
                    watched = (src is self.server) == watch_s2c
                    counting = counting and not self.stats.spent(self.args.faults)
                    cut = self.allowance(data) if counting and watched else None
                    if cut is None:
                        send(dst, data)
                        continue
                    if cut:
                        send(dst, data[:cut])
                    if delay:
                        flush(dst, True)
                    self.fault()
                    return
        except OSError:
            self.finish()

    def finish(self):
        """A clean end on one side is passed on as such."""
        if self.done:
            return
        self.done = True
        for s in (self.client, self.server):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def fault(self):
        if self.done:
            return
        self.done = True
        self.stats.bump("faults")
        if self.args.action == "stall":
            if self.server:
                hard_close(self.server, "close")
            self.stall()
            return
        hard_close(self.client, self.args.action)
        if self.server:
            hard_close(self.server, self.args.action)

    def stall(self):
        try:
            while True:
                r, _, _ = select.select([self.client], [], [], 1.0)
                if r and not self.client.recv(65536):
                    break
        except OSError:
            pass
        self.client.close()


TAG_LINE = re.compile(rb"^([A-Za-z0-9.]+) ([A-Za-z]+)")
LITERAL = re.compile(rb"\{(\d+)(\+?)\}\r\n$")
ALWAYS_PASS = {b"LOGIN", b"AUTHENTICATE", b"CAPABILITY", b"STARTTLS", b"COMPRESS", b"LOGOUT", b"ID", b"NOOP"}
answer_lock = threading.Lock()


class CommandReader:
    """Follows the client's commands line by line (literals counted out),
    and takes a command away from the server when it is its turn to be
    answered NO."""

    def __init__(self, args, stats):
        self.args = args
        self.stats = stats
        self.buf = b""
        self.literal = 0          # bytes of a literal still to come
        self.in_command = False   # a line after a literal continues its command
        self.swallow = False      # the current command is answered here, not passed on
        self.seen = 0
        self.only = re.compile(args.answer_match.encode()) if args.answer_match else None

    def take_turn(self):
        """Whether this command is to be answered NO (and count it)."""
        if self.seen <= self.args.after_commands:
            return False
        with answer_lock:
            if self.args.answer_times and self.stats.counts["answered"] >= self.args.answer_times:
                return False
            self.stats.bump("answered")
            return True

    def feed(self, data):
        out, answer = b"", b""
        self.buf += data
        while self.buf:
            if self.literal:
                part = self.buf[:self.literal]
                self.buf = self.buf[len(part):]
                self.literal -= len(part)
                if not self.swallow:
                    out += part
                continue
            nl = self.buf.find(b"\r\n")
            if nl < 0:
                break
            line, self.buf = self.buf[:nl + 2], self.buf[nl + 2:]
            if not self.in_command:
                self.swallow = False
                m = TAG_LINE.match(line)
                if m and m.group(1) not in (b"DONE",) and (not self.only or self.only.search(line)):
                    self.seen += 1
                    word = m.group(2).upper()
                    if word not in ALWAYS_PASS and self.take_turn():
                        self.swallow = True
                        answer += m.group(1) + b" NO " + self.args.answer_no.encode() + b"\r\n"
            lit = LITERAL.search(line)
            if lit:
                self.in_command = True
                if self.swallow and not lit.group(2):
                    # A synchronizing literal waits for "+", which never comes.
                    self.in_command = False
                else:
                    self.literal = int(lit.group(1))
            else:
                self.in_command = False
            if not self.swallow:
                out += line
        return out, answer


class BodyCounter:
    """Follows both directions of one connection line by line (literals
    skipped): the mailbox the client works in, from the OK to its SELECT or
    EXAMINE on, and the untagged FETCH responses that carry a whole body."""

    BODY = re.compile(rb"[ (](?:BODY\[(?:TEXT)?\]|BINARY\[\]|RFC822(?:\.TEXT)?)(?:<\d+>)? ", re.I)
    FETCH = re.compile(rb"^\* \d+ FETCH ", re.I)
    SELECT = re.compile(rb'^([A-Za-z0-9.]+) (?:SELECT|EXAMINE) (?:"((?:[^"\\]|\\.)*)"|([^ \r]+))', re.I)
    COMPRESS = re.compile(rb"^([A-Za-z0-9.]+) COMPRESS ", re.I)
    COMMAND = re.compile(rb"^([A-Za-z0-9.]+) ([A-Za-z]+)", re.I)
    TAGGED = re.compile(rb"^([A-Za-z0-9.]+) (OK|NO|BAD)\b", re.I)

    class Side:
        def __init__(self):
            self.buf = b""
            self.literal = 0
            self.first = True    # the next line starts a response or command

    def __init__(self, stats):
        self.stats = stats
        self.sides = {True: self.Side(), False: self.Side()}
        self.mailbox = None
        self.selecting = {}      # tag -> mailbox of a SELECT not yet answered
        self.compress_tag = None
        self.fetch = False       # the server's current response is a FETCH
        self.off = False
        self.unanswered = set()  # tags of the client's commands

    def feed(self, data, from_server):
        if self.off:
            return
        side = self.sides[from_server]
        side.buf += data
        while side.buf and not self.off:
            if side.literal:
                n = min(side.literal, len(side.buf))
                side.buf = side.buf[n:]
                side.literal -= n
                continue
            nl = side.buf.find(b"\n")
            if nl < 0:
                side.buf = side.buf[-65536:]
                break
            line, side.buf = side.buf[:nl + 1], side.buf[nl + 1:]
            (self.server_line if from_server else self.client_line)(line, side.first)
            lit = LITERAL.search(line)
            side.literal = int(lit.group(1)) if lit else 0
            side.first = not lit

    def client_line(self, line, first):
        if not first:
            return
        m = self.COMMAND.match(line)
        if m and m.group(1).upper() != b"DONE":
            with self.stats.lock:
                c = self.stats.counts
                c["commands"] += 1
                if m.group(2).upper() == b"STATUS":
                    c["status"] += 1
                if not self.unanswered:
                    c["round_trips"] += 1
                self.stats.write()
            self.unanswered.add(m.group(1))
        m = self.SELECT.match(line)
        if m:
            name = m.group(2) if m.group(2) is not None else m.group(3)
            self.selecting[m.group(1)] = re.sub(rb"\\(.)", rb"\1", name).decode("utf-8", "replace")
        m = self.COMPRESS.match(line)
        if m:
            self.compress_tag = m.group(1)

    def server_line(self, line, first):
        if first:
            self.fetch = bool(self.FETCH.match(line))
            m = self.TAGGED.match(line)
            if m:
                tag, ok = m.group(1), m.group(2).upper() == b"OK"
                self.unanswered.discard(tag)
                if tag in self.selecting:
                    name = self.selecting.pop(tag)
                    self.mailbox = name if ok else None
                if tag == self.compress_tag and ok:
                    self.off = True
                    with self.stats.lock:
                        self.stats.counts["compressed"] += 1
                        self.stats.write()
                    return
        if self.fetch and self.BODY.search(line):
            self.stats.body(self.mailbox or "")


def serve(args, listener):
    stats = Stats(args.state_dir, args.count_bodies)
    while True:
        try:
            client, _ = listener.accept()
        except OSError:
            return
        n = stats.bump("connections")
        faulty = args.drop_after_bytes is not None and (not args.fault_connections or n <= args.fault_connections)
        threading.Thread(target=Connection(client, args, faulty, stats).start, daemon=True).start()


def state_file(d):
    return os.path.join(d, "faultproxy.json")


def running(pid):
    """False also for a zombie nobody reaps."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def stop(d):
    try:
        with open(state_file(d)) as f:
            pid = json.load(f)["pid"]
    except (FileNotFoundError, json.JSONDecodeError, KeyError):
        return
    try:
        os.kill(pid, signal.SIGTERM)
        for _ in range(100):
            if not running(pid):
                break
            time.sleep(0.05)
        else:
            os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    os.unlink(state_file(d))


def main():
    argv = sys.argv[1:]
    if argv and argv[0] in ("stop", "status"):
        p = argparse.ArgumentParser(prog=f"faultproxy.py {argv[0]}")
        p.add_argument("--state-dir", required=True)
        a = p.parse_args(argv[1:])
        if argv[0] == "stop":
            stop(a.state_dir)
        else:
            try:
                with open(os.path.join(a.state_dir, "faultproxy-stats.json")) as f:
                    print(f.read())
            except FileNotFoundError:
                print(f"faultproxy.py: no proxy state in {a.state_dir}", file=sys.stderr)
                sys.exit(1)
        return
    p = argparse.ArgumentParser(description="TCP proxy with faults for tests.")
    p.add_argument("--target", required=True, help="HOST:PORT")
    p.add_argument("--listen-port", type=int, default=0)
    p.add_argument("--drop-after-bytes", type=int)
    p.add_argument("--match")
    p.add_argument("--direction", choices=["server-to-client", "client-to-server"], default="server-to-client")
    p.add_argument("--action", choices=["rst", "close", "stall"], default="rst")
    p.add_argument("--fault-connections", type=int, default=0)
    p.add_argument("--refuse", action="store_true")
    p.add_argument("--answer-no")
    p.add_argument("--after-commands", type=int, default=0)
    p.add_argument("--answer-times", type=int, default=1)
    p.add_argument("--answer-match")
    p.add_argument("--faults", type=int, default=0)
    p.add_argument("--cut-before", action="store_true")
    p.add_argument("--count-bodies", action="store_true")

    p.add_argument("--delay-ms", type=float, default=0)
    p.add_argument("--window-bytes", type=int, default=256 * 1024)
    p.add_argument("--state-dir")
    p.add_argument("--daemon", action="store_true")
    args = p.parse_args(argv)
    host, _, port = args.target.rpartition(":")
    if not host or not port.isdigit():
        p.error("--target wants HOST:PORT")
    args.target = (host, int(port))
    if args.match and args.drop_after_bytes is None:
        p.error("--match needs --drop-after-bytes")
    if args.daemon and not args.state_dir:
        p.error("--daemon needs --state-dir")
    if args.state_dir:
        os.makedirs(args.state_dir, exist_ok=True)
        stop(args.state_dir)

    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        listener.bind(("127.0.0.1", args.listen_port))
    except OSError as e:
        print(f"faultproxy.py: cannot bind 127.0.0.1:{args.listen_port}: {e}", file=sys.stderr)
        sys.exit(1)
    if not args.refuse:
        listener.listen(64)
    port = listener.getsockname()[1]

    if args.daemon:
        r, w = os.pipe()
        if os.fork():
            os.close(w)
            line = os.read(r, 4096).decode()
            if not line:
                print("faultproxy.py: the proxy did not start", file=sys.stderr)
                sys.exit(1)
            sys.stdout.write(line)
            return
        os.close(r)
        os.setsid()
        devnull = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(devnull, fd)
        out = os.fdopen(w, "w")
    else:
        out = sys.stdout
    info = {"host": "127.0.0.1", "port": port, "pid": os.getpid()}
    if args.state_dir:
        with open(state_file(args.state_dir), "w") as f:
            json.dump(info, f)

    def bye(*_):
        os._exit(0)

    signal.signal(signal.SIGTERM, bye)
    signal.signal(signal.SIGINT, bye)
    if args.refuse:
        out.write(json.dumps(info) + "\n")
        out.flush()
        Stats(args.state_dir)
        while True:
            signal.pause()
    t = threading.Thread(target=serve, args=(args, listener), daemon=True)
    t.start()
    out.write(json.dumps(info) + "\n")
    out.flush()
    if args.daemon:
        out.close()
    while True:
        signal.pause()


if __name__ == "__main__":
    main()

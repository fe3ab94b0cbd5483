#!/usr/bin/env python3
"""An OAuth 2.0 authorization server of the tests' own on loopback (Python
standard library): the token endpoint (refresh token, device code and
authorization code with PKCE grants), the device authorization endpoint
(RFC 8628), token introspection (RFC 7662, as Dovecot's oauth2 passdb asks
it), and a few calls only tests make.

    oauthserver.py start --state-dir DIR [--users alice,bob] [--lifetime 3600]
                         [--rotate] [--client-id ID] [--client-secret S]
        Prints {"url": "http://127.0.0.1:PORT", "port": PORT, "pid": P} once
        it listens (also kept in DIR/oauthserver.json) and returns; the
        server runs on in its own session.
    oauthserver.py stop --state-dir DIR

Endpoints (form-encoded POST unless said otherwise; JSON answers):
    /device      client_id, scope -> device_code, user_code,
                 verification_uri, verification_uri_complete, expires_in,
                 interval (1 s)
    /token       grant_type=refresh_token: refresh_token, client_id
                 grant_type=urn:ietf:params:oauth:grant-type:device_code:
                     device_code, client_id (authorization_pending until a
                     test approves it, slow_down when polled faster than the
                     interval)
                 grant_type=authorization_code: code, code_verifier,
                     redirect_uri, client_id (PKCE S256)
                 -> access_token, token_type, expires_in, scope and, for a
                 new grant or with --rotate, refresh_token
    /authorize   GET response_type=code, client_id, redirect_uri, state,
                 code_challenge(_method=S256), login_hint=USER: answers with
                 a redirect to redirect_uri?code=...&state=... (the user is
                 login_hint, approved at once)
    /introspect  token -> {"active": true, "username": U, ...} or
                 {"active": false}
Test-only:
    /test/approve      user_code, user: approves a device authorization
    /test/deny         user_code: denies it
    /test/grant        user -> a refresh token for that user (as a finished
                       login would give)
    /test/revoke       refresh_token: revokes it and its access tokens
    /test/expire       (no arguments): every access token expires now
    /test/stats        counts of grants by kind, tokens issued
A client that sends a client_secret must send the right one when the
server was started with --client-secret."""
import argparse
import base64
import hashlib
import http.server
import json
import os
import secrets
import signal
import socket
import sys
import threading
import time
import urllib.parse

sys.dont_write_bytecode = True  # no __pycache__ in the source tree


class State:
    def __init__(self, args):
        self.lock = threading.Lock()
        self.users = [u for u in args.users.split(",") if u]
        self.lifetime = args.lifetime
        self.rotate = args.rotate
        self.client_id = args.client_id
        self.client_secret = args.client_secret
        self.access = {}   # token -> {"user", "expires", "refresh"}
        self.refresh = {}  # token -> {"user", "scope"}
        self.devices = {}  # device_code -> {"user_code", "expires", "user", "denied", "last_poll", "scope"}
        self.codes = {}    # code -> {"user", "challenge", "redirect_uri", "scope"}
        self.stats = {"refresh": 0, "device": 0, "authorization_code": 0, "introspect": 0, "slow_down": 0}

    def issue(self, user, scope, refresh=None):
        access = "at-" + secrets.token_urlsafe(24)
        answer = {"access_token": access, "token_type": "Bearer", "expires_in": self.lifetime, "scope": scope}
        if refresh is None or self.rotate:
            if refresh is not None:
                self.refresh.pop(refresh, None)
            refresh = "rt-" + secrets.token_urlsafe(24)
            self.refresh[refresh] = {"user": user, "scope": scope}
            answer["refresh_token"] = refresh
        self.access[access] = {"user": user, "expires": time.time() + self.lifetime, "refresh": refresh}
        return answer


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "TeskTestOAuth/1"

    def log_message(self, *args):
        pass

    def answer(self, code, body, headers=()):
        data = json.dumps(body).encode()
        self.send_response(code)
        self.send_header("Content-Type", "application/json")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Content-Length", str(len(data)))
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(data)

    def error(self, code, error, description=""):
        body = {"error": error}
        if description:
            body["error_description"] = description
        self.answer(code, body)

    def form(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length).decode() if length else ""
        return {k: v[0] for k, v in urllib.parse.parse_qs(raw, keep_blank_values=True).items()}

    def client_ok(self, f, st):
        if f.get("client_id") != st.client_id:
            self.error(401, "invalid_client", "unknown client_id")
            return False
        if st.client_secret and f.get("client_secret") != st.client_secret:
            self.error(401, "invalid_client", "wrong client_secret")
            return False
        return True

    def do_GET(self):
        url = urllib.parse.urlparse(self.path)
        q = {k: v[0] for k, v in urllib.parse.parse_qs(url.query).items()}
        st = self.server.state
        if url.path == "/authorize":
            if q.get("client_id") != st.client_id or q.get("code_challenge_method") != "S256":
                return self.error(400, "invalid_request")
            user = q.get("login_hint") or (st.users[0] if st.users else "")
            code = "ac-" + secrets.token_urlsafe(16)
            with st.lock:
                st.codes[code] = {"user": user, "challenge": q.get("code_challenge", ""),
                                  "redirect_uri": q.get("redirect_uri", ""), "scope": q.get("scope", "")}
            target = q.get("redirect_uri", "") + "?" + urllib.parse.urlencode({"code": code, "state": q.get("state", "")})
            self.send_response(302)
            self.send_header("Location", target)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if url.path == "/test/stats":
            with st.lock:
                return self.answer(200, dict(st.stats, access_tokens=len(st.access), refresh_tokens=len(st.refresh)))
        self.error(404, "not_found")

    def do_POST(self):
        st = self.server.state
        path = urllib.parse.urlparse(self.path).path
        f = self.form()
        with st.lock:
            if path == "/device":
                if not self.client_ok(f, st):
                    return
                device = "dc-" + secrets.token_urlsafe(24)
                user_code = "-".join(secrets.token_hex(2).upper() for _ in range(2))
                st.devices[device] = {"user_code": user_code, "expires": time.time() + 600, "user": None,
                                      "denied": False, "last_poll": 0.0, "scope": f.get("scope", "")}
                base = f"http://127.0.0.1:{self.server.server_port}"
                return self.answer(200, {"device_code": device, "user_code": user_code,
                                         "verification_uri": base + "/verify",
                                         "verification_uri_complete": base + "/verify?user_code=" + user_code,
                                         "expires_in": 600, "interval": 1})
            if path == "/token":
                grant = f.get("grant_type", "")
                if not self.client_ok(f, st):
                    return
                if grant == "refresh_token":
                    rt = st.refresh.get(f.get("refresh_token", ""))
                    if not rt:
                        return self.error(400, "invalid_grant", "the refresh token is not valid")
                    st.stats["refresh"] += 1
                    return self.answer(200, st.issue(rt["user"], rt["scope"], f["refresh_token"]))
                if grant == "urn:ietf:params:oauth:grant-type:device_code":
                    d = st.devices.get(f.get("device_code", ""))
                    if not d or d["expires"] < time.time():
                        return self.error(400, "expired_token")
                    if d["denied"]:
                        return self.error(400, "access_denied")
                    now = time.time()
                    early = now - d["last_poll"] < 0.9
                    d["last_poll"] = now
                    if early:
                        st.stats["slow_down"] += 1
                        return self.error(400, "slow_down")
                    if not d["user"]:
                        return self.error(400, "authorization_pending")
                    del st.devices[f["device_code"]]
                    st.stats["device"] += 1
                    return self.answer(200, st.issue(d["user"], d["scope"]))
                if grant == "authorization_code":
                    c = st.codes.pop(f.get("code", ""), None)
                    verifier = f.get("code_verifier", "")
                    challenge = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest()).rstrip(b"=").decode()
                    if not c or c["challenge"] != challenge or c["redirect_uri"] != f.get("redirect_uri"):
                        return self.error(400, "invalid_grant")
                    st.stats["authorization_code"] += 1
                    return self.answer(200, st.issue(c["user"], c["scope"]))
                return self.error(400, "unsupported_grant_type")
            if path == "/introspect":
                st.stats["introspect"] += 1
                a = st.access.get(f.get("token", ""))
                if not a or a["expires"] < time.time() or a["refresh"] not in st.refresh:
                    return self.answer(200, {"active": False})
                return self.answer(200, {"active": True, "username": a["user"], "email": a["user"],
                                         "exp": int(a["expires"])})
            if path == "/test/approve":
                for d in st.devices.values():
                    if d["user_code"] == f.get("user_code"):
                        d["user"] = f.get("user") or (st.users[0] if st.users else "")
                        return self.answer(200, {"approved": True})
                return self.error(404, "unknown_user_code")
            if path == "/test/deny":
                for d in st.devices.values():
                    if d["user_code"] == f.get("user_code"):
                        d["denied"] = True
                        return self.answer(200, {"denied": True})
                return self.error(404, "unknown_user_code")
            if path == "/test/grant":
                return self.answer(200, st.issue(f.get("user", ""), f.get("scope", "")))
            if path == "/test/revoke":
                st.refresh.pop(f.get("refresh_token", ""), None)
                return self.answer(200, {"revoked": True})
            if path == "/test/expire":
                for a in st.access.values():
                    a["expires"] = 0
                return self.answer(200, {"expired": len(st.access)})
        self.error(404, "not_found")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


def serve(args):
    httpd = Server(("127.0.0.1", 0), Handler)
    httpd.state = State(args)
    port = httpd.server_address[1]
    info = {"url": f"http://127.0.0.1:{port}", "port": port, "pid": os.getpid()}
    return httpd, info


def start(args):
    os.makedirs(args.state_dir, exist_ok=True)
    state_file = os.path.join(args.state_dir, "oauthserver.json")
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_fd)
        os.setsid()
        httpd, info = serve(args)
        with open(state_file + ".tmp", "w") as f:
            json.dump(info, f)
        os.replace(state_file + ".tmp", state_file)
        devnull = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(devnull, fd)
        os.write(write_fd, (json.dumps(info) + "\n").encode())
        os.close(write_fd)
        signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=httpd.shutdown).start())
        httpd.serve_forever()
        os._exit(0)
    os.close(write_fd)
    with os.fdopen(read_fd) as r:
        line = r.readline()
    if not line:
        print("oauthserver.py: the server did not start", file=sys.stderr)
        sys.exit(1)
    print(line.strip(), flush=True)


def stop(args):
    state_file = os.path.join(args.state_dir, "oauthserver.json")
    try:
        with open(state_file) as f:
            info = json.load(f)
    except (FileNotFoundError, json.JSONDecodeError):
        return
    try:
        os.kill(info["pid"], signal.SIGTERM)
        for _ in range(100):
            os.kill(info["pid"], 0)
            time.sleep(0.05)
        os.kill(info["pid"], signal.SIGKILL)
    except ProcessLookupError:
        pass
    os.unlink(state_file)


def main():
    p = argparse.ArgumentParser(description="An OAuth 2.0 authorization server for tests, on loopback.")
    sp = p.add_subparsers(dest="command", required=True)
    s = sp.add_parser("start")
    s.add_argument("--state-dir", required=True)
    s.add_argument("--users", default="alice,bob")
    s.add_argument("--lifetime", type=int, default=3600, help="seconds an access token lives")
    s.add_argument("--rotate", action="store_true", help="every refresh gives a new refresh token")
    s.add_argument("--client-id", default="tesk-test-client")
    s.add_argument("--client-secret", default="")
    s = sp.add_parser("stop")
    s.add_argument("--state-dir", required=True)
    args = p.parse_args()
    start(args) if args.command == "start" else stop(args)


if __name__ == "__main__":
    main()

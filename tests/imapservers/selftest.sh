#!/usr/bin/env bash
# End-to-end check of the loopback IMAP harness: starts Dovecot (plain and
# with TLS) and Cyrus, seeds accounts (a non-ASCII folder tree and a public
# folder included), compares listings across accounts, transports and
# servers, empties an account, and breaks connections through faultproxy.py
# (reset mid-FETCH, refused connect, stalled greeting). Run as root.
#   tests/imapservers/selftest.sh [--no-cyrus]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
kinds=(dovecot dovecot-tls cyrus-tls)
[ "${1:-}" = "--no-cyrus" ] && kinds=(dovecot dovecot-tls)

[ "$(id -u)" -eq 0 ] || { echo "selftest.sh: run as root (the servers drop to the dovecot user)" >&2; exit 1; }
source "$root/scripts/lib/deps.sh"
ensure_packages openssl
for b in python3 dovecot openssl; do
  command -v "$b" >/dev/null || { echo "selftest.sh: $b not found" >&2; exit 1; }
done

work=$(mktemp -d /tmp/tesk-imapselftest.XXXXXX)
chmod 755 "$work"
cleanup() {
  local d
  for d in "$work"/srv-*; do [ -d "$d" ] && python3 "$here/imapserver.py" stop --dir "$d" || true; done
  for d in "$work"/proxy-*; do [ -d "$d" ] && python3 "$here/faultproxy.py" stop --state-dir "$d" || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "selftest.sh: FAIL: $*" >&2; exit 1; }
field() { python3 -c 'import json,sys; v=json.load(open(sys.argv[1]))[sys.argv[2]]; print("" if v is None else v)' "$1" "$2"; }

python3 "$root/bench/maildir_corpus.py" generate "$work/corpus" --messages 60 --seed 7 --max-attachment 300000 >/dev/null

for kind in "${kinds[@]}"; do
  srv=$work/srv-$kind
  opts=(--kind "${kind%-tls}" --dir "$srv" --users alice:alice-pw,bob:bob-pw)
  [ "$kind" != "${kind%-tls}" ] && opts+=(--tls)
  echo "== $kind"
  python3 "$here/imapserver.py" start "${opts[@]}" >"$work/$kind.json" || fail "$kind did not start"
  info=$work/$kind.json
  delim=$(field "$info" delimiter)
  public=$(field "$info" public_folder)
  echo "   port $(field "$info" port) tls_port $(field "$info" tls_port) delimiter $delim public $public"

  seed() { python3 "$here/seed.py" --server "$info" "$@" >/dev/null || fail "$kind: seed $*"; }
  list() { python3 "$here/listing.py" --server "$info" "$@" || fail "$kind: listing $*"; }
  seed --user alice --corpus "$work/corpus"
  seed --user alice --corpus "$work/corpus" --into "Entwürfe/Größe" --limit 2
  seed --user bob --corpus "$work/corpus" --into "$public" --limit 1
  seed --user bob --corpus "$work/corpus"
  list --user alice >"$work/$kind-alice.json"
  list --user bob >"$work/$kind-bob.json"

  python3 - "$work/$kind-alice.json" "$delim" "$public" <<'EOF' || fail "$kind: alice's listing"
import json, sys
d = json.load(open(sys.argv[1]))
delim, public = sys.argv[2], sys.argv[3]
boxes = {m["name"]: m for m in d["mailboxes"]}
paths = {"/".join(m["path"]): m for m in d["mailboxes"]}
assert d["delimiter"] == delim, d["delimiter"]
assert paths["Entwürfe/Größe"]["count"] == 2, paths.get("Entwürfe/Größe")
assert paths["Entwürfe/Größe"]["raw"] == "Entw&APw-rfe" + delim + "Gr&APYA3w-e"
for name, use in [("Sent", "\\sent"), ("Drafts", "\\drafts"), ("Trash", "\\trash"), ("Junk", "\\junk"),
                  ("Archive", "\\archive")]:
    assert [s.lower() for s in boxes[name]["special_use"]] == [use], (name, boxes[name])
assert boxes[public]["count"] == 1, boxes.get(public)
msgs = [m for b in d["mailboxes"] for m in b.get("messages", [])]
assert all(len(m["sha256"]) == 64 and m["size"] > 0 and m["internaldate_unix"] > 1.7e9 for m in msgs)
assert any("$Forwarded" in m["flags"] for m in msgs) and any("\\Seen" in m["flags"] for m in msgs)
assert any(k in m["flags"] for m in msgs for k in ("Work", "Project", "$Label1"))
print(f"   alice: {d['total_messages']} messages in {len(d['mailboxes'])} mailboxes")
EOF
  # The same corpus in two accounts lists the same (UIDs aside); \Seen in
  # the public folder is each user's own.
  python3 "$here/listing.py" compare "$work/$kind-alice.json" "$work/$kind-bob.json" \
    --skip-prefix "Entwürfe${delim}Größe" --skip-prefix "$public" || fail "$kind: alice and bob differ"
  if [ -n "$(field "$info" tls_port)" ]; then
    list --user alice --security tls --no-bodies >"$work/$kind-tls.json"
    list --user alice --security starttls --count >"$work/$kind-starttls.json"
    python3 - "$work/$kind-tls.json" "$work/$kind-starttls.json" "$work/$kind-alice.json" <<'EOF' || fail "$kind: TLS listings"
import json, sys
tls, starttls, plain = (json.load(open(p)) for p in sys.argv[1:])
assert tls["total_messages"] == starttls["total_messages"] == plain["total_messages"]
print(f"   TLS and STARTTLS list {tls['total_messages']} messages as well")
EOF
  fi
  seed --user bob --wipe
  total=$(list --user bob --count --skip-prefix "${public%%${delim}*}" | python3 -c 'import json,sys; print(json.load(sys.stdin)["total_messages"])')
  [ "$total" = 0 ] || fail "$kind: bob holds $total messages after --wipe"
  echo "   wipe ok"
done

# Listings of the two servers agree although their delimiters differ.
python3 "$here/listing.py" compare "$work/dovecot-alice.json" "$work/${kinds[-1]}-alice.json" \
  --skip-prefix Public --skip-prefix "Shared Folders" || fail "Dovecot and ${kinds[-1]} list differently"
echo "== listings agree across servers"

echo "== fault proxy"
info=$work/dovecot.json
port=$(field "$info" port)
proxy() { local d=$work/proxy-$1; shift; python3 "$here/faultproxy.py" --target "127.0.0.1:$port" --state-dir "$d" --daemon "$@"; }
cut=$(proxy cut --match ' FETCH ' --drop-after-bytes 20000 --fault-connections 1 | python3 -c 'import json,sys; print(json.load(sys.stdin)["port"])')
refused=$(proxy refused --refuse | python3 -c 'import json,sys; print(json.load(sys.stdin)["port"])')
stalled=$(proxy stalled --drop-after-bytes 0 --action stall | python3 -c 'import json,sys; print(json.load(sys.stdin)["port"])')
python3 - "$cut" "$refused" "$stalled" <<'EOF' || fail "fault proxy"
import imaplib, socket, sys
cut, refused, stalled = map(int, sys.argv[1:])
def fetch_all(port):
    imap = imaplib.IMAP4("127.0.0.1", port, timeout=10)
    imap.login("alice", "alice-pw")
    imap.select("INBOX", readonly=True)
    typ, data = imap.fetch("1:*", "(BODY.PEEK[])")
    got = sum(len(x[1]) for x in data if isinstance(x, tuple))
    imap.logout()
    return got
try:
    fetch_all(cut)
    raise SystemExit("the first connection survived its fault")
except (OSError, imaplib.IMAP4.abort) as e:
    print(f"   cut mid-FETCH: {type(e).__name__}: {e}")
print(f"   next connection fetches {fetch_all(cut)} bytes")
try:
    socket.create_connection(("127.0.0.1", refused), timeout=5)
    raise SystemExit("connect was not refused")
except ConnectionRefusedError:
    print("   connect refused")
s = socket.create_connection(("127.0.0.1", stalled), timeout=5)
s.settimeout(1.5)
try:
    s.recv(100)
    raise SystemExit("the stalled proxy sent something")
except socket.timeout:
    print("   greeting stalled")
s.close()
EOF
grep -q '"faults": 1' "$work/proxy-cut/faultproxy-stats.json" || fail "proxy counted $(cat "$work/proxy-cut/faultproxy-stats.json")"
# A listing through a counting proxy reads every body once; headers and
# sizes are no bodies.
counting=$(proxy count --count-bodies | python3 -c 'import json,sys; print(json.load(sys.stdin)["port"])')
python3 "$here/listing.py" --user alice \
  --server "$(python3 -c 'import json,sys; d = json.load(open(sys.argv[1])); d["port"] = int(sys.argv[2]); print(json.dumps(d))' "$info" "$counting")" \
  >"$work/counted.json" || fail "listing through the counting proxy"
python3 - "$work/counted.json" "$work/proxy-count/faultproxy-stats.json" <<'EOF' || fail "counting proxy"
import json, sys
listing, counts = (json.load(open(p)) for p in sys.argv[1:])
boxes = {m["raw"]: len(m["messages"]) for m in listing["mailboxes"] if m.get("messages")}
if counts["bodies"] != listing["total_messages"] or counts["bodies_by_mailbox"] != boxes:
    raise SystemExit(f"counted {counts}, listed {boxes}")
print(f"   counting proxy: {counts['bodies']} bodies, as listed")
EOF
# Flags set and cleared, messages expunged and moved, as another client would
# (the last use of alice's account).
python3 "$here/mailbox.py" --server "$info" --user alice create:Moved 'store:INBOX:1-2:+:\Flagged $Work' \
  'store:INBOX:1:-:\Seen' expunge:INBOX:3 move:INBOX:4-5:Moved >/dev/null || fail "mailbox.py steps"
python3 "$here/listing.py" --server "$info" --user alice --no-bodies >"$work/moved.json" || fail "listing alice"
python3 - "$work/moved.json" <<'EOF' || fail "mailbox.py steps did not show"
import json, sys
box = {m["name"]: m for m in json.load(open(sys.argv[1]))["mailboxes"]}
inbox = {m["uid"]: m["flags"] for m in box["INBOX"]["messages"]}
if not ("\\Flagged" in inbox[1] and "$Work" in inbox[2] and "\\Seen" not in inbox[1]):
    raise SystemExit(f"flags: {inbox}")
if set(inbox) & {3, 4, 5} or box["Moved"]["count"] != 2:
    raise SystemExit(f"INBOX holds {sorted(inbox)}, Moved {box['Moved']['count']}")
print("   mailbox.py: flags set and cleared, a message expunged, two moved")
EOF

echo "selftest.sh: OK"

#!/usr/bin/env python3
"""Small changes to an IMAP account, as another mail client would make them.

    mailbox.py --server WORKDIR|server.json|JSON --user NAME STEP [STEP ...]

Steps, run in order on one connection (names are UTF-8 with "/" between
levels; the server's own delimiter is put in):
    create:NAME                   CREATE the mailbox (and what the server makes
                                  above it)
    append:NAME:FILE[:FLAGS]      APPEND the message file, FLAGS separated by
                                  spaces (e.g. "\\Seen $Forwarded")
    delete:NAME                   DELETE the mailbox
    store:NAME:UIDS:+|-:FLAGS     UID STORE +FLAGS or -FLAGS (FLAGS separated
                                  by spaces) on the messages UIDS ("1,4-6",
                                  "1-*")
    expunge:NAME:UIDS             those messages \\Deleted, then UID EXPUNGE
    move:NAME:UIDS:TARGET         UID MOVE those messages into TARGET

Prints {"delimiter": D, "done": N}; exits 1 with the server's answer when a
step fails."""
import argparse
import json
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from imaputil import ToolError, connect, load_server, mutf7_encode, quote  # noqa: E402


def server_name(name, delim):
    return delim.join(mutf7_encode(level) for level in name.split("/"))


def main():
    p = argparse.ArgumentParser(description="Changes to an IMAP account.")
    p.add_argument("--server", required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--password")
    p.add_argument("steps", nargs="+")
    args = p.parse_args()
    try:
        server = load_server(args.server)
        imap = connect(server, args.user, args.password)
        typ, data = imap.list('""', '""')
        delim = data[0].split(b'"')[1].decode() if typ == "OK" and data and data[0] and b'"' in data[0] else "/"
        done = 0
        for step in args.steps:
            verb, _, rest = step.partition(":")
            if verb == "create":
                typ, data = imap.create(quote(server_name(rest, delim)))
            elif verb == "delete":
                typ, data = imap.delete(quote(server_name(rest, delim)))
            elif verb == "append":
                name, _, more = rest.partition(":")
                path, _, flags = more.partition(":")
                with open(path, "rb") as f:
                    message = f.read()
                typ, data = imap.append(quote(server_name(name, delim)), f"({flags})" if flags else None, None, message)
            elif verb in ("store", "expunge", "move"):
                name, _, more = rest.partition(":")
                uids, _, more = more.partition(":")
                uids = uids.replace("-", ":")
                typ, data = imap.select(quote(server_name(name, delim)))
                if typ == "OK" and verb == "store":
                    sign, _, flags = more.partition(":")
                    if sign not in ("+", "-"):
                        raise ToolError(f"{step}: + or - before the flags")
                    typ, data = imap.uid("STORE", uids, sign + "FLAGS.SILENT", f"({flags})")
                elif typ == "OK" and verb == "expunge":
                    typ, data = imap.uid("STORE", uids, "+FLAGS.SILENT", "(\\Deleted)")
                    if typ == "OK":
                        typ, data = imap.uid("EXPUNGE", uids)
                elif typ == "OK":
                    typ, data = imap.uid("MOVE", uids, quote(server_name(more, delim)))
                if typ == "OK":
                    imap.unselect()  # CLOSE would expunge what other clients marked \Deleted
            else:
                raise ToolError(f"unknown step {step!r}")
            if typ != "OK":
                raise ToolError(f"{step}: {data}")
            done += 1
        imap.logout()
        print(json.dumps({"delimiter": delim, "done": done}))
    except ToolError as e:
        print(f"mailbox.py: {e}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The IMAP benchmark's corpus: a Maildir++ tree of 10,000 real MIME
messages (by default), made by bench/maildir_corpus.py's generator with
sizes shifted towards a mailbox as people keep it: text messages mostly
2-20 KB, about 15% with base64 attachments of 10 KB up to 1 MB encoded,
some 300-400 MB in all. Same seed and count, same bytes.

    corpus.py DIR [--messages N] [--seed S]

Prints "MESSAGES BYTES". A DIR that already holds the corpus of the same
parameters is kept as it is (DIR/.corpus records them)."""
import argparse
import json
import os
import shutil
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import maildir_corpus as mc  # noqa: E402

# Attachment bytes before base64, so encoded parts stay within 1 MB.
LARGEST = 760 * 1024
SMALLEST = 10 * 1024
EXTRA_LINES = 14


def attachment_size(rng, largest):
    # 10 KB * (largest / 10 KB) ** u^2: median about 30 KB, mean about 100 KB.
    return int(SMALLEST * (largest / SMALLEST) ** (rng.random() ** 2))


def paragraphs(rng, lines, _orig=mc.paragraphs):
    return _orig(rng, lines + EXTRA_LINES)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("dir")
    p.add_argument("--messages", type=int, default=10000)
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args()
    stamp = {"messages": args.messages, "seed": args.seed, "largest": LARGEST, "extra_lines": EXTRA_LINES,
             "version": 1}
    marker = os.path.join(args.dir, ".corpus")
    try:
        with open(marker) as f:
            old = json.load(f)
        if {k: old.get(k) for k in stamp} == stamp:
            print(old["count"], old["bytes"])
            return
    except (FileNotFoundError, ValueError):
        pass
    shutil.rmtree(args.dir, ignore_errors=True)
    mc.attachment_size = attachment_size
    mc.paragraphs = paragraphs
    mc.ARGS = argparse.Namespace(max_attachment=LARGEST)
    # generate() prints "MESSAGES BYTES"; keep them for the marker too.
    import io
    import contextlib
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        mc.generate(argparse.Namespace(dir=args.dir, messages=args.messages, seed=args.seed))
    count, size = out.getvalue().split()
    with open(marker, "w") as f:
        json.dump(dict(stamp, count=int(count), bytes=int(size)), f)
    print(count, size)


if __name__ == "__main__":
    main()

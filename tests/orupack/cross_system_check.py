#!/usr/bin/env python3
"""Packs made on one system read the same on the other, byte for byte.

    cross_system_check.py --ours "EMULATOR ORUPACK" --peer ORUPACK --work DIR

Makes a tree (names above U+FFFF, names that differ only in case of letters
outside A-Z, empty and large files, text that compresses), packs it with each
orupack, plain and compressed, and checks that:
  - the two systems write the very same index and data files (but for the
    entries' creation times, which the systems may see differently);
  - each orupack lists, cats and verifies the pack the other one made, and
    every entry's content is the source file's, byte for byte.
"""
import argparse
import os
import random
import shlex
import shutil
import struct
import subprocess
import sys
import time

# The tree: relative path -> content. The write time is set in the past and
# the access time a little after now (after the status change time too),
# so that reading the files (relatime) changes neither while the check runs.
def make_tree(root):
    rng = random.Random(7)
    text = "".join("line %d of a text that compresses well\n" % i for i in range(20000))
    files = {
        "readme.txt": b"hello from the tree\n",
        "empty.bin": b"",
        "text/credits.txt": text.encode(),
        "text/\u00e9t\u00e9.txt": "caf\u00e9 cr\u00e8me\n".encode(),
        "text/\u00c9T\u00c9.txt": b"upper case outside A-Z is another name\n",
        "emoji/\U0001F600 smile.txt": "\U0001F600\n".encode(),
        "emoji/\U00010400\U0001F680.dat": bytes(rng.randrange(256) for _ in range(70000)),
        "data/random.bin": bytes(rng.randrange(256) for _ in range(300000)),
    }
    for rel, content in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(content)
    now = int(time.time())
    for folder, _, names in os.walk(root):
        for name in names:
            os.utime(os.path.join(folder, name), (now + 60, 1_600_000_000))
    return files


def run(command, expect=0):
    env = dict(os.environ, LC_ALL="C.UTF-8", WINEDEBUG="-all")
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    if result.returncode != expect:
        sys.stderr.write("failed (%d): %s\n%s" % (result.returncode, " ".join(command),
                                                   result.stderr.decode("utf-8", "replace")))
        sys.exit(1)
    return result.stdout


# The name a pack lists for a file: '\' between folders, A-Z folded (and
# nothing else: other letters keep their case on every system).
def entry_name(rel):
    folded = "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in rel)
    return folded.replace("/", "\\")


def check_reads(tool, pack, files, who):
    run(tool + ["verify", pack])
    listing = run(tool + ["list", pack]).decode("utf-8")
    for rel, content in files.items():
        name = entry_name(rel)
        if name not in listing:
            sys.exit("%s does not list %r in %s" % (who, name, pack))
        got = run(tool + ["cat", pack, name])
        if got != content:
            sys.exit("%s reads %r of %s as %d bytes, not the source's %d" %
                     (who, name, pack, len(got), len(content)))


# An index with each entry's creation time zeroed. Creation times are the
# one thing two systems may see differently in one tree: Linux gives the
# birth time, Wine the last write time.
def without_creation_times(index):
    out = bytearray(index)
    (file_count,) = struct.unpack_from("<I", index, 16)
    at = 24
    for _ in range(file_count):
        while index[at:at + 2] != b"\xb5\x00":  # the name's masked terminator
            at += 2
        at += 2
        out[at + 12:at + 20] = bytes(8)  # size, first sector, sectors, then creation
        at += 36
    return bytes(out)


def same_bytes(a, b):
    for extension in (".odx", ".opk"):
        with open(a + extension, "rb") as fa, open(b + extension, "rb") as fb:
            mine, theirs = fa.read(), fb.read()
        if extension == ".odx":
            mine, theirs = without_creation_times(mine), without_creation_times(theirs)
        if mine != theirs:
            sys.exit("%s%s and %s%s differ" % (a, extension, b, extension))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ours", required=True)
    parser.add_argument("--peer", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    ours = shlex.split(args.ours)
    peer = [args.peer]

    shutil.rmtree(args.work, ignore_errors=True)
    tree = os.path.join(args.work, "tree")
    files = make_tree(tree)
    for options in ([], ["--compress"]):
        kind = "compressed" if options else "plain"
        made_here = os.path.join(args.work, "ours-" + kind)
        made_there = os.path.join(args.work, "peer-" + kind)
        run(ours + ["create", made_here, tree] + options)
        run(peer + ["create", made_there, tree] + options)
        same_bytes(made_here, made_there)
        check_reads(ours, made_there, files, "this system's orupack")
        check_reads(peer, made_here, files, "the other system's orupack")
        print("%s: the same bytes from both, each read by the other" % kind)
    shutil.rmtree(args.work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

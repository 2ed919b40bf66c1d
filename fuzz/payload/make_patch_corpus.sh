#!/usr/bin/env bash
# Seeds for the patch-engine fuzz target: two-byte old length, old data, then a patch of it made
# by the bsdiff program (BSDIFF40) and re-encoded as BSDF2 with plain and bzip2 streams.
# Usage: fuzz/payload/make_patch_corpus.sh SEED_DIR
set -euo pipefail
out=${1:?usage: make_patch_corpus.sh SEED_DIR}
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 - "$out" "$tmp" <<'PY'
import bz2, os, struct, subprocess, sys
out, tmp = sys.argv[1], sys.argv[2]
def offt(v):
    b = bytearray(struct.pack('<Q', abs(v)))
    if v < 0: b[7] |= 0x80
    return bytes(b)
def unoff(b):
    v = struct.unpack('<Q', b)[0]
    return -(v & ~(1 << 63)) if v >> 63 else v
pairs = [(b'hello old world ' * 40, b'hello new world ' * 38 + b'tail'),
         (bytes(range(256)) * 4, bytes(range(255, -1, -1)) * 3),
         (b'x', b'only extra data')]
for i, (old, new) in enumerate(pairs):
    open(f'{tmp}/o', 'wb').write(old); open(f'{tmp}/n', 'wb').write(new)
    subprocess.run(['bsdiff', f'{tmp}/o', f'{tmp}/n', f'{tmp}/p'], check=True)
    p = open(f'{tmp}/p', 'rb').read()
    cl, dl, ns = unoff(p[8:16]), unoff(p[16:24]), unoff(p[24:32])
    streams = [bz2.decompress(p[32:32 + cl]), bz2.decompress(p[32 + cl:32 + cl + dl]), bz2.decompress(p[32 + cl + dl:])]
    prefix = struct.pack('<H', len(old)) + old
    open(f'{out}/bsdiff40_{i}', 'wb').write(prefix + p)
    for codes in ((0, 0, 0), (1, 0, 1)):
        enc = [s if c == 0 else bz2.compress(s) for s, c in zip(streams, codes)]
        patch = b'BSDF2' + bytes(codes) + offt(len(enc[0])) + offt(len(enc[1])) + offt(ns) + b''.join(enc)
        open(f'{out}/bsdf2_{"".join(map(str, codes))}_{i}', 'wb').write(prefix + patch)
PY
ls "$out"

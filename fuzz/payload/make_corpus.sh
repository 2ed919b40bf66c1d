#!/usr/bin/env bash
# Seeds for the payload fuzz target: the real sample payload and a few small payloads written
# here (every operation type, hashes, source extents, holes, several partitions).
# Usage: fuzz/payload/make_corpus.sh SEED_DIR [SAMPLES_DIR]
set -euo pipefail
out=${1:?usage: make_corpus.sh SEED_DIR [SAMPLES_DIR]}
samples=${2:-$(dirname "$0")/../../../shared/samples/payload}
mkdir -p "$out"
cp "$samples/ue_full_payload.bin" "$out/" 2>/dev/null || true
python3 - "$out" <<'PY'
import struct, sys, hashlib
out = sys.argv[1]
def varint(v):
    b = bytearray()
    while v >= 0x80:
        b.append((v & 0x7f) | 0x80); v >>= 7
    b.append(v); return bytes(b)
def num(f, v): return varint(f << 3) + varint(v)
def byt(f, b): return varint((f << 3) | 2) + varint(len(b)) + b
def ext(s, n): return num(1, s) + num(2, n)
def op(t, off=0, ln=0, src=(), dst=((0, 1),), h=True):
    m = num(1, t)
    if ln: m += num(2, off) + num(3, ln)
    for s, n in src: m += byt(4, ext(s, n))
    for s, n in dst: m += byt(6, ext(s, n))
    if h: m += byt(8, hashlib.sha256(b'x').digest())
    if src: m += byt(9, hashlib.sha256(b'y').digest())
    return m
def part(name, size, ops):
    m = byt(1, name.encode()) + byt(7, num(1, size) + byt(2, hashlib.sha256(b'z').digest()))
    for o in ops: m += byt(8, o)
    return m
def payload(minor, parts, data=b'\0' * 4096):
    man = num(3, 4096) + num(12, minor)
    for p in parts: man += byt(13, p)
    return b'CrAU' + struct.pack('>QQI', 2, len(man), 0) + man + data
full = [part('system', 8 * 4096, [op(t, 0, 100, dst=((i, 1),)) for i, t in enumerate([0, 1, 8, 14])] +
             [op(6, dst=((4, 2),)), op(7, dst=((6, 1), (2**64 - 1, 1)))]),
        part('vendor', 4096, [op(0, 0, 4096)])]
delta = [part('odm', 4 * 4096, [op(4, src=((0, 1),), dst=((1, 1),)), op(5, 0, 64, src=((1, 2),), dst=((2, 2),)),
                                op(10, 64, 64, src=((3, 1),), dst=((0, 1),)), op(9, 0, 1, src=((0, 1),))])]
inplace = [part('boot', 4 * 4096, [op(2, src=((0, 1),), dst=((3, 1),)), op(3, 0, 32, src=((1, 1),), dst=((1, 1),))])]
for name, minor, parts in [('full', 0, full), ('delta', 8, delta), ('inplace', 1, inplace)]:
    open(f'{out}/{name}.bin', 'wb').write(payload(minor, parts))
PY
ls "$out"

#!/usr/bin/env python3
"""Writes a full OTA payload for the payload_dumper benchmark, and an index of its blobs.

Usage: make_bench_payload.py OUT.bin TOTAL_MIB [PARTITIONS]

The partitions (system, vendor, product, ... up to PARTITIONS) share TOTAL_MIB between them.
Their contents mix text-like data, pseudo-random data and zero runs, in 2 MiB operations as
Android's generator cuts them; non-zero operations are REPLACE_XZ and REPLACE_BZ in turn, zero
ones ZERO. Every blob carries its SHA-256 and every partition its hash. OUT.bin.index lists
"type offset length" of every blob (offsets absolute) for the single-threaded baseline.
Compression runs on every core; nothing here is timed.
"""
import bz2
import concurrent.futures as cf
import hashlib
import lzma
import os
import random
import struct
import sys

BS = 4096
OP_BLOCKS = 512  # 2 MiB of output per operation


def varint(v):
    b = bytearray()
    while v >= 0x80:
        b.append((v & 0x7F) | 0x80)
        v >>= 7
    b.append(v)
    return bytes(b)


def num(f, v):
    return varint(f << 3) + varint(v)


def byt(f, b):
    return varint((f << 3) | 2) + varint(len(b)) + b


def _text_pool():
    rnd = random.Random(1)
    words = [bytes(rnd.choice(b"abcdefghijklmnopqrstuvwxyz_./0123456789") for _ in range(rnd.randint(2, 12)))
             for _ in range(2000)]
    lines = [b" ".join(rnd.choice(words) for _ in range(rnd.randint(4, 30))) for _ in range(20000)]
    return b"\n".join(lines)


TEXT = _text_pool()


def chunk_data(seed):
    """2 MiB that compresses roughly as a system image does: pieces of a text pool, pseudo-random
    runs, and one operation in eight all zeros."""
    rnd = random.Random(seed)
    if seed % 8 == 7:
        return bytes(OP_BLOCKS * BS)
    out = bytearray()
    while len(out) < OP_BLOCKS * BS:
        if rnd.random() < 0.2:
            out += rnd.randbytes(rnd.randint(256, 16384))
        else:
            n = rnd.randint(1024, 65536)
            at = rnd.randrange(0, len(TEXT) - n)
            out += TEXT[at:at + n]
    return bytes(out[: OP_BLOCKS * BS])


def make_op(args):
    seed, xz = args
    data = chunk_data(seed)
    if not any(data):
        return 6, b"", hashlib.sha256(data).digest()
    blob = lzma.compress(data, preset=1, check=lzma.CHECK_CRC32) if xz else bz2.compress(data, 9)
    return (8 if xz else 1), blob, hashlib.sha256(data).digest()


def main():
    out_path, total_mib = sys.argv[1], int(sys.argv[2])
    nparts = int(sys.argv[3]) if len(sys.argv) > 3 else 4
    names = ["system", "vendor", "product", "odm", "system_ext", "boot", "vendor_dlkm", "dtbo"][:nparts]
    ops_total = total_mib // 2
    per_part = [ops_total // nparts + (1 if i < ops_total % nparts else 0) for i in range(nparts)]
    blob_file = out_path + ".blobs"
    manifest = num(3, BS) + num(12, 0)
    index = []
    offset = 0
    seed = 0
    with open(blob_file, "wb") as blobs, cf.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        for name, nops in zip(names, per_part):
            ops = []
            part_hash = hashlib.sha256()
            jobs = [(seed + i, (seed + i) % 2 == 0) for i in range(nops)]
            seed += nops
            for i, (kind, blob, data_hash) in enumerate(pool.map(make_op, jobs)):
                # the partition hash needs the data: recomputed from the seed, cheap next to compression
                part_hash.update(chunk_data(jobs[i][0]))
                m = num(1, kind)
                if blob:
                    m += num(2, offset) + num(3, len(blob))
                    index.append((kind, offset, len(blob)))
                m += byt(6, num(1, i * OP_BLOCKS) + num(2, OP_BLOCKS))
                if blob:
                    m += byt(8, hashlib.sha256(blob).digest())
                ops.append(m)
                blobs.write(blob)
                offset += len(blob)
            info = num(1, nops * OP_BLOCKS * BS) + byt(2, part_hash.digest())
            manifest += byt(13, byt(1, name.encode()) + byt(7, info) + b"".join(byt(8, o) for o in ops))
    header = b"CrAU" + struct.pack(">QQI", 2, len(manifest), 0)
    data_start = len(header) + len(manifest)
    with open(out_path, "wb") as f, open(blob_file, "rb") as b:
        f.write(header + manifest)
        while True:
            piece = b.read(1 << 20)
            if not piece:
                break
            f.write(piece)
    os.remove(blob_file)
    with open(out_path + ".index", "w") as f:
        for kind, off, ln in index:
            f.write(f"{kind} {data_start + off} {ln}\n")
    print(f"{out_path}: {os.path.getsize(out_path)} bytes, {nparts} partitions, {ops_total * 2} MiB of images")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The single-threaded baseline: decompresses every blob of a benchmark payload one after the
other with the same libraries (liblzma, libbz2) and discards the output.
Usage: decompress_baseline.py PAYLOAD.bin  (reads PAYLOAD.bin.index)"""
import bz2
import lzma
import sys

payload = sys.argv[1]
total = 0
with open(payload, "rb") as f, open(payload + ".index") as idx:
    for line in idx:
        kind, off, ln = map(int, line.split())
        f.seek(off)
        blob = f.read(ln)
        total += len(lzma.decompress(blob) if kind == 8 else bz2.decompress(blob))
print(f"decompressed {total} bytes")

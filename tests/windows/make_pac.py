#!/usr/bin/env python3
"""Writes a Spreadtrum/Unisoc PAC firmware for the tool tests: make_pac.py OUT NAME=FILE...

Each NAME=FILE pair adds a file entry named NAME (stored as UTF-16) holding the bytes of FILE; an
entry whose FILE is empty is written without data, as vendors do for partitions left untouched.
The header and data CRC-16 sums are those the extractor checks."""
import struct
import sys

HEADER, ENTRY = 2124, 2580


def utf16(buf, at, text, size):
    data = text.encode("utf-16-le")
    assert len(data) <= size
    buf[at:at + len(data)] = data


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def main():
    out, pairs = sys.argv[1], [a.split("=", 1) for a in sys.argv[2:]]
    files = []
    for name, path in pairs:
        with open(path, "rb") as f:
            files.append((name, f.read()))
    pac = bytearray(HEADER + len(files) * ENTRY)
    utf16(pac, 0, "BP_R1.0.0", 44)
    utf16(pac, 52, "ums9230_phone", 512)
    utf16(pac, 564, "T606_V1.0", 512)
    struct.pack_into("<II", pac, 1076, len(files), HEADER)
    for i, (name, data) in enumerate(files):
        e = HEADER + i * ENTRY
        struct.pack_into("<I", pac, e, ENTRY)
        utf16(pac, e + 4, name.split(".")[0].upper()[:32] or "FILE", 512)
        utf16(pac, e + 516, name, 512)
        struct.pack_into("<II", pac, e + 1540, len(data), 1 if data else 0)
        struct.pack_into("<I", pac, e + 1552, len(pac) if data else 0)
        pac += data
    struct.pack_into("<I", pac, 48, len(pac))
    struct.pack_into("<I", pac, 2116, 0xFFFAFFFA)
    struct.pack_into("<HH", pac, 2120, crc16(pac[:2120]), crc16(pac[HEADER:]))
    with open(out, "wb") as f:
        f.write(pac)


if __name__ == "__main__":
    main()

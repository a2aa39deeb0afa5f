#!/usr/bin/env python3
"""Writes the shipped example: old.txt, new.txt and old-to-new.patch."""
import struct
import zlib

old = b"Varnock rebuilds the newer version of a file\nfrom the older one and a binary patch.\n"
new = b"Varnock quickly rebuilds the newer version of a file\nfrom the older one and a small binary patch.\n"

def literal(data):
    return bytes([len(data)]) + data

def copy(offset, length):  # copy-16/8: 2-byte offset, 1-byte length, big-endian
    return bytes([0xF9]) + struct.pack(">HB", offset, length)

stream = (copy(0, 8) + literal(b"quickly ") + copy(8, 62) + literal(b"small ")
          + copy(70, len(old) - 70))
header = struct.pack("<HHII", 12, 0, zlib.crc32(old), zlib.crc32(new))
patch = header + bytes([0xD1, 0xFF, 0xD1, 0xFF, 4]) + stream + b"\x00"

target = old[0:8] + b"quickly " + old[8:70] + b"small " + old[70:]
assert target == new, target
for name, data in (("old.txt", old), ("new.txt", new), ("old-to-new.patch", patch)):
    with open(name, "wb") as f:
        f.write(data)

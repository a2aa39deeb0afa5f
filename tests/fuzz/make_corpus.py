#!/usr/bin/env python3
"""Writes the fuzz seeds into tests/fuzz/corpus/: valid patches of every opcode and
each edge of the format, accepted at a limit and refused one past it.

Each seed is laid out as the fuzz target reads it: a flags byte, a 32-bit
little-endian number, the source's bytes and the patch's bytes.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "blackbox"))
from varnock_test import build_patch, copy, literal16, literal32  # noqa: E402

CHECKSUM_AGREES = 1
LARGE_SOURCE = 2

SOURCE = bytes(range(32, 127)) * 3  # 285 bytes: wide enough for 16-bit lengths
S = len(SOURCE)


def short(data):
    return bytes([len(data)]) + data


def seed(patch, source=SOURCE, flags=0):
    """Input for a small source: its length is given exactly (it is below the remainder + 1)."""
    return bytes([flags]) + struct.pack("<I", len(source)) + source + patch


def large(patch, size):
    """Input for a source of `size` inaccessible bytes; the checksum is taken to match."""
    return bytes([LARGE_SOURCE]) + struct.pack("<I", size) + patch


def seeds():
    yield "worked-example", seed(build_patch(SOURCE[:6], short(b"XY") + copy(2, 4, 0xF9), b"XY" + SOURCE[2:6]),
                                 SOURCE[:6])
    yield "empty-stream", seed(build_patch(SOURCE, b""))
    yield "empty-source", seed(build_patch(b"", copy(0, 0, 0xFA) + short(b"a"), b"a"), b"")
    yield "header-block", seed(build_patch(SOURCE, short(b"z"), b"z", header_block=b"\x01" * 40))
    yield "header-larger-than-block", seed(build_patch(SOURCE, short(b"z"), b"z", header_block=b"\x02" * 9,
                                                       block_length=3))
    yield "short-literal-1", seed(build_patch(SOURCE, short(b"q"), b"q"))
    yield "short-literal-246", seed(build_patch(SOURCE, short(b"L" * 246), b"L" * 246))
    yield "literal16-0", seed(build_patch(SOURCE, literal16(b"")))
    yield "literal16-300", seed(build_patch(SOURCE, literal16(b"m" * 300), b"m" * 300))
    yield "literal32-0", seed(build_patch(SOURCE, literal32(b"")))
    yield "literal32-5", seed(build_patch(SOURCE, literal32(b"hello"), b"hello"))
    for opcode in range(0xF9, 0xFF):
        length = 200 if opcode in (0xF9, 0xFC) else 250
        yield f"copy-{opcode:02x}-to-end", seed(build_patch(SOURCE, copy(S - length, length, opcode),
                                                            SOURCE[S - length:]))
        yield f"copy-{opcode:02x}-one-past", seed(build_patch(SOURCE, copy(S - length + 1, length, opcode)))
        yield f"copy-{opcode:02x}-empty-at-end", seed(build_patch(SOURCE, copy(S, 0, opcode)))
    yield "copies-overlapping", seed(build_patch(SOURCE, copy(0, 10, 0xF9) + copy(5, 10, 0xFA) + copy(0, 10, 0xF9),
                                                 SOURCE[0:10] + SOURCE[5:15] + SOURCE[0:10]))
    # Refusals, one per test of the format.
    for size in range(4):
        yield f"patch-of-{size}", seed(build_patch(SOURCE, b"")[:size])
    yield "header-size-11", seed(build_patch(SOURCE, b"", header_size=11))
    yield "header-past-end", seed(build_patch(SOURCE, b"", header_size=0xFFF0))
    yield "ends-after-version", seed(build_patch(SOURCE, b"", stop=b""))
    yield "wrong-source", seed(build_patch(SOURCE + b"!", b""))
    yield "not-a-patch", seed(build_patch(SOURCE, b"", magic=b"\xD1\xFF\xD1\xFE"))
    yield "version-3", seed(build_patch(SOURCE, b"", version=3))
    yield "version-5", seed(build_patch(SOURCE, b"", version=5))
    yield "inner-stop", seed(build_patch(SOURCE, short(b"a") + b"\x00" + short(b"b")))
    yield "opcode-ff-second-to-last", seed(build_patch(SOURCE, b"\xFF"))
    yield "last-byte-not-stop", seed(build_patch(SOURCE, short(b"a"), stop=b"\x07"))
    yield "short-literal-reaches-last-byte", seed(build_patch(SOURCE, b"\x03ab"))
    yield "literal16-head-cut", seed(build_patch(SOURCE, b"\xF7\x00", stop=b""))
    yield "literal32-head-cut", seed(build_patch(SOURCE, b"\xF8\x00\x00\x00", stop=b""))
    yield "literal32-huge", seed(build_patch(SOURCE, literal32(b"abc", length=0xFFFFFFFF)))
    yield "copy-head-cut", seed(build_patch(SOURCE, b"\xFE\x00\x00\x00\x00\x00\x00\x00", stop=b""))
    yield "copy-offset-wraps", seed(build_patch(SOURCE, copy(0xFFFFFFFF, 2, 0xFC)))
    yield "copy-length-wraps", seed(build_patch(SOURCE, copy(1, 0xFFFFFFFF, 0xFE)))
    yield "checksum-taken-to-match", seed(build_patch(b"other", short(b"k"), b"k"), flags=CHECKSUM_AGREES)
    # A source of 4 GiB - 1 bytes reaches the run-length limit of copies.
    top = 0xFFFFFFFF
    yield "large-copy-to-end", large(build_patch(b"", copy(top - 0x7FFFFFFF, 0x7FFFFFFF)), top)
    yield "large-copy-one-past", large(build_patch(b"", copy(top - 0x7FFFFFFE, 0x7FFFFFFF)), top)
    yield "large-copy-16-32-range", large(build_patch(b"", copy(0, 0x80000000, 0xFB)), top)
    yield "large-copy-32-32-range", large(build_patch(b"", copy(5, 0xFFFFFFFA, 0xFE)), top)
    yield "large-copy-32-16-near-top", large(build_patch(b"", copy(top - 0xFFFF, 0xFFFF, 0xFD)), top)


def main():
    corpus = os.path.join(HERE, "corpus")
    os.makedirs(corpus, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(corpus, "seed-" + name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()

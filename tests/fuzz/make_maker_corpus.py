#!/usr/bin/env python3
"""Writes the maker fuzz target's seeds into tests/fuzz/maker_corpus/: small pairs
with shared stretches, moved and repeated, in each mode of the maker.

Each seed is laid out as the fuzz target reads it: an options byte, a 32-bit
little-endian number, the source's bytes and the target's bytes.
"""
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def seed(source, target, options=0):
    return bytes([options]) + struct.pack("<I", len(source)) + source + target


def main():
    rng = random.Random(10)
    text = b"".join(rng.choice([b"copy ", b"literal ", b"patch\n", b"the "]) for _ in range(300))
    binary = bytes(rng.randrange(256) for _ in range(1500))
    edited = binary[:400] + b"\x00" * 30 + binary[700:1200] + binary[100:300] + binary[100:300]
    seeds = {
        "empty": seed(b"", b""),
        "identical": seed(text, text),
        "text-edited": seed(text, text[:500] + b"new words " + text[200:900], 1),
        "binary-edited": seed(binary, edited),
        "binary-threads": seed(binary, edited[::-1] + edited, 2),
        "sampled": seed(binary, edited, 4),
        "nothing-shared": seed(text, binary[:600], 3),
    }
    corpus = os.path.join(HERE, "maker_corpus")
    os.makedirs(corpus, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(corpus, "seed-" + name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()

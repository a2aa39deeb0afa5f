"""Guards against a valid patch building a wrong target, or being refused, in any of its encodings."""
import os
import unittest

from varnock_test import (COPY_FORMS, VarnockTestCase, build_patch, copy, literal, literal16,
                          literal32)

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")

# 300 bytes, so that 16-bit offsets and lengths are needed to reach the end.
SOURCE = bytes((i * 7 + 3) % 251 for i in range(300))
S = len(SOURCE)


def example(name):
    with open(os.path.join(EXAMPLES, name), "rb") as f:
        return f.read()


class Apply(VarnockTestCase):
    def check(self, source, stream, expected, **patch_fields):
        """Applies a patch of `stream` over an empty directory and expects `expected` as target."""
        self.assertSucceeds(self.apply(source, build_patch(source, stream, expected, **patch_fields)))
        self.assertTarget(expected)

    def test_shipped_example(self):
        self.assertSucceeds(self.apply(example("old.txt"), example("old-to-new.patch")))
        self.assertTarget(example("new.txt"))

    def test_every_literal_form(self):
        cases = {
            "short of 1": (literal(b"a"), b"a"),
            "short of 246, the longest": (literal(b"L" * 246), b"L" * 246),
            "literal-16 of 0": (literal16(b""), b""),
            "literal-16 of 3": (literal16(b"abc"), b"abc"),
            "literal-16 of 247": (literal16(b"m" * 247), b"m" * 247),
            "literal-16 of 65535": (literal16(bytes(range(256)) * 255 + b"z" * 255), bytes(range(256)) * 255 + b"z" * 255),
            "literal-32 of 0": (literal32(b""), b""),
            "literal-32 of 3": (literal32(b"xyz"), b"xyz"),
            "literal-32 of 70000": (literal32(b"\x00\xff" * 35000), b"\x00\xff" * 35000),
            "literal holding stop and 0xFF bytes": (literal(b"\x00\xff\x00"), b"\x00\xff\x00"),
        }
        for label, (stream, expected) in cases.items():
            with self.subTest(label):
                self.check(SOURCE, stream, expected)

    def test_every_copy_form(self):
        # Each form at offset 0, ending exactly at the source's end, and empty at the end.
        for opcode, form in COPY_FORMS.items():
            short_length = 255 if form.endswith("B") else S
            cases = {
                "from the start": (0, min(short_length, S)),
                "up to the end": (S - min(short_length, S), min(short_length, S)),
                "one byte at the end": (S - 1, 1),
                "empty at the end": (S, 0),
                "empty at the start": (0, 0),
            }
            for label, (offset, length) in cases.items():
                with self.subTest(opcode=hex(opcode), case=label):
                    self.check(SOURCE, copy(offset, length, opcode), SOURCE[offset:offset + length])

    def test_runs_join_in_stream_order(self):
        # Copies in any order, repeated and overlapping, between literals of every form.
        stream = (copy(250, 50, 0xF9) + literal(b"<") + copy(0, 10, 0xFA) + copy(5, 10, 0xFB)
                  + literal16(b"--") + copy(5, 10, 0xFC) + literal32(b"++") + copy(299, 1, 0xFD)
                  + copy(100, 200, 0xFE) + literal(b">"))
        expected = (SOURCE[250:] + b"<" + SOURCE[:10] + SOURCE[5:15] + b"--" + SOURCE[5:15] + b"++"
                    + SOURCE[299:] + SOURCE[100:] + b">")
        self.check(SOURCE, stream, expected)

    def test_large_target_from_many_runs(self):
        big_source = os.urandom(1 << 20)
        stream = b"".join(copy(offset, 4096, 0xFD) + literal(b"|") for offset in range(0, 1 << 20, 4096))
        stream += copy(0, 1 << 20, 0xFE)
        expected = b"".join(big_source[o:o + 4096] + b"|" for o in range(0, 1 << 20, 4096)) + big_source
        self.check(big_source, stream, expected)

    def test_empty_stream_makes_an_empty_target(self):
        for label, source in {"from a source": SOURCE, "from an empty source": b""}.items():
            with self.subTest(label):
                patch = build_patch(source, b"", b"")
                self.assertEqual(len(patch), 18)
                self.assertSucceeds(self.apply(source, patch))
                self.assertTarget(b"")

    def test_empty_source(self):
        self.check(b"", literal(b"new") + copy(0, 0, 0xF9) + copy(0, 0, 0xFE), b"new")

    def test_header_block_is_never_read(self):
        stream = copy(1, 4, 0xF9) + literal(b"!")
        expected = SOURCE[1:5] + b"!"
        # Blocks that look like the fields around them must not confuse the decoder.
        lookalike = build_patch(SOURCE, stream, expected)
        cases = {
            "random bytes": dict(header_block=os.urandom(100)),
            "a whole patch": dict(header_block=lookalike),
            "magic and stop bytes": dict(header_block=b"\xD1\xFF\xD1\xFF\x04\x00" * 4),
            "room beyond the declared block": dict(header_block=b"abcdefgh", block_length=3),
            "room with a zero-length block": dict(header_block=b"\xff" * 9, block_length=0),
            "the largest block": dict(header_block=os.urandom(65523)),
        }
        for label, fields in cases.items():
            with self.subTest(label):
                self.check(SOURCE, stream, expected, **fields)

    def test_existing_target_is_replaced(self):
        for label, old in {"longer": b"old contents " * 1000, "shorter": b"o", "empty": b""}.items():
            with self.subTest(label):
                self.write("target", old)
                self.check(SOURCE, literal(b"fresh"), b"fresh")


if __name__ == "__main__":
    unittest.main()

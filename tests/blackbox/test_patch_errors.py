"""Guards against a bad patch getting the wrong message, at the wrong step, or leaving the wrong target."""
import os
import struct
import unittest

from varnock_test import (MAGIC, VarnockTestCase, build_patch, copy, crc32, literal, literal16,
                          literal32, markers)

SOURCE = bytes(range(256)) + b"tail of the source"
S = len(SOURCE)
# A run written before the failing instruction, so that the target shows how far the stream got.
HEAD = literal(b"head")


def good(stream=HEAD, target=b"head", **fields):
    return build_patch(SOURCE, stream, target, **fields)


class PatchErrors(VarnockTestCase):
    def check(self, patch, step, message, target, source=SOURCE, patch_name="patch"):
        self.assertFailsWith(self.apply(source, patch, patch_name=patch_name), message, steps=markers(step))
        self.assertTarget(target)

    def run_table(self, cases):
        for label, (patch, step, message, target) in cases.items():
            with self.subTest(label):
                self.check(patch, step, message, target)

    def test_header_is_refused_with_an_empty_target(self):
        # Every header failure comes after the target was created and before anything is written.
        cases = {f"{n} bytes": (good()[:n], 2, b"Patch file contains no header.", b"") for n in range(4)}
        cases.update({f"cut to {n} bytes": (good()[:n], 2, b"Patch file header corrupted.", b"") for n in (4, 12)})
        cases.update({
            "header size 11": (good(header_size=11), 2, b"Patch file header corrupted.", b""),
            "header shorter than its block": (good(header_block=b"abc", block_length=4), 2,
                                              b"Patch file header corrupted.", b""),
            "block length sum beyond 16 bits": (good(header_size=0xFFFF, block_length=0xFFFF), 2,
                                                b"Patch file header corrupted.", b""),
            "header reaching past the file": (struct.pack("<HH", 40, 0) + bytes(20), 2,
                                              b"Patch file header corrupted.", b""),
            "magic one byte past the file": (good()[:16], 2, b"Patch file header corrupted.", b""),
            "other source": (build_patch(SOURCE + b"!", HEAD, b"head"), 2,
                             b"Source file checksum don't match", b""),
            # The source's checksum is tested before the magic and the version byte.
            "other source and no magic": (build_patch(b"", HEAD, b"head", magic=b"MZ\x90\x00", version=9), 2,
                                          b"Source file checksum don't match", b""),
            "no magic": (good(magic=b"\xD1\xFF\xD1\xFE"), 2, b"patch is not a patch", b""),
            "version 3": (good(version=3), 2, b"Unsupported version of patch format ", b""),
            "version 5": (good(version=5), 2, b"Unsupported version of patch format ", b""),
            "version 0xFF": (good(version=0xFF), 2, b"Unsupported version of patch format ", b""),
        })
        self.run_table(cases)

    def test_existing_target_is_emptied_before_the_patch_is_checked(self):
        self.write("target", b"an older target, longer than any run")
        self.check(build_patch(b"other", HEAD, b"head"), 2, b"Source file checksum don't match", b"")

    def test_not_a_patch_names_the_patch_as_typed(self):
        os.mkdir(self.path("sub"))
        bad = good(magic=b"\x00" * 4)
        names = ["./patch", "sub/../patch", "sub/patch.bin", self.path("sub") + "/p", "with blank",
                 os.fsdecode(b"8-bit \xe9\xff\x80")]
        for name in names:
            with self.subTest(name=name):
                self.check(bad, 2, os.fsencode(name) + b" is not a patch", b"", patch_name=name)

    def test_stream_is_refused_after_the_runs_before_it(self):
        cases = {
            "ends with the version byte": (good(b"", stop=b""), 3,
                                           b"Internal error checking the stop instruction", b""),
            "stop instruction inside": (good(HEAD + b"\x00" + literal(b"more")), 3,
                                        b"Unexpected stop instruction before end of patch file", b"head"),
            "bytes after the stop": (good(HEAD, stop=b"\x00\x00"), 3,
                                     b"Unexpected stop instruction before end of patch file", b"head"),
            "opcode 0xFF second to last": (good(HEAD + b"\xFF"), 3,
                                           b"64-bit length of file is not supported in this version", b"head"),
            "opcode 0xFF with operands": (good(HEAD + b"\xFF" + bytes(16)), 3,
                                          b"64-bit length of file is not supported in this version", b"head"),
            "no stop after a complete run": (good(HEAD + literal(b"tail"), stop=b"\x01"), 3,
                                             b"Unexpected end of patch file", b"headtail"),
            "literal data reaching the last byte": (good(HEAD + literal(b"tail"), stop=b""), 3,
                                                    b"Unexpected end of patch file", b"head"),
            "literal longer than the file": (good(HEAD + b"\xF6" + b"short"), 3,
                                             b"Unexpected end of patch file", b"head"),
            "literal-16 data reaching the last byte": (good(HEAD + literal16(b"tail"), stop=b""), 3,
                                                       b"Unexpected end of patch file", b"head"),
            "literal-16 without its length": (good(HEAD + b"\xF7\x00"), 3,
                                              b"Unexpected end of patch file", b"head"),
            "literal-32 data reaching the last byte": (good(HEAD + literal32(b"tail"), stop=b""), 3,
                                                       b"Unexpected end of patch file", b"head"),
            "literal-32 without its length": (good(HEAD + b"\xF8\x00\x00\x00"), 3,
                                              b"Unexpected end of patch file", b"head"),
            # A length near 2^32 must not wrap around the end test.
            "literal-32 of 4 GiB - 1": (good(HEAD + literal32(b"data", 0xFFFFFFFF)), 3,
                                        b"Unexpected end of patch file", b"head"),
            "literal-32 of 2 GiB": (good(HEAD + literal32(b"data", 0x80000000)), 3,
                                    b"Unexpected end of patch file", b"head"),
        }
        for opcode in range(0xF9, 0xFF):
            whole = copy(0, 1, opcode)
            cases[f"copy {opcode:#x} as the last bytes"] = (good(HEAD + whole, stop=b""), 3,
                                                            b"Unexpected end of patch file", b"head")
            cases[f"copy {opcode:#x} cut short"] = (good(HEAD + whole[:-1]), 3,
                                                    b"Unexpected end of patch file", b"head")
        self.run_table(cases)

    def test_copy_beyond_the_source_names_its_opcode_position(self):
        position = 17 + len(HEAD)
        cases = {}
        for opcode in range(0xF9, 0xFF):
            cases[f"{opcode:#x} one byte past the end"] = (copy(S - 4, 5, opcode), position)
            cases[f"{opcode:#x} empty one past the end"] = (copy(S + 1, 0, opcode), position)
        cases.update({
            "offset and length wrapping at 32 bits": (copy(0xFFFFFFFF, 1, 0xFE), position),
            "both at 2^32 - 1": (copy(0xFFFFFFFF, 0xFFFFFFFF, 0xFE), position),
            "offset near 2^32, 8-bit length": (copy(0xFFFFFF80, 0x80, 0xFC), position),
            "offset near 2^32, 16-bit length": (copy(0xFFFF0000, 0x0001, 0xFD), position),
            "length of 2 GiB": (copy(0, 0x80000000, 0xFB), position),
        })
        for label, (instruction, at) in cases.items():
            with self.subTest(label):
                self.check(good(HEAD + instruction), 3,
                           b"Seek beyond source file end. Instruction at %d" % at, b"head")
        with self.subTest("after a header block and several runs"):
            stream = HEAD + copy(0, 10, 0xF9) + literal16(b"") + copy(S, 1, 0xFA)
            at = 12 + 33 + 5 + len(HEAD) + 4 + 3
            self.check(good(stream, header_block=bytes(33)), 3,
                       b"Seek beyond source file end. Instruction at %d" % at, b"head" + SOURCE[:10])

    def test_worked_example_on_a_short_source(self):
        source = b"ABCDE"
        stream = b"\x02XY" + b"\xF9\x00\x02\x04"
        patch = b"\x0C\x00\x00\x00" + struct.pack("<II", crc32(source), crc32(b"XYCDEF")) + MAGIC + b"\x04" + stream + b"\x00"
        self.assertEqual(len(patch), 25)
        self.check(patch, 3, b"Seek beyond source file end. Instruction at 20", b"XY", source=source)

    def test_target_checksum_mismatch_leaves_the_complete_target(self):
        stream = HEAD + copy(10, 20, 0xFA) + literal(b"end")
        written = b"head" + SOURCE[10:30] + b"end"
        for label, target_crc in {"off by one bit": crc32(written) ^ 1, "zero": 0}.items():
            with self.subTest(label):
                self.check(build_patch(SOURCE, stream, target_crc=target_crc), 4,
                           b"Target file checksum don't match", written)


if __name__ == "__main__":
    unittest.main()

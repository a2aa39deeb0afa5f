"""Guards against a container, an .xz or a .zst patch that varnock does not apply with the raw patch's steps and
messages, a damaged one that is not refused with its own message before anything is written, an inspector
that misjudges a source, and an executable of some kind whose container predicts nothing or does not round-trip."""
import lzma
import os
import random
import re
import shutil
import struct
import subprocess
import unittest
import zlib

from varnock_test import BINARY, DIFF_BINARY, DiffTestCase, crc32, diff_binary_has_asan

PEAK_MEMORY = os.environ.get("VARNOCK_PEAK_MEMORY", "varnock_peak_memory")

RANDOM = random.Random(23)
EXE_FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "unit", "data", "exe")
EXE_KINDS = ("x86_64.so", "i386.so", "aarch64.so", "arm.so", "i386.dll", "x86_64.dll")


def exe_pairs():
    """Each kind's small executable and its newer version (tests/unit/data/exe/make-fixtures), by kind."""
    pairs = {}
    for name in EXE_KINDS:
        stem, extension = os.path.splitext(name)
        with open(os.path.join(EXE_FIXTURES, name), "rb") as older, \
                open(os.path.join(EXE_FIXTURES, stem + "-newer" + extension), "rb") as newer:
            pairs[name] = (older.read(), newer.read())
    return pairs


def near_match(source):
    """`source` with a byte in fifty changed, bytes inserted, and a stretch dropped."""
    data = bytearray(source)
    for at in range(0, len(data), 50):
        data[at] = (data[at] + 7) & 0xFF
    data[1000:1000] = RANDOM.randbytes(300)
    del data[50_000:60_000]
    return bytes(data)


def xz_varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    return bytes(out + bytes([value]))


def xz_of_blocks(raw, empty_blocks):
    """An .xz file (no checks) of `raw` in one block, then `empty_blocks` blocks that hold nothing."""
    # One LZMA2 filter with a 4 KiB dictionary, no sizes told, padded and checked.
    header = bytes([0x02, 0x00, 0x21, 0x01, 0x00, 0, 0, 0])
    header += struct.pack("<I", zlib.crc32(header))
    data = lzma.compress(raw, format=lzma.FORMAT_RAW, filters=[{"id": lzma.FILTER_LZMA2, "dict_size": 4096}])
    blocks = [header + data + bytes(-len(data) % 4)] + [header + b"\0\0\0\0"] * empty_blocks
    records = xz_varint(len(header) + len(data)) + xz_varint(len(raw)) + b"\x0d\x00" * empty_blocks
    index = b"\0" + xz_varint(1 + empty_blocks) + records
    index += bytes(-len(index) % 4)
    index += struct.pack("<I", zlib.crc32(index))
    flags = b"\0\0"
    footer = struct.pack("<I", len(index) // 4 - 1) + flags
    return (b"\xfd7zXZ\0" + flags + struct.pack("<I", zlib.crc32(flags)) + b"".join(blocks) + index
            + struct.pack("<I", zlib.crc32(footer)) + footer + b"YZ")


class Container(DiffTestCase):

    def skip_unless_peak_memory_is_the_programs(self):
        if diff_binary_has_asan():
            self.skipTest("the sanitizer's own memory is not the decoder's")
        if os.environ.get("VARNOCK_WINDOWS_BITS"):
            self.skipTest("under Wine the peak is Wine's, and the tool that measures it is Linux's")

    def setUp(self):
        super().setUp()
        self.source = RANDOM.randbytes(120_000)
        self.target = near_match(self.source)
        self.write("source", self.source)
        self.write("target", self.target)
        for name, options in (("raw", ["--compressible"]), ("box", ["-z", "--compressible"])):
            code, out, err = self.run_diff("-f", *options, "source", "target", name)
            self.assertEqual((code, out, err), (0, b"", ""))

    def test_containers_and_compressed_patches_apply_with_the_raw_steps(self):
        raw = self.read("raw")
        self.assertLess(len(self.read("box")), len(lzma.compress(raw, preset=9)))
        self.write("raw.xz", lzma.compress(raw))
        kinds = ["box", "raw.xz"]
        if shutil.which("zstd"):
            subprocess.run(["zstd", "-q", "-19", self.path("raw"), "-o", self.path("raw.zst")], check=True)
            kinds.append("raw.zst")
        for name in kinds:
            with self.subTest(name):
                self.assertAppliesTo(name, self.source, self.target)
                # The wrong source: the same step and message as a raw patch's.
                self.assertFailsWith(self.apply(self.target, None, patch_name=name), b"Source file checksum don't match")

    def test_an_xz_index_of_many_blocks_is_not_held(self):
        # A valid file all the same: it applies, and inspecting it takes what one block takes, not 16 bytes a block.
        self.skip_unless_peak_memory_is_the_programs()
        raw = self.read("raw")
        self.write("one.xz", xz_of_blocks(raw, 0))
        self.write("many.xz", xz_of_blocks(raw, 400_000))
        self.assertAppliesTo("many.xz", self.source, self.target)
        peaks = {}
        for name in ("one.xz", "many.xz"):
            result = subprocess.run([PEAK_MEMORY, DIFF_BINARY, "--info", name], cwd=self.dir,
                                    stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
            self.assertEqual(result.returncode, 0, result.stdout)
            peaks[name] = int(result.stderr.decode().split()[-1]) << 10
        self.assertLess(peaks["many.xz"] - peaks["one.xz"], 2 << 20, peaks)

    def peak_applying(self, patch_name):
        """The peak resident memory of varnock applying `patch_name` to "big", which must succeed."""
        result = subprocess.run([PEAK_MEMORY, BINARY, "big", "applied", patch_name], cwd=self.dir,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout)
        return int(result.stderr.decode().split()[-1]) << 10

    def test_a_mapped_source_is_not_copied_for_a_container(self):
        # A container's copies and literals sent as differences read the mapped source where it lies: the
        # container takes what its raw patch takes and its block (1 MiB of new bytes), not a cache of 32 MiB.
        self.skip_unless_peak_memory_is_the_programs()
        source = RANDOM.randbytes(32 << 20)
        self.write("big", source)
        self.write("new", source[:8 << 20] + RANDOM.randbytes(1 << 20) + source[8 << 20:])
        for name, options in (("big.raw", []), ("big.box", ["-z"])):
            self.assertEqual(self.run_diff("-f", *options, "big", "new", name)[0], 0)
        raw, box = self.peak_applying("big.raw"), self.peak_applying("big.box")
        self.assertLess(box - raw, 8 << 20, (raw, box))

    def test_a_container_takes_one_block_s_streams_and_yield(self):
        # Blocks of new bytes, which no codec shrinks: each stream decodes to about its yield, so that a block's
        # streams and yield are 2 L, held once; not the stored bytes beside them, nor the last block's yield.
        self.skip_unless_peak_memory_is_the_programs()
        self.write("new", self.source + RANDOM.randbytes(20 << 20))
        for name, options in (("big.raw", []), ("big.box", ["-z"])):
            self.assertEqual(self.run_diff("-f", *options, "source", "new", name)[0], 0)
        block_limit = struct.unpack_from("<I", self.read("big.box"), 52)[0]
        peaks = {}
        for name in ("big.raw", "big.box"):
            result = subprocess.run([PEAK_MEMORY, DIFF_BINARY, "--info", name], cwd=self.dir,
                                    stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
            self.assertEqual(result.returncode, 0, result.stdout)
            peaks[name] = int(result.stderr.decode().split()[-1]) << 10
        self.assertLess(peaks["big.box"] - peaks["big.raw"], 2 * block_limit + (4 << 20), (block_limit, peaks))

    def test_a_damaged_container_is_refused_with_its_own_message(self):
        box = bytearray(self.read("box"))
        box[25] ^= 1  # the raw patch's CRC-32, in the header: refused before any byte of the target
        self.assertFailsWith(self.apply(self.source, bytes(box)),
                             b"Damaged patch container: its header's CRC-32 does not match")
        self.assertTarget(b"")
        box[25] ^= 1
        box[-12] ^= 0x40  # inside the last stream
        code, out = self.apply(self.source, bytes(box))
        self.assertEqual(code, 2)
        self.assertIn(b"Brevane ERROR: Damaged patch container: ", out)

    def test_info_tells_the_patch_and_judges_a_source(self):
        code, out, err = self.run_diff("--info", "box", "source")
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(out.decode().splitlines(), [
            "kind:     container",
            f"source:   {len(self.source)} bytes, CRC-32 {crc32(self.source):08x}",
            f"target:   {len(self.target)} bytes, CRC-32 {crc32(self.target):08x}",
            *[line for line in out.decode().splitlines() if line.startswith(("copies:", "literals:"))],
            '"source" is the file this patch was made for: its length and CRC-32 match.',
        ])
        code, out, err = self.run_diff("--info", "box", "target")
        self.assertEqual(code, 2)
        self.assertIn(f'"target" is not the file this patch was made for: it is {len(self.target)} bytes long',
                      out.decode())
        code, out, err = self.run_diff("--info", "raw")
        self.assertEqual((code, out.decode().splitlines()[0]), (0, "kind:     raw patch"))


class ContainerOnExecutables(DiffTestCase):

    def test_each_kind_makes_a_container_that_applies(self):
        versions = set()
        for name, (older, newer) in exe_pairs().items():
            with self.subTest(name):
                self.write("source", older)
                self.write("target", newer)
                code, out, err = self.run_diff("-f", "-z", "source", "target", "box")
                self.assertEqual((code, out, err), (0, b"", ""))
                version = self.read("box")[8]
                versions.add(version)
                self.assertAppliesTo("box", older, newer)
                # --info tells what a predicting container's prediction does with its source.
                code, out, err = self.run_diff("--info", "box", "source")
                self.assertEqual((code, err), (0, ""))
                told = re.search(rb"^predicts: (\d+) references re-encoded; (\d+) of (\d+) predicted", out, re.M)
                self.assertEqual(told is not None, version == 2, out)
                if told:
                    self.assertRegex(out, rb"element:  (ELF|PE) [\w-]+, [1-9]\d* references found")
                    self.assertLessEqual(int(told.group(2)), int(told.group(3)))
        # Which kinds predict, the unit tests say; here, that the predicting version is among them.
        self.assertIn(2, versions)


if __name__ == "__main__":
    unittest.main()

"""Shared pieces of the black-box tests: patch building and running the binary.

The binaries' paths come from the environment variables VARNOCK_BINARY and
VARNOCK_DIFF_BINARY, which CTest sets; every test works in a fresh temporary
directory.
"""
import os
import shlex
import struct
import subprocess
import tempfile
import unittest
import zlib

BINARY = os.environ.get("VARNOCK_BINARY", "varnock")
DIFF_BINARY = os.environ.get("VARNOCK_DIFF_BINARY", "varnock-diff")
# A command the binary runs under, such as an emulator; empty for a native one.
RUNNER = shlex.split(os.environ.get("VARNOCK_RUNNER", ""))

BANNER = (b"Varnock [version 0.0.1 alpha] Binary files patch applicator\r\n"
          b"Copyright (C) 2026 The Varnock developers\r\n")
USAGE = (b"\r\n"
         b"Usage:\r\n"
         b"  varnock <source> <target> <patch>\r\n"
         b"\r\n"
         b"Where:\r\n"
         b"  <source> - name of older file for which the patch have to be generated\r\n"
         b"  <target> - name of newer file to create using source file\r\n"
         b"  <patch>  - name of patch file to use\r\n")
SUCCESS = b"Step 1 Step 2 Step 3 Step 4 Step 5 OK\r\n"
MAGIC = bytes([0xD1, 0xFF, 0xD1, 0xFF])


def markers(step):
    """The progress markers a run has written once `step` has begun."""
    return b"".join(b"Step %d " % n for n in range(1, step + 1))


def crc32(data):
    return zlib.crc32(data) & 0xFFFFFFFF


# Instructions, as the bytes they take in the stream.
def literal(data):
    """The shortest literal form for `data`."""
    if 1 <= len(data) <= 0xF6:
        return bytes([len(data)]) + data
    if len(data) <= 0xFFFF:
        return literal16(data)
    return literal32(data)


def literal16(data):
    return b"\xF7" + struct.pack(">H", len(data)) + data


def literal32(data, length=None):
    return b"\xF8" + struct.pack(">I", len(data) if length is None else length) + data


COPY_FORMS = {0xF9: ">HB", 0xFA: ">HH", 0xFB: ">HI", 0xFC: ">IB", 0xFD: ">IH", 0xFE: ">II"}


def copy(offset, length, opcode=0xFE):
    return bytes([opcode]) + struct.pack(COPY_FORMS[opcode], offset, length)


def build_patch(source, stream, target=None, target_crc=None, header_block=b"",
                header_size=None, block_length=None, magic=MAGIC, version=4, stop=b"\x00"):
    """A patch whose header names `source` and, unless given, the CRC-32 of `target`.

    `stream` is the instructions' bytes; the stop byte is appended unless
    `stop` is empty.
    """
    if target_crc is None:
        target_crc = crc32(target if target is not None else b"")
    block_length = len(header_block) if block_length is None else block_length
    header_size = 12 + len(header_block) if header_size is None else header_size
    header = struct.pack("<HH", header_size, block_length) + header_block
    header += struct.pack("<II", crc32(source), target_crc)
    return header + magic + bytes([version]) + stream + stop


def fill_pipe(pipe_end):
    """Fills a pipe so that the next write to it blocks."""
    os.set_blocking(pipe_end, False)
    try:
        for chunk in (65536, 4096, 1):
            while True:
                os.write(pipe_end, b"." * chunk)
    except BlockingIOError:
        pass
    finally:
        os.set_blocking(pipe_end, True)


class VarnockTestCase(unittest.TestCase):
    """A test in its own temporary directory, with helpers to run the binary."""

    def setUp(self):
        self._dir = tempfile.TemporaryDirectory()
        self.dir = self._dir.name
        self.addCleanup(self._dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run_varnock(self, *args, stdout=subprocess.PIPE, timeout=60, **kwargs):
        """Runs the binary in the test's directory; returns (exit code, stdout bytes)."""
        result = subprocess.run([*RUNNER, BINARY, *args], cwd=self.dir, stdout=stdout, stdin=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, timeout=timeout, **kwargs)
        self.assertEqual(result.stderr, b"", "nothing may be written to standard error")
        return result.returncode, result.stdout

    def absolute(self, name):
        """The absolute, normalised form of a name relative to the test's directory."""
        return os.path.normpath(os.path.join(os.path.realpath(self.dir), name))

    def create_error(self, name, reason):
        """The message of a target `name` that could not be created for `reason`."""
        return b'Cannot create file "' + os.fsencode(self.absolute(name)) + b'". ' + reason

    def apply(self, source, patch, target_name="target", source_name="source", patch_name="patch", **kwargs):
        """Writes source and patch, runs varnock on them, and checks that both inputs are unchanged.

        An input given as None is not written: the test has put something
        else (or nothing) under its name.
        """
        inputs = [(source_name, source), (patch_name, patch)]
        for name, data in inputs:
            if data is not None:
                self.write(name, data)
        code, out = self.run_varnock(source_name, target_name, patch_name, **kwargs)
        for name, data in inputs:
            if data is not None:
                self.assertEqual(self.read(name), data, f"the input {name} must never change")
        return code, out

    def assertTarget(self, expected, name="target"):
        """The target holds exactly `expected`; None: it was never created."""
        if expected is None:
            self.assertFalse(os.path.lexists(self.path(name)), "the target must not have been created")
        else:
            self.assertEqual(self.read(name), expected)

    def assertSucceeds(self, result):
        code, out = result
        self.assertEqual(out, BANNER + SUCCESS)
        self.assertEqual(code, 0)

    def assertFailsWith(self, result, error_line, steps=b"Step 1 Step 2 "):
        code, out = result
        self.assertEqual(out, BANNER + steps + b"\r\nBrevane ERROR: " + error_line + b"\r\n")
        self.assertEqual(code, 2)


def diff_binary_has_asan():
    with open(DIFF_BINARY, "rb") as binary:
        return b"__asan_init" in binary.read()


def without_leak_check():
    """The environment for a run the leak checker of a sanitized build cannot
    follow (traced, or with no thread to start): its other checks stay."""
    return dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")


class DiffTestCase(VarnockTestCase):
    """A test of varnock-diff, whose patches varnock applies."""

    def run_diff(self, *args, **kwargs):
        """Runs varnock-diff in the test's directory; returns (exit code, stdout bytes, stderr text)."""
        result = subprocess.run([*RUNNER, DIFF_BINARY, *args], cwd=self.dir, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=300 if RUNNER else 120, **kwargs)
        return result.returncode, result.stdout, result.stderr.decode()

    def assertDiffFails(self, result, code, message):
        """The run failed with `code` and one message naming what went wrong."""
        self.assertEqual(result[0], code, result[2])
        self.assertEqual(result[1], b"")
        self.assertRegex(result[2], r"^varnock-diff: .*" + message)

    def assertAppliesTo(self, patch_name, source, target):
        """varnock rebuilds exactly `target` from `source` with the patch."""
        self.write("applied-source", source)
        self.assertSucceeds(self.run_varnock("applied-source", "applied-target", patch_name))
        self.assertEqual(self.read("applied-target"), target)
        os.remove(self.path("applied-source"))
        os.remove(self.path("applied-target"))

    def listing(self):
        return sorted(os.listdir(self.dir))

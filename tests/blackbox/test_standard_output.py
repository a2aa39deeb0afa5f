"""Guards against output that depends on where standard output goes, or a broken one changing the run."""
import os
import pty
import subprocess
import tty
import unittest

from varnock_test import (BANNER, SUCCESS, USAGE, VarnockTestCase, build_patch, copy, literal,
                          markers)

SOURCE = b"0123456789" * 10
TARGET = b"<" + SOURCE[20:60] + b">"
PATCH = build_patch(SOURCE, literal(b"<") + copy(20, 40, 0xF9) + literal(b">"), TARGET)
BROKEN = build_patch(SOURCE, literal(b"<") + copy(20, 40, 0xF9) + b"\xFF", TARGET)
# Long enough that the error line alone overflows the 128-byte output buffer.
LONG_NAME = "p" * 200


def error(step, message):
    return BANNER + markers(step) + b"\r\nBrevane ERROR: " + message + b"\r\n"


# What each run prints to a pipe, its exit code and the target it leaves.
RUNS = {
    "success": (("source", "target", "patch"), BANNER + SUCCESS, 0, TARGET),
    "failure in the stream": (("source", "target", "broken"),
                              error(3, b"64-bit length of file is not supported in this version"), 2,
                              b"<" + SOURCE[20:60]),
    "usage": (("source", "target"), BANNER + USAGE, 1, None),
    "error spanning two lines": (("missing", "target", "patch"),
                                 error(1, b"System Error.  Code: 2.\r\nNo such file or directory"), 2, None),
    "long error line": (("source", "target", LONG_NAME),
                        error(2, LONG_NAME.encode() + b" is not a patch"), 2, b""),
}


def close_standard_output():
    os.close(1)


def close_standard_input_and_output():
    # The inputs then take the lowest descriptors, where standard output was.
    os.close(0)
    os.close(1)


class StandardOutput(VarnockTestCase):
    def setUp(self):
        super().setUp()
        self.write("source", SOURCE)
        self.write("patch", PATCH)
        self.write("broken", BROKEN)
        self.write(LONG_NAME, build_patch(SOURCE, b"", b"", magic=b"PK\x03\x04"))

    def run_to(self, destination, args):
        """Runs with standard output sent to `destination`; returns (exit code, bytes it received or None)."""
        if destination == "pipe":
            return self.run_varnock(*args)
        if destination == "file":
            with open(self.path("stdout.txt"), "wb") as out:
                code, _ = self.run_varnock(*args, stdout=out)
            return code, self.read("stdout.txt")
        if destination == "terminal":
            return self.run_to_terminal(args)
        if destination == "closed":
            return self.run_varnock(*args, stdout=None, preexec_fn=close_standard_output)[0], None
        if destination == "closed with standard input":
            return self.run_varnock(*args, stdout=None, preexec_fn=close_standard_input_and_output)[0], None
        if destination == "pipe without reader":
            reader, writer = os.pipe()
            os.close(reader)
            try:
                return self.run_varnock(*args, stdout=writer)[0], None
            finally:
                os.close(writer)
        if not os.path.exists(destination):
            self.skipTest(f"no {destination} here")
        with open(destination, "wb") as device:
            return self.run_varnock(*args, stdout=device)[0], None

    def run_to_terminal(self, args):
        try:
            master, slave = pty.openpty()
        except OSError as e:
            self.skipTest(f"no terminal to write to: {e}")
        try:
            tty.setraw(slave)  # no line-end translation: the bytes arrive as written
            code, _ = self.run_varnock(*args, stdout=slave)
            os.close(slave)
            slave = None
            received = b""
            while True:
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # the terminal reports its closed end as an error
                    break
                if not chunk:
                    break
                received += chunk
            return code, received
        finally:
            os.close(master)
            if slave is not None:
                os.close(slave)

    def test_every_destination_gets_the_same_run(self):
        destinations = ["pipe", "file", "terminal", "/dev/null", "/dev/full", "closed",
                        "closed with standard input", "pipe without reader"]
        for label, (args, output, code, target) in RUNS.items():
            for destination in destinations:
                with self.subTest(run=label, stdout=destination):
                    if os.path.exists(self.path("target")):
                        os.remove(self.path("target"))
                    got_code, got_output = self.run_to(destination, args)
                    self.assertEqual(got_code, code)
                    if got_output is not None:
                        self.assertEqual(got_output, output)
                    self.assertTarget(target)
                    # With standard output closed, an input may sit where it was.
                    for name, data in (("source", SOURCE), ("patch", PATCH), ("broken", BROKEN)):
                        self.assertEqual(self.read(name), data)


if __name__ == "__main__":
    unittest.main()

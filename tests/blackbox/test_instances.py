"""Guards against two simultaneous runs corrupting each other's target or inputs."""
import fcntl
import os
import subprocess
import time
import unittest

from varnock_test import (BANNER, BINARY, SUCCESS, VarnockTestCase, build_patch, copy, fill_pipe, literal,
                          markers)

SOURCE = bytes(range(256)) * 8
TARGET = b"new " + SOURCE[100:1100]
PATCH = build_patch(SOURCE, literal(b"new ") + copy(100, 1000, 0xFA), TARGET)
BUFFER_SIZE = 128
BUSY = b"Device or resource busy"


class TwoInstances(VarnockTestCase):
    def start_held_run(self):
        """Starts a run that stalls while it holds its target open for writing.

        Its standard output is a full pipe: the run blocks at its first flush,
        when the 128-byte buffer fills during the markers of steps 2 to 4.
        Returns a function that lets it finish and returns (exit code, output).
        """
        self.assertLess(len(BANNER + markers(1)), BUFFER_SIZE)
        self.assertGreaterEqual(len(BANNER + markers(4)), BUFFER_SIZE)
        self.write("source", SOURCE)
        self.write("patch", PATCH)
        reader, writer = os.pipe()
        fill_pipe(writer)
        run = subprocess.Popen([BINARY, "source", "target", "patch"], cwd=self.dir, stdin=subprocess.DEVNULL,
                               stdout=writer, stderr=subprocess.PIPE)
        os.close(writer)
        self.addCleanup(run.wait)
        self.addCleanup(run.kill)
        self.addCleanup(os.close, reader)
        self.wait_until_held("target")

        def finish():
            received = b""
            while chunk := os.read(reader, 65536):
                received += chunk
            self.assertEqual(run.wait(timeout=60), 0)
            self.assertEqual(run.stderr.read(), b"")
            run.stderr.close()
            return received.lstrip(b".")

        return finish

    def wait_until_held(self, name):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if os.path.exists(self.path(name)):
                with open(self.path(name), "rb") as f:
                    try:
                        fcntl.flock(f, fcntl.LOCK_SH | fcntl.LOCK_NB)
                    except BlockingIOError:
                        return
            time.sleep(0.01)
        self.fail(f"the first run never held {name}")

    def test_second_run_cannot_touch_the_first_runs_files(self):
        finish = self.start_held_run()
        self.write("other-source", SOURCE)
        self.write("other-patch", PATCH)
        cases = {
            "writing the first run's target": (("other-source", "target", "other-patch"),
                                               self.create_error("target", BUSY)),
            "reading the first run's target": (("target", "other-target", "other-patch"),
                                               b"System Error.  Code: 16.\r\n" + BUSY),
            "writing the first run's source": (("other-source", "source", "other-patch"),
                                               self.create_error("source", BUSY)),
            "writing the first run's patch": (("other-source", "patch", "other-patch"),
                                              self.create_error("patch", BUSY)),
        }
        for label, (args, message) in cases.items():
            with self.subTest(label):
                self.assertFailsWith(self.run_varnock(*args), message, steps=b"Step 1 ")
        with self.subTest("reading the first run's inputs"):
            self.assertSucceeds(self.run_varnock("source", "other-target", "patch"))
            self.assertTarget(TARGET, "other-target")
        # The first run checks its target's CRC-32 after the others have tried it.
        self.assertEqual(finish(), BANNER + SUCCESS)
        self.assertTarget(TARGET)
        self.assertEqual(self.read("source"), SOURCE)
        self.assertEqual(self.read("patch"), PATCH)


if __name__ == "__main__":
    unittest.main()

"""Guards against a file left behind when varnock-diff is ended in a way it does not choose (a signal it cannot catch, one it does not handle, its directory moved away), and against messages that are not a Unix tool's."""
import contextlib
import os
import signal
import subprocess
import unittest

from varnock_test import DIFF_BINARY, DiffTestCase, diff_binary_has_asan, without_leak_check

SOURCE = bytes(range(256)) * 400
TARGET = b"new head " + SOURCE[1000:] + os.urandom(200_000)


class Ends(DiffTestCase):
    def setUp(self):
        super().setUp()
        self.write("source", SOURCE)
        self.write("target", TARGET)

    @contextlib.contextmanager
    def held_at_first_write(self, patch):
        """Makes `patch` from source and target under strace, which holds the
        program at its first write of the patch while the block runs; then
        waits for it, its standard error in `err`."""
        if diff_binary_has_asan():
            self.skipTest("the address sanitizer's own writes come before the patch's")
        tracer = subprocess.Popen(
            ["strace", "-e", "trace=write", "-e", "inject=write:delay_exit=1000000:when=1",
             DIFF_BINARY, "-q", "source", "target", patch],
            cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=without_leak_check())
        with tracer:
            seen = b""
            while b"write(" not in seen:
                line = tracer.stderr.readline()
                self.assertTrue(line, "the program ended before it wrote the patch")
                seen += line
            yield tracer
            tracer.err = seen + tracer.stderr.read()

    def test_a_signal_at_the_first_write_of_the_patch_leaves_no_file(self):
        # strace sends it as the first piece of the patch is written: kill -9
        # as the out-of-memory killer sends it, and signals the program does
        # not handle, which end it all the same.
        for signal_number in (signal.SIGKILL, signal.SIGUSR1, signal.SIGALRM, signal.SIGTERM):
            for force in ([], ["-f"]):
                with self.subTest(signal_number.name, force=force):
                    if force:
                        self.write("patch", b"an older patch")
                    tracer = subprocess.run(
                        ["strace", "-o", "/dev/null", "-e", "trace=write", "-e",
                         f"inject=write:signal={signal_number.name}:when=1",
                         DIFF_BINARY, "-q", *force, "source", "target", "patch"],
                        cwd=self.dir, stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
                        env=without_leak_check())
                    self.assertEqual(tracer.returncode, -signal_number, tracer.stderr)
                    self.assertEqual(self.listing(), ["patch", "source", "target"] if force else ["source", "target"])
                    if force:
                        self.assertEqual(self.read("patch"), b"an older patch")
                        os.remove(self.path("patch"))

    def test_the_directory_moved_during_the_run_gets_the_patch_and_nothing_else(self):
        # strace holds the program after its first write of the patch; the
        # directory is renamed and another made in its place meanwhile.
        os.mkdir(self.path("out"))
        with self.held_at_first_write("out/patch") as tracer:
            os.rename(self.path("out"), self.path("moved"))
            os.mkdir(self.path("out"))
        self.assertEqual(tracer.returncode, 0, tracer.err)
        self.assertEqual(os.listdir(self.path("out")), [])
        self.assertEqual(os.listdir(self.path("moved")), ["patch"])
        self.assertAppliesTo("moved/patch", SOURCE, TARGET)

    def test_an_input_changed_during_the_run_is_named(self):
        # strace holds the program once it writes the patch, the whole target
        # read; a byte of the target is changed meanwhile, before the check.
        with self.held_at_first_write("patch") as tracer:
            with open(self.path("target"), "r+b") as target:
                target.write(b"N")
        self.assertEqual(tracer.returncode, 2, tracer.err)
        self.assertIn(b'varnock-diff: The input "target" changed while it was being read; no patch was written\n',
                      tracer.err)
        self.assertEqual(self.listing(), ["source", "target"])

    def test_no_message_holds_a_carriage_return(self):
        os.mkdir(self.path("directory"))
        self.write("existing", b"")
        runs = {
            "missing source": ["none", "target", "patch"],
            "missing directory": ["source", "target", "none/patch"],
            "directory as source": ["directory", "target", "patch"],
            "patch exists": ["source", "target", "existing"],
            "patch is a directory": ["-f", "source", "target", "directory"],
        }
        for label, args in runs.items():
            with self.subTest(label):
                code, out, err = self.run_diff(*args)
                self.assertEqual((code, out), (2, b""))
                self.assertRegex(err, r"^varnock-diff: [^\r\n]+\n$")


if __name__ == "__main__":
    unittest.main()

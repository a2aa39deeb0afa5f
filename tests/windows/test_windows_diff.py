"""Guards varnock-diff.exe against what Windows does its own way: patch bytes other than Linux's for the same pair
(containers that predict an executable's references among them), names outside the ANSI code page or as long as the file system allows, device names, a patch not put in place whole, a temporary file left behind, an input written over or held by a writer."""
import os
import random
import re
import signal
import subprocess
import threading
import time
import unittest

from test_container import exe_pairs
from test_diff_round_trip import edited, pairs
from test_windows import hold_file
from varnock_test import DIFF_BINARY, RUNNER, DiffTestCase

# The Linux build's varnock-diff, whose patches the Windows build must match byte for byte.
LINUX_DIFF = os.environ.get("VARNOCK_LINUX_DIFF", "")
UNICODE_NAME = "Überarbeitung – 新版.bin"


def large_pair():
    """Tens of MB, generated: long copies, edits and a moved block, past every 16 MiB boundary."""
    rng = random.Random(17)
    source = rng.randbytes(40 << 20)
    target = bytearray(edited(source, rng))
    target[30 << 20:30 << 20] = target[1 << 20:3 << 20]
    return source, bytes(target)


class WindowsDiffTestCase(DiffTestCase):

    def run_diff(self, *args, timeout=300, **kwargs):
        result = subprocess.run([*RUNNER, DIFF_BINARY, *args], cwd=self.dir, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=timeout, **kwargs)
        return result.returncode, result.stdout, result.stderr.decode("utf-8", "replace")

    def hold(self, name, mode):
        """Opens the file from a second Windows process; returns what lets it go."""
        held = []
        hold_file(self, name, mode, held.append)
        return held[0]


class SameBytesAsLinux(WindowsDiffTestCase):

    def test_each_pair_makes_linux_patch_and_varnock_exe_applies_it(self):
        self.assertTrue(os.access(LINUX_DIFF, os.X_OK), "VARNOCK_LINUX_DIFF must name the Linux build's varnock-diff")
        cases = [(name, pair, ()) for name, pair in pairs().items()]
        cases += [("text edits, compressible", pairs()["text edits"], ("--compressible",)),
                  ("binary edits, small index", pairs()["binary edits"], ("--memory", "6500K")),
                  ("40 MiB", large_pair(), ())]
        for name, (source, target), options in cases:
            with self.subTest(name):
                self.write("source", source)
                self.write("target", target)
                code, _, err = self.run_diff("-q", "-f", *options, "source", "target", "windows.patch")
                self.assertEqual(code, 0, err)
                linux = subprocess.run([LINUX_DIFF, "-q", "-f", *options, "source", "target", "linux.patch"],
                                       cwd=self.dir, timeout=300)
                self.assertEqual(linux.returncode, 0)
                self.assertEqual(self.read("windows.patch"), self.read("linux.patch"))
                self.assertAppliesTo("windows.patch", source, target)

    def test_each_executable_pair_makes_linux_container_and_varnock_exe_applies_it(self):
        self.assertTrue(os.access(LINUX_DIFF, os.X_OK), "VARNOCK_LINUX_DIFF must name the Linux build's varnock-diff")
        for name, (source, target) in exe_pairs().items():
            with self.subTest(name):
                self.write("source", source)
                self.write("target", target)
                code, _, err = self.run_diff("-q", "-f", "-z", "source", "target", "windows.box")
                self.assertEqual(code, 0, err)
                linux = subprocess.run([LINUX_DIFF, "-q", "-f", "-z", "source", "target", "linux.box"],
                                       cwd=self.dir, timeout=300)
                self.assertEqual(linux.returncode, 0)
                self.assertEqual(self.read("windows.box"), self.read("linux.box"))
                self.assertAppliesTo("windows.box", source, target)


class PatchFile(WindowsDiffTestCase):

    def setUp(self):
        super().setUp()
        self.source, self.target = pairs()["binary edits"]
        self.write("source", self.source)
        self.write("target", self.target)

    def assertOnly(self, *names):
        """Nothing else in the directory: no temporary file is left."""
        self.assertEqual(self.listing(), sorted(["source", "target", *names]))

    def test_an_existing_patch_is_replaced_only_with_force(self):
        self.write("patch", b"an older patch")
        self.assertDiffFails(self.run_diff("source", "target", "patch"), 2, r'"patch" exists already .*-f')
        self.assertEqual(self.read("patch"), b"an older patch")
        self.assertEqual(self.run_diff("-f", "source", "target", "patch")[0], 0)
        self.assertAppliesTo("patch", self.source, self.target)
        self.assertOnly("patch")

    def test_an_input_is_refused_as_the_patch_whatever_name_reaches_it(self):
        # A name that begins with '/' is a name here too, not an option.
        for name in ["source", "target", ".\\source", "sub\\..\\target", "SOURCE", self.dir + "\\target"]:
            with self.subTest(name):
                self.assertDiffFails(self.run_diff("-f", "source", "target", name), 2, r"is the input")
                self.assertEqual(self.read("source"), self.source)
                self.assertEqual(self.read("target"), self.target)
                self.assertOnly()

    def test_dash_writes_the_same_patch_to_a_pipe(self):
        self.assertEqual(self.run_diff("source", "target", "patch")[0], 0)
        code, out, err = self.run_diff("source", "target", "-")
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(out, self.read("patch"))

    def test_names_outside_the_ansi_code_page(self):
        os.rename(self.path("source"), self.path("alt " + UNICODE_NAME))
        os.rename(self.path("target"), self.path("neu " + UNICODE_NAME))
        code, _, err = self.run_diff("alt " + UNICODE_NAME, "neu " + UNICODE_NAME, UNICODE_NAME)
        self.assertEqual(code, 0, err)
        self.assertEqual(self.listing(), sorted(["alt " + UNICODE_NAME, "neu " + UNICODE_NAME, UNICODE_NAME]))
        # varnock.exe takes ANSI names, so it applies a copy.
        self.write("copy.patch", self.read(UNICODE_NAME))
        self.assertAppliesTo("copy.patch", self.source, self.target)
        # The name is named in messages as it was given.
        self.assertDiffFails(self.run_diff("alt " + UNICODE_NAME, "neu " + UNICODE_NAME, UNICODE_NAME), 2,
                             '"' + UNICODE_NAME + '" exists already')

    def test_an_input_held_open_for_writing_is_refused(self):
        for held in ["source", "target"]:
            with self.subTest(held):
                let_go = self.hold(held, "write")
                try:
                    self.assertDiffFails(self.run_diff("source", "target", "patch"), 2,
                                         'Cannot read the ' + held + ' "' + held + '"')
                finally:
                    let_go()
                self.assertOnly()

    def test_an_input_shared_with_a_reader_is_used(self):
        let_go = self.hold("source", "read")
        try:
            self.assertEqual(self.run_diff("source", "target", "patch")[0], 0)
        finally:
            let_go()
        self.assertAppliesTo("patch", self.source, self.target)

    def test_names_up_to_the_longest_the_file_system_allows(self):
        # The hidden temporary name adds 14 characters to the patch's: it is cut to fit.
        self.assertEqual(self.run_diff("source", "target", "short")[0], 0)
        names = ["p" * (length - len(".patch")) + ".patch" for length in (242, 249, 255)]
        for name in names:
            with self.subTest(length=len(name)):
                code, _, err = self.run_diff("source", "target", name)
                self.assertEqual(code, 0, err)
                self.assertEqual(self.read(name), self.read("short"))
        self.assertOnly("short", *names)

    def point_device(self, device, to):
        """Points the emulator's `device` (com9, lpt1) at `to` until the test ends,
        so that no device of the machine is written to."""
        link = os.path.join(RUNNER[-1], "dosdevices", device)
        saved = os.readlink(link) if os.path.islink(link) else None
        if saved is not None:
            os.remove(link)
        os.symlink(to, link)

        def restore():
            os.remove(link)
            if saved is not None:
                os.symlink(saved, link)
        self.addCleanup(restore)

    def test_a_device_takes_the_patch_as_a_stream_or_is_refused_before_any_work(self):
        self.assertEqual(self.run_diff("source", "target", "file.patch")[0], 0)
        self.assertEqual(self.run_diff("source", "target", "NUL"), (0, b"", ""))
        # Devices that cannot take it: one that will not open, a console.
        os.mkdir(self.path("no-device"))
        for device in ["com1", "com9", "lpt1"]:
            self.point_device(device, self.path("no-device"))
        for name in ["COM9", "AUX", "PRN", "LPT1.txt", "lpt1.patch"]:
            with self.subTest(name):
                self.assertDiffFails(self.run_diff("source", "target", name), 2, 'Cannot open the patch "' + name)
        for name in ["CON", "CONOUT$"]:
            with self.subTest(name):
                self.assertDiffFails(self.run_diff("source", "target", name), 2,
                                     'terminal|Cannot open the patch "' + re.escape(name))
        self.assertOnly("file.patch", "no-device")
        # One that takes a stream: the same patch as the file's.
        os.mkfifo(self.path("port"))
        self.point_device("com9", self.path("port"))
        received = []
        reader = threading.Thread(target=lambda: received.append(self.read("port")), daemon=True)
        reader.start()
        code, _, err = self.run_diff("source", "target", "COM9")
        if code != 0:  # the reader still waits for a writer
            os.close(os.open(self.path("port"), os.O_WRONLY | os.O_NONBLOCK))
        reader.join(timeout=60)
        self.assertEqual(code, 0, err)
        self.assertEqual(received, [self.read("file.patch")])

    def test_ctrl_c_removes_the_temporary_file(self):
        # Wine turns SIGINT into the console's Ctrl+C event (it has no way to
        # send Ctrl+Break or a console's closing from outside).
        source, target = large_pair()
        self.write("source", source)
        self.write("target", target)
        run = subprocess.Popen([*RUNNER, DIFF_BINARY, "source", "target", "patch"], cwd=self.dir,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while not any(name.endswith(".tmp") for name in self.listing()) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(any(name.endswith(".tmp") for name in self.listing()), "the run never began its patch")
        run.send_signal(signal.SIGINT)
        run.wait(timeout=60)
        self.assertOnly()


if __name__ == "__main__":
    unittest.main()

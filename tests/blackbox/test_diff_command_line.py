"""Guards against varnock-diff breaking a convention of its command line: exit codes, help, refusals, and a file left behind by a failed or interrupted run."""
import os
import re
import resource
import signal
import subprocess
import unittest

from varnock_test import BANNER, DIFF_BINARY, DiffTestCase

SOURCE = bytes(range(256)) * 40
TARGET = b"new head " + SOURCE[1000:] + os.urandom(20_000)
INPUTS = ["source", "target"]


class DiffCommandLine(DiffTestCase):
    def setUp(self):
        super().setUp()
        self.write("source", SOURCE)
        self.write("target", TARGET)

    def assertInputsAlone(self):
        """Nothing but the inputs is left, and they are unchanged."""
        self.assertEqual(self.listing(), INPUTS)
        self.assertEqual(self.read("source"), SOURCE)
        self.assertEqual(self.read("target"), TARGET)

    def test_usage_errors_exit_1_and_create_nothing(self):
        cases = {
            "no arguments": [],
            "two names": ["source", "target"],
            "four names": ["source", "target", "patch", "extra"],
            "unknown option": ["--fast", "source", "target", "patch"],
            "threads not a number": ["-T", "many", "source", "target", "patch"],
            "too many threads": ["--threads", "1025", "source", "target", "patch"],
            "memory with an unknown suffix": ["--memory", "12Q", "source", "target", "patch"],
            "negative memory": ["--memory", "-1", "source", "target", "patch"],
        }
        for label, args in cases.items():
            with self.subTest(label):
                code, out, err = self.run_diff(*args)
                self.assertEqual((code, out), (1, b""))
                self.assertRegex(err, r"^varnock-diff: .+\nvarnock-diff: try 'varnock-diff --help'")
                self.assertInputsAlone()

    def test_usage_errors_name_what_is_wrong(self):
        cases = {
            ("-V",): "unknown option -V",
            ("-V", "source", "target", "patch"): "unknown option -V",
            ("-T", "abc", "source", "target", "patch"): '--threads: "abc" is not a whole number',
            ("--memory", "", "source", "target", "patch"): '--memory: "" is not a whole number of bytes',
            ("--memory", "1.5M", "source", "target", "patch"): '--memory: "1.5M" is not a whole number of bytes',
            ("--memory", "5X", "source", "target", "patch"): '--memory: "5X" is not a whole number of bytes '
                                                             "with an optional K, M or G",
            ("--memory", "-1", "source", "target", "patch"): '--memory: "-1" is not',
        }
        for args, message in cases.items():
            with self.subTest(args):
                code, out, err = self.run_diff(*args)
                self.assertEqual((code, out), (1, b""))
                self.assertTrue(err.startswith("varnock-diff: " + message), err)
        # What the sizes and counts take: the patch appears.
        self.assertEqual(self.run_diff("-T", "2", "--memory", "2g", "source", "target", "patch"), (0, b"", ""))

    def test_help_that_cannot_be_written_fails(self):
        # Standard output on the full device, as `--help >/dev/full`: its writes fail, nothing is written.
        if not os.path.exists("/dev/full"):
            self.skipTest("no /dev/full")
        with open("/dev/full", "wb") as output:
            result = subprocess.run([DIFF_BINARY, "--help"], cwd=self.dir, stdout=output, stderr=subprocess.PIPE,
                                    timeout=60)
        self.assertEqual(result.returncode, 2)
        self.assertRegex(result.stderr.decode(), "^varnock-diff: Cannot write to standard output: ")

    def test_help_and_version_go_to_standard_output(self):
        version = re.search(rb"version (\S+) ", BANNER).group(1).decode()
        self.assertEqual(self.run_diff("--version"), (0, f"varnock-diff {version}\n".encode(), ""))
        code, out, err = self.run_diff("--help")
        self.assertEqual((code, err), (0, ""))
        for option in ["--force", "--quiet", "--no-verify", "--compressible", "--threads", "--memory", "--version"]:
            self.assertIn(option.encode(), out)
        self.assertInputsAlone()

    def test_an_existing_patch_is_replaced_only_with_force(self):
        self.write("patch", b"an older patch")
        self.assertDiffFails(self.run_diff("source", "target", "patch"), 2, '"patch" exists.*-f')
        self.assertEqual(self.read("patch"), b"an older patch")
        self.assertEqual(self.run_diff("--force", "source", "target", "patch"), (0, b"", ""))
        self.assertAppliesTo("patch", SOURCE, TARGET)

    def test_an_input_is_refused_as_the_patch_whatever_reaches_it(self):
        os.mkdir(self.path("sub"))
        os.symlink("target", self.path("symlink"))
        os.link(self.path("source"), self.path("hardlink"))
        names = ["source", "target", "./source", "sub/../target", self.path("source"), "symlink", "hardlink"]
        for name in names:
            with self.subTest(name):
                self.assertDiffFails(self.run_diff("-f", "source", "target", name), 2, "is the input")
                self.assertEqual(self.listing(), ["hardlink", "source", "sub", "symlink", "target"])
                self.assertEqual(self.read("source"), SOURCE)
                self.assertEqual(self.read("target"), TARGET)

    def test_a_failed_run_leaves_no_patch_and_no_temporary_file(self):
        os.truncate(self.write("huge", b""), 4 << 30)  # sparse: takes no room
        os.mkdir(self.path("directory"))
        size_limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        cases = {
            "missing source": (["missing", "target", "patch"], {}, 'source "missing".*No such file'),
            "directory as target": (["source", "directory", "patch"], {}, 'target "directory".*directory'),
            "source of 4 GiB": (["huge", "target", "patch"], {}, '"huge" is 4 GiB or more'),
            "target of 4 GiB": (["source", "huge", "patch"], {}, '"huge" is 4 GiB or more'),
            "patch in a missing directory": (["source", "target", "none/patch"], {}, "Cannot create"),
            "file size limit while writing": (["source", "target", "patch"], {"preexec_fn": size_limit},
                                              'Cannot write "patch": File too large'),
        }
        for label, (args, run_options, message) in cases.items():
            with self.subTest(label):
                self.assertDiffFails(self.run_diff(*args, **run_options), 2, message)
                self.assertEqual(self.listing(), ["directory", "huge", "source", "target"])

    def test_dash_writes_the_patch_to_standard_output_but_not_to_a_terminal(self):
        self.assertEqual(self.run_diff("source", "target", "patch"), (0, b"", ""))
        code, out, err = self.run_diff("source", "target", "-")
        self.assertEqual((code, out, err), (0, self.read("patch"), ""))
        os.remove(self.path("patch"))
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        with os.fdopen(slave, "wb") as terminal:
            result = subprocess.run([DIFF_BINARY, "source", "target", "-"], cwd=self.dir, stdout=terminal,
                                    stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(result.returncode, 2)
        self.assertRegex(result.stderr.decode(), "^varnock-diff: .*terminal")
        self.assertInputsAlone()

    def test_an_interrupted_run_removes_its_temporary_file(self):
        # strace sends the signal as the complete patch is about to be linked
        # or renamed into place, and fails that call: no file may stay, and the
        # program die by the signal.
        for signal_number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            for force in ([], ["-f"]):
                with self.subTest(signal_number.name, force=force):
                    tracer = subprocess.run(
                        ["strace", "-o", "/dev/null", "-e", "trace=linkat,rename,renameat,renameat2", "-e",
                         f"inject=linkat,rename,renameat,renameat2:error=EINTR:signal={signal_number.name}",
                         DIFF_BINARY, *force, "source", "target", "patch"],
                        cwd=self.dir, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
                    self.assertEqual(tracer.returncode, -signal_number, tracer.stderr)
                    self.assertInputsAlone()

    def test_an_input_shortened_during_the_run_is_reported_and_leaves_nothing(self):
        # strace holds the program once it has mapped the target; the source,
        # mapped before, is emptied meanwhile, and the maker then reads it.
        tracer = subprocess.Popen(
            ["strace", "-P", self.path("target"), "-e", "trace=mmap", "-e", "inject=mmap:delay_exit=2000000",
             DIFF_BINARY, "source", "target", "patch"],
            cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        with tracer:
            seen = b""
            while b"mmap(" not in seen:
                line = tracer.stderr.readline()
                self.assertTrue(line, "the program ended before it mapped the target")
                seen += line
            os.truncate(self.path("source"), 0)
            err = seen + tracer.stderr.read()
        self.assertEqual(tracer.returncode, 2, err)
        self.assertIn(b'\nvarnock-diff: the input "source" was shortened while it was being read\n', err)
        self.assertEqual(self.listing(), INPUTS)


if __name__ == "__main__":
    unittest.main()

"""Guards against an input being truncated as the target, and OS failures reported wrongly or too late."""
import fcntl
import os
import resource
import subprocess
import unittest

from varnock_test import BANNER, BINARY, VarnockTestCase, build_patch, copy, literal, markers

SOURCE = b"the older file\n"
TARGET = b"the newer file\n"
PATCH = build_patch(SOURCE, literal(b"the newer") + copy(9, 6, 0xF9), TARGET)

MISSING = b"System Error.  Code: 2.\r\nNo such file or directory"
BUSY_INPUT = b"System Error.  Code: 16.\r\nDevice or resource busy"
NAME_TOO_LONG = b"System Error.  Code: 36.\r\nFile name too long"
LONG_NAME = "n" * 300


class Files(VarnockTestCase):
    def test_unusable_input_fails_before_the_target_exists(self):
        cases = {
            "missing source": (dict(source=None, source_name="missing"), MISSING),
            "missing patch": (dict(patch=None, patch_name="missing"), MISSING),
            "source in a missing directory": (dict(source=None, source_name="nowhere/source"), MISSING),
            "source name too long": (dict(source=None, source_name=LONG_NAME), NAME_TOO_LONG),
        }
        for label, (inputs, message) in cases.items():
            inputs = dict(dict(source=SOURCE, patch=PATCH), **inputs)
            with self.subTest(label):
                self.assertFailsWith(self.apply(**inputs, timeout=10), message, steps=b"Step 1 ")
                self.assertTarget(None)
            with self.subTest(label, target="existing"):
                self.write("target", b"older target")
                self.assertFailsWith(self.apply(**inputs, timeout=10), message, steps=b"Step 1 ")
                self.assertTarget(b"older target")
                os.remove(self.path("target"))

    def test_target_that_cannot_be_created(self):
        os.mkdir(self.path("directory"))
        cases = {
            "in a missing directory": ("nowhere/target", b"No such file or directory"),
            "a directory": ("directory", b"Is a directory"),
            "under a file": ("source/target", b"Not a directory"),
            "name too long": (LONG_NAME, b"File name too long"),
            "8-bit name in a missing directory": (os.fsdecode(b"nowhere\xe9\xff/target"), b"No such file or directory"),
        }
        for label, (name, reason) in cases.items():
            with self.subTest(label):
                self.assertFailsWith(self.apply(SOURCE, PATCH, target_name=name),
                                     self.create_error(name, reason), steps=b"Step 1 ")
                self.assertFalse(os.path.isfile(self.path(name)))

    def test_target_naming_an_input_leaves_it_unchanged(self):
        self.write("source", SOURCE)
        self.write("patch", PATCH)
        os.mkdir(self.path("sub"))
        os.link(self.path("source"), self.path("hard-source"))
        os.link(self.path("patch"), self.path("hard-patch"))
        os.symlink("source", self.path("link-source"))
        os.symlink("../patch", self.path("sub/link-patch"))
        cases = {
            "the source": "source",
            "the patch": "patch",
            "the source as ./": "./source",
            "the patch through ..": "sub/../patch",
            "the source by its absolute name": self.path("source"),
            "a hard link to the source": "hard-source",
            "a hard link to the patch": "hard-patch",
            "a symbolic link to the source": "link-source",
            "a symbolic link to the patch": "sub/link-patch",
        }
        for label, name in cases.items():
            with self.subTest(label):
                # apply() checks that both inputs keep their bytes.
                self.assertFailsWith(self.apply(SOURCE, PATCH, target_name=name),
                                     self.create_error(name, b"Device or resource busy"), steps=b"Step 1 ")
        with self.subTest("an empty source, which has no mapping to hold it"):
            self.assertFailsWith(self.apply(b"", PATCH, source_name="empty", target_name="empty"),
                                 self.create_error("empty", b"Device or resource busy"), steps=b"Step 1 ")

    def test_empty_source(self):
        patch = build_patch(b"", literal(b"from nothing") + copy(0, 0, 0xFA), b"from nothing")
        self.assertSucceeds(self.apply(b"", patch))
        self.assertTarget(b"from nothing")


class OtherInstance(VarnockTestCase):
    """Another process holding a file as one run's input (shared) or target (exclusive)."""

    def test_target_held_by_another_run_is_refused_unchanged(self):
        for label, operation in {"as its target": fcntl.LOCK_EX, "as its input": fcntl.LOCK_SH}.items():
            with self.subTest(label):
                self.write("target", b"held elsewhere")
                with open(self.path("target"), "rb") as held:
                    fcntl.flock(held, operation | fcntl.LOCK_NB)
                    self.assertFailsWith(self.apply(SOURCE, PATCH),
                                         self.create_error("target", b"Device or resource busy"),
                                         steps=b"Step 1 ")
                self.assertTarget(b"held elsewhere")

    def test_input_being_written_by_another_run_is_refused(self):
        for name in ("source", "patch"):
            with self.subTest(name):
                self.write("source", SOURCE)
                self.write("patch", PATCH)
                with open(self.path(name), "rb") as held:
                    fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    self.assertFailsWith(self.apply(SOURCE, PATCH), BUSY_INPUT, steps=b"Step 1 ")
                self.assertTarget(None)

    def test_files_open_in_a_process_that_takes_no_lock(self):
        # Another program writing an input, or holding the target open at all,
        # keeps the run off that file as a share mode would.
        for name, mode in (("source", "r+b"), ("patch", "ab")):
            with self.subTest(input=name):
                self.write("source", SOURCE)
                self.write("patch", PATCH)
                with open(self.path(name), mode):
                    self.assertFailsWith(self.apply(SOURCE, PATCH), BUSY_INPUT, steps=b"Step 1 ")
                self.assertTarget(None)
        for mode in ("rb", "r+b"):
            with self.subTest(target=mode):
                self.write("target", b"held elsewhere")
                with open(self.path("target"), mode):
                    self.assertFailsWith(self.apply(SOURCE, PATCH),
                                         self.create_error("target", b"Device or resource busy"),
                                         steps=b"Step 1 ")
                self.assertTarget(b"held elsewhere")
        with self.subTest("inputs only read elsewhere"):
            with open(self.path("source"), "rb"), open(self.path("patch"), "rb"):
                self.assertSucceeds(self.apply(SOURCE, PATCH))
            self.assertTarget(TARGET)

    def test_inputs_read_by_another_run_can_be_read(self):
        self.write("source", SOURCE)
        self.write("patch", PATCH)
        with open(self.path("source"), "rb") as source, open(self.path("patch"), "rb") as patch:
            fcntl.flock(source, fcntl.LOCK_SH | fcntl.LOCK_NB)
            fcntl.flock(patch, fcntl.LOCK_SH | fcntl.LOCK_NB)
            self.assertSucceeds(self.apply(SOURCE, PATCH))
        self.assertTarget(TARGET)


def limit(kind, value):
    """A preexec function that caps one of the run's resources."""
    return lambda: resource.setrlimit(kind, (value, value))


class ResourceLimits(VarnockTestCase):
    def setUp(self):
        super().setUp()
        with open(BINARY, "rb") as binary:
            if b"__asan_init" in binary.read():
                self.skipTest("the address sanitizer needs more address space than the cap leaves")

    def run_in(self, kib, args):
        """Runs the binary in an address space of `kib` KiB; (exit code, stdout, stderr)."""
        result = subprocess.run([BINARY, *args], cwd=self.dir, capture_output=True, stdin=subprocess.DEVNULL,
                                preexec_fn=limit(resource.RLIMIT_AS, kib << 10))
        return result.returncode, result.stdout, result.stderr

    def smallest_space(self, args, enough):
        """The fewest KiB, to a page, in which a run's stdout is `enough`."""
        low, high = 1024, 256 << 10
        while high - low > 4:
            middle = (low + high) // 2
            low, high = (low, middle) if enough(self.run_in(middle, args)[1]) else (middle, high)
        return high

    def test_low_memory_never_aborts_nor_empties_the_target(self):
        # Every limit from the least the program starts in to the least it
        # finishes in, so that each allocation of the run fails in turn. The
        # second command line makes splitting the arguments need memory too.
        self.write("source", SOURCE)
        self.write("patch", PATCH)
        out_of_memory = [b"Out of memory", b"System Error.  Code: 12.\r\nCannot allocate memory"]
        for source_name in ("source", "./" * 65000 + "source"):
            args = (source_name, "target", "patch")
            finished = self.run_in(256 << 10, args)
            start = self.smallest_space(args, lambda out: out.startswith(BANNER))
            finish = self.smallest_space(args, lambda out: out == finished[1])
            for kib in range(start, finish + 4, 4):
                with self.subTest(name_length=len(source_name), kib=kib):
                    self.write("target", b"older target")
                    code, out, err = self.run_in(kib, args)
                    if (code, out, err) == finished:
                        continue
                    self.assertEqual((code, err), (2, b""), out)
                    steps, _, message = out[len(BANNER):-2].partition(b"\r\nBrevane ERROR: ")
                    self.assertIn(steps, [markers(step) for step in range(5)])
                    self.assertIn(message, out_of_memory)
                    if steps in (markers(0), markers(1)):
                        self.assertTarget(b"older target")

    def test_source_too_large_for_the_address_space(self):
        with open(self.path("source"), "wb") as source:
            source.truncate(256 << 20)
        result = self.apply(None, PATCH, preexec_fn=limit(resource.RLIMIT_AS, 64 << 20))
        self.assertFailsWith(result, b"System Error.  Code: 12.\r\nCannot allocate memory", steps=b"Step 1 ")
        self.assertTarget(None)


if __name__ == "__main__":
    unittest.main()

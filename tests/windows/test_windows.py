"""Guards the Windows program's use of its OS: the command line as one string, share modes, OS codes and texts, standard output."""
import os
import resource
import subprocess
import tempfile
import unittest

from varnock_test import BANNER, RUNNER, SUCCESS, USAGE, VarnockTestCase, build_patch, copy, literal

HOLDER = os.environ.get("VARNOCK_HOLDER", "hold_file")
# The build's architecture: 32 (i686) or 64 (x86_64).
BITS = int(os.environ.get("VARNOCK_WINDOWS_BITS", "32"))

SOURCE = b"The quick brown fox jumps over the lazy dog.\n" * 20
TARGET = b"A new first line.\n" + SOURCE[100:400] + b"the end\n"
PATCH = build_patch(SOURCE, literal(TARGET[:18]) + copy(100, 300) + literal(b"the end\n"), TARGET)

ERROR_FILE_NOT_FOUND = 2
ERROR_SHARING_VIOLATION = 32
ERROR_FILE_TOO_LARGE = 223


def hold_file(case, name, mode, on_held):
    """Opens the file of `case`'s directory from a second Windows process, in
    `mode`, until the function handed to `on_held` is called; that function
    fails `case` unless the holder held the file to the end."""
    release = case.path(name + ".release")
    holder = subprocess.Popen([*RUNNER, HOLDER, name, mode, release], cwd=case.dir,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)

    def let_go():
        open(release, "wb").close()
        case.assertEqual(holder.wait(timeout=60), 0, "the holder must have held the file to the end")
        holder.stdout.close()
        os.remove(release)

    on_held(let_go)
    case.assertEqual(holder.stdout.readline(), b"held\r\n", "the holder could not open " + name)


class WindowsTestCase(VarnockTestCase):

    def windows_path(self, name):
        """The absolute name Windows gives a file of the test's directory (Wine: drive Z: is /)."""
        return "Z:" + os.path.join(os.path.realpath(self.dir), name).replace("/", "\\")

    def assertSystemText(self, text, may_be_empty=False):
        """A text from the OS on one line, trimmed of trailing blanks, controls and full stops."""
        if not (may_be_empty and text == b""):
            self.assertRegex(text, rb"\A[^\r\n]*[^\x00-\x20.]\Z")

    def assertOSError(self, result, code, steps=b"Step 1 ", may_be_empty=False):
        """The error line of a failed OS call: its code, then the OS's text on the next line."""
        exit_code, out = result
        head = BANNER + steps + b"\r\nBrevane ERROR: System Error.  Code: %d.\r\n" % code
        self.assertEqual(out[:len(head)], head)
        self.assertEqual(out[-2:], b"\r\n")
        self.assertSystemText(out[len(head):-2], may_be_empty)
        self.assertEqual(exit_code, 2)

    def assertCreateError(self, result, shown_name):
        """The error line of a target that could not be created, naming it as `shown_name`."""
        exit_code, out = result
        head = BANNER + b"Step 1 \r\nBrevane ERROR: Cannot create file \"" + shown_name.encode() + b"\". "
        self.assertEqual(out[:len(head)], head)
        self.assertEqual(out[-2:], b"\r\n")
        self.assertSystemText(out[len(head):-2])
        self.assertEqual(exit_code, 2)

    def hold(self, name, mode):
        """Opens the file from a second Windows process until the test ends."""
        hold_file(self, name, mode, self.addCleanup)


class CommandLine(WindowsTestCase):

    def test_wrong_argument_count_prints_usage(self):
        for args in [(), ("a",), ("a", "b"), ("a", "b", "c", "d")]:
            with self.subTest(args=args):
                self.assertEqual(self.run_varnock(*args), (1, BANNER + USAGE))

    def test_names_with_blanks_and_empty_arguments(self):
        # Wine quotes an argument holding a blank and passes an empty one as a
        # pair of quotes, which the program's own splitting drops.
        self.write("my source", SOURCE)
        self.write("my patch", PATCH)
        for args in [("my source", "my target", "my patch"), ("", "my source", "", "my target", "my patch", "")]:
            with self.subTest(args=args):
                self.assertEqual(self.run_varnock(*args), (0, BANNER + SUCCESS))
                self.assertEqual(self.read("my target"), TARGET)

    def test_control_character_separates_names(self):
        # Only the program's own splitting of the whole command line takes any
        # control character for a blank; the C run-time's argv takes two here.
        self.write("source", SOURCE)
        self.write("patch", PATCH)
        self.assertEqual(self.run_varnock("source\x01target", "patch"), (0, BANNER + SUCCESS))
        self.assertEqual(self.read("target"), TARGET)


class Steps(WindowsTestCase):

    def test_success(self):
        self.write("target", b"an older target, longer than the new one " * 40)
        self.assertEqual(self.apply(SOURCE, PATCH), (0, BANNER + SUCCESS))
        self.assertEqual(self.read("target"), TARGET)

    def test_missing_input_reports_the_os_code_and_text(self):
        for missing in ["source", "patch"]:
            with self.subTest(missing=missing):
                self.write("source", SOURCE)
                self.write("patch", PATCH)
                os.remove(self.path(missing))
                self.assertOSError(self.run_varnock("source", "target", "patch"), ERROR_FILE_NOT_FOUND)
                self.assertFalse(os.path.exists(self.path("target")), "no target before the inputs are open")

    def test_input_too_large_for_a_32_bit_length(self):
        # Sparse files: nothing is read before the length is refused. Wine
        # has no text for this code, Windows has one.
        self.write("patch", PATCH)
        with open(self.path("source"), "wb") as source:
            source.truncate(2**32 + len(SOURCE))
        self.assertOSError(self.run_varnock("source", "target", "patch"), ERROR_FILE_TOO_LARGE, may_be_empty=True)

    def test_input_of_the_largest_32_bit_length_is_not_a_failed_query(self):
        # Its length reads as 0xFFFFFFFF, the value a failed query returns too;
        # it fails later: where no 32-bit process can map it whole, or, mapped
        # by a 64-bit one, as the wrong source.
        self.write("patch", PATCH)
        with open(self.path("source"), "wb") as source:
            source.truncate(2**32 - 1)
        code, out = self.run_varnock("source", "target", "patch")
        self.assertEqual(code, 2)
        if BITS == 32:
            self.assertRegex(out, rb"Step 1 \r\nBrevane ERROR: System Error.  Code: [1-9][0-9]*\.\r\n")
        else:
            self.assertEqual(out, BANNER + b"Step 1 Step 2 \r\nBrevane ERROR: Source file checksum don't match\r\n")
        self.assertNotIn(b"Code: %d." % ERROR_FILE_TOO_LARGE, out)

    def test_target_in_missing_directory(self):
        # A name whose absolute form does not fit 260 characters is shown as given.
        long_name = "d" * 120 + "\\" + "e" * 126 + "\\target"
        self.assertLess(len(long_name), 260)
        self.assertGreater(len(self.windows_path(long_name)), 260)
        for name, shown in [("missing\\target", self.windows_path("missing\\target")), (long_name, long_name)]:
            with self.subTest(name=name[:20]):
                self.assertCreateError(self.apply(SOURCE, PATCH, target_name=name), shown)

    def test_failure_in_each_step_leaves_what_was_written(self):
        wrong_crc = build_patch(SOURCE, literal(TARGET), TARGET, target_crc=0x12345678)
        cases = [
            ("source checksum", build_patch(b"another source", literal(TARGET), TARGET),
             b"Step 1 Step 2 ", b"Source file checksum don't match", b""),
            ("copy past the source", build_patch(SOURCE, literal(b"head") + copy(len(SOURCE) - 1, 2), TARGET),
             b"Step 1 Step 2 Step 3 ", b"Seek beyond source file end. Instruction at %d" % (12 + 4 + 1 + 5), b"head"),
            ("target checksum", wrong_crc,
             b"Step 1 Step 2 Step 3 Step 4 ", b"Target file checksum don't match", TARGET),
        ]
        for name, patch, steps, error, left in cases:
            with self.subTest(name):
                self.write("target", b"old contents")
                self.assertFailsWith(self.apply(SOURCE, patch), error, steps)
                self.assertEqual(self.read("target"), left)

    def test_failed_write_ends_the_run(self):
        # Wine writes through Linux, where a file-size limit (its signal left
        # ignored) fails a write as a full disk would.
        self.assertFailsWith(self.apply(SOURCE, PATCH, restore_signals=False,
                                        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (4, 4))),
                             b"Stream write error", b"Step 1 Step 2 Step 3 ")
        self.assertEqual(self.read("target"), TARGET[:4])

    def test_character_device_target_is_written_as_a_stream(self):
        # NUL takes every run and reads back as an empty file.
        self.assertFailsWith(self.apply(SOURCE, PATCH, target_name="NUL"),
                             b"Target file checksum don't match", b"Step 1 Step 2 Step 3 Step 4 ")


class Sharing(WindowsTestCase):

    def test_target_naming_an_input_fails_and_leaves_it(self):
        for name in ["source", "patch"]:
            with self.subTest(target=name):
                self.assertCreateError(self.apply(SOURCE, PATCH, target_name=name), self.windows_path(name))

    def test_target_held_by_another_process(self):
        self.write("target", b"held contents")
        self.hold("target", "read")
        self.assertCreateError(self.apply(SOURCE, PATCH), self.windows_path("target"))
        self.assertEqual(self.read("target"), b"held contents")

    def test_source_shared_with_a_reader(self):
        self.write("source", SOURCE)
        self.hold("source", "read")
        self.assertEqual(self.apply(SOURCE, PATCH), (0, BANNER + SUCCESS))

    def test_source_held_by_a_writer(self):
        self.write("source", SOURCE)
        self.hold("source", "write")
        self.assertOSError(self.apply(SOURCE, PATCH), ERROR_SHARING_VIOLATION)
        self.assertFalse(os.path.exists(self.path("target")), "no target before the inputs are open")


class StandardOutput(WindowsTestCase):

    def test_file_and_pipe_receive_the_same_bytes(self):
        self.write("source", SOURCE)
        self.write("patch", PATCH)
        for args, exit_code in [((), 1), (("source", "target", "patch"), 0), (("missing", "target", "patch"), 2)]:
            with self.subTest(args=args):
                piped = self.run_varnock(*args)
                with tempfile.TemporaryFile() as output:
                    code, _ = self.run_varnock(*args, stdout=output)
                    output.seek(0)
                    self.assertEqual((code, output.read()), piped)
                self.assertEqual(piped[0], exit_code)
                self.assertTrue(piped[1].startswith(BANNER) and piped[1].endswith(b"\r\n"))
                self.assertNotIn(b"\n", piped[1].replace(b"\r\n", b""), "every line ends in CR LF")

    def test_closed_output_changes_nothing_but_the_output(self):
        self.write("source", SOURCE)
        self.write("patch", PATCH)
        for args, exit_code in [((), 1), (("source", "target", "patch"), 0), (("missing", "target", "patch"), 2)]:
            with self.subTest(args=args):
                self.assertEqual(self.run_varnock(*args, stdout=None, preexec_fn=lambda: os.close(1)),
                                 (exit_code, None))
        self.assertEqual(self.read("target"), TARGET)


if __name__ == "__main__":
    unittest.main()

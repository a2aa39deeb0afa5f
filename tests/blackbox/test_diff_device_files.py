"""Guards against varnock-diff replacing or writing into what is not a regular file named as the patch: device nodes, FIFOs, sockets, directories, and links to them."""
import os
import socket
import stat
import subprocess
import threading
import unittest

from varnock_test import DIFF_BINARY, DiffTestCase

SOURCE = bytes(range(256)) * 40
TARGET = b"new head " + SOURCE[1000:] + os.urandom(20_000)


class SpecialFiles(DiffTestCase):
    def setUp(self):
        super().setUp()
        self.write("source", SOURCE)
        self.write("target", TARGET)
        self.assertEqual(self.run_diff("source", "target", "expected"), (0, b"", ""))
        self.expected = self.read("expected")

    def make_socket(self, name):
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(server.close)
        server.bind(self.path(name))

    def make_device(self, name, kind, major, minor):
        """A device node of our own in the test's directory; never one of the machine's."""
        try:
            os.mknod(self.path(name), kind | 0o600, os.makedev(major, minor))
        except PermissionError:
            self.skipTest("making a device node needs root")

    def test_a_block_device_a_socket_or_a_directory_is_refused_and_left_as_it_was(self):
        self.make_socket("socket")
        os.symlink("socket", self.path("link-to-socket"))
        os.mkdir(self.path("directory"))
        kinds = {"socket": stat.S_ISSOCK, "link-to-socket": stat.S_ISSOCK, "directory": stat.S_ISDIR}
        if os.geteuid() == 0:
            # A loop device's node, never opened: refused by its kind alone.
            self.make_device("block", stat.S_IFBLK, 7, 200)
            kinds["block"] = stat.S_ISBLK
        for name, is_kind in kinds.items():
            for force in ([], ["-f"]):
                with self.subTest(name, force=force):
                    message = "is a directory" if name == "directory" else "block device or a socket"
                    self.assertDiffFails(self.run_diff(*force, "source", "target", name), 2, message)
                    self.assertTrue(is_kind(os.stat(self.path(name)).st_mode))
                    self.assertEqual(os.path.islink(self.path(name)), name.startswith("link"))
        self.assertEqual(os.listdir(self.path("directory")), [])

    def test_a_fifo_or_a_link_to_one_takes_the_patch_as_a_stream(self):
        os.mkfifo(self.path("fifo"))
        os.symlink("fifo", self.path("link-to-fifo"))
        for name in ("fifo", "link-to-fifo"):
            for force in ([], ["-f"]):
                with self.subTest(name, force=force):
                    received = []
                    reader = threading.Thread(target=lambda: received.append(open(self.path("fifo"), "rb").read()))
                    reader.start()
                    result = self.run_diff(*force, "source", "target", name)
                    reader.join(timeout=60)
                    self.assertEqual(result, (0, b"", ""))
                    self.assertEqual(received, [self.expected])
                    self.assertTrue(stat.S_ISFIFO(os.stat(self.path("fifo")).st_mode))

    def test_a_pipe_named_by_its_descriptor_takes_the_patch(self):
        # What a shell's >(...) and /dev/stdout in a pipeline name.
        read_end, write_end = os.pipe()
        with open(read_end, "rb") as pipe:
            result = subprocess.run([DIFF_BINARY, "source", "target", f"/dev/fd/{write_end}"], cwd=self.dir,
                                    pass_fds=[write_end], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            os.close(write_end)
            self.assertEqual((result.returncode, result.stderr), (0, b""))
            self.assertEqual(pipe.read(), self.expected)

    def test_a_character_device_takes_the_patch_and_stays_a_device(self):
        # Our own node for the null device: what -f once turned into a file.
        self.make_device("null", stat.S_IFCHR, 1, 3)
        os.symlink("null", self.path("link-to-null"))
        for name in ("null", "link-to-null"):
            for force in ([], ["-f"]):
                with self.subTest(name, force=force):
                    self.assertEqual(self.run_diff(*force, "source", "target", name), (0, b"", ""))
                    self.assertTrue(stat.S_ISCHR(os.stat(self.path("null")).st_mode))
                    self.assertTrue(os.path.islink(self.path("link-to-null")))

    def test_replacing_a_file_keeps_its_permission_bits(self):
        for mode in (0o600, 0o640, 0o755):
            with self.subTest(oct(mode)):
                self.write("patch", b"older")
                os.chmod(self.path("patch"), mode)
                self.assertEqual(self.run_diff("-f", "source", "target", "patch"), (0, b"", ""))
                self.assertEqual(stat.S_IMODE(os.stat(self.path("patch")).st_mode), mode)
                self.assertEqual(self.read("patch"), self.expected)

    def test_an_empty_name_or_a_directory_is_refused_by_what_it_is(self):
        # Checked before the work: no hint to -f, no failed rename after it.
        os.mkdir(self.path("directory"))
        for name, message in (("", "The patch name is empty"), ("directory", 'The patch "directory" is a directory'),
                              ("directory/", 'The patch "directory/" is a directory')):
            for force in ([], ["-f"]):
                with self.subTest(name, force=force):
                    code, out, err = self.run_diff(*force, "source", "target", name)
                    self.assertEqual((code, out, err), (2, b"", f"varnock-diff: {message}\n"))
        self.assertEqual(os.listdir(self.path("directory")), [])


if __name__ == "__main__":
    unittest.main()

"""Guards against a fault around the run (a failing write, an input that shrinks, an input that is no plain file, one file as both inputs) crashing or hanging the program or changing an input."""
import errno
import os
import resource
import select
import shutil
import signal
import stat
import subprocess
import time
import tty

from varnock_test import BANNER, SUCCESS, VarnockTestCase, build_patch, copy, crc32, fill_pipe, literal

SOURCE = bytes(range(256)) * 24  # 6144 bytes: more than one page of memory
TARGET = b"head" * 500 + SOURCE + b"tail" * 500  # written as three runs of 2000, 6144 and 2000 bytes
PATCH = build_patch(SOURCE, literal(b"head" * 500) + copy(0, len(SOURCE)) + literal(b"tail" * 500), TARGET)

STEPS_1_2 = b"Step 1 Step 2 "
STEPS_1_3 = b"Step 1 Step 2 Step 3 "


def error_output(steps, message):
    return BANNER + steps + b"\r\nBrevane ERROR: " + message + b"\r\n"


def os_error_line(code):
    return b"System Error.  Code: %d.\r\n" % code + os.strerror(code).rstrip(". \r\n").encode()


class FaultTestCase(VarnockTestCase):
    @staticmethod
    def binary():
        return os.path.abspath(shutil.which(os.environ.get("VARNOCK_BINARY", "varnock")))

    def assertUnchanged(self, name, contents):
        self.assertEqual(self.read(name), contents, f"input {name} must be left byte-identical")


class WriteFailureTest(FaultTestCase):
    def test_file_size_limit_ends_in_write_error_with_a_prefix_of_the_target(self):
        # Python ignores SIGXFSZ for itself but restores it for the child: the
        # program must ignore it on its own, or the limit kills it.
        for limit in (2000, 4096, len(TARGET) - 1):
            with self.subTest(limit=limit):
                self.write("source", SOURCE)
                self.write("patch", PATCH)
                code, out = self.run_varnock(
                    "source", "target", "patch",
                    preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)))
                self.assertEqual(out, error_output(STEPS_1_3, b"Stream write error"))
                self.assertEqual(code, 2)
                target = self.read("target")
                self.assertGreaterEqual(len(target), 2000, "the runs before the failing one are kept")
                self.assertLessEqual(len(target), limit)
                self.assertEqual(target, TARGET[:len(target)])
                self.assertUnchanged("source", SOURCE)
                self.assertUnchanged("patch", PATCH)


class ShrinkingInputTest(FaultTestCase):
    """Another process truncates an input while the program is held inside the
    write of a progress marker; the next read of that input's mapping (a
    checksum, a header, an instruction, or a copy handed to the target write)
    finds the file shorter than its view."""

    HOLD_MICROSECONDS = 3_000_000

    def run_held(self, marker_write, victim):
        """Runs the binary under strace, holding it after its `marker_write`-th
        write to the terminal, and truncates `victim` to 0 bytes meanwhile."""
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        tty.setraw(slave)  # the bytes as written, no line-end translation
        env = dict(os.environ)
        # The leak checker cannot run under a tracer; it is not what is tested here.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        process = subprocess.Popen(
            ["strace", "-o", "/dev/null", "-P", os.ttyname(slave), "-e", "trace=write",
             "-e", f"inject=write:delay_exit={self.HOLD_MICROSECONDS}:when={marker_write}",
             self.binary(), "source", "target", "patch"],
            cwd=self.dir, stdin=subprocess.DEVNULL, stdout=slave, stderr=subprocess.PIPE, env=env)
        os.close(slave)
        with process:
            out = self.read_terminal(master, until=lambda out: out.endswith(b"Step %d " % (marker_write - 2)))
            os.truncate(self.path(victim), 0)
            out += self.read_terminal(master, until=lambda out: False)
            stderr = process.stderr.read()
            code = process.wait(timeout=60)
        self.assertEqual(stderr, b"")
        return code, out

    @staticmethod
    def read_terminal(master, until):
        out = b""
        while not until(out):
            ready, _, _ = select.select([master], [], [], 30)
            if not ready:
                break
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the program has ended and closed the terminal
                break
            if not chunk:
                break
            out += chunk
        return out

    def test_shortened_input_ends_in_its_own_error_line(self):
        # Marker writes: 1 and 2 are the banner, 3 is "Step 1 ", 4 "Step 2 ", 5 "Step 3 ".
        cases = [
            # (held after, input truncated, steps shown, target left)
            (4, "source", STEPS_1_2, b""),            # the source's checksum
            (4, "patch", STEPS_1_2, b""),             # the patch header
            (5, "patch", STEPS_1_3, b""),             # the first instruction
            (5, "source", STEPS_1_3, TARGET[:2000]),  # the copy, met inside the target write
        ]
        for marker_write, victim, steps, target in cases:
            with self.subTest(held_after=marker_write, truncated=victim):
                self.write("source", SOURCE)
                self.write("patch", PATCH)
                code, out = self.run_held(marker_write, victim)
                self.assertEqual(out, error_output(
                    steps, b'Input file "' + victim.encode() + b'" was shortened while it was being read'))
                self.assertEqual(code, 2)
                self.assertEqual(self.read("target"), target)
                other = "patch" if victim == "source" else "source"
                self.assertUnchanged(other, PATCH if other == "patch" else SOURCE)
                self.assertUnchanged(victim, b"")


class UnmappableInputTest(FaultTestCase):
    """A directory, a FIFO, a device, a /proc file (length 0, yet bytes to read) or a file
    too long for a 32-bit size is refused at once with the OS-failure line, before the
    target is created."""

    FOUR_GIB = 1 << 32

    def make_sparse(self, name):
        with open(self.path(name), "wb") as f:
            f.write(b"front")
            f.truncate(self.FOUR_GIB)
        return os.stat(self.path(name))

    def test_inputs_that_cannot_be_mapped_are_refused_without_a_hang(self):
        kinds = [
            ("directory", lambda name: os.mkdir(self.path(name)), errno.EISDIR),
            ("fifo", lambda name: os.mkfifo(self.path(name)), errno.ENODEV),
            ("device", lambda name: os.symlink("/dev/zero", self.path(name)), errno.ENODEV),
            ("size-0 file that has bytes", lambda name: os.symlink("/proc/version", self.path(name)), errno.ENODEV),
            ("4 GiB file", self.make_sparse, errno.EFBIG),
        ]
        for kind, make, code in kinds:
            for role in ("source", "patch"):
                with self.subTest(kind=kind, role=role):
                    for name in ("source", "patch", "target"):
                        path = self.path(name)
                        if os.path.isdir(path) and not os.path.islink(path):
                            os.rmdir(path)
                        elif os.path.lexists(path):
                            os.remove(path)
                    other = "patch" if role == "source" else "source"
                    other_contents = PATCH if other == "patch" else SOURCE
                    self.write(other, other_contents)
                    make(role)
                    before = os.stat(self.path(role))
                    exit_code, out = self.run_varnock("source", "target", "patch", timeout=30)
                    self.assertEqual(out, error_output(b"Step 1 ", os_error_line(code)))
                    self.assertEqual(exit_code, 2)
                    self.assertFalse(os.path.lexists(self.path("target")))
                    self.assertUnchanged(other, other_contents)
                    after = os.stat(self.path(role))
                    self.assertEqual((stat.S_IFMT(after.st_mode), after.st_size, after.st_mtime_ns),
                                     (stat.S_IFMT(before.st_mode), before.st_size, before.st_mtime_ns))
                    if kind == "4 GiB file":
                        with open(self.path(role), "rb") as f:
                            self.assertEqual(f.read(5), b"front")
                        os.remove(self.path(role))  # a 4 GiB file is not left to the cleanup's timing


class NonRegularTargetTest(FaultTestCase):
    """A block device, a FIFO or a socket as the target could only be written over and
    never read back: it is refused at creation, and nothing reaches it. A character
    device takes the target as a stream, as a full disk's stand-in must."""

    def test_character_device_target_is_written_as_a_stream(self):
        self.write("source", SOURCE)
        self.write("patch", PATCH)
        exit_code, out = self.run_varnock("source", "/dev/full", "patch")
        self.assertEqual(out, error_output(STEPS_1_3, b"Stream write error"))
        self.assertEqual(exit_code, 2)

    def fifo(self):
        os.mkfifo(self.path("fifo"))
        reader = os.open(self.path("fifo"), os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        return "fifo", lambda: self.nothing_waiting(reader)

    def block_device(self):
        image = b"PRECIOUS" + bytes(1 << 20)
        self.write("image", image)
        attach = subprocess.run(["losetup", "-f", "--show", self.path("image")], capture_output=True)
        if attach.returncode != 0:
            return None
        device = attach.stdout.decode().strip()
        self.addCleanup(subprocess.run, ["losetup", "-d", device])
        return device, lambda: self.assertEqual(self.read("image"), image)

    def socket(self):
        import socket
        listener = socket.socket(socket.AF_UNIX)
        self.addCleanup(listener.close)
        listener.bind(self.path("socket"))
        return "socket", lambda: None

    def proc_file(self):
        name = "/proc/self/comm"  # the run's own name, which a write would change
        return name, lambda: None

    def nothing_waiting(self, fd):
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            try:
                self.assertEqual(os.read(fd, 4096), b"", "nothing may have been written to the target")
            except OSError as error:  # a terminal whose other side is closed
                self.assertEqual(error.errno, errno.EIO)

    def test_target_that_is_no_regular_file_is_refused_untouched(self):
        kinds = [
            ("fifo with a reader", self.fifo, errno.ENODEV),
            ("block device", self.block_device, errno.ENODEV),
            ("socket", self.socket, errno.ENXIO),
            ("size-0 file that has bytes", self.proc_file, errno.ENODEV),
        ]
        for kind, make, code in kinds:
            with self.subTest(kind):
                made = make()
                if made is None:
                    self.skipTest(f"no {kind} can be made here")
                name, check_untouched = made
                self.write("source", SOURCE)
                self.write("patch", PATCH)
                exit_code, out = self.run_varnock("source", name, "patch", timeout=30)
                self.assertEqual(out, error_output(b"Step 1 ", self.create_error(name, os.strerror(code).encode())))
                self.assertEqual(exit_code, 2)
                check_untouched()


class SentBusErrorTest(FaultTestCase):
    def test_bus_error_sent_by_another_process_ends_the_run_as_by_default(self):
        # The run is held writing its banner to a pipe nobody reads, its target open.
        self.write("source", SOURCE)
        self.write("patch", PATCH)
        reader, writer = os.pipe()
        self.addCleanup(os.close, reader)
        fill_pipe(writer)
        run = subprocess.Popen([self.binary(), "source", "target", "patch"], cwd=self.dir,
                               stdin=subprocess.DEVNULL, stdout=writer, stderr=subprocess.DEVNULL,
                               preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))
        os.close(writer)
        self.addCleanup(run.wait)
        self.addCleanup(run.kill)
        deadline = time.monotonic() + 30
        while not os.path.exists(self.path("target")) and time.monotonic() < deadline:
            time.sleep(0.01)
        os.kill(run.pid, signal.SIGBUS)
        while os.read(reader, 65536):
            pass
        self.assertEqual(run.wait(timeout=30), -signal.SIGBUS)



class SourceIsThePatchTest(FaultTestCase):
    def test_one_file_as_source_and_patch(self):
        # A patch whose stored source checksum is its own: four free bytes in
        # the header block are solved for, the CRC-32 being linear over GF(2).
        stream = literal(b"hello") + copy(22, 5, 0xF9)  # the copy takes the literal's bytes from this file
        patch = bytearray(build_patch(b"", stream, b"hellohello", header_block=b"\0\0\0\0"))
        wanted = 0x5EC0DE00
        patch[8:12] = wanted.to_bytes(4, "little")
        patch[4:8] = solve_crc_bytes(bytes(patch), 4, wanted)
        patch = bytes(patch)
        self.assertEqual(crc32(patch), wanted)

        self.write("both", patch)
        code, out = self.run_varnock("both", "target", "both")
        self.assertEqual(out, BANNER + SUCCESS)
        self.assertEqual(code, 0)
        self.assertEqual(self.read("target"), b"hellohello")
        self.assertUnchanged("both", patch)

        code, out = self.run_varnock("both", "both", "both")
        self.assertEqual(out, error_output(
            b"Step 1 ", b'Cannot create file "' + self.path("both").encode() + b'". '
            + os.strerror(errno.EBUSY).encode()))
        self.assertEqual(code, 2)
        self.assertUnchanged("both", patch)


def solve_crc_bytes(data, at, wanted):
    """Four bytes to put at `at` so that the CRC-32 of `data` becomes `wanted`."""
    base = crc32(data)
    # Each of the 32 bits, flipped alone, changes the CRC by a fixed pattern.
    rows = []
    for bit in range(32):
        flipped = bytearray(data)
        flipped[at + bit // 8] ^= 1 << (bit % 8)
        rows.append((crc32(bytes(flipped)) ^ base, 1 << bit))
    # Gaussian elimination: find the bits whose patterns add up to base ^ wanted.
    basis = {}
    for pattern, bits in rows:
        for pivot in sorted(basis, reverse=True):
            if pattern >> pivot & 1:
                pattern ^= basis[pivot][0]
                bits ^= basis[pivot][1]
        if pattern:
            basis[pattern.bit_length() - 1] = (pattern, bits)
    goal, chosen = base ^ wanted, 0
    for pivot in sorted(basis, reverse=True):
        if goal >> pivot & 1:
            goal ^= basis[pivot][0]
            chosen ^= basis[pivot][1]
    assert goal == 0, "four consecutive bytes can reach every CRC-32"
    current = int.from_bytes(data[at:at + 4], "little")
    return (current ^ chosen).to_bytes(4, "little")

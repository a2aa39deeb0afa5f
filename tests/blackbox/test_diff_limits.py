"""Guards against varnock-diff breaking under the system's limits: threads it may not start, address space, the longest file name, and the memory bound its manual promises."""
import os
import resource
import subprocess
import unittest

from varnock_test import DIFF_BINARY, DiffTestCase, diff_binary_has_asan, without_leak_check

SOURCE = bytes(range(256)) * 1000
TARGET = SOURCE[:100_000] + b"an edit" + SOURCE[100_007:] + os.urandom(300_000)
PEAK_MEMORY = os.environ.get("VARNOCK_PEAK_MEMORY", "varnock_peak_memory")
# A uid no process of this machine runs as, so that a task limit counts ours alone.
NOBODY = 54321


def limit_tasks():
    """One task for the run's user: the process itself, and no thread more."""
    if os.geteuid() == 0:
        # Root is not held by the limit; another uid is, and has no other task.
        os.setgroups([])
        os.setresgid(NOBODY, NOBODY, NOBODY)
        os.setresuid(NOBODY, NOBODY, NOBODY)
    resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))


class Limits(DiffTestCase):
    def setUp(self):
        super().setUp()
        os.chmod(self.dir, 0o777)
        self.write("source", SOURCE)
        self.write("target", TARGET)
        self.assertEqual(self.run_diff("-T", "1", "source", "target", "expected"), (0, b"", ""))
        self.expected = self.read("expected")

    def assertMakesTheSamePatch(self, result, name="patch"):
        self.assertEqual(result, (0, b"", ""))
        self.assertEqual(self.read(name), self.expected)
        self.assertEqual(self.listing(), sorted(["source", "target", "expected", name]))

    def test_threads_the_system_will_not_start_are_done_without(self):
        for threads in (["-T", "8"], [], ["-T", "1024"]):
            for output in ("patch", "-"):
                with self.subTest(threads=threads, output=output):
                    code, out, err = self.run_diff("-f", *threads, "source", "target", output,
                                                   preexec_fn=limit_tasks, env=without_leak_check())
                    if output == "-":
                        self.assertEqual((code, out, err), (0, self.expected, ""))
                    else:
                        self.assertMakesTheSamePatch((code, out, err))

    def test_thread_stacks_past_the_address_space_limit_are_done_without(self):
        if diff_binary_has_asan():
            self.skipTest("the address sanitizer needs more address space than the cap leaves")
        # 1024 threads' stacks take 8 GiB of address space; the run needs far less.
        cap = lambda: resource.setrlimit(resource.RLIMIT_AS, (400 << 20, 400 << 20))
        self.assertMakesTheSamePatch(self.run_diff("-T", "1024", "source", "target", "patch", preexec_fn=cap))

    def test_every_name_the_filesystem_allows_takes_the_patch(self):
        longest = os.pathconf(self.dir, "PC_NAME_MAX")
        for length in (241, 242, 250, longest):
            name = "p" * length
            with self.subTest(length):
                self.assertMakesTheSamePatch(self.run_diff("source", "target", name), name)
                self.assertMakesTheSamePatch(self.run_diff("-f", "source", "target", name), name)
                os.remove(self.path(name))
        self.assertDiffFails(self.run_diff("source", "target", "p" * (longest + 1)), 2,
                             "Cannot create the patch .*: File name too long")
        self.assertEqual(self.listing(), ["expected", "source", "target"])


class MemoryBound(DiffTestCase):
    """The bound of the manual's MEMORY section, whatever the thread count and the output."""

    def peak_resident(self, *args):
        """The run's peak resident memory in bytes; the run must succeed."""
        result = subprocess.run([PEAK_MEMORY, DIFF_BINARY, *args], cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
        *messages, peak = result.stderr.decode().splitlines()
        self.assertEqual((result.returncode, messages), (0, []))
        return int(peak.removeprefix("peak ")) * 1024

    def test_zeros_against_a_source_with_short_zero_runs_stay_within_the_bound(self):
        # The worst case for the candidates in flight: two at every target byte.
        if diff_binary_has_asan():
            self.skipTest("the sanitizer's own memory is not the maker's")
        source = bytearray(os.urandom(300_000))
        source[1000:1008] = bytes(8)
        source[200_000:200_008] = bytes(8)
        target = bytes(12 << 20)
        self.write("source", bytes(source))
        self.write("target", target)
        self.write("small", b"tiny input")
        baseline = self.peak_resident("-q", "small", "small", "-")
        # 4.375 S + 256 KiB + 8 min(T, 512 KiB) + 24 min(T, 1 MiB) + 2 MiB
        bound = 35 * len(source) // 8 + (256 << 10) + 8 * (512 << 10) + 24 * (1 << 20) + (2 << 20)
        # Of the target, only the stretches being matched and parsed (two segments of 512 KiB) and the
        # pages the system maps around them: 4 MiB, where holding it whole would take 12.
        inputs = len(source) + (4 << 20)
        for options in (["-T", "16"], ["-T", "8", "-"]):
            with self.subTest(options=options):
                output = options[2:] or ["-f", "patch"]
                peak = self.peak_resident("-q", "--no-verify", *options[:2], "source", "target", *output)
                self.assertLessEqual(peak - baseline, bound + inputs, f"{peak >> 10} KiB at its peak")

    def test_a_patch_to_standard_output_is_not_held_whole(self):
        # Patches of 4 and 12 MiB (new bytes): the maker's share must not grow with them.
        if diff_binary_has_asan():
            self.skipTest("the sanitizer's own memory is not the maker's")
        source = os.urandom(64 << 10)
        self.write("source", source)
        shares = []
        for new_bytes in (4 << 20, 12 << 20):
            target = source + os.urandom(new_bytes)
            self.write("target", target)
            shares.append(self.peak_resident("-q", "source", "target", "-") - len(target))
        self.assertLess(shares[1] - shares[0], 2 << 20, f"{shares[0] >> 10} KiB, then {shares[1] >> 10} KiB")


if __name__ == "__main__":
    unittest.main()

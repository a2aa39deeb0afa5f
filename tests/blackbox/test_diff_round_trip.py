"""Guards against varnock-diff writing a patch that varnock does not turn back into the target, or other bytes for the same inputs."""
import random
import re
import unittest

from varnock_test import DiffTestCase

RANDOM = random.Random(10)
# Printed, unless -q, when --memory made the maker fall back to its smaller index.
SMALL_INDEX_NOTE = ("varnock-diff: note: the memory limit left no room for the full index; a smaller one was "
                    "used, and the patch may be larger\n")


def edited(source, rng):
    """`source` after a random edit script: insertions, deletions, moves and repeats."""
    data = bytearray(source)
    for _ in range(rng.randrange(1, 16)):
        kind = rng.choice(["insert", "delete", "move", "repeat"])
        at, length = rng.randrange(len(data) + 1), rng.randrange(1, 4000)
        piece = data[at:at + length]
        if kind == "insert":
            data[at:at] = rng.randbytes(length)
        elif kind == "delete":
            del data[at:at + length]
        elif kind == "move":
            del data[at:at + length]
            to = rng.randrange(len(data) + 1)
            data[to:to] = piece
        else:
            data[at:at] = piece * rng.randrange(2, 5)
    return bytes(data)


def text(rng, lines):
    words = [b"alpha", b"beta", b"gamma", b"delta", b"patch", b"source", b"target", b"\t", b"{", b"}"]
    return b"".join(b" ".join(rng.choices(words, k=rng.randrange(1, 12))) + b"\n" for _ in range(lines))


def pairs():
    binary = RANDOM.randbytes(150_000)  # copies beyond 64 KiB need the long offset
    prose = text(RANDOM, 4000)
    return {
        "both empty": (b"", b""),
        "empty source": (b"", RANDOM.randbytes(3000)),
        "empty target": (RANDOM.randbytes(3000), b""),
        "identical": (binary, binary),
        "nothing in common": (RANDOM.randbytes(70_000), RANDOM.randbytes(70_000)),
        "binary edits": (binary, edited(binary, RANDOM)),
        "text edits": (prose, edited(prose, RANDOM)),
        "long runs of one byte": (b"\0" * 100_000 + b"x", b"y" + b"\0" * 300_000),
    }


class RoundTrip(DiffTestCase):
    def make(self, source, target, *options, patch="patch"):
        """Runs varnock-diff on the pair, replacing the last patch; returns the patch's bytes."""
        self.write("source", source)
        self.write("target", target)
        code, out, err = self.run_diff("-f", *options, "source", "target", patch)
        self.assertEqual((code, out), (0, b""), err)
        self.assertIn(err, ("", SMALL_INDEX_NOTE) if "--memory" in options and "-q" not in options else ("",))
        return self.read(patch)

    def test_varnock_rebuilds_the_target_and_the_patch_is_deterministic(self):
        for label, (source, target) in pairs().items():
            with self.subTest(label):
                patch = self.make(source, target)
                self.assertAppliesTo("patch", source, target)
                for threads in ("1", "2", "0"):
                    again = self.make(source, target, "-T", threads)
                    self.assertEqual(again, patch, f"other bytes with -T {threads}")

    def test_every_aim_and_memory_limit_makes_a_patch_varnock_applies(self):
        # A limit below the least is refused naming the least, which works.
        variants = [["--compressible"], ["--no-verify"], ["--memory", "1"], ["-q", "--memory", "1"],
                    ["--compressible", "--memory", "1", "-T", "2"]]
        for label, (source, target) in pairs().items():
            for options in variants:
                with self.subTest(label, options=options):
                    if "--memory" in options:
                        code, out, err = self.run_diff("-f", *options, "source", "target", "patch")
                        least = re.search(r"the least the maker needs for these inputs: \d+ bytes \((\d+K)\)\n$",
                                          err)
                        self.assertEqual((code, out, bool(least)), (2, b"", True), err)
                        options = [least.group(1) if option == "1" else option for option in options]
                    self.make(source, target, *options)
                    self.assertAppliesTo("patch", source, target)


if __name__ == "__main__":
    unittest.main()

"""Guards against a target that, after a failure in the middle of the stream,
misses runs held back in a buffer or holds bytes written twice."""
import os
import random
import resource

from varnock_test import BANNER, SUCCESS, VarnockTestCase, build_patch, copy, literal

STEP3_FAILURE = b"Step 1 Step 2 Step 3 "


def file_size_limit(limit):
    """Makes the child's writes fail past `limit` bytes of any file."""
    def apply():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


class BufferedTarget(VarnockTestCase):
    def setUp(self):
        super().setUp()
        rng = random.Random(7)
        self.source = bytes(rng.randrange(256) for _ in range(300000))
        # Short runs that wait in the writer's buffer, a copy long enough to
        # be written straight from the source, then short runs again.
        stream, target = b"", b""
        for i in range(3000):
            offset = rng.randrange(len(self.source) - 40)
            stream += copy(offset, 1 + i % 40)
            target += self.source[offset:offset + 1 + i % 40]
        stream += copy(1000, 200000) + literal(b"tail")
        target += self.source[1000:201000] + b"tail"
        self.stream, self.target = stream, target

    def test_write_failure_leaves_a_prefix_written_once(self):
        patch = build_patch(self.source, self.stream, self.target)
        self.assertEqual(self.apply(self.source, patch), (0, BANNER + SUCCESS))
        for limit in (0, 1, 4096, 60000, len(self.target) - 200010, len(self.target) - 3):
            with self.subTest(limit=limit):
                if os.path.exists(self.path("target")):
                    os.remove(self.path("target"))
                result = self.run_varnock("source", "target", "patch", preexec_fn=file_size_limit(limit))
                self.assertFailsWith(result, b"Stream write error", steps=STEP3_FAILURE)
                self.assertEqual(self.read("target"), self.target[:limit])

    def test_fault_after_held_back_runs_leaves_them_all(self):
        for fault, message in ((b"\xFF", b"64-bit length of file is not supported in this version"),
                               (b"\x00\x01x", b"Unexpected stop instruction before end of patch file")):
            with self.subTest(fault=fault):
                patch = build_patch(self.source, self.stream + fault, self.target)
                self.assertFailsWith(self.apply(self.source, patch), message, steps=STEP3_FAILURE)
                self.assertEqual(self.read("target"), self.target)

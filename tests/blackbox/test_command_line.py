"""Guards against a wrong argument count being run (or a right one refused), and usage text drift."""
import unittest

from varnock_test import BANNER, USAGE, VarnockTestCase, build_patch, literal

SOURCE = b"source bytes"
TARGET = b"target"
PATCH = build_patch(SOURCE, literal(TARGET), TARGET)


class CommandLine(VarnockTestCase):
    def setUp(self):
        super().setUp()
        self.write("source", SOURCE)
        self.write("patch", PATCH)

    def test_wrong_count_prints_usage_and_touches_nothing(self):
        cases = {
            "none": [],
            "one": ["source"],
            "two": ["source", "target"],
            "four": ["source", "target", "patch", "extra"],
            "five": ["source", "target", "patch", "patch", "patch"],
            "only empty ones": ["", "", ""],
            "three with one empty": ["source", "", "target"],
            "four around an empty one": ["source", "target", "", "patch", "extra"],
        }
        for label, args in cases.items():
            with self.subTest(label):
                self.assertEqual(self.run_varnock(*args), (1, BANNER + USAGE))
                self.assertTarget(None)
                self.assertEqual(self.read("source"), SOURCE)
                self.assertEqual(self.read("patch"), PATCH)

    def test_empty_arguments_are_dropped_wherever_they_stand(self):
        cases = {
            "first": ["", "source", "target", "patch"],
            "between": ["source", "", "target", "", "patch"],
            "last": ["source", "target", "patch", ""],
            "everywhere": ["", "", "source", "", "target", "patch", "", ""],
        }
        for label, args in cases.items():
            with self.subTest(label):
                self.assertSucceeds(self.run_varnock(*args))
                self.assertTarget(TARGET)

    def test_names_are_taken_as_delivered(self):
        # Blanks, quotes and backslashes belong to the name when the shell has
        # already split the line.
        for name in ['my source', '"quoted"', 'back\\slash', ' lead and trail ', '\t']:
            with self.subTest(name=name):
                self.assertSucceeds(self.apply(SOURCE, PATCH, source_name=name, target_name=name + ".new"))
                self.assertTarget(TARGET, name + ".new")


if __name__ == "__main__":
    unittest.main()

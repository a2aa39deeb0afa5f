# Guards against a manual that groff or man warns about, or whose DIAGNOSTICS miss a message the program can print.
import os
import pathlib
import re
import subprocess
import unittest

MANUAL = pathlib.Path(os.environ["VARNOCK_MANUAL"])
SOURCES = pathlib.Path(__file__).resolve().parent.parent
SOURCE_DIRECTORIES = ("app", "files", "patch", "platform")


def error_message_pieces():
    """The fixed words of every message thrown in the program's sources."""
    pieces = set()
    for directory in SOURCE_DIRECTORIES:
        for path in sorted((SOURCES / directory).glob("*.[ch]*")):
            text = path.read_text()
            # The arguments of every throw, and of a constructor that hands its message to Exception.
            for arguments in re.findall(r"(?:throw\s+\w+|:\s*Exception)\s*\(([^;{]*)", text):
                for literal in re.findall(r'"((?:[^"\\]|\\.)*)"', arguments):
                    literal = literal.replace('\\"', '"')
                    for piece in literal.split("\\r\\n"):
                        if re.search(r"[A-Za-z]", piece):
                            pieces.add(" ".join(piece.split()))
    return pieces


def rendered_manual():
    # A line length no message can reach, so that none is broken or hyphenated.
    result = subprocess.run(["groff", "-man", "-Tascii", "-rLL=400n", "-P-cbou", str(MANUAL)],
                            capture_output=True, text=True, check=True)
    return result.stdout


class ManualTest(unittest.TestCase):
    def test_groff_and_man_render_it_without_warnings(self):
        commands = [
            ["groff", "-ww", "-z", "-man", str(MANUAL)],
            ["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", str(MANUAL)],
        ]
        for command in commands:
            with self.subTest(command=command[0]):
                result = subprocess.run(command, capture_output=True, text=True,
                                        env=dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80"))
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stderr, "")

    def test_diagnostics_name_every_error_message(self):
        text = rendered_manual()
        start, end = text.index("\nDIAGNOSTICS\n"), text.index("\nFILES\n")
        diagnostics = " ".join(text[start:end].split())
        pieces = error_message_pieces()
        # The extraction itself must work, or this test would pass on nothing.
        self.assertIn("Source file checksum don't match", pieces)
        self.assertIn('Cannot create file "', pieces)
        for piece in sorted(pieces):
            with self.subTest(message=piece):
                self.assertTrue(piece in diagnostics, f"{piece!r} is missing from DIAGNOSTICS")


if __name__ == "__main__":
    unittest.main()

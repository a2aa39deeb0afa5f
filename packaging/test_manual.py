# Guards against a manual that groff or man warns about, or whose DIAGNOSTICS miss a message the program can print.
import os
import pathlib
import re
import subprocess
import unittest

SOURCES = pathlib.Path(__file__).resolve().parent.parent
# Each program's manual, and the sources whose messages its DIAGNOSTICS name.
MANUALS = {
    "varnock": (os.environ["VARNOCK_MANUAL"],
                ("programs/varnock/*.[ch]*", "programs/common/*.[ch]*", "lib/common/Errors.*", "lib/common/Crc32.*",
                 "lib/format/*.[ch]*", "lib/io/File*.[ch]*", "lib/io/InputRanges.h",
                 "lib/apply/[!A]*.[ch]*", "lib/platform/*.[ch]*")),
    "varnock-diff": (os.environ["VARNOCK_DIFF_MANUAL"],
                     ("programs/varnock-diff/*.[ch]*", "lib/make/PatchFile.*", "lib/make/PendingFile.*",
                      "lib/make/PatchVerifier.*")),
}


def error_message_pieces(source_patterns):
    """The fixed words of every message thrown or printed in the program's sources."""
    pieces = set()
    for pattern in source_patterns:
        for path in sorted(SOURCES.glob(pattern)):
            text = path.read_text()
            # The arguments of every throw, of a constructor that hands its message to Exception, and of a
            # message raised or printed by a helper, damage told by any helper or lambda named for it included.
            calls = (r"(?:throw\s+\w+|:\s*Exception|RaiseLastOSError|RaiseOSError|WriteWhole|PrintMessage"
                     r"|\b\w*[Dd]amaged)\s*\(([^;{]*)")
            for arguments in re.findall(calls, text):
                for literal in re.findall(r'"((?:[^"\\]|\\.)*)"', arguments):
                    literal = literal.replace('\\"', '"')
                    for piece in literal.split("\\r\\n"):
                        if re.search(r"[A-Za-z]", piece):
                            pieces.add(" ".join(piece.split()))
    return pieces


def rendered_manual(manual):
    # A line length no message can reach, so that none is broken or hyphenated.
    result = subprocess.run(["groff", "-man", "-Tascii", "-rLL=400n", "-P-cbou", manual],
                            capture_output=True, text=True, check=True)
    return result.stdout


class ManualTest(unittest.TestCase):
    def test_groff_and_man_render_it_without_warnings(self):
        for program, (manual, _) in MANUALS.items():
            for command in (["groff", "-ww", "-z", "-man", manual],
                            ["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", manual]):
                with self.subTest(program, command=command[0]):
                    result = subprocess.run(command, capture_output=True, text=True,
                                            env=dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80"))
                    self.assertEqual(result.returncode, 0)
                    self.assertEqual(result.stderr, "")

    def test_diagnostics_name_every_error_message(self):
        # Some message of each program, so that the extraction is seen to work.
        known = {"varnock": ["Source file checksum don't match", 'Cannot create file "', "an opcode 0xFF"],
                 "varnock-diff": ["Refusing to write a patch to a terminal", 'Cannot write "']}
        for program, (manual, sources) in MANUALS.items():
            text = rendered_manual(manual)
            start = text.index("\nDIAGNOSTICS\n")
            end = re.compile(r"\n[A-Z][A-Z ]+\n").search(text, start + 1).start()
            diagnostics = " ".join(text[start:end].split())
            pieces = error_message_pieces(sources)
            for message in known[program]:
                self.assertIn(message, pieces)
            for piece in sorted(pieces):
                with self.subTest(program, message=piece):
                    self.assertTrue(piece in diagnostics, f"{piece!r} is missing from {program}'s DIAGNOSTICS")


if __name__ == "__main__":
    unittest.main()

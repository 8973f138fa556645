"""Tests of scripts/check_layers.py on small fixture trees.

fixtures/clean is a tree that keeps its README's layout table; the planted
tree is that tree with fixtures/planted laid over it, each of whose files
breaks the table once.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "..", "..", "scripts", "check_layers.py")
CLEAN = os.path.join(HERE, "fixtures", "clean")
PLANTED = os.path.join(HERE, "fixtures", "planted")


def check(root):
    return subprocess.run([sys.executable, CHECKER, root], capture_output=True,
                          text=True, timeout=60)


def write(root, rel, text):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


class TreeTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = os.path.join(self.tmp.name, "tree")
        shutil.copytree(CLEAN, self.root)

    def tearDown(self):
        self.tmp.cleanup()


class CheckTreeTest(TreeTest):
    def test_passes_a_tree_that_keeps_the_table(self):
        r = check(CLEAN)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))

    def test_names_file_and_line_of_every_planted_violation(self):
        shutil.copytree(PLANTED, self.root, dirs_exist_ok=True)
        r = check(self.root)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(sorted(r.stdout.splitlines()), [
            "base/c_header.cpp:1: C header <limits.h>, use <climits> "
            "(folder base/ may not include limits.h)",
            'base/into_deeper_row.h:2: include of "base/deep/deep.inc" '
            "(folder base/ may not include base/deep/)",
            "base/os_header.cpp:2: outside header <pthread.h> "
            "(folder base/ may not include pthread.h)",
            'base/upward.cpp:2: include of "top/top.h" '
            "(folder base/ may not include top/)",
            "stray/orphan.cpp:1: folder stray/ has no row in the layout table",
            "top/outside.cpp:2: outside header <lz4frame.h> "
            "(folder top/ may not include lz4frame.h)",
        ])
        self.assertIn("6 violation(s)", r.stderr)

    def test_skips_build_output_and_hidden_folders(self):
        write(self.root, "build/gen/bad.cpp", "#include <pthread.h>\n")
        write(self.root, ".cache/bad.h", "#include <pthread.h>\n")
        r = check(self.root)
        self.assertEqual((r.returncode, r.stdout), (0, ""), r.stderr)

    def test_checks_files_of_a_nested_build_folder(self):
        # Only the top-level build/ is build output.
        write(self.root, "base/build/bad.cpp", "#include <pthread.h>\n")
        r = check(self.root)
        self.assertEqual(r.returncode, 1)
        self.assertIn("base/build/bad.cpp:1: outside header <pthread.h>",
                      r.stdout)


class UnreadableTableTest(TreeTest):
    HEADER = ("| folder | what | may include | outside headers |\n"
              "|---|---|---|---|\n")
    CASES = [
        ("no layout section", "# Project\n\nNo table.\n",
         'no section "## Layout"'),
        ("no table", "## Layout\n\nText only.\n",
         'no table in section "Layout"'),
        ("missing column",
         "## Layout\n\n| folder | what |\n|---|---|\n| `base/` | x |\n",
         'the columns "folder", "may include" and "outside headers"'),
        ("short row", "## Layout\n\n" + HEADER + "| `base/` | x |\n",
         "README.md:5: 2 cells, the header has 4"),
        ("folder without slash",
         "## Layout\n\n" + HEADER + "| `base` | x | | |\n",
         "README.md:5: the folder cell must hold one `folder/`"),
        ("entry without slash",
         "## Layout\n\n" + HEADER + "| `top/` | x | `base` | |\n",
         'README.md:5: "base" in "may include" is no `folder/`'),
        ("second row for a folder",
         "## Layout\n\n" + HEADER + "| `base/` | x | | |\n"
         "| `base/` | y | `platform/` | |\n",
         "README.md:6: a second row for base/"),
    ]

    def test_rejects_a_table_it_cannot_read(self):
        for name, readme, message in self.CASES:
            with self.subTest(name):
                write(self.root, "README.md", readme)
                r = check(self.root)
                self.assertEqual((r.returncode, r.stdout), (2, ""))
                self.assertIn(message, r.stderr)

    def test_rejects_a_tree_without_readme(self):
        os.remove(os.path.join(self.root, "README.md"))
        r = check(self.root)
        self.assertEqual(r.returncode, 2)
        self.assertIn("README.md: cannot read", r.stderr)


if __name__ == "__main__":
    unittest.main()

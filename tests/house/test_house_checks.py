#!/usr/bin/env python3
"""The tree's own checks: the include layering check and the format check, each shown
to pass on a tidy made-up tree and to fail, naming the culprit, on a broken one."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
CHECK_LAYERS = os.path.join(ROOT, "scripts", "check-layers")
CHECK_FORMAT = os.path.join(ROOT, "scripts", "check-format")

TABLE = """# made-up tree
<!-- layers -->
| layer | modules | stands on |
|---|---|---|
| base | `base/*` | - |
| mid | `mid/*` | base |
| top | `top/*`, `mid/wiring` | mid |
| side | `side/*` | base |
<!-- /layers -->
"""


class Tree:
    def __init__(self, files, readme=TABLE):
        self.root = tempfile.mkdtemp(prefix="ivra-house-")
        self.write("README.md", readme)
        for path, text in files.items():
            self.write(path, text)

    def write(self, path, text):
        full = os.path.join(self.root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)

    def layers(self):
        r = subprocess.run([sys.executable, CHECK_LAYERS, "--root", self.root], capture_output=True, text=True,
                           timeout=60)
        return r.returncode, r.stdout + r.stderr

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def inc(*names):
    return "".join('#include "%s"\n' % n for n in names)


TIDY = {
    "base/a.h": "#pragma once\n",
    "base/a.cpp": inc("base/a.h"),
    "base/b.h": inc("base/a.h"),
    "mid/m.h": inc("base/b.h"),
    "mid/m.cpp": inc("mid/m.h", "base/a.h"),
    "mid/wiring.cpp": inc("top/t.h", "mid/m.h"),
    "top/t.h": inc("mid/m.h"),
    "side/s.cpp": inc("base/a.h"),
    "tests/test_t.cpp": inc("top/t.h", "side/s.h", "mid/wiring.h"),
}


class LayerCheckTest(unittest.TestCase):
    def run_tree(self, changes, readme=TABLE):
        files = dict(TIDY)
        files.update(changes)
        t = Tree(files, readme)
        self.addCleanup(t.remove)
        return t.layers()

    def test_a_tidy_tree_passes(self):
        rc, out = self.run_tree({})
        self.assertEqual(rc, 0, out)

    def test_a_cycle_between_modules_fails_with_its_path(self):
        # base/a -> base/c -> base/b -> base/a, each step through a header.
        rc, out = self.run_tree({"base/a.h": inc("base/c.h"), "base/c.h": inc("base/b.h")})
        self.assertEqual(rc, 1, out)
        self.assertIn("include cycle: base/a -> base/c -> base/b -> base/a", out)
        self.assertIn("base/c.h includes base/b.h", out)

    def test_a_cycle_through_a_header_pair_counts(self):
        # The .cpp of one module includes the other's header and vice versa: one loop.
        rc, out = self.run_tree({"mid/n.h": "#pragma once\n", "mid/n.cpp": inc("mid/n.h", "mid/m.h"),
                                 "mid/m.cpp": inc("mid/m.h", "mid/n.h")})
        self.assertEqual(rc, 1, out)
        self.assertIn("include cycle: mid/m -> mid/n -> mid/m", out)

    def test_a_cycle_among_tests_fails_too(self):
        rc, out = self.run_tree({"tests/x.h": inc("tests/y.h"), "tests/y.h": inc("tests/x.h")})
        self.assertEqual(rc, 1, out)
        self.assertIn("include cycle: tests/x -> tests/y -> tests/x", out)

    def test_an_include_up_the_table_fails(self):
        rc, out = self.run_tree({"base/b.h": inc("base/a.h", "mid/m.h")})
        self.assertEqual(rc, 1, out)
        self.assertIn("base/b.h includes mid/m.h: layer 'base' does not stand on layer 'mid'", out)

    def test_a_sideways_include_fails(self):
        rc, out = self.run_tree({"side/s.cpp": inc("base/a.h", "mid/m.h")})
        self.assertEqual(rc, 1, out)
        self.assertIn("layer 'side' does not stand on layer 'mid'", out)

    def test_an_exact_row_beats_a_folder_pattern(self):
        # mid/wiring sits on the top layer by name, so mid/m may not include it.
        rc, out = self.run_tree({"mid/m.cpp": inc("mid/m.h", "mid/wiring.h"), "mid/wiring.h": "#pragma once\n"})
        self.assertEqual(rc, 1, out)
        self.assertIn("mid/m.cpp includes mid/wiring.h: layer 'mid' does not stand on layer 'top'", out)

    def test_a_module_outside_the_table_fails(self):
        rc, out = self.run_tree({"extra/e.cpp": inc("base/a.h")})
        self.assertEqual(rc, 1, out)
        self.assertIn("module extra/e is in no layer of the table", out)

    def test_a_broken_table_is_an_error_of_its_own(self):
        rc, out = self.run_tree({}, readme="no table here\n")
        self.assertEqual(rc, 2, out)
        rc, out = self.run_tree({}, readme=TABLE.replace("| mid | `mid/*` | base |", "| mid | `mid/*` | nowhere |"))
        self.assertEqual(rc, 2, out)
        self.assertIn("'nowhere'", out)

    def test_the_real_tree_keeps_its_table(self):
        r = subprocess.run([sys.executable, CHECK_LAYERS], capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)


class FormatCheckTest(unittest.TestCase):
    def tree(self, text):
        t = Tree({"a/ok.cpp": "int ivra_ok(int x) { return x + 1; }\n", "a/b.cpp": text})
        shutil.copy(os.path.join(ROOT, ".clang-format"), t.root)
        self.addCleanup(t.remove)
        r = subprocess.run(["bash", CHECK_FORMAT, t.root], capture_output=True, text=True, timeout=120)
        return r.returncode, r.stdout + r.stderr

    def test_a_formatted_tree_passes(self):
        rc, out = self.tree("int ivra_b(int x) {\n    if (x) return 1;\n    return 0;\n}\n")
        self.assertEqual(rc, 0, out)

    def test_an_allman_brace_fails_naming_the_file(self):
        rc, out = self.tree("int ivra_b(int x)\n{\n    if (x) return 1;\n    return 0;\n}\n")
        self.assertEqual(rc, 1, out)
        self.assertIn("not formatted: a/b.cpp", out)
        self.assertNotIn("a/ok.cpp", out)

    def test_the_real_tree_is_formatted(self):
        r = subprocess.run(["bash", CHECK_FORMAT], capture_output=True, text=True, timeout=300)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)


if __name__ == "__main__":
    unittest.main()

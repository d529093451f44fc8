"""The house's size rules (scripts/check_sizes.py) hold for src/, and the check finds a breach."""

import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHECK = os.path.join(ROOT, "scripts", "check_sizes.py")


def check(root):
    return subprocess.run([sys.executable, CHECK, str(root)], capture_output=True, text=True)


def test_the_sources_keep_the_size_rules():
    result = check(os.path.join(ROOT, "src"))
    assert result.returncode == 0, result.stdout


def cpp_function(lines):
    """A C++ function `lines` lines long, from its header to its closing brace."""
    return "int f(int x) {\n" + "  x += 1;\n" * (lines - 3) + "  return x;\n}\n"


@pytest.mark.parametrize("name, text, breach", [
    ("long.py", "x = 1\n" * 601, True),
    ("edge.py", "x = 1\n" * 600, False),
    ("long_function.cpp", cpp_function(61), True),
    ("edge_function.cpp", cpp_function(60), False),
    # Braces in a comment or a string open no body.
    ("quoted.cpp", "// f() {\nconst char* s = \"g() {\";\n" + cpp_function(10), False),
], ids=lambda value: value if isinstance(value, str) and len(value) < 30 else "")
def test_a_breach_is_reported_by_file(tmp_path, name, text, breach):
    (tmp_path / name).write_text(text)
    result = check(tmp_path)
    assert (result.returncode == 1) is breach
    assert (name in result.stdout) is breach

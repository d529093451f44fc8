#!/usr/bin/env python3
"""The house's size rules for the sources under src/: no file over 600 lines, no C++ function
(or lambda, or class member defined in place) over 60 lines from its first line to its closing
brace. Prints each breach and exits 1 when there is one.

    python3 scripts/check_sizes.py [ROOT]

C++ functions are found by their braces: a body opens with '{' after a ')' (and what may follow
one: const, noexcept, override, a trailing return type, an initialiser list), outside
comments, strings and the bodies of other functions' lambdas counted with them.
"""

from __future__ import annotations

import os
import re
import sys

MAX_FILE_LINES = 600
MAX_FUNCTION_LINES = 60
SOURCES = (".cpp", ".hpp", ".h", ".py", ".pyi")
CPP = (".cpp", ".hpp", ".h")
# What opens a block that is not a function body.
CONTROL = re.compile(r"^(else\s+)?(if|for|while|switch|catch|do|else|try)\b")
TYPE_OR_NAMESPACE = re.compile(
    r"^(template\s*<.*>\s*)?(export\s+)?(inline\s+)?(namespace|class|struct|union|enum)\b"
    r"|^extern\s+\"C\"")


def strip(text: str) -> str:
    """The text with comments, strings and character literals blanked, line breaks kept."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(")" + (m.group(1) if m else "") + '"', i)
            j = n if end < 0 else end + len(m.group(1) if m else "") + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def function_spans(text: str) -> list[tuple[int, int, str]]:
    """(first line, last line, header) of each outermost function body, 1-based."""
    code = strip(text)
    spans = []
    depth = 0
    function_depth = None  # the depth of the function body being measured
    start_line = 0
    header = ""
    statement_start = 0  # index where the text before the current '{' began
    parens = 0  # a for statement's semicolons lie within its parentheses
    for i, c in enumerate(code):
        if c == "(":
            parens += 1
        elif c == ")":
            parens = max(parens - 1, 0)
        if (c == ";" and parens == 0) or c == "}":
            statement_start = i + 1
        if c == "{":
            before = code[statement_start:i]
            if function_depth is None and is_function_header(before):
                function_depth = depth
                first = statement_start + len(before) - len(before.lstrip())
                start_line = code.count("\n", 0, first) + 1
                header = " ".join(before.split())[:80]
            depth += 1
            statement_start = i + 1
        elif c == "}":
            depth -= 1
            if function_depth is not None and depth == function_depth:
                spans.append((start_line, code.count("\n", 0, i) + 1, header))
                function_depth = None
    return spans


def is_function_header(before: str) -> bool:
    text = " ".join(before.split())
    if not text or ")" not in text or CONTROL.match(text) or TYPE_OR_NAMESPACE.match(text):
        return False
    if text.startswith("#"):
        return False
    # An initialiser with braces (a table) ends with '=' or ',' or '(' before its brace.
    return not re.search(r"(=|,|\(|\breturn)\s*$", text)


def main(argv: list[str]) -> int:
    root = argv[0] if argv else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                             "src")
    breaches = []
    for folder, _, files in os.walk(root):
        for name in sorted(files):
            if not name.endswith(SOURCES):
                continue
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8") as f:
                text = f.read()
            lines = text.count("\n")
            shown = os.path.relpath(path, os.path.dirname(root))
            if lines > MAX_FILE_LINES:
                breaches.append(f"{shown}: {lines} lines (at most {MAX_FILE_LINES})")
            if name.endswith(CPP):
                for first, last, header in function_spans(text):
                    if last - first + 1 > MAX_FUNCTION_LINES:
                        breaches.append(f"{shown}:{first}: a function of {last - first + 1} "
                                        f"lines (at most {MAX_FUNCTION_LINES}): {header}")
    for breach in breaches:
        print(breach)
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""The ``--html`` option of ``python3 -m torvex run`` and ``scan``: refuse a report that could not
be written before the run, and write it after, each failure one line."""

from __future__ import annotations

import argparse
import os
from typing import Callable

from .cli_options import UserError
from .report.library import library_script

__all__ = ["check_html_out", "html_argument", "write_html"]


def html_argument(command: argparse.ArgumentParser, what: str) -> None:
    command.add_argument(
        "--html",
        dest="html_out",
        metavar="OUT.html",
        help=f"write an interactive report, one self-contained HTML file: {what} "
        "(needs the report extra)",
    )


def check_html_out(out: str) -> None:
    """ReportUnavailable without the charting library, UserError where `out` cannot be."""
    library_script()
    folder = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(folder):
        raise UserError(f"{out}: cannot write: no such directory {folder}")
    if os.path.isdir(out):
        raise UserError(f"{out}: cannot write: is a directory")


def write_html(write: Callable[[str], None], out: str) -> None:
    """`write(out)`, a report writer, with a failure to write as one line."""
    try:
        write(out)
    except OSError as e:
        raise UserError(f"{out}: cannot write: {e.strerror or e}") from None
    print(f"report written to {out}")

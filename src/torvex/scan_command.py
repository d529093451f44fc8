"""``python3 -m torvex scan PATH``: a universe on an executor, the table written, a summary."""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
from typing import Any, Callable, TextIO

from .cli_options import UserError
from .kit import Settings
from .kit.levels import decimals
from .report.command import check_html_out, write_html
from .scan import ScanTable, scan, table_format
from .scan.cluster import ClusterError

# rows shown on the terminal when the table is not written to a file
SHOWN_ROWS = 20
# exit status when the table was made but some instruments failed
SOME_FAILED = 3


def run_scan(args: argparse.Namespace, settings: Settings) -> int:
    if args.out:
        _check_out(args.out)
    if args.html_out:
        check_html_out(args.html_out)
    bar = _progress_bar(args.progress)
    try:
        table = scan(
            args.path,
            settings,
            jobs=args.jobs,
            scheduler=args.scheduler,
            dask_workers=args.dask_local,
            progress=bar[0] if bar else None,
            view=args.view,
            date_format=args.date_format,
            delimiter=args.delimiter,
            clip=args.clip,
            symbol_column=args.symbol_column,
            sort=args.sort,
            charts=bool(args.html_out),  # the workers pack the charts only for a report
        )
    except ClusterError as e:
        raise UserError(str(e)) from None
    finally:
        if bar:
            bar[1]()
    if args.out:
        try:
            table.write(args.out)
        except OSError as e:
            raise UserError(f"{args.out}: cannot write: {e.strerror or e}") from None
    print_summary(table, args.path, args.out, sys.stdout)
    if args.html_out:
        write_html(lambda out: table.to_html(out, source=args.path), args.html_out)
    return SOME_FAILED if table.failed else 0


def _check_out(out: str) -> None:
    """Refuse an output the scan could not write before it runs, not after."""
    try:
        form = table_format(out)
    except ValueError as e:
        raise UserError(f"--out {e}") from None
    if form == "parquet" and importlib.util.find_spec("pyarrow") is None:
        raise UserError(f"{out}: writing Parquet needs pyarrow (pip install 'torvex[scan]')")
    folder = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(folder):
        raise UserError(f"{out}: cannot write: no such directory {folder}")
    if os.path.isdir(out):
        raise UserError(f"{out}: cannot write: is a directory")


def _progress_bar(forced: bool) -> tuple[Callable[[int, int], None], Callable[[], None]] | None:
    if not (forced or sys.stderr.isatty()):
        return None
    try:
        from tqdm import tqdm
    except ImportError:  # the bar is a nicety of the scan extra
        return None

    bar = tqdm(unit="instrument", file=sys.stderr, desc="torvex scan")

    def update(done: int, total: int) -> None:
        bar.total = total
        bar.update(done - bar.n)

    return update, bar.close


def print_summary(table: ScanTable, path: str, out: str | None, stream: TextIO) -> None:
    w = stream.write
    count = len(table.rows)
    rate = count / max(table.seconds, 1e-9)
    w(
        f"torvex scan of {path}: {count} instruments, {table.bars:,} bars on a "
        f"{table.executor}: {table.seconds:.2f} s, {rate:,.1f} instruments/s\n"
    )
    failed = table.failed
    w(f"{count - len(failed)} ran, {len(failed)} failed; {table.view} view\n")
    for row in failed:
        w(f"  {row.symbol}: {row.error}\n")
    if out:
        w(f"table of {count} rows written to {out}\n")
        return
    digits = decimals(table.settings.mintick)
    shown = [row for row in table.rows if not row.failed][:SHOWN_ROWS]
    if not shown:
        return
    w(
        f"\n  {'symbol':<12} {'last_date':<10} {'close':>10} {'support':>10} {'piv':>3} "
        f"{'resistance':>10} {'piv':>3}  last signal\n"
    )
    for row in shown:
        signal = (
            f"{row.last_signal_date} at {row.last_signal_level:.{digits}f}"
            + (" vvip" if row.last_signal_vvip else "")
            if row.last_signal_date
            else "none"
        )
        w(
            f"  {row.symbol:<12} {row.last_date:<10} {_price(row.last_close, digits)} "
            f"{_price(row.support, digits)} {_count(row.support_pivots)} "
            f"{_price(row.resistance, digits)} {_count(row.resistance_pivots)}  {signal}\n"
        )
    rest = count - len(failed) - len(shown)
    if rest > 0:
        w(f"  ... {rest} more; --out TABLE writes them all\n")


def _price(value: Any, digits: int) -> str:
    return f"{value:>10.{digits}f}" if value is not None else f"{'-':>10}"


def _count(value: Any) -> str:
    return f"{value:>3}" if value is not None else f"{'-':>3}"

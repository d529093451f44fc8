"""``python3 -m torvex scan PATH``: a universe on an executor, the table written, a summary."""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
from typing import Any, Callable, TextIO

from .cli_html import check_html_out, write_html
from .cli_options import UserError
from .kit import Settings
from .kit.levels import decimals
from .scan import COLUMNS, ScanTable, scan, table_format
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
    if args.sort_by is not None and args.sort_by not in COLUMNS:
        raise UserError(f"--sort-by {args.sort_by}: no such column; the columns are "
                        f"{', '.join(COLUMNS)}")
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
    kept = table
    if args.near is not None:
        kept = kept.near(args.near)
    if args.sort_by is not None:
        kept = kept.sorted_by(args.sort_by, args.descending)
    if args.out:
        try:
            kept.write(args.out)
        except OSError as e:
            raise UserError(f"{args.out}: cannot write: {e.strerror or e}") from None
    print_summary(table, args.path, args.out, sys.stdout, kept, args.near)
    if args.html_out:
        write_html(lambda out: kept.to_html(out, source=args.path), args.html_out)
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

    bars: list[Any] = []  # made on the first call, which knows the total

    def update(done: int, total: int) -> None:
        if not bars:
            bars.append(tqdm(total=total, unit="instrument", file=sys.stderr, desc="torvex scan"))
        bars[0].update(done - bars[0].n)

    def close() -> None:
        if bars:
            bars[0].close()

    return update, close


def print_summary(
    table: ScanTable,
    path: str,
    out: str | None,
    stream: TextIO,
    kept: ScanTable | None = None,
    near: float | None = None,
) -> None:
    """What the scan did and the first rows of what it `kept` (the whole table unless `near`
    kept only the instruments within that many average ranges of a level, or it was sorted)."""
    w = stream.write
    kept = table if kept is None else kept
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
    clipped = sum(row.clipped or 0 for row in table.rows)
    if clipped:
        w(f"note: --clip moved open or close into low..high on {clipped:,} bars\n")
    if near is not None:
        w(f"{len(kept.rows) - len(failed)} with the close within {near:g} average ranges "
          "of a level\n")
    if out:
        w(f"table of {len(kept.rows)} rows written to {out}\n")
        return
    digits = decimals(table.settings.mintick)
    rows = [row for row in kept.rows if not row.failed]
    shown = rows[:SHOWN_ROWS]
    if not shown:
        return
    w(
        f"\n  {'symbol':<12} {'last_date':<10} {'close':>10} {'support':>10} {'piv':>3} "
        f"{'ranges':>6} {'resistance':>10} {'piv':>3} {'ranges':>6}  last signal\n"
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
            f"{_ranges(row.support_distance_ranges)} "
            f"{_price(row.resistance, digits)} {_count(row.resistance_pivots)} "
            f"{_ranges(row.resistance_distance_ranges)}  {signal}\n"
        )
    rest = len(rows) - len(shown)
    if rest > 0:
        w(f"  ... {rest} more; --out TABLE writes them all\n")
    w("  (ranges: the close's distance from the level in average bar ranges)\n")


def _price(value: Any, digits: int) -> str:
    return f"{value:>10.{digits}f}" if value is not None else f"{'-':>10}"


def _ranges(value: Any) -> str:
    return f"{value:>6.2f}" if value is not None else f"{'-':>6}"


def _count(value: Any) -> str:
    return f"{value:>3}" if value is not None else f"{'-':>3}"

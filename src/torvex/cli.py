"""Command line: ``python3 -m torvex run [BARS_FILE]``, ``python3 -m torvex scan PATH`` and
``python3 -m torvex settings``.

User mistakes (bad bar files, unknown settings, unparsable values, unwritable outputs) end with
one line on stderr and exit status 1; command-line misuse is argparse's, exit status 2.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Sequence, TextIO

from .cli_html import check_html_out, html_argument, write_html
from .cli_options import (
    PROG,
    UserError,
    bar_arguments,
    bar_options_from,
    settings_arguments,
    settings_from,
)
from .kit import (
    Bars,
    BarsError,
    RunResult,
    Settings,
    SettingsError,
    run,
    sample_bars,
)
from .kit.bars import read_bars
from .kit.driver import ENGINES
from .kit.indicators import bars_for_a_pivot
from .kit.levels import decimals, round_to_tick
from .kit.plot import PlotUnavailable
from .kit.results import VIEWS
from .kit.plot import require as require_plot
from .kit.settings import ENGINE_SETTINGS, KIT_SETTINGS, WINDOW_SETTINGS, describe
from .report.library import ReportUnavailable
from .scan import BAR_SUFFIXES
from .scan.table import FORMATS
from .scan_command import run_scan

# inputs at least this long get a progress bar on a terminal
PROGRESS_MIN_BARS = 5000


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="torvex support-and-resistance engine, run from the command line.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run_cmd = commands.add_parser(
        "run",
        help="run the engine over OHLC bars and summarise lines, signals and failures",
        description=(
            "Run one engine bar by bar over OHLC bars and print the lines at the end, every "
            "signal and the failed recoveries by reason. Without BARS_FILE the embedded data "
            "set is used: 2500 synthetic daily bars (a seeded random walk, not market data)."
        ),
    )
    run_cmd.add_argument(
        "bars_file",
        nargs="?",
        metavar="BARS_FILE",
        help="CSV with Date, Open, High, Low, Close columns (any case, other columns ignored; "
        "the date may be named Datetime, Timestamp or Time), .npz holding a structured array "
        "with those fields, or Parquet",
    )
    settings_arguments(run_cmd)
    _view_argument(run_cmd)
    bar_arguments(run_cmd)
    run_cmd.add_argument(
        "--engine",
        choices=ENGINES,
        default="auto",
        help="object model: native (fast), python (the host classes, bar by bar) or auto (native "
        "unless a host module of a project's own is in use; the default)",
    )
    run_cmd.add_argument(
        "--json",
        dest="json_out",
        metavar="OUT",
        help="write the full result as JSON to OUT ('-' for stdout, which replaces the summary)",
    )
    run_cmd.add_argument(
        "--plot",
        dest="plot_out",
        metavar="OUT.png",
        help="draw candles, the final lines and the signals (needs matplotlib)",
    )
    html_argument(run_cmd, "candles, the final lines, pivots and signals")
    run_cmd.add_argument(
        "--plot-bars",
        type=int,
        metavar="N",
        help="bars shown in the chart (default: from the first line or signal to the end)",
    )
    run_cmd.add_argument(
        "--progress",
        action="store_true",
        help="show a progress bar on stderr even when it is not a terminal",
    )
    scan_cmd = commands.add_parser(
        "scan",
        help="run every instrument of a universe and write one row per instrument",
        description=(
            "Run one engine per instrument, in parallel, and collect one row per instrument "
            "sorted by symbol: bars, last date and close, the nearest support and resistance "
            "lines around the last close with their pivot counts, the last signal, the counts "
            "of lines, signals and failed recoveries, the seconds it took and its error (empty "
            "when it succeeded). An instrument that fails is one row with its error; the scan "
            "goes on."
        ),
        epilog=(
            "Exit status: 0 when every instrument ran, 3 when the table was made but some "
            "instruments failed, 1 on a mistake that stopped the scan, 2 on misuse."
        ),
    )
    scan_cmd.add_argument(
        "path",
        metavar="PATH",
        help=f"a directory of bar files ({', '.join(BAR_SUFFIXES)}), one instrument per file "
        "named by its stem; or one table (CSV or Parquet) with a symbol column",
    )
    scan_cmd.add_argument(
        "--out",
        metavar="TABLE",
        help="write the table to TABLE: CSV, Parquet or JSON records by its suffix "
        f"({', '.join(FORMATS)})",
    )
    html_argument(scan_cmd, "the table, each row drawing its instrument's chart when clicked")
    settings_arguments(scan_cmd)
    _view_argument(scan_cmd)
    bar_arguments(scan_cmd)
    scan_cmd.add_argument(
        "--symbol-column",
        default="symbol",
        metavar="NAME",
        help="a long table's symbol column (default: symbol, any letter case)",
    )
    scan_cmd.add_argument(
        "--sort",
        action="store_true",
        help="order each symbol's rows of a long table by date (they must be in order else)",
    )
    scan_cmd.add_argument(
        "--near",
        type=_ranges,
        metavar="K",
        help="keep only the instruments whose last close lies within K average bar ranges of "
        "its support or resistance (failed ones stay)",
    )
    scan_cmd.add_argument(
        "--sort-by",
        metavar="COLUMN",
        help="order the rows by COLUMN, empty cells last (default: by symbol)",
    )
    scan_cmd.add_argument(
        "--descending", action="store_true", help="with --sort-by: largest first"
    )
    where = scan_cmd.add_mutually_exclusive_group()
    where.add_argument(
        "--jobs",
        type=_positive,
        metavar="N",
        help="worker processes of the local pool (default: the number of cores)",
    )
    where.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on the running Dask cluster whose scheduler is at ADDRESS "
        "(e.g. tcp://10.0.0.5:8786); its workers need torvex installed",
    )
    where.add_argument(
        "--dask-local",
        type=_positive,
        metavar="N",
        help="start a Dask cluster of N worker processes on this machine (loopback only)",
    )
    scan_cmd.add_argument(
        "--progress",
        action="store_true",
        help="show a progress bar on stderr even when it is not a terminal",
    )
    commands.add_parser(
        "settings",
        help="list every setting with its default and meaning",
        description="List every setting with its default and meaning.",
    )
    return parser


def _view_argument(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--view",
        choices=VIEWS,
        default="end",
        help="end: the data as of its last bar (the default); live: every bar as a live host "
        "saw it, the data ending at that bar, so no result depends on a later bar",
    )


def _ranges(text: str) -> float:
    try:
        number = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not number >= 0:
        raise argparse.ArgumentTypeError(f"{text} is not 0 or more")
    return number


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if number < 1:
        raise argparse.ArgumentTypeError(f"{text} is not at least 1")
    return number


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        code = _command(args)
        sys.stdout.flush()  # a reader that went away shows here, not in the exit's flush
        return code
    except (UserError, BarsError, SettingsError, PlotUnavailable, ReportUnavailable) as e:
        print(f"torvex: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("torvex: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # the reader went away (`| head`): it has what it wanted, so stop quietly and
        # successfully, as `cat` would, and keep the interpreter's own exit flush quiet too
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


def _command(args: argparse.Namespace) -> int:
    if args.command == "settings":
        _print_settings(sys.stdout)
        return 0
    if args.command == "scan":
        return run_scan(args, settings_from(args))
    return _run(args)


def _run(args: argparse.Namespace) -> int:
    settings = settings_from(args)
    if args.plot_bars is not None and args.plot_bars < 2:
        raise UserError("--plot-bars: needs at least 2 bars")
    plot = None
    if args.plot_out:
        plot = require_plot()  # fail before the run when matplotlib is missing
    if args.html_out:
        check_html_out(args.html_out)
    options = bar_options_from(args)
    bars = read_bars(args.bars_file, options) if args.bars_file else sample_bars()

    show_progress = args.progress or (sys.stderr.isatty() and len(bars) >= PROGRESS_MIN_BARS)
    bar = ProgressBar(sys.stderr) if show_progress else None
    result = run(
        bars, settings, progress=bar.update if bar else None, engine=args.engine, view=args.view
    )
    if bar:
        bar.close()

    if args.json_out:
        _write_json(result, args.json_out)
    if args.json_out != "-":
        print_summary(result, sys.stdout)
    if plot is not None:
        try:
            plot(result, args.plot_out, bars_shown=args.plot_bars)
        except OSError as e:
            raise UserError(f"{args.plot_out}: cannot write: {e.strerror or e}") from None
        print(f"chart written to {args.plot_out}")
    if args.html_out:
        write_html(result.to_html, args.html_out)
    return 0


def _write_json(result: RunResult, out: str) -> None:
    text = json.dumps(result.to_dict(), indent=1, allow_nan=False)
    if out == "-":
        sys.stdout.write(text + "\n")
        return
    try:
        with open(out, "w", encoding="utf-8") as f:
            f.write(text + "\n")
    except OSError as e:
        raise UserError(f"{out}: cannot write: {e.strerror or e}") from None


class ProgressBar:
    """A one-line bar redrawn in place on a stream."""

    WIDTH = 30

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.shown = -1

    def update(self, done: int, total: int) -> None:
        percent = done * 100 // max(total, 1)
        if percent == self.shown:
            return
        self.shown = percent
        filled = self.WIDTH * done // max(total, 1)
        self.stream.write(
            f"\rtorvex: [{'#' * filled}{'.' * (self.WIDTH - filled)}] {percent:3d}% "
            f"{done}/{total} bars"
        )
        self.stream.flush()

    def close(self) -> None:
        if self.shown >= 0:
            self.stream.write("\n")
            self.stream.flush()


def _yes(flag: bool) -> str:
    return "yes" if flag else "no"


def print_summary(result: RunResult, out: TextIO) -> None:
    bars: Bars = result.bars
    count = len(bars)
    w = out.write
    w(
        f"torvex run on {bars.source}: {count} bars, {bars.dates[0]} .. {bars.dates[-1]}, "
        f"last close {bars.close[-1]:.{_decimals(result)}f}\n"
    )
    vvip = sum(signal.vvip for signal in result.signals)
    w(
        f"pivots taken {len(result.pivots)}, lines {len(result.lines)}, signals "
        f"{len(result.signals)} ({vvip} vvip), failed recoveries {len(result.failures)}; "
        f"{result.seconds:.2f} s, {count / max(result.seconds, 1e-9):,.0f} bars/s on the "
        f"{result.engine} model, {result.view} view\n"
    )
    if not result.settings.draw_from_recent:
        w("note: draw_from_recent is off, so lines are built on every bar from all pivots\n")
    if result.view == "live":
        w(
            "live view: each signal as a live host had it on its bar, with the data ending "
            "there; the lines as they stand at the last bar\n"
        )
    if bars.clipped:
        w(f"note: --clip moved open or close into low..high on {bars.clipped} bars\n")
    needed = bars_for_a_pivot(result.settings)
    if count < needed:
        w(f"note: {count} bars are too few for any pivot: these settings need at least {needed}\n")

    digits = _decimals(result)
    tick = result.settings.mintick
    lines = sorted(result.lines, key=lambda line: -line.level)
    w(f"\nLines at the last bar ({len(lines)}), highest first:\n")
    if lines:
        w(f"  {'level':>10}  {'pivots':>6}  {'span':<37}  {'crossings':>9}  violated\n")
        for line in lines:
            span = f"{line.start_date} .. {line.end_date} ({line.start_bar}-{line.end_bar})"
            w(
                f"  {round_to_tick(line.level, tick):>10.{digits}f}  {len(line.pivots):>6}  "
                f"{span:<37}  "
                f"{line.crossings:>9}  {_yes(line.violated)}\n"
            )
    else:
        w("  none\n")

    w(f"\nSignals ({len(result.signals)}):\n")
    if result.signals:
        w(f"  {'bar':>6}  {'date':<10}  {'level':>10}  vvip\n")
        for signal in result.signals:
            w(
                f"  {signal.bar:>6}  {signal.date:<10}  "
                f"{round_to_tick(signal.level, tick):>10.{digits}f}  "
                f"{_yes(signal.vvip)}\n"
            )
    else:
        w("  none\n")

    w(f"\nFailed recoveries ({len(result.failures)}) by reason (one failure may have several):\n")
    for reason, number in result.failure_counts().items():
        w(f"  {reason:<26} {number:>5}\n")


def _decimals(result: RunResult) -> int:
    return decimals(result.settings.mintick)


def _print_settings(out: TextIO) -> None:
    defaults = Settings()
    groups = (
        ("Read by the engine", ENGINE_SETTINGS),
        ("Window thresholds, passed on every bar", WINDOW_SETTINGS),
        ("The kit's own", KIT_SETTINGS),
    )
    for title, names in groups:
        out.write(f"{title}:\n")
        for name in names:
            out.write(f"  {name} = {getattr(defaults, name)!r}\n      {describe(name)}\n")
        out.write("\n")


def _entry() -> None:  # pragma: no cover - console entry point
    sys.exit(main())


if __name__ == "__main__":  # pragma: no cover
    _entry()

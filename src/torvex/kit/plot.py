"""Chart of a run: candles, the final lines with their spans, the pivots and the signals, each
signal on the bar where it happened. The title names the run's view.

Needs matplotlib (the package's optional ``plot`` extra); `require` says so in one line.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Callable

import numpy as np

from .bar_zones import zone_name
from .levels import decimals, round_to_tick

if TYPE_CHECKING:
    from .results import RunResult

__all__ = ["PlotUnavailable", "decimals", "plot_result", "require", "tick_labels"]

UP, DOWN = "#26a69a", "#ef5350"
LINE, LINE_VIOLATED = "#1f4e9c", "#9e9e9e"
SIGNAL, SIGNAL_VVIP = "#ff9800", "#8e24aa"


class PlotUnavailable(Exception):
    """matplotlib is not installed."""


def require() -> Callable[..., None]:
    """`plot_result`, or PlotUnavailable when matplotlib cannot be imported."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise PlotUnavailable(
            "--plot needs matplotlib; install it with: pip install 'torvex[plot]'"
        ) from None
    return plot_result


def tick_labels(texts: list[str]) -> list[str]:
    """Time-axis labels from the bars' date texts (local, as the source showed them): the
    date for daily bars; for intraday bars the time of day, with the date under it where the
    day changes from the label before."""
    if all(len(text) == 10 for text in texts):
        return texts
    labels, day = [], ""
    for text in texts:
        clock = text[11:16] if len(text) > 10 else "00:00"
        labels.append(clock if text[:10] == day else f"{clock}\n{text[:10]}")
        day = text[:10]
    return labels


def _spread(levels: list[float], gap: float, top: float) -> list[float]:
    """Label heights for ascending `levels`: each at its level unless that would put it closer
    than `gap` to the label below; the stack is pushed down again where it passes `top`."""
    heights: list[float] = []
    for level in levels:
        heights.append(level if not heights else max(level, heights[-1] + gap))
    ceiling = top
    for i in range(len(heights) - 1, -1, -1):
        heights[i] = min(heights[i], ceiling)
        ceiling = heights[i] - gap
    return heights


def _window(result: RunResult, bars_shown: int | None) -> int:
    """First bar shown: enough to see every line's span and every signal (in the live view,
    spread over the whole history), at least 120 bars."""
    count = len(result.bars)
    if bars_shown is not None:
        return max(0, count - bars_shown)
    starts = [line.start_bar for line in result.lines]
    starts += [signal.break_bar for signal in result.signals]
    starts += [pivot.bar for pivot in result.pivots]
    first = min(starts) - 20 if starts else count - 250
    return max(0, min(first, count - 120))


def plot_result(
    result: RunResult, path: str | os.PathLike[str], bars_shown: int | None = None
) -> None:
    """Write the chart of `result` to `path` (the format follows the file name)."""
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.transforms import blended_transform_factory

    bars = result.bars
    first = _window(result, bars_shown)
    last = len(bars) - 1
    x = np.arange(first, last + 1)
    o, h, lo, c = (a[first:] for a in (bars.open, bars.high, bars.low, bars.close))

    fig = Figure(figsize=(14, 7), dpi=110, layout="constrained")
    ax = fig.add_subplot()
    up = c >= o
    colours = np.where(up, UP, DOWN).tolist()
    ax.vlines(x, lo, h, colors=colours, linewidth=0.7, zorder=2)
    body_low = np.minimum(o, c)
    body_height = np.maximum(np.abs(c - o), (h.max() - lo.min()) * 0.0008)
    ax.bar(x, body_height, bottom=body_low, width=0.7, color=colours, linewidth=0, zorder=3)

    price_span = float(h.max() - lo.min())
    digits = decimals(result.settings.mintick)
    labels: list[tuple[float, str, str]] = []
    for line in sorted(result.lines, key=lambda line: line.level):
        if line.reach < first:
            continue
        colour = LINE_VIOLATED if line.violated else LINE
        start = max(line.start_bar, first)
        ax.hlines(line.level, start, line.end_bar, colors=colour, linewidth=2.2, zorder=4)
        # a line holds beyond its pivots until it is violated; a violated one ends where the
        # last tolerated crossing was
        end = line.reach if line.violated else last
        ax.hlines(
            line.level,
            line.end_bar,
            end,
            colors=colour,
            linewidth=1.1,
            linestyles=(0, (4, 3)),
            zorder=4,
        )
        shown = round_to_tick(line.level, result.settings.mintick)
        labels.append((line.level, f"{shown:.{digits}f} ({len(line.pivots)})", colour))

    bottom, top = lo.min() - price_span * 0.07, h.max() + price_span * 0.04
    for y, (_, text, colour) in zip(
        _spread([lv for lv, _, _ in labels], price_span * 0.028, top), labels, strict=True
    ):
        # labels sit just outside the right edge, where the layout makes room for them
        ax.text(
            1.005,
            y,
            text,
            va="center",
            fontsize=8,
            color=colour,
            clip_on=False,
            transform=blended_transform_factory(ax.transAxes, ax.transData),
        )

    for pivot in result.pivots:
        if pivot.bar >= first:
            offset = price_span * 0.012 * (1 if pivot.is_high else -1)
            ax.plot(
                pivot.bar,
                pivot.price + offset,
                marker="v" if pivot.is_high else "^",
                markersize=4,
                color="#455a64",
                alpha=0.7,
                zorder=5,
                linestyle="none",
            )

    for signal in result.signals:
        if signal.bar < first:
            continue
        colour = SIGNAL_VVIP if signal.vvip else SIGNAL
        low = float(bars.low[signal.bar])
        ax.plot(
            signal.bar,
            low - price_span * 0.035,
            marker="^",
            markersize=11,
            color=colour,
            markeredgecolor="black",
            markeredgewidth=0.6,
            zorder=6,
            linestyle="none",
        )
        ax.plot(
            [signal.break_bar, signal.bar],
            [signal.level, signal.level],
            color=colour,
            linewidth=2.5,
            alpha=0.8,
            zorder=5,
        )

    ax.set_xlim(first - 1, last + 1)
    ax.set_ylim(bottom, top)
    ax.grid(True, color="#e0e0e0", linewidth=0.6, zorder=0)
    ax.set_axisbelow(True)
    ticks = np.linspace(first, last, num=min(10, last - first + 1)).round().astype(int)
    ax.set_xticks(ticks)
    ax.set_xticklabels(tick_labels([bars.dates[t] for t in ticks]), rotation=0, fontsize=8)
    zone = getattr(bars.dates, "zone", None)
    if zone is not None:
        ax.set_xlabel(f"local time ({zone_name(zone)})", fontsize=8)
    ax.tick_params(axis="y", labelsize=8)
    ax.set_ylabel("price")
    vvip = sum(signal.vvip for signal in result.signals if signal.bar >= first)
    shown = sum(1 for signal in result.signals if signal.bar >= first)
    # in the live view a rebuild makes new line objects, so only the lines standing at the last
    # bar can be drawn; the signals are each where it happened, on lines since rebuilt
    standing = " standing at the last bar" if result.view == "live" else ""
    ax.set_title(
        f"{bars.source}, {result.view} view: {len(result.lines)} lines{standing}, {shown} "
        f"signals ({vvip} vvip), bars {first}-{last}",
        fontsize=11,
    )

    def key(label: str, color: str, **style: Any) -> Any:
        return Line2D([], [], color=color, label=label, **style)

    def marker(label: str, color: str, shape: str, size: float, **style: Any) -> Any:
        return key(label, color, marker=shape, linestyle="none", markersize=size, **style)

    legend: list[Any] = [
        key("line: pivot span", LINE, linewidth=2.2),
        key("line: holding since", LINE, linewidth=1.1, linestyle=(0, (4, 3))),
        key("violated line", LINE_VIOLATED, linewidth=2.2),
        marker("pivot taken", "#455a64", "v", 5),
        marker("signal", SIGNAL, "^", 9, markeredgecolor="black"),
        marker("vvip signal", SIGNAL_VVIP, "^", 9, markeredgecolor="black"),
    ]
    fig.legend(
        handles=legend, loc="outside lower center", ncols=len(legend), fontsize=8, frameon=False
    )
    fig.savefig(path)

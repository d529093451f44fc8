"""Which instruments a scan runs: the bar files of a directory (one instrument per file, named
by its stem), the symbols of one long table (CSV or Parquet with a symbol column), or bars
already in memory."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any, Union

from torvex.kit import Bars, BarsError
from torvex.kit.bar_symbols import SYMBOL, read_symbols
from torvex.kit.bars import BarOptions

from .work import Instrument

__all__ = ["BAR_SUFFIXES", "TABLE_SUFFIXES", "Universe", "instruments"]

BAR_SUFFIXES = (".csv", ".npz", ".parquet", ".pq")
TABLE_SUFFIXES = (".csv", ".parquet", ".pq")

Universe = Union[str, "os.PathLike[str]", Mapping[str, Any]]


def instruments(
    universe: Universe,
    options: BarOptions = BarOptions(),
    symbol_column: str = SYMBOL,
    sort: bool = False,
) -> list[Instrument]:
    """The instruments in symbol order. A symbol whose bars cannot be had carries its error.
    `options` say how to read every instrument's bars; `symbol_column` and `sort` how to split
    a long table."""
    if isinstance(universe, Mapping):
        return [
            Instrument(str(symbol), bars=bars, options=options)
            for symbol, bars in sorted(universe.items())
        ]
    path = os.path.abspath(os.fspath(universe))
    if os.path.isdir(path):
        return _directory(path, options)
    if not os.path.exists(path):
        raise BarsError(f"{os.fspath(universe)}: no such file or directory")
    if not path.lower().endswith(TABLE_SUFFIXES):
        raise BarsError(
            f"{os.fspath(universe)}: neither a directory of bar files nor a table "
            f"({', '.join(TABLE_SUFFIXES)}) with a symbol column"
        )
    split = read_symbols(path, symbol_column, sort, options)
    return [
        Instrument(symbol, bars=got) if isinstance(got, Bars) else Instrument(symbol, error=str(got))
        for symbol, got in split.items()
    ]


def _directory(path: str, options: BarOptions) -> list[Instrument]:
    files: dict[str, list[str]] = {}
    try:
        names = sorted(os.listdir(path))
    except OSError as e:
        raise BarsError(f"{path}: cannot list: {e.strerror or e}") from None
    for name in names:
        stem, suffix = os.path.splitext(name)
        full = os.path.join(path, name)
        if name.startswith(".") or suffix.lower() not in BAR_SUFFIXES or os.path.isdir(full):
            continue
        files.setdefault(stem, []).append(full)
    if not files:
        raise BarsError(f"{path}: no bar files ({', '.join(BAR_SUFFIXES)})")
    found = []
    for symbol, paths in sorted(files.items()):
        if len(paths) > 1:
            shown = ", ".join(os.path.basename(p) for p in paths)
            found.append(Instrument(symbol, error=f"{symbol}: several bar files ({shown})"))
        else:
            found.append(Instrument(symbol, path=paths[0], options=options))
    return found

"""What the commands of ``python3 -m torvex`` share: the one-line user error, the options
that make the settings and those that say how to read bars."""

from __future__ import annotations

import argparse
from typing import Any

from .kit import Settings, SettingsError
from .kit.bars import BarOptions
from .kit.settings import load_settings_file, parse_assignment

__all__ = [
    "PROG",
    "UserError",
    "bar_arguments",
    "bar_options_from",
    "settings_arguments",
    "settings_from",
]

PROG = "python3 -m torvex"


class UserError(Exception):
    """A mistake in the input; printed as one line."""


def settings_arguments(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--set",
        dest="assignments",
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help=f"override one setting (repeatable; `{PROG} settings` lists them)",
    )
    command.add_argument(
        "--settings",
        dest="settings_file",
        metavar="FILE",
        help="overrides from a JSON object or name=value lines; --set wins over it",
    )


def settings_from(args: argparse.Namespace) -> Settings:
    """The settings that --settings and --set make, --set winning."""
    values: dict[str, Any] = {}
    if args.settings_file:
        values.update(load_settings_file(args.settings_file))
    for text in args.assignments:
        try:
            name, value = parse_assignment(text)
        except SettingsError as e:
            raise SettingsError(f"--set {text}: {e}") from None
        values[name] = value
    return Settings.from_mapping(values)


def bar_arguments(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--date-format",
        metavar="FORMAT",
        help="strptime format of dates that are not ISO 8601, e.g. %%m/%%d/%%Y or %%d.%%m.%%Y "
        "(never guessed)",
    )
    command.add_argument(
        "--delimiter",
        type=_delimiter,
        metavar="CHAR",
        help="CSV delimiter, one character or 'tab' (default: whichever of , ; tab | makes "
        "the header's columns)",
    )
    command.add_argument(
        "--clip",
        action="store_true",
        help="move open and close into low..high where a bar has them outside it (such bars "
        "are refused otherwise) and say how many bars changed",
    )


def bar_options_from(args: argparse.Namespace) -> BarOptions:
    return BarOptions(date_format=args.date_format, delimiter=args.delimiter, clip=args.clip)


def _delimiter(text: str) -> str:
    named = {"tab": "\t", "\\t": "\t"}.get(text.lower(), text)
    if len(named) != 1 or named in "\r\n\"":
        raise argparse.ArgumentTypeError(f"{text!r} is not one character (or 'tab')")
    return named

"""What the commands of ``python3 -m torvex`` share: the one-line user error, and the options
that make the settings."""

from __future__ import annotations

import argparse
from typing import Any

from .kit import Settings, SettingsError
from .kit.settings import load_settings_file, parse_assignment

__all__ = ["PROG", "UserError", "settings_arguments", "settings_from"]

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

"""Command-line arguments that need more than argparse's checks."""

from __future__ import annotations

from .target_text import TargetTextError, parse_target


class CommandError(Exception):
    """A problem with the user's input or folders, reported as one line and exit status 2."""


def positive_threshold(value: float) -> float:
    if not value > 0 or value == float("inf"):
        raise CommandError(f"--threshold must be a positive number of pixels, got '{value:g}'")
    return value


def target_argument(text: str):
    try:
        return parse_target(text)
    except TargetTextError as error:
        raise CommandError(f"--target: {error}") from None


def subset_sizes(text: str) -> list[int]:
    try:
        sizes = [int(part) for part in text.split(",")]
    except ValueError:
        sizes = []
    if not sizes or min(sizes) < 2:
        raise CommandError(f"--subsets must be camera counts of at least 2 separated by commas, got '{text}'")
    return sizes

"""Targets written as one short argument, e.g. chessboard:9x6:0.025 or charuco:10x8:0.03:0.022:DICT_4X4_50."""

from __future__ import annotations

import _vantel

FORMS = {
    "chessboard": "chessboard:COLSxROWS:SQUARE (inner corners, metres)",
    "charuco": "charuco:SQUARESXxSQUARESY:SQUARE:MARKER:DICTIONARY",
    "aruco": "aruco:MARKERSXxMARKERSY:MARKER:SEPARATION:DICTIONARY",
}
LONGEST_LENGTH_M = 1.0


class TargetTextError(ValueError):
    """A target argument that cannot be read; the message names the part that is wrong."""


def _grid(text: str, part: str) -> tuple[int, int]:
    pieces = text.lower().split("x")
    if len(pieces) != 2 or not all(p.isdigit() for p in pieces) or min(int(p) for p in pieces) < 1:
        raise TargetTextError(f"{part} must be two positive whole numbers like 9x6, got '{text}'")
    return int(pieces[0]), int(pieces[1])


def _length(text: str, part: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not value > 0 or value == float("inf"):
        raise TargetTextError(f"{part} must be a positive length in metres, got '{text}'")
    if value > LONGEST_LENGTH_M:
        # Millimetres typed where metres belong: 25 for a 25 mm square.
        raise TargetTextError(f"{part} {text} is longer than 1 m: lengths are in metres "
                              f"({text} mm is {value / 1000:g})")
    return value


def _dictionary(text: str) -> int:
    known = _vantel.aruco_dictionary_id_map()
    if text not in known:
        raise TargetTextError(f"dictionary must be one of {', '.join(sorted(known))}, got '{text}'")
    return known[text]


def parse_target(text: str):
    """The `_vantel` target an argument describes; TargetTextError when it describes none."""
    kind, _, rest = text.partition(":")
    if kind not in FORMS:
        raise TargetTextError(f"target kind must be chessboard, charuco or aruco, got '{kind}'")
    parts = rest.split(":") if rest else []
    expected = FORMS[kind].count(":")
    if len(parts) != expected:
        raise TargetTextError(f"a {kind} target is {FORMS[kind]}, got '{text}'")
    if kind == "chessboard":
        return _vantel.ChessboardTarget(_grid(parts[0], "corner grid"), _length(parts[1], "square size"))
    size = _grid(parts[0], "square grid" if kind == "charuco" else "marker grid")
    first = _length(parts[1], "square size" if kind == "charuco" else "marker size")
    second = _length(parts[2], "marker size" if kind == "charuco" else "marker separation")
    dictionary = _dictionary(parts[3])
    if kind == "charuco":
        if second >= first:
            raise TargetTextError(f"marker size must be smaller than the square size, got '{parts[2]}'")
        return _vantel.CharucoTarget(size[0], size[1], first, second, dictionary)
    return _vantel.ArucoTarget(size, first, second, dictionary)

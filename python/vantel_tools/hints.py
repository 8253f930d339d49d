"""One-line hints naming the likely cause when the target is found in too few images."""

from __future__ import annotations

from collections import Counter

import cv2

import _vantel

# A few images are enough to tell a dictionary or a board apart.
SAMPLE_IMAGES = 3
ENOUGH_MARKERS = 4


def _size_text(image) -> str:
    return f"{image.shape[1]}x{image.shape[0]}"


def mixed_sizes_hint(images, names) -> str | None:
    sizes = Counter(_size_text(image) for image in images)
    if len(sizes) < 2:
        return None
    common = sizes.most_common(1)[0][0]
    others = [name for image, name in zip(images, names) if _size_text(image) != common]
    shown = ", ".join(others[:5]) + (", ..." if len(others) > 5 else "")
    return (f"hint: the images have {len(sizes)} sizes ({common} in {sizes[common]} images; other sizes: {shown}); "
            f"a folder must hold the images of one camera")


def _chessboard_hint(target) -> str:
    columns, rows = target.size
    return (f"hint: a chessboard's size counts inner corners, not squares: {columns}x{rows} is a board of "
            f"{columns + 1}x{rows + 1} squares; a board of {columns}x{rows} squares is "
            f"chessboard:{columns - 1}x{rows - 1}:{target.square_size:g}")


def _markers_by_dictionary(images) -> dict[str, int]:
    """How many markers of each predefined dictionary the sample images show."""
    counts = {}
    for name, dictionary_id in _vantel.aruco_dictionary_id_map().items():
        if not hasattr(cv2.aruco, name):
            continue
        detector = cv2.aruco.ArucoDetector(cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, name)))
        counts[name] = sum(len(detector.detectMarkers(image)[0]) for image in images)
    return counts


def _dictionary_name(dictionary_id: int) -> str:
    return next(name for name, number in _vantel.aruco_dictionary_id_map().items() if number == dictionary_id)


def _found_with(target, images) -> int:
    detections = _vantel.IntrinsicCalibrator(target).find_corners(images)
    return len(detections.successful_indices)


def _marker_board_hint(target, images) -> str:
    sample = [cv2.cvtColor(image, cv2.COLOR_BGR2GRAY) if image.ndim == 3 else image for image in images]
    counts = _markers_by_dictionary(sample)
    wanted = _dictionary_name(target.aruco_dict_id)
    best = max(counts, key=lambda name: (counts[name], name == wanted), default=wanted)
    if counts.get(best, 0) < ENOUGH_MARKERS:
        return ("hint: no markers of any dictionary were found: check that the board is in focus and not printed "
                "inverted (white markers on black)")
    if counts.get(wanted, 0) * 2 < counts[best] and not _same_family(best, wanted):
        # Dictionaries of one family share their first markers: all that find as many are named.
        ids = _vantel.aruco_dictionary_id_map()
        fitting = sorted((name for name, count in counts.items() if count == counts[best]), key=lambda name: ids[name])
        return (f"hint: the markers are {' or '.join(fitting)} ({counts[best]} found), not {wanted}: "
                f"check the dictionary")
    if isinstance(target, _vantel.CharucoTarget):
        transposed = _vantel.CharucoTarget(target.squares_y, target.squares_x, target.square_length,
                                           target.marker_length, target.aruco_dict_id)
        if target.squares_x != target.squares_y and _found_with(transposed, images):
            return (f"hint: the board is {target.squares_y}x{target.squares_x} squares, not "
                    f"{target.squares_x}x{target.squares_y}: swap the two counts")
        return (f"hint: {wanted} markers were found but no ChArUco corners: check the square counts "
                f"({target.squares_x}x{target.squares_y}) and the marker size")
    columns, rows = target.board_size
    return (f"hint: {wanted} markers were found but too few of a {columns}x{rows} grid: check the marker counts "
            f"and that the marker ids belong to this board")


def _same_family(first: str, second: str) -> bool:
    # DICT_4X4_50 is the start of DICT_4X4_1000: their markers are found by both.
    return first.rsplit("_", 1)[0] == second.rsplit("_", 1)[0]


def target_not_found_hint(target, images, names, found: int) -> str | None:
    """The likely cause when the target was found in too few images to calibrate."""
    sizes = mixed_sizes_hint(images, names)
    if sizes:
        return sizes
    if isinstance(target, _vantel.ChessboardTarget):
        return None if found else _chessboard_hint(target)
    step = max(1, len(images) // SAMPLE_IMAGES)
    return _marker_board_hint(target, images[::step][:SAMPLE_IMAGES])

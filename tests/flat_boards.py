"""Flat, pixel-aligned board images drawn with pip's cv2, for detection edge cases."""

import cv2
import numpy as np

MARGIN_PX = 20


def _bgr(grey):
    return cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR)


def chessboard_image(inner=(9, 6), square_px=40):
    """Inner corners (cols, rows); a white margin of one square around the board."""
    cols, rows = inner[0] + 1, inner[1] + 1
    cells = (np.add.outer(np.arange(rows), np.arange(cols)) % 2 == 0).astype(np.uint8) * 255
    board = np.kron(cells, np.ones((square_px, square_px), np.uint8))
    return _bgr(cv2.copyMakeBorder(board, square_px, square_px, square_px, square_px, cv2.BORDER_CONSTANT, value=255))


def charuco_image(squares=(5, 7), dict_id=3, keep_markers=None, size=(500, 700)):
    """A ChArUco board; markers whose id is not in keep_markers are painted white."""
    dictionary = cv2.aruco.getPredefinedDictionary(dict_id)
    board = cv2.aruco.CharucoBoard(squares, 0.04, 0.03, dictionary)
    grey = board.generateImage(size, marginSize=MARGIN_PX)
    if keep_markers is not None:
        corners, ids, _ = cv2.aruco.ArucoDetector(dictionary).detectMarkers(grey)
        for quad, marker_id in zip(corners, ids.ravel()):
            if marker_id not in keep_markers:
                polygon = np.round(quad.reshape(4, 2)).astype(np.int32)
                cv2.fillConvexPoly(grey, polygon, 255)
                cv2.polylines(grey, [polygon], True, 255, 5)
    return _bgr(grey)


def grid_image(markers=(4, 5), dict_id=0, keep_markers=None, stray_ids=()):
    """An ArUco grid board (marker 0.04, gap 0.01) with markers of stray_ids drawn beside it."""
    dictionary = cv2.aruco.getPredefinedDictionary(dict_id)
    board = cv2.aruco.GridBoard(markers, 0.04, 0.01, dictionary)
    marker_px, gap_px = 80, 20
    width = markers[0] * (marker_px + gap_px) - gap_px + 2 * MARGIN_PX
    height = markers[1] * (marker_px + gap_px) - gap_px + 2 * MARGIN_PX
    grey = board.generateImage((width, height), marginSize=MARGIN_PX)
    if keep_markers is not None:
        for marker_id in range(markers[0] * markers[1]):
            if marker_id not in keep_markers:
                row, col = divmod(marker_id, markers[0])
                x, y = MARGIN_PX + col * (marker_px + gap_px), MARGIN_PX + row * (marker_px + gap_px)
                grey[y:y + marker_px, x:x + marker_px] = 255
    strip = np.full((height, (marker_px + gap_px) * max(len(stray_ids), 1) + MARGIN_PX), 255, np.uint8)
    for k, marker_id in enumerate(stray_ids):
        y, x = MARGIN_PX, MARGIN_PX + k * (marker_px + gap_px)
        strip[y:y + marker_px, x:x + marker_px] = cv2.aruco.generateImageMarker(dictionary, marker_id, marker_px)
    return _bgr(np.hstack([grey, strip]))


def blank_image(size=(640, 480)):
    return np.full((size[1], size[0], 3), 200, np.uint8)

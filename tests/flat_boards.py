"""Flat, pixel-aligned board images drawn with pip's cv2, for detection edge cases."""

import cv2
import numpy as np

MARGIN_PX = 20


def chessboard_image(inner=(9, 6), square_px=40):
    """Inner corners (cols, rows); a white margin of one square around the board."""
    cells = (np.add.outer(np.arange(inner[1] + 1), np.arange(inner[0] + 1)) % 2 == 0).astype(np.uint8) * 255
    board = np.pad(np.kron(cells, np.ones((square_px, square_px), np.uint8)), square_px, constant_values=255)
    return cv2.cvtColor(board, cv2.COLOR_GRAY2BGR)


def charuco_image(squares=(5, 7), dict_id=3, keep_markers=None, size=(500, 700)):
    """A ChArUco board; markers whose id is not in keep_markers are painted white."""
    dictionary = cv2.aruco.getPredefinedDictionary(dict_id)
    grey = cv2.aruco.CharucoBoard(squares, 0.04, 0.03, dictionary).generateImage(size, marginSize=MARGIN_PX)
    if keep_markers is not None:
        corners, ids, _ = cv2.aruco.ArucoDetector(dictionary).detectMarkers(grey)
        for quad, marker_id in zip(corners, ids.ravel()):
            if marker_id not in keep_markers:
                polygon = np.round(quad.reshape(4, 2)).astype(np.int32)
                cv2.fillConvexPoly(grey, polygon, 255)
                cv2.polylines(grey, [polygon], True, 255, 5)
    return cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR)


def grid_image(markers=(4, 5), dict_id=0, keep_markers=None, stray_ids=()):
    """An ArUco grid board (marker 0.04, gap 0.01) with markers of stray_ids drawn beside it."""
    dictionary = cv2.aruco.getPredefinedDictionary(dict_id)
    marker_px, step = 80, 100  # 20 px between markers
    width, height = (markers[0] * step - 20 + 2 * MARGIN_PX, markers[1] * step - 20 + 2 * MARGIN_PX)
    grey = cv2.aruco.GridBoard(markers, 0.04, 0.01, dictionary).generateImage((width, height), marginSize=MARGIN_PX)
    strip = np.full((height, step * max(len(stray_ids), 1) + MARGIN_PX), 255, np.uint8)
    for k, marker_id in enumerate(stray_ids):
        x = MARGIN_PX + k * step
        strip[MARGIN_PX:MARGIN_PX + marker_px, x:x + marker_px] = cv2.aruco.generateImageMarker(dictionary, marker_id,
                                                                                                 marker_px)
    hidden = [] if keep_markers is None else [i for i in range(markers[0] * markers[1]) if i not in keep_markers]
    for marker_id in hidden:
        y, x = MARGIN_PX + marker_id // markers[0] * step, MARGIN_PX + marker_id % markers[0] * step
        grey[y:y + marker_px, x:x + marker_px] = 255
    return cv2.cvtColor(np.hstack([grey, strip]), cv2.COLOR_GRAY2BGR)

"""Calibration boards: true feature points in the board frame and a high-resolution texture.

Board frames and ids follow cv2's definitions: chessboard origin at the first inner corner,
ChArUco and grid boards as cv2.aruco.CharucoBoard / GridBoard lay them out. X runs right and Y
down on the printed sheet, so Z points away from a camera that sees the printed side.
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import cached_property

import cv2
import numpy as np


@dataclass(frozen=True)
class BoardTexture:
    """Grey texture of the whole printed sheet (board plus white quiet zone).

    `board_to_texture` maps board (X, Y, 1) in metres to cv2.remap coordinates of `image`, in
    which texture pixel (i, j) has its centre at (j, i). `outline` holds the sheet's four
    corners in the board frame (4, 3).
    """

    image: np.ndarray
    board_to_texture: np.ndarray
    outline: np.ndarray


def _texture(image: np.ndarray, pixels_per_metre: float, origin_px: float) -> BoardTexture:
    # origin_px: index of the first texture pixel whose left/top edge lies on the board origin.
    offset = origin_px - 0.5
    board_to_texture = np.array(
        [[pixels_per_metre, 0, offset], [0, pixels_per_metre, offset], [0, 0, 1]], dtype=np.float64
    )
    h, w = image.shape
    x0, y0 = -origin_px / pixels_per_metre, -origin_px / pixels_per_metre
    x1, y1 = (w - origin_px) / pixels_per_metre, (h - origin_px) / pixels_per_metre
    outline = np.array([[x0, y0, 0], [x1, y0, 0], [x1, y1, 0], [x0, y1, 0]], dtype=np.float64)
    image.setflags(write=False)
    board_to_texture.setflags(write=False)
    return BoardTexture(image, board_to_texture, outline)


def _pixel_scale(lengths: tuple[float, ...], base: float, cell_count: int, minimum_px: int) -> float:
    """Pixels per metre at which every length is a whole number of pixels and `base` spans a
    multiple of `cell_count` pixels (whole marker bits), so marker edges fall on pixel edges."""
    for base_px in range(cell_count * -(-minimum_px // cell_count), 8 * minimum_px, cell_count):
        scale = base_px / base
        if all(abs(length * scale - round(length * scale)) < 1e-6 for length in lengths):
            return scale
    raise ValueError(f"board lengths {lengths} have no common pixel grid; choose rounder lengths")


@dataclass(frozen=True)
class Chessboard:
    """`inner_cols` x `inner_rows` inner corners, squares of `square` metres; square (0, 0) is black."""

    inner_cols: int
    inner_rows: int
    square: float
    margin_squares: float = 1.0
    texture_square_px: int = 120

    @property
    def pattern_size(self) -> tuple[int, int]:
        return (self.inner_cols, self.inner_rows)

    @property
    def cell(self) -> float:
        """Edge of the pattern's repeating cell; detectors need it to stay some pixels wide."""
        return self.square

    @cached_property
    def object_points(self) -> np.ndarray:
        i, j = np.mgrid[0 : self.inner_rows, 0 : self.inner_cols]
        points = np.stack([j.ravel() * self.square, i.ravel() * self.square, np.zeros(i.size)], axis=1)
        points.setflags(write=False)
        return points

    @cached_property
    def point_ids(self) -> np.ndarray:
        return np.arange(self.inner_cols * self.inner_rows)

    @cached_property
    def texture(self) -> BoardTexture:
        px = self.texture_square_px
        margin = int(round(self.margin_squares * px))
        rows, cols = self.inner_rows + 1, self.inner_cols + 1
        parity = (np.arange(rows)[:, None] + np.arange(cols)[None, :]) % 2
        squares = np.where(parity == 0, 0, 255).astype(np.uint8)
        board = np.kron(squares, np.ones((px, px), dtype=np.uint8))
        image = cv2.copyMakeBorder(board, margin, margin, margin, margin, cv2.BORDER_CONSTANT, value=255)
        # The board origin (first inner corner) is one square in from the squares' top-left edge.
        return _texture(image, px / self.square, margin + px)


class _ArucoBoard:
    """Shared parts of the two marker boards; subclasses build `cv_board` and size the texture."""

    dict_id: int

    @property
    def dictionary(self):
        return cv2.aruco.getPredefinedDictionary(self.dict_id)

    def _render(self, pixels_per_metre: float, board_size_m: tuple[float, float], margin_m: float) -> BoardTexture:
        margin = int(round(margin_m * pixels_per_metre))
        size = tuple(int(round(s * pixels_per_metre)) + 2 * margin for s in board_size_m)
        image = self.cv_board.generateImage(size, marginSize=margin, borderBits=1)
        return _texture(image, pixels_per_metre, margin)


@dataclass(frozen=True)
class CharucoBoard(_ArucoBoard):
    """ChArUco board as cv2.aruco.CharucoBoard((squares_x, squares_y), square_length, marker_length, dictionary)."""

    squares_x: int
    squares_y: int
    square_length: float
    marker_length: float
    dict_id: int

    @property
    def cell(self) -> float:
        return self.square_length

    @cached_property
    def cv_board(self):
        return cv2.aruco.CharucoBoard(
            (self.squares_x, self.squares_y), self.square_length, self.marker_length, self.dictionary
        )

    @cached_property
    def object_points(self) -> np.ndarray:
        """Chessboard corners; row k is corner id k."""
        points = np.asarray(self.cv_board.getChessboardCorners(), dtype=np.float64).reshape(-1, 3)
        points.setflags(write=False)
        return points

    @cached_property
    def point_ids(self) -> np.ndarray:
        return np.arange(len(self.object_points))

    @cached_property
    def texture(self) -> BoardTexture:
        inset = (self.square_length - self.marker_length) / 2
        scale = _pixel_scale(
            (self.square_length, self.marker_length, inset), self.marker_length, self.dictionary.markerSize + 2, 90
        )
        size = (self.squares_x * self.square_length, self.squares_y * self.square_length)
        return self._render(scale, size, self.square_length)


@dataclass(frozen=True)
class GridBoard(_ArucoBoard):
    """ArUco grid as cv2.aruco.GridBoard((markers_x, markers_y), marker_length, marker_separation, dictionary)."""

    markers_x: int
    markers_y: int
    marker_length: float
    marker_separation: float
    dict_id: int

    @property
    def cell(self) -> float:
        return self.marker_length

    @cached_property
    def cv_board(self):
        return cv2.aruco.GridBoard(
            (self.markers_x, self.markers_y), self.marker_length, self.marker_separation, self.dictionary
        )

    @cached_property
    def marker_ids(self) -> np.ndarray:
        return np.asarray(self.cv_board.getIds(), dtype=np.int64).ravel()

    @cached_property
    def object_points(self) -> np.ndarray:
        """Four corners per marker in cv2's corner order, marker after marker as `marker_ids`."""
        points = np.asarray(self.cv_board.getObjPoints(), dtype=np.float64).reshape(-1, 3)
        points.setflags(write=False)
        return points

    @cached_property
    def point_ids(self) -> np.ndarray:
        """The marker id of each row of `object_points`."""
        return np.repeat(self.marker_ids, 4)

    @cached_property
    def texture(self) -> BoardTexture:
        scale = _pixel_scale(
            (self.marker_length, self.marker_separation), self.marker_length, self.dictionary.markerSize + 2, 120
        )
        size = (
            self.markers_x * self.marker_length + (self.markers_x - 1) * self.marker_separation,
            self.markers_y * self.marker_length + (self.markers_y - 1) * self.marker_separation,
        )
        # A quiet zone of half a marker keeps the outer markers' borders detectable.
        return self._render(scale, size, self.marker_length / 2)

"""Ray-traced rendering of a board texture as a distorted pinhole camera sees it."""

from __future__ import annotations

from dataclasses import dataclass
from functools import lru_cache

import cv2
import numpy as np

from .camera import Camera

BACKGROUND = 128.0
# Grey levels of the texture's black and white, kept off 0/255 so noise is not clipped.
DARK, LIGHT = 20.0, 235.0
DEFAULT_SUPERSAMPLE = 3


@dataclass(frozen=True, eq=False)
class View:
    """One rendered image and its ground truth.

    `image_points[k]` is cv2.projectPoints of `board.object_points[k]`; `inside[k]` is True when
    that point is on the visible side of the board, in front of the camera and within the image.
    `image` is None for views that were only posed, not rendered.
    """

    image: np.ndarray | None
    camera_T_board: np.ndarray
    image_points: np.ndarray
    point_ids: np.ndarray
    inside: np.ndarray


def faces_camera(camera_T_board: np.ndarray) -> bool:
    """True when the camera is on the printed side (board Z points away from it)."""
    return float(camera_T_board[:3, 2] @ camera_T_board[:3, 3]) > 0


def project_board(board, camera: Camera, camera_T_board: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """True image points of the board's features and the mask of those visible in the image."""
    R, t = camera_T_board[:3, :3], camera_T_board[:3, 3]
    uv, valid = camera.project(board.object_points @ R.T + t)
    inside = valid & camera.in_image(uv) & faces_camera(camera_T_board)
    return uv, inside


@lru_cache(maxsize=8)
def ray_grid(camera: Camera, supersample: int) -> np.ndarray:
    """Undistorted normalised (x, y) of every sub-sample, (h*n, w*n, 2) float32; pose-independent."""
    w, h = camera.size
    n = supersample
    u, v = np.meshgrid(np.arange(w, dtype=np.float64), np.arange(h, dtype=np.float64))
    centres = camera.pixels_to_normalised(np.stack([u.ravel(), v.ravel()], axis=1)).reshape(h, w, 2)
    # A first-order step from the pixel centre is within ~1e-7 of each sub-sample's ray, so one
    # Newton iteration finishes it: much faster than undistorting every sub-sample from scratch.
    d_dv, d_du = np.gradient(centres, axis=(0, 1))
    grid = np.empty((h * n, w * n, 2), dtype=np.float32)
    offsets = (np.arange(n) + 0.5) / n - 0.5
    for row, dv in enumerate(offsets):
        for col, du in enumerate(offsets):
            guess = centres + du * d_du + dv * d_dv
            uv = np.stack([u.ravel() + du, v.ravel() + dv], axis=1)
            rays = camera.pixels_to_normalised(uv, initial=guess.reshape(-1, 2))
            grid[row::n, col::n] = rays.reshape(h, w, 2)
    grid.setflags(write=False)
    return grid


def displacement_field(camera: Camera, std_px: float, correlation_px: float, rng, supersample: int = 1) -> np.ndarray:
    """Smooth random displacement in pixels, each component with standard deviation `std_px`,
    sampled on the (h*n, w*n, 2) sub-sample grid."""
    w, h = camera.size
    # The field is smooth over `correlation_px`, so draw it on a coarser grid and interpolate.
    step = max(1, int(correlation_px // 4))
    coarse = rng.standard_normal((-(-h // step), -(-w // step), 2)).astype(np.float32)
    coarse = cv2.GaussianBlur(coarse, (0, 0), correlation_px / step, borderType=cv2.BORDER_REFLECT)
    coarse -= coarse.mean(axis=(0, 1))
    coarse *= std_px / coarse.std(axis=(0, 1))
    return cv2.resize(coarse, (w * supersample, h * supersample), interpolation=cv2.INTER_LINEAR)


def _displace(grid: np.ndarray, field: np.ndarray, n: int) -> np.ndarray:
    """The ray grid sampled at sub-sample positions shifted by `field` (pixels, sub-sample grid)."""
    hn, wn = grid.shape[:2]
    cols = np.arange(wn, dtype=np.float32)[None, :] + n * field[..., 0]
    rows = np.arange(hn, dtype=np.float32)[:, None] + n * field[..., 1]
    return cv2.remap(grid, cols, rows, cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)


def _texture_levels(board) -> np.ndarray:
    texture = board.texture.image.astype(np.float32)
    return DARK + texture * ((LIGHT - DARK) / 255.0)


def render(
    board,
    camera: Camera,
    camera_T_board: np.ndarray,
    *,
    supersample: int = DEFAULT_SUPERSAMPLE,
    blur_sigma: float = 0.0,
    intensity_noise: float = 0.0,
    position_noise_px: float = 0.0,
    noise_correlation_px: float = 10.0,
    seed: int = 0,
) -> View:
    """Render `board` at pose `camera_T_board` (4x4, board -> camera) as `camera` sees it.

    Every sub-sample's ray is intersected with the board plane and the texture sampled there;
    sub-samples are averaged per pixel. `position_noise_px` displaces the image by a smooth random
    field (Gaussian-smoothed with `noise_correlation_px`: smoother than a corner detector's window,
    so features move with it, yet rough enough that neighbouring features move independently);
    the returned image points stay the undisplaced projections. `seed` is anything
    np.random.default_rng accepts.
    """
    camera_T_board = np.asarray(camera_T_board, dtype=np.float64)
    w, h = camera.size
    n = int(supersample)
    rng = np.random.default_rng(seed)
    grid = ray_grid(camera, n)
    if position_noise_px > 0:
        grid = _displace(grid, displacement_field(camera, position_noise_px, noise_correlation_px, rng, n), n)

    if faces_camera(camera_T_board):
        R, t = camera_T_board[:3, :3], camera_T_board[:3, 3]
        # Board plane -> normalised image is the homography [r1 r2 t]; its inverse takes each ray
        # to the board, with third component 1/depth.
        normalised_to_board = np.linalg.inv(np.column_stack([R[:, 0], R[:, 1], t]))
        normalised_to_texture = board.texture.board_to_texture @ normalised_to_board
        texture_map = cv2.perspectiveTransform(grid, normalised_to_texture)
        # Rays behind the camera or towards the horizon (1/depth ~ 0, which perspectiveTransform
        # maps to the texture origin) cannot hit the finite sheet.
        g = normalised_to_texture[2]
        missing = g[0] * grid[..., 0] + g[1] * grid[..., 1] + g[2] <= 1e-6
        texture_map[missing] = -1e6
        samples = cv2.remap(
            _texture_levels(board), texture_map, None, cv2.INTER_LINEAR,
            borderMode=cv2.BORDER_CONSTANT, borderValue=BACKGROUND,
        )
        image = cv2.resize(samples, (w, h), interpolation=cv2.INTER_AREA)
    else:
        image = np.full((h, w), BACKGROUND, dtype=np.float32)

    if blur_sigma > 0:
        image = cv2.GaussianBlur(image, (0, 0), blur_sigma, borderType=cv2.BORDER_REPLICATE)
    if intensity_noise > 0:
        image = image + rng.normal(0.0, intensity_noise, image.shape).astype(np.float32)
    grey = np.clip(np.rint(image), 0, 255).astype(np.uint8)

    image_points, inside = project_board(board, camera, camera_T_board)
    return View(cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR), camera_T_board, image_points, board.point_ids, inside)

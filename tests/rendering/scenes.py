"""Seeded, reproducible sets of views: well-spread intrinsic views and eye-in-hand robot scenes."""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

from .camera import Camera
from .render import View, faces_camera, project_board, render as render_view

_AXES = {"x": 0, "y": 1, "z": 2}
# Board-centre anchors as fractions of the free offset: corners, edge middles and centre.
_ANCHORS = [(a, b) for a in (-1.0, 0.0, 1.0) for b in (-1.0, 0.0, 1.0)]


def transform(R: np.ndarray, t) -> np.ndarray:
    T = np.eye(4)
    T[:3, :3] = R
    T[:3, 3] = t
    return T


def invert(T: np.ndarray) -> np.ndarray:
    R, t = T[:3, :3], T[:3, 3]
    return transform(R.T, -R.T @ t)


def rotation(rotation_vector_deg) -> np.ndarray:
    R, _ = cv2.Rodrigues(np.deg2rad(np.asarray(rotation_vector_deg, dtype=np.float64)))
    return R


def _latin_hypercube(rng, n: int, low: float, high: float) -> np.ndarray:
    """n values spread over [low, high], one per stratum, in random order."""
    return low + (high - low) * (rng.permutation(n) + rng.random(n)) / n


def _outline_samples(board, per_edge: int = 16) -> np.ndarray:
    corners = board.texture.outline
    s = np.linspace(0.0, 1.0, per_edge, endpoint=False)[:, None]
    return np.concatenate([a + s * (b - a) for a, b in zip(corners, np.roll(corners, -1, axis=0))])


def whole_board_visible(board, camera: Camera, camera_T_board: np.ndarray, margin_px: float) -> bool:
    """True when the whole sheet, quiet zone included, is in the image `margin_px` from its edges."""
    if not faces_camera(camera_T_board):
        return False
    R, t = camera_T_board[:3, :3], camera_T_board[:3, 3]
    uv, valid = camera.project(_outline_samples(board) @ R.T + t)
    return bool(np.all(valid & camera.in_image(uv, margin_px)))


def _sheet_size(board) -> tuple[float, float]:
    outline = board.texture.outline
    return outline[2, 0] - outline[0, 0], outline[2, 1] - outline[0, 1]


def _place(board, camera: Camera, R: np.ndarray, anchor, fill: float, jitter, margin_px: float) -> np.ndarray:
    """Pose with rotation R whose sheet centre projects near `anchor` (in [-1, 1]^2 of the free
    image area) and whose frontal width would cover `fill` of the image width."""
    w, h = camera.size
    sheet_w, sheet_h = _sheet_size(board)
    K = camera.K
    distance = K[0, 0] * sheet_w / (fill * w)
    half_extent = 0.5 * fill * w * np.array([1.0, sheet_h / sheet_w * K[1, 1] / K[0, 0]])
    free = np.maximum(np.array([w, h]) / 2 - margin_px - half_extent, 0.0)
    pixel = K[:2, 2] + (0.85 * np.asarray(anchor) + jitter) * free
    ray = np.append(camera.pixels_to_normalised(pixel[None])[0], 1.0)
    centre = board.texture.outline.mean(axis=0)
    return transform(R, distance * ray / np.linalg.norm(ray) - R @ centre)


def _fit(board, camera, R, anchor, fill, rng, margin_px) -> np.ndarray:
    """A pose with rotation R that shows the whole board, shrinking it until it fits."""
    for _ in range(40):
        pose = _place(board, camera, R, anchor, fill, rng.uniform(-0.15, 0.15, 2), margin_px)
        if whole_board_visible(board, camera, pose, margin_px):
            return pose
        fill *= 0.95
    raise RuntimeError("no pose shows the whole board: the board is too large for this camera")


def _spread_poses(board, camera, rotations, rng, fill, margin_px) -> list[np.ndarray]:
    """For each rotation a pose showing the whole board; the board centre cycles over the image's
    corners, edge middles and centre, and the frontal size over the `fill` range."""
    order = rng.permutation(len(_ANCHORS))
    fills = _latin_hypercube(rng, len(rotations), *fill)
    return [
        _fit(board, camera, R, _ANCHORS[order[i % len(order)]], fills[i], rng, margin_px)
        for i, R in enumerate(rotations)
    ]


def _views(board, camera, poses, seed, render: bool, render_options) -> list[View]:
    views = []
    for i, pose in enumerate(poses):
        if render:
            views.append(render_view(board, camera, pose, seed=[seed, i], **render_options))
        else:
            image_points, inside = project_board(board, camera, pose)
            views.append(View(None, pose, image_points, board.point_ids, inside))
    return views


def intrinsic_views(
    board,
    camera: Camera,
    n_views: int = 18,
    seed: int = 0,
    *,
    max_tilt_deg: float = 45.0,
    max_roll_deg: float = 30.0,
    fill: tuple[float, float] = (0.35, 0.7),
    margin_px: float = 10.0,
    render: bool = True,
    **render_options,
) -> list[View]:
    """Views of the whole board from well-spread poses: tilts up to `max_tilt_deg` about each
    board axis, rolls up to `max_roll_deg`, frontal board width `fill` of the image width.
    `render_options` go to `render`; view i's noise uses seed [seed, i]."""
    rng = np.random.default_rng(seed)
    tilts_x, tilts_y = (_latin_hypercube(rng, n_views, -max_tilt_deg, max_tilt_deg) for _ in range(2))
    rolls = _latin_hypercube(rng, n_views, -max_roll_deg, max_roll_deg)
    rotations = [rotation([0, 0, rz]) @ rotation([tx, 0, 0]) @ rotation([0, ty, 0]) for tx, ty, rz in zip(tilts_x, tilts_y, rolls)]
    return _views(board, camera, _spread_poses(board, camera, rotations, rng, fill, margin_px), seed, render, render_options)


@dataclass(frozen=True, eq=False)
class HandEyeScene:
    """Eye-in-hand ground truth: for every frame i,
    robot_T_tcp[i] @ tcp_T_camera @ camera_T_target[i] == world_T_target (robot base = world)."""

    tcp_T_camera: np.ndarray
    world_T_target: np.ndarray
    robot_T_tcp: list[np.ndarray]
    camera_T_target: list[np.ndarray]
    views: list[View]


def hand_eye_scene(
    board,
    camera: Camera,
    tcp_T_camera: np.ndarray,
    world_T_target: np.ndarray,
    n_poses: int = 15,
    seed: int = 0,
    rotation_axes: str = "xyz",
    render: bool = True,
    *,
    max_angle_deg: float = 30.0,
    fill: tuple[float, float] = (0.35, 0.7),
    margin_px: float = 10.0,
    **render_options,
) -> HandEyeScene:
    """Flange poses that show the whole board from varied angles.

    The flange rotates away from a reference orientation (where the camera faces the board
    squarely) about its own `rotation_axes` only, by up to `max_angle_deg` per axis: "xyz" gives
    rotations about all three axes, a single letter gives rotations about one fixed flange axis
    (degenerate for hand-eye calibration). Translations are free. Views are rendered when `render`
    is true (`render_options` go to `render`), otherwise they carry the true image points only.
    """
    if not rotation_axes or any(axis not in _AXES for axis in rotation_axes) or len(set(rotation_axes)) != len(rotation_axes):
        raise ValueError(f"rotation_axes must be distinct letters from 'xyz', got {rotation_axes!r}")
    tcp_T_camera = np.asarray(tcp_T_camera, dtype=np.float64)
    world_T_target = np.asarray(world_T_target, dtype=np.float64)
    rng = np.random.default_rng(seed)
    R_x = tcp_T_camera[:3, :3]
    angles = np.zeros((n_poses, 3))
    for axis in rotation_axes:
        angles[:, _AXES[axis]] = _latin_hypercube(rng, n_poses, -max_angle_deg, max_angle_deg)
    # A flange rotation E about its own axes turns the camera by R_x^T E^T R_x relative to the target.
    rotations = [R_x.T @ rotation(a).T @ R_x for a in angles]
    camera_T_target = _spread_poses(board, camera, rotations, rng, fill, margin_px)
    camera_T_tcp = invert(tcp_T_camera)
    robot_T_tcp = [world_T_target @ invert(pose) @ camera_T_tcp for pose in camera_T_target]
    views = _views(board, camera, camera_T_target, seed, render, render_options)
    return HandEyeScene(tcp_T_camera, world_T_target, robot_T_tcp, camera_T_target, views)

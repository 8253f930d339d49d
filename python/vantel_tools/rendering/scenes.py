"""Seeded, reproducible sets of views: well-spread intrinsic views, eye-in-hand and stationary-camera robot scenes."""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

from .camera import Camera
from .render import View, faces_camera, project_board, render as render_view

_AXES = {"x": 0, "y": 1, "z": 2}
MIN_CORNER_ANGLE_DEG = 45.0
# Directions (signs per image axis) in which views push the board: corners, edge middles, centre.
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


def _lattice(board) -> np.ndarray:
    """Board-frame points one `cell` apart over the features' extent, (rows, cols, 3)."""
    low, high = board.object_points.min(axis=0), board.object_points.max(axis=0)
    counts = np.maximum(np.rint((high - low)[:2] / board.cell).astype(int), 1) + 1
    xs, ys = (np.linspace(low[k], high[k], counts[k]) for k in (0, 1))
    X, Y = np.meshgrid(xs, ys)
    return np.stack([X, Y, np.zeros_like(X)], axis=2)


def detectable(board, camera: Camera, camera_T_board: np.ndarray, min_cell_px: float) -> bool:
    """True when every cell of the pattern images at least `min_cell_px` wide with corner angles
    of at least MIN_CORNER_ANGLE_DEG: narrower or more sheared cells make cv2's detectors fail
    or (with the usual 11 px half-window of cornerSubPix) snap to a neighbouring corner."""
    lattice = _lattice(board)
    R, t = camera_T_board[:3, :3], camera_T_board[:3, 3]
    uv, valid = camera.project(lattice.reshape(-1, 3) @ R.T + t)
    if not valid.all():
        return False
    uv = uv.reshape(lattice.shape[:2] + (2,))
    along_x, along_y = np.diff(uv, axis=1)[:-1], np.diff(uv, axis=0)[:, :-1]
    if min(np.linalg.norm(along_x, axis=2).min(initial=np.inf), np.linalg.norm(along_y, axis=2).min(initial=np.inf)) < min_cell_px:
        return False
    cross = along_x[..., 0] * along_y[..., 1] - along_x[..., 1] * along_y[..., 0]
    sine = np.abs(cross) / (np.linalg.norm(along_x, axis=2) * np.linalg.norm(along_y, axis=2))
    return bool(sine.min(initial=1.0) >= np.sin(np.radians(MIN_CORNER_ANGLE_DEG)))


def _place(board, R: np.ndarray, camera: Camera, pixel, distance: float) -> np.ndarray:
    """Pose with rotation R whose sheet centre lies `distance` from the camera on the ray of `pixel`."""
    ray = np.append(camera.pixels_to_normalised(np.asarray(pixel, dtype=np.float64)[None])[0], 1.0)
    centre = board.texture.outline.mean(axis=0)
    return transform(R, distance * ray / np.linalg.norm(ray) - R @ centre)


@dataclass(frozen=True)
class Framing:
    """How views frame the board: frontal sheet width as a fraction of the image width (`fill`),
    the free border around the sheet, the smallest imaged cell, the largest tilt from frontal."""

    fill: tuple[float, float] = (0.35, 0.7)
    margin_px: float = 10.0
    min_cell_px: float = 24.0
    max_tilt_deg: float = 45.0


# Hand-eye accuracy rests on every camera pose: larger boards than for intrinsics
# (about half the pose error, measured with ChArUco 7x5).
HAND_EYE_FRAMING = Framing(fill=(0.5, 0.85))


def _fit(board, camera, R, anchor, fill, rng, framing: Framing) -> np.ndarray | None:
    """A pose with rotation R showing the whole, detectable board, slid along each image axis
    towards `anchor` (signs in {-1, 0, 1}) as far as it goes, so that views reach the image's
    corners and edges where distortion is strongest. None when no size works."""
    w, h = camera.size
    sheet_width = np.ptp(board.texture.outline[:, 0])
    anchor = np.asarray(anchor, dtype=np.float64)
    # Smaller first (whole board in view), then larger (cells wide enough).
    sizes = np.concatenate([fill * 0.95 ** np.arange(12), fill * 1.05 ** np.arange(1, 15)])
    for size in sizes[sizes <= 1.0]:
        distance = camera.K[0, 0] * sheet_width / (size * w)

        def fits(pixel):
            pose = _place(board, R, camera, pixel, distance)
            return whole_board_visible(board, camera, pose, framing.margin_px) and detectable(
                board, camera, pose, framing.min_cell_px
            )

        # Off the pushed axes the position is random, around the centre.
        pixel = camera.K[:2, 2] + np.where(anchor == 0, rng.uniform(-0.1, 0.1, 2) * (w, h), 0.0)
        if not fits(pixel):
            continue
        for axis in (0, 1, 0, 1):
            if anchor[axis] == 0:
                continue
            step = np.eye(2)[axis] * anchor[axis]
            lo, hi = 0.0, float((w, h)[axis])
            for _ in range(10):
                mid = (lo + hi) / 2
                lo, hi = (mid, hi) if fits(pixel + mid * step) else (lo, mid)
            pixel = pixel + lo * step
        return _place(board, R, camera, pixel, distance)
    return None


def _tilt_deg(R: np.ndarray) -> float:
    """Angle between the board normal and the optical axis."""
    return float(np.degrees(np.arccos(np.clip(R[2, 2], -1.0, 1.0))))


def _spread_poses(board, camera, rotations_at, rng, framing: Framing) -> list[np.ndarray]:
    """A pose for each rotation_at(1), the board centre cycling over the image's corners, edge
    middles and centre and its size over `framing.fill`. Where a rotation tilts the board too far
    or fits nowhere, it is eased towards frontal: rotation_at(s) for the largest workable s < 1."""
    order = rng.permutation(len(_ANCHORS))
    fills = _latin_hypercube(rng, len(rotations_at), *framing.fill)
    poses = []
    for i, rotation_at in enumerate(rotations_at):
        for scale in np.linspace(1.0, 0.0, 21):
            R = rotation_at(scale)
            pose = None
            if _tilt_deg(R) <= framing.max_tilt_deg + 1e-9:
                pose = _fit(board, camera, R, _ANCHORS[order[i % len(order)]], fills[i], rng, framing)
            if pose is not None:
                poses.append(pose)
                break
        else:
            raise RuntimeError(
                f"no pose shows the whole board with cells of at least {framing.min_cell_px} px; "
                "lower Framing.min_cell_px or use a larger image"
            )
    return poses


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
    max_roll_deg: float = 30.0,
    framing: Framing = Framing(),
    render: bool = True,
    **render_options,
) -> list[View]:
    """Views of the whole board from well-spread poses: tilts up to `framing.max_tilt_deg` about
    each board axis (eased back where the combined tilt exceeds it), rolls up to `max_roll_deg`,
    varied distances, the board reaching into the image's corners. `render_options` go to
    `render`; view i's noise uses seed [seed, i]."""
    rng = np.random.default_rng(seed)
    limit = framing.max_tilt_deg
    tilts_x, tilts_y = (_latin_hypercube(rng, n_views, -limit, limit) for _ in range(2))
    rolls = _latin_hypercube(rng, n_views, -max_roll_deg, max_roll_deg)
    rotations_at = [
        lambda s, tx=tx, ty=ty, rz=rz: rotation([0, 0, rz]) @ rotation([s * tx, 0, 0]) @ rotation([0, s * ty, 0])
        for tx, ty, rz in zip(tilts_x, tilts_y, rolls)
    ]
    return _views(board, camera, _spread_poses(board, camera, rotations_at, rng, framing), seed, render, render_options)


def _flange_turns(rng, n_poses: int, rotation_axes: str, max_angle_deg: float) -> np.ndarray:
    """Rotation vectors in degrees, (n_poses, 3), about the flange's own `rotation_axes` only."""
    if not rotation_axes or any(axis not in _AXES for axis in rotation_axes) or len(set(rotation_axes)) != len(rotation_axes):
        raise ValueError(f"rotation_axes must be distinct letters from 'xyz', got {rotation_axes!r}")
    angles = np.zeros((n_poses, 3))
    for axis in rotation_axes:
        angles[:, _AXES[axis]] = _latin_hypercube(rng, n_poses, -max_angle_deg, max_angle_deg)
    return angles


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
    max_angle_deg: float = 40.0,
    framing: Framing = HAND_EYE_FRAMING,
    **render_options,
) -> HandEyeScene:
    """Flange poses that show the whole board from varied angles.

    The flange turns away from a reference orientation (in which the camera faces the board
    squarely) about its own `rotation_axes` only, by up to `max_angle_deg` per axis (less where
    the board would tilt beyond `framing.max_tilt_deg`): "xyz" gives rotations about all three
    axes, a single letter rotations about one fixed flange axis (degenerate data for hand-eye
    calibration). Positions are free. Views are rendered when `render` is true (`render_options`
    go to `render`); otherwise they carry only the true image points.
    """
    tcp_T_camera = np.asarray(tcp_T_camera, dtype=np.float64)
    world_T_target = np.asarray(world_T_target, dtype=np.float64)
    rng = np.random.default_rng(seed)
    R_x = tcp_T_camera[:3, :3]
    angles = _flange_turns(rng, n_poses, rotation_axes, max_angle_deg)
    # Turning the flange by E about its own axes turns the target, seen from the camera, by
    # R_x^T E^T R_x (R_x: camera orientation on the flange). Scaling the angle keeps the axis.
    rotations_at = [lambda s, a=a: R_x.T @ rotation(s * a).T @ R_x for a in angles]
    camera_T_target = _spread_poses(board, camera, rotations_at, rng, framing)
    camera_T_tcp = invert(tcp_T_camera)
    robot_T_tcp = [world_T_target @ invert(pose) @ camera_T_tcp for pose in camera_T_target]
    views = _views(board, camera, camera_T_target, seed, render, render_options)
    return HandEyeScene(tcp_T_camera, world_T_target, robot_T_tcp, camera_T_target, views)


# A camera fixed in the cell; the robot brings the flange-sized board it carries (a sheet of about
# 0.36 m, e.g. ChArUco 7x5 with 4 cm squares) to 0.4-0.65 m from it (1280 px wide image, f = 1000 px).
# Farther, the camera's own calibration from these views leaves its principal point some 10-20 px
# off, and the rotation of robot_T_camera half a degree.
STATIONARY_FRAMING = Framing(fill=(0.45, 0.7))


@dataclass(frozen=True, eq=False)
class StationaryHandEyeScene:
    """Eye-to-hand ground truth: the camera stands still in the robot base frame and the target
    rides on the flange; for every frame i,
    robot_T_camera @ camera_T_target[i] == robot_T_tcp[i] @ tcp_T_target."""

    robot_T_camera: np.ndarray
    tcp_T_target: np.ndarray
    robot_T_tcp: list[np.ndarray]
    camera_T_target: list[np.ndarray]
    views: list[View]


def stationary_hand_eye_scene(
    board,
    camera: Camera,
    robot_T_camera: np.ndarray,
    tcp_T_target: np.ndarray,
    n_poses: int = 15,
    seed: int = 0,
    rotation_axes: str = "xyz",
    render: bool = True,
    *,
    max_angle_deg: float = 40.0,
    framing: Framing = STATIONARY_FRAMING,
    **render_options,
) -> StationaryHandEyeScene:
    """Flange poses that show the board it carries to the fixed camera from varied angles.

    The flange turns away from a reference orientation (in which the board faces the camera
    squarely) about its own `rotation_axes` only, by up to `max_angle_deg` per axis (less where
    the board would tilt beyond `framing.max_tilt_deg`), as in `hand_eye_scene`. Positions are
    free: the board's distance from the camera follows from `framing.fill`.
    """
    robot_T_camera = np.asarray(robot_T_camera, dtype=np.float64)
    tcp_T_target = np.asarray(tcp_T_target, dtype=np.float64)
    rng = np.random.default_rng(seed)
    R_y = tcp_T_target[:3, :3]
    angles = _flange_turns(rng, n_poses, rotation_axes, max_angle_deg)
    # With the flange at R_0 E (E: the turn about its own axes), the camera sees the target turned
    # by R_c^T R_0 E R_y; the reference R_0 = R_c R_y^T makes that R_y^T E R_y.
    rotations_at = [lambda s, a=a: R_y.T @ rotation(s * a) @ R_y for a in angles]
    camera_T_target = _spread_poses(board, camera, rotations_at, rng, framing)
    target_T_tcp = invert(tcp_T_target)
    robot_T_tcp = [robot_T_camera @ pose @ target_T_tcp for pose in camera_T_target]
    views = _views(board, camera, camera_T_target, seed, render, render_options)
    return StationaryHandEyeScene(robot_T_camera, tcp_T_target, robot_T_tcp, camera_T_target, views)

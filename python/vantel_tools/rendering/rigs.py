"""Synchronised rigs: several known cameras at known places seeing one board at the same moments."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .camera import Camera
from .render import View, project_board, render as render_view
from .scenes import Framing, detectable, invert, rotation, transform, whole_board_visible


@dataclass(frozen=True, eq=False)
class RigScene:
    """For every camera c and frame k: views[c][k] shows the board at
    invert(reference_T_camera[c]) @ reference_T_board[k] (camera 0 is the reference)."""

    cameras: list[Camera]
    reference_T_camera: list[np.ndarray]
    reference_T_board: list[np.ndarray]
    views: list[list[View]]

    def image_lists(self) -> list[list[np.ndarray]]:
        return [[view.image for view in views] for views in self.views]


def _board_pose(board, rng, distance: tuple[float, float], spread_m: float, max_tilt_deg: float,
                max_roll_deg: float) -> np.ndarray:
    """A board pose in the reference frame: its centre near the reference camera's axis, tilted
    towards the cameras by at most `max_tilt_deg` about each board axis."""
    R = (rotation([0, 0, rng.uniform(-max_roll_deg, max_roll_deg)])
         @ rotation([rng.uniform(-max_tilt_deg, max_tilt_deg), 0, 0])
         @ rotation([0, rng.uniform(-max_tilt_deg, max_tilt_deg), 0]))
    centre = np.array([*rng.uniform(-spread_m, spread_m, 2), rng.uniform(*distance)])
    return transform(R, centre - R @ board.texture.outline.mean(axis=0))


def rig_scene(
    board,
    cameras: list[Camera],
    reference_T_camera: list[np.ndarray],
    n_frames: int = 18,
    seed: int = 0,
    *,
    distance: tuple[float, float] = (0.45, 0.75),
    spread_m: float = 0.12,
    max_tilt_deg: float = 35.0,
    max_roll_deg: float = 30.0,
    framing: Framing = Framing(),
    render: bool = True,
    **render_options,
) -> RigScene:
    """`n_frames` board poses, each showing the whole, detectable board in every camera (drawn at
    random and kept when they do). Views are rendered when `render` is true (`render_options` go to
    `render`; camera c's view of frame k uses noise seed [seed, c, k])."""
    rng = np.random.default_rng(seed)
    camera_T_reference = [invert(np.asarray(T, dtype=np.float64)) for T in reference_T_camera]
    poses: list[np.ndarray] = []
    for _ in range(2000 * n_frames):
        if len(poses) == n_frames:
            break
        pose = _board_pose(board, rng, distance, spread_m, max_tilt_deg, max_roll_deg)
        seen = [T @ pose for T in camera_T_reference]
        if all(whole_board_visible(board, camera, camera_T_board, framing.margin_px)
               and detectable(board, camera, camera_T_board, framing.min_cell_px)
               for camera, camera_T_board in zip(cameras, seen)):
            poses.append(pose)
    if len(poses) < n_frames:
        raise RuntimeError("no board pose shows the whole board in every camera; move the cameras closer together")

    views = []
    for c, (camera, T) in enumerate(zip(cameras, camera_T_reference)):
        camera_views = []
        for k, pose in enumerate(poses):
            if render:
                camera_views.append(render_view(board, camera, T @ pose, seed=[seed, c, k], **render_options))
            else:
                image_points, inside = project_board(board, camera, T @ pose)
                camera_views.append(View(None, T @ pose, image_points, board.point_ids, inside))
        views.append(camera_views)
    return RigScene(list(cameras), [np.asarray(T, dtype=np.float64) for T in reference_T_camera], poses, views)

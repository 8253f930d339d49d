"""`vantel simulate`: scenes rendered from known cameras into the folders the other commands read."""

from __future__ import annotations

import pathlib

import cv2

import _vantel

from .arguments import CommandError
from .commands import write_json
from .rendering import CharucoBoard, defaults, hand_eye_scene, intrinsic_views, rig_scene, stationary_hand_eye_scene
from .robot_poses import write_robot_poses

HAND_EYE_BOARD = CharucoBoard(squares_x=10, squares_y=8, square_length=0.03, marker_length=0.022,
                              dict_id=defaults.DICT_4X4_50)
TARGETS = {
    "intrinsic": "chessboard:9x6:0.03",
    "hand-eye": "charuco:10x8:0.03:0.022:DICT_4X4_50",
    "rig": "charuco:9x7:0.03:0.022:DICT_4X4_50",
}
# A board the flange can carry, with squares large enough for a camera half a metre away and more.
STATIONARY_BOARD = defaults.CHARUCO
STATIONARY_TARGET = "charuco:7x5:0.04:0.03:DICT_4X4_50"
DEFAULT_VIEWS = {"intrinsic": 18, "hand-eye": 15, "rig": 18}
# Beside a hand-eye dataset: its poses as a robot would write them, each row naming its image.
POSES_FILE = "robot_poses.csv"


def _camera(camera) -> dict:
    return {"K": camera.K, "dist": camera.dist, "size": list(camera.size)}


def _intrinsic(output: pathlib.Path, views: int, noise: float, seed: int) -> dict:
    rendered = intrinsic_views(defaults.CHESSBOARD, defaults.CAMERA, n_views=views, seed=seed,
                               position_noise_px=noise)
    for k, view in enumerate(rendered):
        cv2.imwrite(str(output / f"image_{k:02d}.png"), view.image)
    return {"camera": _camera(defaults.CAMERA), "camera_T_board": [view.camera_T_board for view in rendered]}


def _hand_eye(output: pathlib.Path, views: int, noise: float, seed: int) -> dict:
    scene = hand_eye_scene(HAND_EYE_BOARD, defaults.CAMERA, defaults.TCP_T_CAMERA, defaults.WORLD_T_TARGET,
                           n_poses=views, seed=seed, position_noise_px=noise)
    _save_hand_eye_dataset(output, scene)
    return {"camera": _camera(defaults.CAMERA), "tcp_T_camera": scene.tcp_T_camera,
            "world_T_target": scene.world_T_target, "camera_T_target": scene.camera_T_target}


def _stationary_hand_eye(output: pathlib.Path, views: int, noise: float, seed: int) -> dict:
    scene = stationary_hand_eye_scene(STATIONARY_BOARD, defaults.CAMERA, defaults.ROBOT_T_CAMERA,
                                      defaults.TCP_T_TARGET, n_poses=views, seed=seed, position_noise_px=noise)
    _save_hand_eye_dataset(output, scene)
    return {"camera": _camera(defaults.CAMERA), "robot_T_camera": scene.robot_T_camera,
            "tcp_T_target": scene.tcp_T_target, "camera_T_target": scene.camera_T_target}


def _save_hand_eye_dataset(output: pathlib.Path, scene) -> None:
    _vantel.io.save_hand_eye_dataset(output, [view.image for view in scene.views], scene.robot_T_tcp)
    write_scene_poses(output / POSES_FILE, scene.robot_T_tcp)


def write_scene_poses(path: pathlib.Path, robot_T_tcp) -> None:
    """The poses as a CSV (x,y,z,qx,qy,qz,qw in metres) naming the dataset's image of each."""
    write_robot_poses(path, robot_T_tcp, [f"image_{k:02d}.png" for k in range(len(robot_T_tcp))])


def _rig(output: pathlib.Path, views: int, noise: float, seed: int, intrinsic_views_per_camera: int = 0) -> dict:
    scene = rig_scene(defaults.RIG_CHARUCO, defaults.RIG_CAMERAS, defaults.RIG_REFERENCE_T_CAMERA, n_frames=views,
                      seed=seed, position_noise_px=noise)
    lists = scene.image_lists()
    for k in range(views):
        _vantel.io.save_multi_camera_capture(output, [images[k] for images in lists], k)
    # Close views of the board per camera, for intrinsics calibrated apart from the rig's frames.
    for c, camera in enumerate(scene.cameras if intrinsic_views_per_camera else []):
        folder = output / "intrinsics" / f"cam_{c:02d}"
        folder.mkdir(parents=True, exist_ok=True)
        own = intrinsic_views(defaults.RIG_CHARUCO, camera, n_views=intrinsic_views_per_camera, seed=seed + 1 + c,
                              position_noise_px=noise)
        for k, view in enumerate(own):
            cv2.imwrite(str(folder / f"image_{k:02d}.png"), view.image)
    return {"cameras": [_camera(camera) for camera in scene.cameras], "reference_T_camera": scene.reference_T_camera,
            "reference_T_board": scene.reference_T_board}


def run(args) -> int:
    views = DEFAULT_VIEWS[args.kind] if args.views is None else args.views
    if views < 1:
        raise CommandError(f"--views must be at least 1, got {views}")
    if not 0 <= args.noise <= 5:
        raise CommandError(f"--noise must be between 0 and 5 px, got {args.noise:g}")
    try:
        args.output.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise CommandError(f"cannot create {args.output}: {error.strerror}") from None
    if args.intrinsic_views and args.kind != "rig":
        raise CommandError("--intrinsic-views is for rig scenes only")
    if args.stationary and args.kind != "hand-eye":
        raise CommandError("--stationary is for hand-eye scenes only")
    if args.intrinsic_views < 0:
        raise CommandError(f"--intrinsic-views must not be negative, got {args.intrinsic_views}")
    target = STATIONARY_TARGET if args.stationary else TARGETS[args.kind]
    if args.kind == "rig":
        truth = _rig(args.output, views, args.noise, args.seed, args.intrinsic_views)
    elif args.stationary:
        truth = {"stationary": True, **_stationary_hand_eye(args.output, views, args.noise, args.seed)}
    elif args.kind == "hand-eye":
        truth = {"stationary": False, **_hand_eye(args.output, views, args.noise, args.seed)}
    else:
        truth = _intrinsic(args.output, views, args.noise, args.seed)
    write_json(args.output / "truth.json", {"kind": args.kind, "target": target, "views": views,
                                            "noise_px": args.noise, "seed": args.seed, **truth})
    command = "intrinsic" if args.kind == "intrinsic" else args.kind
    scene = "stationary-camera hand-eye" if args.stationary else args.kind
    print(f"Rendered a {scene} scene into {args.output} (truth in truth.json).")
    extra = f" --refine --intrinsics {args.output / 'intrinsics'}" if args.intrinsic_views else ""
    extra += " --stationary" if args.stationary else ""
    print(f"Calibrate it with: vantel {command} {args.output} --target {target}{extra}")
    return 0

"""The main job: a complete eye-in-hand calibration on a generated dataset.

A camera with known intrinsics sits on a robot flange at a known tcp_T_camera and looks at a
ChArUco board fixed in the robot's world. The job renders what the camera sees at varied flange
poses, stores the images and poses as a dataset folder, loads the folder back, calibrates the
camera and the hand-eye transform from it, saves the result record and compares with the truth.
"""

import argparse
import pathlib
import sys
import tempfile

import numpy as np

import _vantel

from vantel_tools.rendering import CharucoBoard, defaults, hand_eye_scene

BOARD = CharucoBoard(squares_x=10, squares_y=8, square_length=0.03, marker_length=0.022, dict_id=0)
TARGET = _vantel.CharucoTarget(10, 8, 0.03, 0.022, "DICT_4X4_50")


def rotation_error_deg(estimate, truth):
    cosine = (np.trace(estimate[:3, :3].T @ truth[:3, :3]) - 1) / 2
    return float(np.degrees(np.arccos(np.clip(cosine, -1, 1))))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=pathlib.Path, help="dataset and result folder (default: a temporary one)")
    parser.add_argument("--poses", type=int, default=15, help="number of robot poses to render")
    parser.add_argument("--noise", type=float, default=0.2, help="corner position noise in pixels")
    parser.add_argument("--method", default="TSAI", choices=sorted(_vantel.hand_eye_method_by_name_map()))
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        folder = args.output or pathlib.Path(scratch)
        print(f"Rendering {args.poses} views of a {BOARD.squares_x} x {BOARD.squares_y} ChArUco board "
              f"({args.noise} px noise)...")
        scene = hand_eye_scene(BOARD, defaults.CAMERA, defaults.TCP_T_CAMERA, defaults.WORLD_T_TARGET,
                               n_poses=args.poses, seed=3, max_angle_deg=40, position_noise_px=args.noise)
        dataset = folder / "dataset"
        _vantel.io.save_hand_eye_dataset(dataset, [view.image for view in scene.views], scene.robot_T_tcp)
        images, robot_T_tcp = _vantel.io.load_hand_eye_dataset(dataset)

        calibrator = _vantel.EyeInHandCalibrator(TARGET)
        result = calibrator.calibrate(robot_T_tcp, images, args.method, output_path=folder)
        if not result.ok:
            print("Calibration failed.")
            return 1
        record = _vantel.io.load_hand_eye_result(folder)

        translation_mm = 1000 * np.linalg.norm(result.tcp_T_camera[:3, 3] - defaults.TCP_T_CAMERA[:3, 3])
        print(f"\nSaved record: {folder / 'hand_eye.json'} ({record.num_frames_used} of "
              f"{record.num_frames_total} frames used, method {record.method})")
        print("Against the truth the scene was rendered with:")
        print(f"  tcp_T_camera translation error: {translation_mm:.3f} mm")
        print(f"  tcp_T_camera rotation error:    {rotation_error_deg(result.tcp_T_camera, defaults.TCP_T_CAMERA):.4f} deg")
        print(f"  fx, fy, cx, cy: {np.round(result.intrinsic_matrix[[0, 1, 0, 1], [0, 1, 2, 2]], 2).tolist()} "
              f"(true {defaults.CAMERA.K[[0, 1, 0, 1], [0, 1, 2, 2]].tolist()})")
    return 0


if __name__ == "__main__":
    sys.exit(main())

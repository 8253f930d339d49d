"""IntrinsicCalibrator.calibrate against the equivalent plain cv2 script, per target type.

Both sides detect, refine and calibrate the same images (flags 0, default criteria); the ratio is
module time / cv2 time, median of several runs. The module links the system OpenCV, the script
uses pip's cv2: the ratio includes any speed difference between those two builds.

Usage: .venv/bin/python benchmarks/intrinsic.py [--runs N] [--data DIR | --rendered]
Without the real data (or with --rendered) the images are rendered scenes of the test suite.
"""

import argparse
import contextlib
import io
import pathlib
import statistics
import sys
import time

import cv2

import _vantel as v

ROOT = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_DATA = ROOT.parent / "shared" / "data"
sys.path.insert(0, str(ROOT / "tests"))

from cv2_reference import calibrate, charuco_views, chessboard_views, grid_views  # noqa: E402


def cv2_chessboard(images, size, square):
    return calibrate(chessboard_views(images, size, square), images[0].shape[1::-1])


def cv2_charuco(images, squares, square, marker, dict_id):
    return calibrate(charuco_views(images, squares, square, marker, dict_id), images[0].shape[1::-1])


def cv2_grid(images, markers, length, separation, dict_id):
    return calibrate(grid_views(images, markers, length, separation, dict_id), images[0].shape[1::-1])


def read_images(folder, pattern):
    return [cv2.imread(str(path), cv2.IMREAD_COLOR) for path in sorted(folder.glob(pattern))]


def cases(data):
    yield ("chessboard 9x6, 13 x 640x480", v.ChessboardTarget((9, 6), 0.025),
           read_images(data / "opencv_stereo_chessboard_9x6" / "left", "left*.jpg"),
           lambda images: cv2_chessboard(images, (9, 6), 0.025))
    yield ("chessboard 24x17, 24 x 1920x1200", v.ChessboardTarget((24, 17), 0.015),
           read_images(data / "rwhe_kuka2_eye_in_hand", "image_*.png"),
           lambda images: cv2_chessboard(images, (24, 17), 0.015))
    yield ("charuco 4x5, 20 x 1280x720", v.CharucoTarget(4, 5, 0.054, 0.0405, 3),
           read_images(data / "caliscope_charuco_4x5_intrinsic_cam0" / "images", "frame_*.jpg"),
           lambda images: cv2_charuco(images, (4, 5), 0.054, 0.0405, 3))
    yield ("aruco grid 4x5, 24 x 640x480", v.ArucoTarget((4, 5), 0.0375, 0.0057, 11),
           read_images(data / "aruco_gridboard_4x5_abakisita" / "images", "*.jpg"),
           lambda images: cv2_grid(images, (4, 5), 0.0375, 0.0057, 11))


def rendered_cases():
    from rendering import intrinsic_views
    from rendering.defaults import CAMERA, CHARUCO, CHESSBOARD, GRID

    def views(board):
        return [view.image for view in intrinsic_views(board, CAMERA, n_views=18, seed=1, position_noise_px=0.2)]

    yield ("rendered chessboard 9x6, 18 x 1280x960", v.ChessboardTarget((9, 6), CHESSBOARD.square), views(CHESSBOARD),
           lambda images: cv2_chessboard(images, (9, 6), CHESSBOARD.square))
    yield ("rendered charuco 7x5, 18 x 1280x960", v.CharucoTarget(7, 5, 0.04, 0.03, 0), views(CHARUCO),
           lambda images: cv2_charuco(images, (7, 5), 0.04, 0.03, 0))
    yield ("rendered aruco grid 5x4, 18 x 1280x960", v.ArucoTarget((5, 4), 0.04, 0.01, 0), views(GRID),
           lambda images: cv2_grid(images, (5, 4), 0.04, 0.01, 0))


def median_seconds(function, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--data", type=pathlib.Path, default=DEFAULT_DATA)
    parser.add_argument("--rendered", action="store_true", help="use rendered scenes, not the real data")
    args = parser.parse_args()
    image_sets = rendered_cases() if args.rendered or not args.data.is_dir() else cases(args.data)

    print(f"module OpenCV: system build; script: cv2 {cv2.__version__}; median of {args.runs} runs")
    print(f"{'target':40s} {'module s':>9s} {'cv2 s':>9s} {'ratio':>7s}")
    for name, target, images, script in image_sets:
        calibrator = v.IntrinsicCalibrator(target)
        # Per-image warnings are not what is measured.
        with contextlib.redirect_stderr(io.StringIO()):
            module = median_seconds(lambda: calibrator.calibrate(images), args.runs)
        reference = median_seconds(lambda: script(images), args.runs)
        print(f"{name:40s} {module:9.3f} {reference:9.3f} {module / reference:7.3f}")


if __name__ == "__main__":
    main()

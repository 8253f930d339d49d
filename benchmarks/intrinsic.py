"""IntrinsicCalibrator.calibrate against the equivalent plain cv2 script, per target type.

Both sides detect, refine and calibrate the same images (calibrateCamera flags 0 plus the LU
solver the calibrator adds, default criteria); each ratio is module time / script time, median
of several runs, of wall time and of CPU time (all threads; less disturbed by other load on the
machine). The script
(benchmarks/cv2_intrinsic.py) runs twice, in a subprocess that times its own work:
  - with pip's cv2 from the venv: what users have, but another OpenCV build (version and
    optimised primitives), so that ratio includes the speed difference of the two builds;
  - with /usr/bin/python3 and Debian's python3-opencv: the OpenCV build the module links, so
    that ratio is the module's own overhead. Skipped, with the reason, when that cv2 is missing
    or links another OpenCV library than the module.

Usage: .venv/bin/python benchmarks/intrinsic.py [--runs N] [--data DIR | --rendered] [--extras] [--scaling]
(benchmarks/run.sh installs python3-opencv when root, runs the setup, then this.)
Without the real data (or with --rendered) the images are rendered scenes of the test suite.

--scaling adds the solver table: the calibration call the calibrator makes (calibrateCamera with
deviations and per-view errors) on 30, 120 and 240 synthetic 9x6 views, with OpenCV's default
solver (flags 0) and with CALIB_USE_LU, which the calibrators use unless the caller picks a
solver; both on the module's OpenCV build (through the development build's test hooks), with
and without the deviations and per-view errors the calibrator asks for (OpenCV computes the
deviations with one SVD of the full normal equations, whatever the solver). The default solver
takes about a minute at 240 views.
"""

import argparse
import contextlib
import io
import json
import os
import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import time

# Idle-spinning BLAS threads of the venv's NumPy would count in this process's CPU time;
# neither side's measured work uses that BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import cv2  # noqa: E402
import numpy as np  # noqa: E402

import _vantel as v  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_DATA = ROOT.parent / "shared" / "data"
SCRIPT = ROOT / "benchmarks" / "cv2_intrinsic.py"
SYSTEM_PYTHON = "/usr/bin/python3"

# Printed by the child: which OpenCV core library its cv2 loaded.
LOADED_CORE = (
    "import cv2; print(cv2.__version__); "
    "print(next((l.split()[-1] for l in open('/proc/self/maps') if 'libopencv_core' in l), ''))"
)


def read_images(folder, pattern):
    return [cv2.imread(str(path), cv2.IMREAD_COLOR) for path in sorted(folder.glob(pattern))]


def chessboard_job(size, square):
    return {"target": "chessboard", "size": list(size), "square": square}


def charuco_job(squares, square, marker, dictionary):
    return {"target": "charuco", "squares": list(squares), "square": square, "marker": marker,
            "dictionary": dictionary}


def grid_job(markers, length, separation, dictionary):
    return {"target": "grid", "markers": list(markers), "length": length, "separation": separation,
            "dictionary": dictionary}


def cases(data):
    yield ("chessboard 9x6, 13 x 640x480", v.ChessboardTarget((9, 6), 0.025), chessboard_job((9, 6), 0.025),
           lambda: read_images(data / "opencv_stereo_chessboard_9x6" / "left", "left*.jpg"))
    yield ("chessboard 24x17, 24 x 1920x1200", v.ChessboardTarget((24, 17), 0.015), chessboard_job((24, 17), 0.015),
           lambda: read_images(data / "rwhe_kuka2_eye_in_hand", "image_*.png"))
    yield ("charuco 4x5, 20 x 1280x720", v.CharucoTarget(4, 5, 0.054, 0.0405, 3),
           charuco_job((4, 5), 0.054, 0.0405, 3),
           lambda: read_images(data / "caliscope_charuco_4x5_intrinsic_cam0" / "images", "frame_*.jpg"))
    yield ("aruco grid 4x5, 24 x 640x480", v.ArucoTarget((4, 5), 0.0375, 0.0057, 11),
           grid_job((4, 5), 0.0375, 0.0057, 11),
           lambda: read_images(data / "aruco_gridboard_4x5_abakisita" / "images", "*.jpg"))


def rendered_cases():
    from vantel_tools.rendering import intrinsic_views
    from vantel_tools.rendering.defaults import CAMERA, CHARUCO, CHESSBOARD, GRID

    def views(board):
        return lambda: [view.image for view in
                        intrinsic_views(board, CAMERA, n_views=18, seed=1, position_noise_px=0.2)]

    yield ("rendered chessboard 9x6, 18 x 1280x960", v.ChessboardTarget((9, 6), CHESSBOARD.square),
           chessboard_job((9, 6), CHESSBOARD.square), views(CHESSBOARD))
    yield ("rendered charuco 7x5, 18 x 1280x960", v.CharucoTarget(7, 5, 0.04, 0.03, 0),
           charuco_job((7, 5), 0.04, 0.03, 0), views(CHARUCO))
    yield ("rendered aruco grid 5x4, 18 x 1280x960", v.ArucoTarget((5, 4), 0.04, 0.01, 0),
           grid_job((5, 4), 0.04, 0.01, 0), views(GRID))


def module_opencv_core():
    """Real path of the OpenCV core library the module links."""
    listing = subprocess.run(["ldd", v.__file__], capture_output=True, text=True, check=True).stdout
    match = re.search(r"libopencv_core\S*\s+=>\s+(\S+)", listing)
    return os.path.realpath(match.group(1)) if match else ""


def library_version(path):
    match = re.search(r"\.so\.(\d+\.\d+\.\d+)$", path)
    return match.group(1) if match else "?"


def system_interpreter(module_core, interpreter=SYSTEM_PYTHON):
    """(interpreter, cv2 version, None) when its cv2 runs the module's OpenCV, else (None, None, reason)."""
    if not os.access(interpreter, os.X_OK):
        return None, None, f"{interpreter} not found"
    probe = subprocess.run([interpreter, "-c", LOADED_CORE], capture_output=True, text=True)
    if probe.returncode != 0:
        return None, None, (f"{interpreter} has no cv2: install Debian's python3-opencv "
                            "(benchmarks/run.sh does it when run as root)")
    version, core = (probe.stdout.splitlines() + ["", ""])[:2]
    if not core or os.path.realpath(core) != module_core:
        return None, None, f"the system cv2 {version} loads {core or 'no shared core'}, the module {module_core}"
    return interpreter, version, None


def run_script(interpreter, job_file, runs, extras=False):
    completed = subprocess.run([interpreter, str(SCRIPT), str(job_file), "--runs", str(runs)]
                               + (["--extras"] if extras else []), capture_output=True, text=True)
    if completed.returncode != 0:
        raise RuntimeError(f"{interpreter} {SCRIPT.name} failed:\n{completed.stderr}")
    return json.loads(completed.stdout.splitlines()[-1])


def time_module(target, images, runs):
    calibrator = v.IntrinsicCalibrator(target)
    seconds, cpu_seconds = [], []
    # Per-image warnings are not what is measured.
    with contextlib.redirect_stderr(io.StringIO()):
        calibrator.calibrate(images)  # warm-up, as the script does
        for _ in range(runs):
            start, cpu_start = time.perf_counter(), time.process_time()
            result = calibrator.calibrate(images)
            seconds.append(time.perf_counter() - start)
            cpu_seconds.append(time.process_time() - cpu_start)
    return seconds, cpu_seconds, result


def agreement(result, report):
    """'same' when the script found the same views and the same RMS, else what differs."""
    if list(result.successful_indices) != report["indices"]:
        return "views differ"
    if report["rms"] is None:
        return "same (none)"
    # The module reports the mean view error, the script calibrateCamera's RMS: compare matrices.
    matrix = np.asarray(report["camera_matrix"])
    if not np.allclose(result.intrinsic_matrix, matrix, rtol=1e-6, atol=1e-6):
        return f"K differs by {np.max(np.abs(result.intrinsic_matrix - matrix)):.2g}"
    return "same"


def spread(seconds):
    median = statistics.median(seconds)
    return f"{median:7.3f} ±{50 * (max(seconds) - min(seconds)) / median:3.0f}%"


SCALING_VIEWS = (30, 120, 240)


def synthetic_views(count, seed=0):
    """9x6 corners of 3 cm squares seen at 0.4-0.7 m by a 640x480 camera, 0.2 px noise."""
    rng = np.random.default_rng(seed)
    camera = np.array([[800.0, 0, 320], [0, 800.0, 240], [0, 0, 1]])
    distortion = np.array([-0.1, 0.02, 0.0, 0.0, 0.0])
    board = np.zeros((54, 3), np.float32)
    board[:, :2] = np.mgrid[0:9, 0:6].T.reshape(-1, 2) * 0.03
    objects, points = [], []
    for _ in range(count):
        rotation = rng.uniform(-0.4, 0.4, 3)
        translation = np.array([*rng.uniform(-0.15, 0.0, 2), rng.uniform(0.4, 0.7)])
        projected, _ = cv2.projectPoints(board, rotation, translation, camera, distortion)
        objects.append(board)
        points.append((projected + rng.normal(0, 0.2, projected.shape)).astype(np.float32))
    return objects, points


def solver_scaling():
    try:
        from _vantel_testhooks import calibrate_camera, calibrate_camera_as_the_calibrator
    except ImportError:
        print("solver scaling skipped: needs the development build's _vantel_testhooks (scripts/setup.sh)")
        return
    print("calibrateCamera on synthetic 9x6 views, module's OpenCV, criteria COUNT+EPS 30 0.001, one run each")
    print("then: without the deviations and per-view errors, for which OpenCV adds one SVD of the full "
          "normal equations whatever the solver; last: the calibrator's call (LU, the deviations through the "
          "blocks of those equations) and the default call's time over it")
    print(f"{'views':>5s} {'default s':>10s} {'LU s':>8s} {'ratio':>6s} {'default ms/view':>16s} "
          f"{'LU ms/view':>11s} {'K rel. diff':>12s} {'default s':>10s} {'LU s':>8s} {'ratio':>6s} "
          f"{'calibrator s':>12s} {'ratio':>6s}")
    for count in SCALING_VIEWS:
        objects, points = synthetic_views(count)
        timings, matrices = {}, []
        for deviations in (True, False):
            for flags in (0, cv2.CALIB_USE_LU):
                start = time.perf_counter()
                matrix = calibrate_camera(objects, points, (640, 480), flags, deviations=deviations)[1]
                timings[deviations, flags] = time.perf_counter() - start
                matrices.append(matrix)
        start = time.perf_counter()
        calibrate_camera_as_the_calibrator(objects, points, (640, 480))
        calibrator = time.perf_counter() - start
        difference = np.max(np.abs(matrices[1] - matrices[0])) / np.max(np.abs(matrices[0]))
        full, lu = timings[True, 0], timings[True, cv2.CALIB_USE_LU]
        bare, bare_lu = timings[False, 0], timings[False, cv2.CALIB_USE_LU]
        print(f"{count:5d} {full:10.2f} {lu:8.2f} {full / lu:6.1f} {1000 * full / count:16.1f} "
              f"{1000 * lu / count:11.1f} {difference:12.1e} {bare:10.2f} {bare_lu:8.2f} {bare / bare_lu:6.1f} "
              f"{calibrator:12.2f} {full / calibrator:6.1f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--data", type=pathlib.Path, default=DEFAULT_DATA)
    parser.add_argument("--rendered", action="store_true", help="use rendered scenes, not the real data")
    parser.add_argument("--extras", action="store_true",
                        help="also time, on the system build, the module's work beyond plain cv2")
    parser.add_argument("--scaling", action="store_true",
                        help="also time the default and the LU solver on 30, 120 and 240 synthetic views")
    args = parser.parse_args()
    image_sets = rendered_cases() if args.rendered or not args.data.is_dir() else cases(args.data)

    module_core = module_opencv_core()
    system, system_version, skipped = system_interpreter(module_core)
    print(f"module: OpenCV {library_version(module_core)} ({module_core})")
    print(f"pip:    cv2 {cv2.__version__} ({sys.executable})")
    print("system: " + (f"cv2 {system_version} ({system}), the module's build" if system
                        else f"skipped: {skipped}"))
    print("calibrateCamera flags 0 (the caller's) with the CALIB_USE_LU the calibrator adds, "
          "criteria COUNT+EPS 30 0.001; "
          f"median of {args.runs} runs after one warm-up, ± half the min-max range")
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    print(f"{'':40s} {'wall time':^55s} {'CPU time ratio':^14s}")
    print(f"{'target':40s} {'module s':>12s} {'pip s':>12s} {'system s':>12s} {'/pip':>6s} {'/system':>7s}"
          f" {'/pip':>6s} {'/system':>7s}  views")
    notes = []
    extras = []
    with tempfile.TemporaryDirectory() as folder:
        for name, target, job, load in image_sets:
            images = load()
            job_file = pathlib.Path(folder) / "job.npz"
            np.savez(job_file, job=json.dumps(job), **{f"image_{k:04d}": image for k, image in enumerate(images)})
            module, module_cpu, result = time_module(target, images, args.runs)
            pip = run_script(sys.executable, job_file, args.runs)
            same = run_script(system, job_file, args.runs, args.extras) if system else None
            module_s = statistics.median(module)
            pip_s = statistics.median(pip["seconds"])
            cpu = statistics.median(module_cpu)
            pip_cpu = cpu / statistics.median(pip["cpu_seconds"])
            row = f"{name:40s} {spread(module)} {spread(pip['seconds'])} "
            if same:
                same_s = statistics.median(same["seconds"])
                same_cpu = cpu / statistics.median(same["cpu_seconds"])
                row += (f"{spread(same['seconds'])} {module_s / pip_s:6.3f} {module_s / same_s:7.3f}"
                        f" {pip_cpu:6.3f} {same_cpu:7.3f}")
            else:
                row += f"{'-':>12s} {module_s / pip_s:6.3f} {'-':>7s} {pip_cpu:6.3f} {'-':>7s}"
            views = f"pip {agreement(result, pip)}" + (f", system {agreement(result, same)}" if same else "")
            print(f"{row}  {views}", flush=True)
            if same and same["aruco_api"] not in notes:
                notes.append(same["aruco_api"])
            if same and "extras" in same:
                extras.append((name, module_s - statistics.median(same["seconds"]), same["extras"]))
    if notes:
        print(f"system cv2 ArUco API: {', '.join(notes)}")
    if extras:
        print("module minus system script, and the module's extra work timed with the system cv2 (medians, s):")
        print(f"{'target':40s} {'difference':>10s} {'annotated copies':>16s} {'mean view error':>15s}")
        for name, difference, parts in extras:
            print(f"{name:40s} {difference:10.3f} {parts['annotated copy']:16.3f} {parts['mean view error']:15.3f}")
    if args.scaling:
        solver_scaling()
    print(f"load average {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()

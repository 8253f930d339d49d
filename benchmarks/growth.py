"""How the module's time grows with the number of views, side by side with plain cv2 scripts.

On the same rendered views, each side in its own child process that loads them from a cache on
disk and times its own work after a warm-up on the first few views:
  - module: benchmarks/module_child.py (the venv's _vantel);
  - same build: the cv2 scripts (cv2_intrinsic.py, cv2_multi_camera.py, cv2_hand_eye.py) under
    /usr/bin/python3 with Debian's python3-opencv, the OpenCV build the module links, with the
    CALIB_USE_LU the calibrators add: the ratio is the module's own cost. Skipped, with the
    reason, when that cv2 is missing or links another OpenCV;
  - PyPI: the same scripts under the venv's cv2 (another OpenCV version), calibrateCamera flags 0.
The intrinsic scripts call plain calibrateCamera, as a user's script does: the module also computes
the standard deviations and per-view errors, which OpenCV gets only from calibrateCameraExtended at
the cost of inverting the whole normal-equation matrix (minutes at 480 views). The rig and hand-eye
scripts do the module's work, deviations and per-view errors included where it computes them.

Paths: intrinsic calibration (detection and solve; the solve alone) of 640x480 views of a
chessboard 9x6 and a ChArUco 7x5 board; the four-camera rig (MultiCameraCalibrator.calibrate);
eye-in-hand on a ChArUco robot scene (EyeInHandCalibrator.calibrate, TSAI). Each path's growth
exponent is the least-squares slope of log time over log views; the intrinsic solve's also over
its sizes from 120 views on. Peak memory: of each intrinsic calibration at the largest size, the
peak resident size of its child (VmHWM, see bench_child.peak_rss_mib) after imports and loading
the views, and after the work.

Usage: .venv/bin/python benchmarks/growth.py [--runs N] [--sizes 30,120,...] [--quick] [--json PATH]
(benchmarks/run.sh growth installs python3-opencv when root, runs the setup, then this.)
"""

import argparse
import datetime
import hashlib
import json
import math
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "benchmarks"))

from intrinsic import (  # noqa: E402  (sets the BLAS thread count the children inherit)
    charuco_job, chessboard_job, library_version, module_opencv_core, system_interpreter,
)
from multi_camera import JOB as RIG_JOB  # noqa: E402

import cv2  # noqa: E402
import numpy as np  # noqa: E402
import vantel_tools.rendering  # noqa: E402

BENCHMARKS = ROOT / "benchmarks"
MODULE_CHILD = BENCHMARKS / "module_child.py"
SCRIPTS = {"intrinsic": BENCHMARKS / "cv2_intrinsic.py", "multi-camera": BENCHMARKS / "cv2_multi_camera.py",
           "hand-eye": BENCHMARKS / "cv2_hand_eye.py"}
DEFAULT_CACHE = ROOT / "build" / "bench-cache"

# Views per size; the smoke test's sizes with --quick.
SIZES = {"chessboard": (30, 120, 240, 480), "charuco": (30, 120, 240, 480), "rig": (30, 120),
         "hand-eye": (15, 60, 240)}
QUICK_SIZES = {"chessboard": (6, 12), "charuco": (6, 12), "rig": (6, 8), "hand-eye": (6, 12)}
# Warm-up views: enough for every step to run once (the rig's stereo pairs need 4 shared frames).
WARM_UP = {"chessboard": 3, "charuco": 3, "rig": 6, "hand-eye": 6}
SOLVE_FROM = 120
SUPERSAMPLE = 2  # under half the default's rendering time, as the script tests render
RETRY_SECONDS, RETRIES = 20, 15
RENDERING = pathlib.Path(vantel_tools.rendering.__file__).parent


def scenes():
    """name -> (label, path kind, job, render(count) -> arrays to cache, what the rendering depends on)."""
    from vantel_tools.rendering import defaults, hand_eye_scene, intrinsic_views, rig_scene

    rendering = {"position_noise_px": 0.2, "supersample": SUPERSAMPLE}

    def grey(views):
        return np.stack([view.image[..., 0] for view in views])

    def rendered(function, count_name, arrays, *args, **options):
        options.update(rendering)
        return (lambda count: arrays(function(*args, **{count_name: count}, **options)),
                repr((function.__name__, args, sorted(options.items()))))

    chessboard = rendered(intrinsic_views, "n_views", grey, defaults.CHESSBOARD, defaults.SMALL_CAMERA, seed=1)
    charuco = rendered(intrinsic_views, "n_views", grey, defaults.CHARUCO, defaults.SMALL_CAMERA, seed=1)
    rig = rendered(rig_scene, "n_frames", lambda scene: np.stack([grey(views) for views in scene.views]),
                   defaults.RIG_CHARUCO, defaults.RIG_CAMERAS, defaults.RIG_REFERENCE_T_CAMERA, seed=1)
    robot = rendered(hand_eye_scene, "n_poses",
                     lambda scene: {"grey": grey(scene.views), "robot_T_tcp": np.stack(scene.robot_T_tcp)},
                     defaults.CHARUCO, defaults.SMALL_CAMERA, defaults.TCP_T_CAMERA, defaults.WORLD_T_TARGET, seed=3,
                     max_angle_deg=40)
    charuco_target = charuco_job((7, 5), defaults.CHARUCO.square_length, defaults.CHARUCO.marker_length,
                                 defaults.CHARUCO.dict_id)
    return {
        "chessboard": ("chessboard 9x6", "intrinsic", chessboard_job((9, 6), defaults.CHESSBOARD.square), *chessboard),
        "charuco": ("charuco 7x5", "intrinsic", charuco_target, *charuco),
        "rig": ("rig 4 cameras", "multi-camera", RIG_JOB, *rig),
        "hand-eye": ("hand-eye TSAI", "hand-eye", charuco_target, *robot),
    }


def cached_views(folder, name, count, render, depends_on):
    """The .npz of `count` rendered views, rendered once per scene and renderer version and kept in `folder`."""
    digest = hashlib.sha256(f"{depends_on} {count}".encode())
    for source in sorted(RENDERING.glob("*.py")):
        digest.update(source.read_bytes())
    path = folder / f"{name}-{count}-{digest.hexdigest()[:12]}.npz"
    if not path.exists():
        folder.mkdir(parents=True, exist_ok=True)
        log(f"rendering {count} views for {name} into {path}")
        arrays = render(count)
        with tempfile.NamedTemporaryFile(dir=folder, suffix=".npz", delete=False) as partial:
            np.savez_compressed(partial, **(arrays if isinstance(arrays, dict) else {"grey": arrays}))
        os.replace(partial.name, path)  # another run never sees a half-written cache
    return path


def log(text):
    print(f"[growth] {text}", file=sys.stderr, flush=True)


def run_child(command, module):
    """The child's JSON report, or None when it failed (its error is logged; the row shows "-").

    The module may be being rebuilt: an import failure is retried for a while."""
    for attempt in range(RETRIES + 1):
        completed = subprocess.run(command, capture_output=True, text=True)
        if completed.returncode == 0:
            return json.loads(completed.stdout.splitlines()[-1])
        rebuilding = module and ("ImportError" in completed.stderr or "ModuleNotFoundError" in completed.stderr)
        if not rebuilding or attempt == RETRIES:
            break
        log(f"the module does not import (being rebuilt?); retrying in {RETRY_SECONDS} s")
        time.sleep(RETRY_SECONDS)
    log(f"{' '.join(map(str, command))} failed:\n{completed.stderr}")
    return None


def median(report, key):
    """Median of a report's times; None without them (a solve taken as a difference can be lost in noise)."""
    values = [value for value in (report or {}).get(key, []) if math.isfinite(value) and value > 0]
    return statistics.median(values) if values else None


def exponent(points, smallest=0):
    """Least-squares slope of log time over log views, over the sizes from `smallest` on."""
    points = [(n, t) for n, t in points if n >= smallest and t]
    if len(points) < 2 or len({n for n, _ in points}) < 2:
        return None
    x, y = np.log([n for n, _ in points]), np.log([t for _, t in points])
    return float(np.polyfit(x, y, 1)[0])


def ratio(a, b):
    return a / b if a and b else None


def number(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def significant(value, digits=3):
    """Seconds and ratios to a few significant digits, however large or small."""
    return "-" if value is None else f"{value:.{digits}g}"


def measures(kind):
    """(row name, report key) of each time a path's reports hold."""
    if kind == "intrinsic":
        return ("detect + solve", "seconds"), ("solve", "solve_seconds")
    return (("calibrate", "seconds"),)


def found(kind, report):
    """What a side worked with, to check that the sides did the same work."""
    if report is None:
        return "-"
    if kind == "intrinsic":
        return str(len(report["indices"]))
    if kind == "multi-camera":
        return str(sum(T is not None for T in report["transforms"]))
    return str(len(report["frames"]) if isinstance(report["frames"], list) else report["frames"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=None,
                        help="runs per size, median taken (default: 3 up to 60 views, 1 above)")
    parser.add_argument("--sizes", help="intrinsic view counts, comma-separated (default 30,120,240,480)")
    parser.add_argument("--rig-frames", help="rig frame counts (default 30,120)")
    parser.add_argument("--hand-eye-frames", help="hand-eye frame counts (default 15,60,240)")
    parser.add_argument("--paths", default="chessboard,charuco,rig,hand-eye",
                        help="which of chessboard, charuco, rig, hand-eye to run")
    parser.add_argument("--quick", action="store_true", help="small sizes only, for a smoke test")
    parser.add_argument("--cache", type=pathlib.Path, default=DEFAULT_CACHE, help="folder of the rendered views")
    parser.add_argument("--json", type=pathlib.Path, help="also write the measurements there")
    args = parser.parse_args()

    sizes = dict(QUICK_SIZES if args.quick else SIZES)
    for name, option in (("chessboard", args.sizes), ("charuco", args.sizes), ("rig", args.rig_frames),
                         ("hand-eye", args.hand_eye_frames)):
        if option:
            sizes[name] = tuple(sorted({int(n) for n in option.split(",")}))
    names = [name.strip() for name in args.paths.split(",")]
    unknown = set(names) - set(SIZES)
    if unknown:
        parser.error(f"unknown paths {', '.join(sorted(unknown))}")

    module_core = module_opencv_core()
    system, system_version, skipped = system_interpreter(module_core)
    print(f"module: OpenCV {library_version(module_core)} ({module_core})")
    print("same build: " + (f"cv2 {system_version} ({system}), calibrateCamera flags CALIB_USE_LU" if system
                            else f"skipped: {skipped}"))
    print(f"PyPI: cv2 {cv2.__version__} ({sys.executable}), calibrateCamera flags 0")
    print("each side in its own process on the same cached views, after a warm-up on the first few; wall seconds, "
          f"median of {args.runs or '3 (up to 60 views) or 1'} runs; the rig's views are frames of each camera")
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    print()

    sides = {"module": sys.executable}
    if system:
        sides["same"] = system
    sides["pypi"] = sys.executable
    flags = {"same": cv2.CALIB_USE_LU, "pypi": 0}
    all_scenes = scenes()
    results = []  # (name, label, kind, size, {side: report})
    columns = ("| path | views | module s | same-build s | PyPI s | module / same | module / PyPI | "
               "found module / same / PyPI |")
    print(columns)
    print("|" + "---|" * (columns.count("|") - 1))
    with tempfile.TemporaryDirectory() as folder:
        for name in names:
            label, kind, job, render, depends_on = all_scenes[name]
            # Sizes take the first views of one rendered set, the default sizes' (so that a size
            # always means the same views), or the quick sizes'.
            pool = max(sizes[name]) if args.quick else max(max(sizes[name]), max(SIZES[name]))
            views = cached_views(args.cache, name, pool, render, depends_on)
            for size in sizes[name]:
                job_file = pathlib.Path(folder) / f"{name}-{size}.json"
                job_file.write_text(json.dumps({**job, "views": str(views), "count": size}))
                runs = args.runs or (3 if size <= 60 else 1)
                common = [str(job_file), "--runs", str(runs), "--warm-up", str(WARM_UP[name])]
                reports = {}
                for side, interpreter in sides.items():
                    log(f"{label}, {size} views: {side}")
                    if side == "module":
                        command = [interpreter, str(MODULE_CHILD), kind, *common]
                    else:
                        command = [interpreter, str(SCRIPTS[kind]), *common, "--flags", str(flags[side]),
                                   *(["--plain"] if kind == "intrinsic" else [])]
                    reports[side] = run_child(command, side == "module")
                results.append((name, label, kind, size, reports))
                for what, key in measures(kind):
                    seconds = {side: median(reports.get(side), key) for side in ("module", "same", "pypi")}
                    counts = " / ".join(found(kind, reports.get(side)) for side in ("module", "same", "pypi"))
                    print(f"| {label}: {what} | {size} | {significant(seconds['module'], 4)} | "
                          f"{significant(seconds['same'], 4)} | {significant(seconds['pypi'], 4)} | "
                          f"{significant(ratio(seconds['module'], seconds['same']))} | "
                          f"{significant(ratio(seconds['module'], seconds['pypi']))} | {counts} |", flush=True)
        summary = summarise(results, system is not None)

    if args.json:
        args.json.write_text(json.dumps({
            "date": datetime.datetime.now().isoformat(timespec="seconds"), "module_opencv": module_core,
            "same_build": system_version, "same_build_skipped": skipped, "pypi_cv2": cv2.__version__,
            "measurements": [{"path": name, "size": size, "reports": reports}
                             for name, _, _, size, reports in results],
            **summary}, indent=1))
    print(f"\nload average {os.getloadavg()[0]:.1f} at the end")


def summarise(results, same_build):
    """Prints the growth and memory tables; returns them for the JSON file."""
    sides = ("module", "same", "pypi") if same_build else ("module", "pypi")
    paths = {}
    for _, label, kind, size, reports in results:
        for what, key in measures(kind):
            points = paths.setdefault(f"{label}: {what}", {side: [] for side in sides})
            for side in sides:
                points[side].append((size, median(reports.get(side), key)))
    growth = []
    print("\ngrowth exponent: least-squares slope of log time over log views (1: linear, 2: quadratic)")
    print("| path | sizes | module | same build | PyPI |")
    print("|---|---|---|---|---|")
    for path, points in paths.items():
        for smallest in (0, SOLVE_FROM) if path.endswith(": solve") else (0,):
            sizes = sorted({n for n, _ in points["module"] if n >= smallest})
            if len(sizes) < 2:
                continue
            slopes = {side: exponent(points[side], smallest) for side in sides}
            growth.append({"path": path, "sizes": sizes, **slopes})
            print(f"| {path} | {', '.join(map(str, sizes))} | {number(slopes['module'])} | "
                  f"{number(slopes.get('same'))} | {number(slopes['pypi'])} |")

    memory, largest = [], {}
    for name, label, kind, size, reports in results:
        if kind == "intrinsic" and size >= largest.get(name, (0,))[0]:
            largest[name] = (size, label, reports)
    if largest:
        print("\npeak memory of one intrinsic calibration (detection and solve), MiB: peak = the child's peak resident "
              "size (VmHWM) at the end; work = that minus its peak after imports and loading the views")
        print("| target | views | module peak | same-build peak | PyPI peak | module work | same-build work | "
              "PyPI work | module / same peak | module / same work |")
        print("|---|---|---|---|---|---|---|---|---|---|")
    for size, label, reports in largest.values():
        peaks = {side: (reports.get(side) or {}).get("peak_rss_mib", {}) for side in ("module", "same", "pypi")}
        peak = {side: values.get("end") for side, values in peaks.items()}
        work = {side: values["end"] - values["loaded"] if values else None for side, values in peaks.items()}
        memory.append({"target": label, "views": size, "peak_mib": peak, "work_mib": work})
        print(f"| {label} | {size} | " + " | ".join(number(value, 0) for value in (*peak.values(), *work.values()))
              + f" | {significant(ratio(peak['module'], peak['same']))} | "
              f"{significant(ratio(work['module'], work['same']))} |")

    module_reports = [(f"{label} {size}", reports["module"]) for _, label, _, size, reports in results
                      if reports.get("module")]
    solve_timing = {report["solve_timing"] for _, report in module_reports if "solve_timing" in report}
    if solve_timing:
        print(f"\nmodule solve alone timed by: {', '.join(sorted(solve_timing))}")
    if not same_build:
        print("same-build columns skipped (see above)")
    rebuilt = [row for (_, before), (row, report) in zip(module_reports, module_reports[1:])
               if report["module_mtime"] != before["module_mtime"]]
    if rebuilt:
        print(f"note: the module file changed during the run (rebuilt) before the rows of {', '.join(rebuilt)}: "
              "rows on either side were measured on different builds")
    return {"growth": growth, "memory": memory}


if __name__ == "__main__":
    main()

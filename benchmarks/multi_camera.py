"""MultiCameraCalibrator against a plain cv2 script, and calibrate_subsets against one calibrate.

On a rendered rig of four 1280x960 cameras and a ChArUco board:
  - calibrate (default options: per-camera intrinsics, stereo with fixed intrinsics, the
    triangulation check) against benchmarks/cv2_multi_camera.py doing the same steps, on the
    OpenCV build the module links (Debian's python3-opencv under /usr/bin/python3) when it is
    there, else on pip's cv2 (another build: that ratio includes the speed of the two builds);
  - calibrate_subsets with the default sizes [2, 3] (ten subsets) against one calibrate.
Runs are interleaved; ratios are of medians, of wall and of CPU time.

Usage: .venv/bin/python benchmarks/multi_camera.py [--runs N] [--frames N]
(benchmarks/run.sh multi-camera installs python3-opencv when root, runs the setup, then this.)
"""

import argparse
import contextlib
import io
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import _vantel as v  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "benchmarks" / "cv2_multi_camera.py"
sys.path.insert(0, str(ROOT / "benchmarks"))

from intrinsic import library_version, module_opencv_core, spread, system_interpreter  # noqa: E402

JOB = {"target": "charuco", "squares": [9, 7], "square": 0.03, "marker": 0.022, "dictionary": 0}
TARGET = v.CharucoTarget(9, 7, 0.03, 0.022, 0)


def rendered_rig(frames):
    from vantel_tools.rendering import Camera, defaults, rig_scene

    scale = 4 / 3  # the test rig's 960x720 cameras at 1280x960
    cameras = [Camera(K=np.diag([scale, scale, 1.0]) @ camera.K, dist=camera.dist, size=(1280, 960))
               for camera in defaults.RIG_CAMERAS]
    scene = rig_scene(defaults.RIG_CHARUCO, cameras, defaults.RIG_REFERENCE_T_CAMERA, n_frames=frames, seed=1,
                      position_noise_px=0.2)
    return scene.image_lists()


def timed(call):
    start, cpu_start = time.perf_counter(), time.process_time()
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        result = call()
    return time.perf_counter() - start, time.process_time() - cpu_start, result


def run_script(interpreter, job_file):
    completed = subprocess.run([interpreter, str(SCRIPT), str(job_file), "--runs", "1"], capture_output=True,
                               text=True)
    if completed.returncode != 0:
        raise RuntimeError(f"{interpreter} {SCRIPT.name} failed:\n{completed.stderr}")
    return json.loads(completed.stdout.splitlines()[-1])


def baseline_difference(result, report):
    """Largest difference of a camera's distance to the reference between module and script, metres."""
    differences = [abs(np.linalg.norm(ours[:3, 3]) - np.linalg.norm(np.asarray(theirs)[:3, 3]))
                   for ours, theirs in zip(result.reference_T_camera_list, report["transforms"]) if theirs]
    return max(differences)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--frames", type=int, default=20)
    args = parser.parse_args()

    module_core = module_opencv_core()
    system, system_version, skipped = system_interpreter(module_core)
    interpreter = system or sys.executable
    print(f"module: OpenCV {library_version(module_core)} ({module_core})")
    print("script: " + (f"cv2 {system_version} ({system}), the module's build" if system
                        else f"pip's cv2 ({sys.executable}); the same-build comparison is skipped: {skipped}"))
    print(f"rig: 4 cameras x {args.frames} frames of 1280x960, ChArUco 9x7; median of {args.runs} interleaved runs "
          "after one warm-up, ± half the min-max range")
    lists = rendered_rig(args.frames)
    calibrator = v.MultiCameraCalibrator(TARGET, 4)
    timed(lambda: calibrator.calibrate(lists))  # warm-up

    with tempfile.TemporaryDirectory() as folder:
        job_file = pathlib.Path(folder) / "job.npz"
        np.savez(job_file, job=json.dumps(JOB), images=np.array(lists))
        module, module_cpu, script, script_cpu, subsets, subsets_cpu = [], [], [], [], [], []
        for _ in range(args.runs):
            seconds, cpu, result = timed(lambda: calibrator.calibrate(lists))
            module.append(seconds)
            module_cpu.append(cpu)
            report = run_script(interpreter, job_file)
            script += report["seconds"]
            script_cpu += report["cpu_seconds"]
            seconds, cpu, _ = timed(lambda: calibrator.calibrate_subsets(lists))
            subsets.append(seconds)
            subsets_cpu.append(cpu)

    def ratio(a, b):
        return statistics.median(a) / statistics.median(b)

    print(f"{'':34s} {'seconds':>14s} {'wall ratio':>10s} {'CPU ratio':>10s}")
    print(f"{'calibrate (module)':34s} {spread(module)}")
    print(f"{'plain cv2 script':34s} {spread(script)}")
    print(f"{'calibrate_subsets [2, 3]':34s} {spread(subsets)}")
    print(f"{'calibrate / script':34s} {'':14s} {ratio(module, script):10.3f} {ratio(module_cpu, script_cpu):10.3f}")
    print(f"{'calibrate_subsets / calibrate':34s} {'':14s} {ratio(subsets, module):10.3f} "
          f"{ratio(subsets_cpu, module_cpu):10.3f}")
    print(f"largest baseline difference module - script: {baseline_difference(result, report) * 1000:.4f} mm")
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()

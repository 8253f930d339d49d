"""Long calls let other host threads run, and calls in several threads give the results of serial calls."""

import json
import subprocess
import sys


# One child: a mistake in releasing the interpreter crashes or hangs the process, not the run.
CHILD = r"""
import collections, io, json, sys, threading, time
import numpy as np, _vantel
from vantel_tools.rendering import defaults, rig_scene

scene = rig_scene(defaults.RIG_CHARUCO, defaults.RIG_CAMERAS, defaults.RIG_REFERENCE_T_CAMERA, n_frames=12, seed=1,
                  position_noise_px=0.2)
lists = scene.image_lists()
target = _vantel.CharucoTarget(9, 7, 0.03, 0.022, 0)
outcome = {}

def calibrate_camera(c):
    return _vantel.IntrinsicCalibrator(target).calibrate(lists[c])

def calibrate_rig(reference):
    return _vantel.MultiCameraCalibrator(target, 4, reference).calibrate(lists)

def in_threads(work, count):
    results = [None] * count
    def run(k):
        results[k] = work(k)
    threads = [threading.Thread(target=run, args=(k,)) for k in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results

def logged(work):
    sys.stderr, kept = io.StringIO(), sys.stderr
    try:
        result = work()
        return result, collections.Counter(sys.stderr.getvalue().splitlines())
    finally:
        sys.stderr = kept

def same_rigs(a, b):
    return all(np.array_equal(x.reference_T_camera_list[c], y.reference_T_camera_list[c]) and
               np.array_equal(x.intrinsic_matrices[c], y.intrinsic_matrices[c])
               for x, y in zip(a, b) for c in range(4))

# Rigs calibrated in three threads: the results and log lines of three calls in turn.
serial, serial_lines = logged(lambda: [calibrate_rig(k) for k in range(3)])
threaded, threaded_lines = logged(lambda: in_threads(calibrate_rig, 3))
outcome["threads_equal_serial"] = same_rigs(serial, threaded) and all(r.ok for r in threaded)
outcome["same_log_lines"] = serial_lines == threaded_lines and len(serial_lines) > 0

# A thread that sleeps 1 ms in a loop keeps ticking while the main thread calibrates.
ticks, done = [0], threading.Event()
def tick():
    while not done.is_set():
        time.sleep(0.001)
        ticks[0] += 1
ticker = threading.Thread(target=tick)
ticker.start()
time.sleep(0.05)
start_ticks = ticks[0]
rig = _vantel.MultiCameraCalibrator(target, 4)
reference = rig.calibrate(lists)
outcome["ticks_during_call"] = ticks[0] - start_ticks
done.set()
ticker.join()

# One calibrator used from two threads at once: the calls take turns and both give the serial result.
both = in_threads(lambda k: rig.calibrate(lists), 2)
outcome["shared_calibrator_serialised"] = same_rigs(both, [reference, reference])

# The progress callback is called on the thread whose call reports, with the interpreter held.
callers = set()
_vantel.set_progress_callback(lambda what, done_, total: callers.add(threading.get_ident()))
worker_ids = in_threads(lambda k: (calibrate_camera(k), threading.get_ident())[1], 2)
_vantel.set_progress_callback(None)
outcome["progress_from_worker_threads"] = callers == set(worker_ids)
print(json.dumps(outcome))
"""


def test_long_calls_release_the_interpreter_and_threads_give_serial_results():
    child = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=600)
    assert child.returncode == 0, child.stderr[-3000:]
    outcome = json.loads(child.stdout.splitlines()[-1])
    assert outcome.pop("ticks_during_call") >= 50
    assert outcome == {"threads_equal_serial": True, "same_log_lines": True, "shared_calibrator_serialised": True,
                       "progress_from_worker_threads": True}

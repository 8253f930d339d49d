"""Long calls and other host threads: what the released interpreter buys.

On a rendered four-camera rig: two rig calibrations in two threads against the same two in turn
(ratio <= 1 means threads cost nothing), and how often a thread that sleeps 1 ms ticks during one
calibration (with the interpreter held it cannot tick at all). Beside it the same comparison for
plain cv2.calibrateCamera on the rig's corners, which releases the interpreter too.

Usage: .venv/bin/python benchmarks/threads.py [--frames 18] [--repeats 3]
"""

import argparse
import contextlib
import io
import threading
import time

import cv2

import _vantel as v
from vantel_tools.rendering import defaults, rig_scene

TARGET = v.CharucoTarget(9, 7, 0.03, 0.022, 0)


def in_threads(calls):
    threads = [threading.Thread(target=call) for call in calls]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def best_time(work, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)


def ticks_per_second_during(call):
    ticks, done = [0], threading.Event()

    def tick():
        while not done.is_set():
            time.sleep(0.001)
            ticks[0] += 1

    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.05)
    before, start = ticks[0], time.perf_counter()
    call()
    rate = (ticks[0] - before) / (time.perf_counter() - start)
    done.set()
    ticker.join()
    return rate


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=18)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    scene = rig_scene(defaults.RIG_CHARUCO, defaults.RIG_CAMERAS, defaults.RIG_REFERENCE_T_CAMERA,
                      n_frames=args.frames, seed=1, position_noise_px=0.2)
    lists = scene.image_lists()

    def rig(reference):
        return v.MultiCameraCalibrator(TARGET, 4, reference).calibrate(lists)

    # The reports of calls in several threads: once, around all of them.
    quiet = contextlib.redirect_stdout(io.StringIO())
    quiet.__enter__()

    serial = best_time(lambda: [rig(0), rig(1)], args.repeats)
    threaded = best_time(lambda: in_threads([lambda: rig(0), lambda: rig(1)]), args.repeats)
    rate = ticks_per_second_during(lambda: rig(0))

    detections = [v.IntrinsicCalibrator(TARGET).find_corners(images) for images in lists]
    size = lists[0][0].shape[1::-1]

    def plain(camera):
        found = detections[camera]
        cv2.calibrateCamera(list(found.object_points), list(found.image_points), size, None, None)

    plain_serial = best_time(lambda: [plain(0), plain(1)], args.repeats)
    plain_threaded = best_time(lambda: in_threads([lambda: plain(0), lambda: plain(1)]), args.repeats)
    plain_rate = ticks_per_second_during(lambda: plain(0))

    quiet.__exit__(None, None, None)
    print(f"{'work':<44}{'in turn s':>10}{'threads s':>10}{'ratio':>7}{'ticks/s':>9}")
    print(f"{'module: two rig calibrations':<44}{serial:>10.2f}{threaded:>10.2f}{threaded / serial:>7.2f}{rate:>9.0f}")
    print(f"{'plain cv2: two calibrateCamera':<44}{plain_serial:>10.2f}{plain_threaded:>10.2f}"
          f"{plain_threaded / plain_serial:>7.2f}{plain_rate:>9.0f}")
    print(f"cv2 {cv2.__version__}, {cv2.getNumThreads()} cv2 threads, {len(lists)} cameras x "
          f"{args.frames} frames; ticks/s of a 1 ms sleeper: ~900 when nothing holds the interpreter")


if __name__ == "__main__":
    main()

"""What the benchmark child processes share: cached views, timed runs, peak memory.

numpy only, so that it runs under any interpreter: the venv's, or /usr/bin/python3 with Debian's
python3-opencv. A cached job is a JSON file: the target description of cv2_intrinsic.py plus
"views" (an .npz whose "grey" array holds the rendered views, N x H x W for one camera or
C x N x H x W for a rig, and optionally "robot_T_tcp", N x 4 x 4) and "count" (how many views, from
the first, to take).
"""

import json
import resource
import time

import numpy as np


def cached_job(path):
    """(job, BGR images, the archive's arrays): one list of images, or one list per rig camera."""
    with open(path) as file:
        job = json.load(file)
    with np.load(job["views"], allow_pickle=False) as archive:
        arrays = {name: archive[name] for name in archive.files}
    count = job["count"]
    grey = arrays["grey"]
    # The renderer makes grey images and hands them out as BGR; so do we, as one block.
    if grey.ndim == 3:
        images = list(np.repeat(grey[:count, ..., None], 3, axis=-1))
    else:
        images = [list(np.repeat(camera[:count, ..., None], 3, axis=-1)) for camera in grey]
    # The archive's arrays stay referenced: freed now, they would leave room under the baseline
    # peak that the work could fill without it showing.
    return job, images, arrays


def peak_rss_mib():
    """This process's peak resident size so far, MiB.

    Linux's ru_maxrss starts a child at the peak of the process that forked it (it survives exec),
    so a benchmark parent holding rendered views would hide the child's own peak under its own.
    VmHWM is the peak of this program image alone; ru_maxrss where there is no /proc.
    """
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def timed_runs(call, runs):
    """Wall and CPU seconds of each of `runs` calls, and the last call's result."""
    seconds, cpu_seconds, result = [], [], None
    for _ in range(runs):
        start, cpu_start = time.perf_counter(), time.process_time()
        result = call()
        seconds.append(time.perf_counter() - start)
        cpu_seconds.append(time.process_time() - cpu_start)
    return seconds, cpu_seconds, result

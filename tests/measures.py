"""Error measures shared by the accuracy tests."""

import contextlib
import io

import numpy as np


def transform_error(estimate, truth):
    """Translation error in metres and rotation error in degrees between two 4x4 transforms."""
    cosine = (np.trace(estimate[:3, :3].T @ truth[:3, :3]) - 1) / 2
    return np.linalg.norm(estimate[:3, 3] - truth[:3, 3]), np.degrees(np.arccos(np.clip(cosine, -1, 1)))


def quietly(call, *args, **kwargs):
    """Calls without the printed report."""
    with contextlib.redirect_stdout(io.StringIO()):
        return call(*args, **kwargs)

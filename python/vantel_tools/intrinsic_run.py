"""One camera calibrated from a set of images, with what the command shows of it: RMS, coverage, residuals."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

import _vantel

from . import calibration_quality as quality
from .camera_models import model_coefficients


@dataclass
class IntrinsicRun:
    """A successful calibration and its views (in view order: the images the target was found in)."""

    result: _vantel.IntrinsicResult
    names: list[str]
    images: list
    object_points: list
    image_size: tuple[int, int]
    threshold: float
    flags: int

    @property
    def intrinsic_matrix(self) -> np.ndarray:
        return np.asarray(self.result.intrinsic_matrix)

    @property
    def distortion(self) -> np.ndarray:
        return model_coefficients(self.result.distortion_coefficients, self.flags)

    @property
    def errors(self) -> np.ndarray:
        return np.asarray(self.result.per_view_errors, dtype=float)

    @property
    def counts(self) -> list[int]:
        return quality.corner_counts(self.result.image_points)

    @property
    def rms(self) -> float:
        return quality.rms_over_corners(self.errors, self.counts)

    @property
    def flagged(self) -> list[bool]:
        low = set(self.result.low_view_error_indices)
        return [k not in low for k in range(len(self.names))]

    @property
    def flagged_names(self) -> list[str]:
        return [name for name, flag in zip(self.names, self.flagged) if flag]

    @property
    def values(self) -> list[float]:
        return quality.intrinsic_values(self.intrinsic_matrix, self.distortion)

    @property
    def deviations(self) -> np.ndarray:
        return np.asarray(self.result.std_deviations_intrinsics, dtype=float).ravel()[:len(self.values)]

    def coverage(self) -> quality.Coverage:
        return quality.coverage(self.result.image_points, self.image_size)

    def residuals(self) -> tuple[np.ndarray, np.ndarray]:
        return quality.pnp_residuals(self.object_points, self.result.image_points, self.intrinsic_matrix,
                                     self.distortion)


def intrinsic_options(threshold: float, flags: int) -> _vantel.IntrinsicOptions:
    options = _vantel.IntrinsicOptions()
    options.per_view_error_threshold = threshold
    options.calibrate_camera_flags = flags
    return options


def calibrate(target, options, images, names) -> tuple[_vantel.IntrinsicResult, IntrinsicRun | None]:
    """The module's result, and the run when it succeeded."""
    calibrator = _vantel.IntrinsicCalibrator(target, options)
    result = calibrator.calibrate(images)
    if not result.ok:
        return result, None
    used = result.successful_indices
    first = images[used[0]]
    run = IntrinsicRun(result, [names[k] for k in used], [images[k] for k in used],
                       list(calibrator.detections().object_points), (first.shape[1], first.shape[0]),
                       options.per_view_error_threshold, options.calibrate_camera_flags)
    return result, run

"""Pinhole camera with OpenCV's five-coefficient distortion model, written in numpy."""

from __future__ import annotations

from dataclasses import dataclass, field

import cv2
import numpy as np

# Undistortion must reproduce the distorted position to this many pixels.
ROUND_TRIP_TOLERANCE_PX = 1e-4


@dataclass(frozen=True, eq=False)
class Camera:
    """`K` 3x3, `dist` (k1, k2, p1, p2, k3), `size` (width, height) in pixels.

    Pixel (u, v) has its centre at image coordinate (u, v), as in cv2.projectPoints.
    """

    K: np.ndarray
    dist: np.ndarray
    size: tuple[int, int]
    # Normalised radius beyond which the radial polynomial folds back (projection is no longer 1:1).
    max_radius: float = field(init=False)

    def __post_init__(self):
        K = np.array(self.K, dtype=np.float64).reshape(3, 3)
        if K[0, 1] != 0 or np.any(K[2] != (0, 0, 1)) or K[1, 0] != 0:
            # cv2.projectPoints has no skew term, so a skewed K would make the truth inconsistent.
            raise ValueError("K must be [[fx, 0, cx], [0, fy, cy], [0, 0, 1]]")
        dist = np.zeros(5)
        given = np.asarray(self.dist, dtype=np.float64).ravel()
        if given.size > 5:
            raise ValueError("only (k1, k2, p1, p2, k3) are modelled")
        dist[: given.size] = given
        K.setflags(write=False)
        dist.setflags(write=False)
        object.__setattr__(self, "K", K)
        object.__setattr__(self, "dist", dist)
        object.__setattr__(self, "size", (int(self.size[0]), int(self.size[1])))
        object.__setattr__(self, "max_radius", self._fold_radius())

    def _key(self) -> tuple:
        return (self.K.tobytes(), self.dist.tobytes(), self.size)

    # Equal cameras share cached ray grids.
    def __eq__(self, other):
        return isinstance(other, Camera) and self._key() == other._key()

    def __hash__(self):
        return hash(self._key())

    def _fold_radius(self) -> float:
        k1, k2, _, _, k3 = self.dist
        r = np.linspace(0.0, 10.0, 100001)
        r2 = r * r
        slope = 1 + 3 * k1 * r2 + 5 * k2 * r2**2 + 7 * k3 * r2**3  # d(r * radial(r)) / dr
        bad = np.nonzero(slope <= 0.05)[0]
        return float(r[bad[0]] * 0.95) if bad.size else float(r[-1])

    def undistort(self, xy_distorted: np.ndarray, initial: np.ndarray | None = None, iterations: int = 20) -> np.ndarray:
        """Normalised distorted (N, 2) -> normalised undistorted (N, 2), by Newton's method on OpenCV's
        five-coefficient model from `initial` (default: the distorted point)."""
        k1, k2, p1, p2, k3 = self.dist
        target = np.asarray(xy_distorted, dtype=np.float64)
        xy = (target if initial is None else np.asarray(initial, dtype=np.float64)).copy()
        # Far below ROUND_TRIP_TOLERANCE_PX for any sensible focal length.
        tolerance = ROUND_TRIP_TOLERANCE_PX * 1e-3 / self.K[[0, 1], [0, 1]].max()
        for _ in range(iterations):
            x, y = xy[:, 0], xy[:, 1]
            r2 = x * x + y * y
            radial = 1 + r2 * (k1 + r2 * (k2 + r2 * k3))
            rx = x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x) - target[:, 0]
            ry = y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y - target[:, 1]
            if max(np.abs(rx).max(initial=0), np.abs(ry).max(initial=0)) < tolerance:
                return xy
            dradial = k1 + r2 * (2 * k2 + 3 * k3 * r2)  # d radial / d r2
            jxx = radial + 2 * x * x * dradial + 2 * p1 * y + 6 * p2 * x
            jxy = 2 * x * y * dradial + 2 * p1 * x + 2 * p2 * y
            jyy = radial + 2 * y * y * dradial + 6 * p1 * y + 2 * p2 * x
            det = jxx * jyy - jxy * jxy
            xy[:, 0] -= (jyy * rx - jxy * ry) / det
            xy[:, 1] -= (jxx * ry - jxy * rx) / det
        raise ArithmeticError("undistortion did not converge")

    def pixels_to_normalised(self, uv: np.ndarray, initial: np.ndarray | None = None) -> np.ndarray:
        """Pixel (N, 2) -> undistorted normalised coordinates (N, 2) (the ray is (x, y, 1))."""
        K = self.K
        uv = np.asarray(uv, dtype=np.float64)
        distorted = np.stack([(uv[:, 0] - K[0, 2]) / K[0, 0], (uv[:, 1] - K[1, 2]) / K[1, 1]], axis=1)
        return self.undistort(distorted, initial)

    def project(self, points_camera: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Camera-frame points (N, 3) -> pixels (N, 2) via cv2.projectPoints, and a mask of
        points in front of the camera within the radius where the projection is one-to-one."""
        points = np.asarray(points_camera, dtype=np.float64).reshape(-1, 3)
        uv, _ = cv2.projectPoints(points, np.zeros(3), np.zeros(3), self.K, self.dist)
        z = points[:, 2]
        with np.errstate(divide="ignore", invalid="ignore"):
            radius = np.hypot(points[:, 0], points[:, 1]) / z
        valid = (z > 0) & (radius < self.max_radius)
        return uv.reshape(-1, 2), valid

    def in_image(self, uv: np.ndarray, margin: float = 0.0) -> np.ndarray:
        """Mask of pixel positions inside the image, at least `margin` px from the outer pixel edges."""
        w, h = self.size
        u, v = uv[:, 0], uv[:, 1]
        return (u >= margin - 0.5) & (u <= w - 0.5 - margin) & (v >= margin - 0.5) & (v <= h - 0.5 - margin)

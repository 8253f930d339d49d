"""The five hand-eye methods side by side: one table, the spread of translation and rotation, a verdict on both."""

from __future__ import annotations

import itertools

import cv2
import numpy as np

# Methods agree when every one is within these of the median of all.
AGREEMENT_MM = 5.0
AGREEMENT_DEG = 1.5


def _angle_deg(first: np.ndarray, second: np.ndarray) -> float:
    rotation_vector, _ = cv2.Rodrigues(first.T @ second)
    return float(np.degrees(np.linalg.norm(rotation_vector)))


def _middle_rotation(rotations: list[np.ndarray]) -> np.ndarray:
    # The rotation nearest all the others (smallest sum of angles): one method far off does not move it.
    return min(rotations, key=lambda rotation: sum(_angle_deg(rotation, other) for other in rotations))


def compare(results: dict, transform: str = "tcp_T_camera") -> dict:
    """Rows in name order with each method's pose and its distance from the median of all methods (the median
    translation, and the rotation nearest all others), the spreads (largest difference between two methods) and
    the verdict."""
    solved = {name: np.asarray(r.tcp_T_camera, dtype=float) for name, r in sorted(results.items()) if r is not None}
    rows = []
    if not solved:
        return {"rows": [{"method": name, "ok": False} for name in sorted(results)], "agree": False,
                "verdict": "Every method failed."}
    median_translation = np.median([T[:3, 3] for T in solved.values()], axis=0)
    middle_rotation = _middle_rotation([T[:3, :3] for T in solved.values()])
    for name in sorted(results):
        if name not in solved:
            rows.append({"method": name, "ok": False})
            continue
        T = solved[name]
        rows.append({"method": name, "ok": True, transform: T, "pose_deg": list(results[name].pose_deg),
                     "translation_from_median_mm": 1000 * float(np.linalg.norm(T[:3, 3] - median_translation)),
                     "rotation_from_median_deg": _angle_deg(middle_rotation, T[:3, :3])})
    pairs = list(itertools.combinations(solved.values(), 2))
    translation_spread = max((1000 * float(np.linalg.norm(a[:3, 3] - b[:3, 3])) for a, b in pairs), default=0.0)
    rotation_spread = max((_angle_deg(a[:3, :3], b[:3, :3]) for a, b in pairs), default=0.0)
    far = [row["method"] for row in rows if row["ok"] and (row["translation_from_median_mm"] > AGREEMENT_MM
                                                           or row["rotation_from_median_deg"] > AGREEMENT_DEG)]
    comparison = {"rows": rows, "translation_spread_mm": translation_spread, "rotation_spread_deg": rotation_spread,
                  "agree": len(solved) >= 2 and not far, "outliers": far}
    comparison["verdict"] = _verdict(rows, far, translation_spread, rotation_spread, transform)
    return comparison


def _verdict(rows: list[dict], far: list[str], translation_mm: float, rotation_deg: float, transform: str) -> str:
    solved = [row for row in rows if row["ok"]]
    failed = [row["method"] for row in rows if not row["ok"]]
    failed_text = f" ({', '.join(failed)} failed)" if failed else ""
    limits = f"{AGREEMENT_MM:g} mm and {AGREEMENT_DEG:g} deg"
    if len(solved) < 2:
        return f"Only {len(solved)} method solved{failed_text}: nothing to compare."
    if not far:
        return (f"The {len(solved)} methods agree{failed_text}: each is within {limits} of their median "
                f"(largest difference {translation_mm:.2f} mm, {rotation_deg:.2f} deg).")
    distances = ", ".join(f"{row['method']} {row['translation_from_median_mm']:.1f} mm and "
                          f"{row['rotation_from_median_deg']:.2f} deg" for row in solved if row["method"] in far)
    if len(far) == 1:
        return (f"{len(solved) - 1} of {len(solved)} methods agree within {limits} of their median{failed_text}; "
                f"{distances} away: trust the agreeing methods.")
    return (f"The methods disagree{failed_text}: from their median {distances} (more than {limits}). "
            f"The poses do not pin down {transform}: capture poses rotated about more varied axes.")


def table(comparison: dict, transform: str = "tcp_T_camera") -> str:
    header = (f"{'method':<12}{'x (m)':>9}{'y (m)':>9}{'z (m)':>9}{'rx (deg)':>10}{'ry (deg)':>10}{'rz (deg)':>10}"
              f"{'from median':>14}")
    lines = [header, "-" * len(header)]
    for row in comparison["rows"]:
        if not row["ok"]:
            lines.append(f"{row['method']:<12}(failed)")
            continue
        x, y, z, rx, ry, rz = row["pose_deg"]
        lines.append(f"{row['method']:<12}{x:9.4f}{y:9.4f}{z:9.4f}{rx:10.2f}{ry:10.2f}{rz:10.2f}"
                     f"{row['translation_from_median_mm']:7.2f} mm {row['rotation_from_median_deg']:5.2f} deg")
    lines.append("-" * len(header))
    if "translation_spread_mm" in comparison:
        lines.append(f"spread (largest difference between two methods): translation "
                     f"{comparison['translation_spread_mm']:.2f} mm, "
                     f"rotation {comparison['rotation_spread_deg']:.2f} deg")
    title = f"{transform} by each method (x y z in metres, rx ry rz in degrees; distance from the median of all)"
    return "\n".join([title, *lines])

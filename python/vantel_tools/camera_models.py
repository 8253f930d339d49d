"""Camera models and fixed parameters chosen on the command line, as the calibration flags of OpenCV 4's calib3d."""

from __future__ import annotations

import argparse

import numpy as np

# calib3d's flag values (the module links OpenCV 4; these values are the same in every 4.x).
CALIB_FIX_ASPECT_RATIO = 0x00002
CALIB_FIX_PRINCIPAL_POINT = 0x00004
CALIB_ZERO_TANGENT_DIST = 0x00008
CALIB_FIX_K3 = 0x00080
CALIB_RATIONAL_MODEL = 0x04000
CALIB_THIN_PRISM_MODEL = 0x08000
CALIB_TILTED_MODEL = 0x40000

# OpenCV hands back 14 coefficients for any model beyond the standard one; the terms past the model's are zero.
COEFFICIENTS = {0: 5, CALIB_RATIONAL_MODEL: 8, CALIB_THIN_PRISM_MODEL: 12, CALIB_TILTED_MODEL: 14}
MODELS = {
    "standard": (0, "k1 k2 p1 p2 k3"),
    "rational": (CALIB_RATIONAL_MODEL, "k1 k2 p1 p2 k3 k4 k5 k6"),
    "thin-prism": (CALIB_RATIONAL_MODEL | CALIB_THIN_PRISM_MODEL, "k1..k6, p1 p2, s1..s4"),
    "tilted": (CALIB_RATIONAL_MODEL | CALIB_THIN_PRISM_MODEL | CALIB_TILTED_MODEL, "k1..k6, p1 p2, s1..s4, tx ty"),
}
FIXED = {
    "fix_aspect_ratio": CALIB_FIX_ASPECT_RATIO,
    "zero_tangent": CALIB_ZERO_TANGENT_DIST,
    "fix_principal_point": CALIB_FIX_PRINCIPAL_POINT,
    "fix_k3": CALIB_FIX_K3,
}


def add_model_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("camera model")
    group.add_argument("--model", choices=list(MODELS), default="standard",
                       help="distortion model: " + "; ".join(f"{name}: {terms}" for name, (_, terms) in MODELS.items()))
    group.add_argument("--fix-aspect-ratio", action="store_true", help="keep fx/fy at 1")
    group.add_argument("--zero-tangent", action="store_true", help="hold p1 and p2 at zero")
    group.add_argument("--fix-principal-point", action="store_true", help="hold the principal point at the centre")
    group.add_argument("--fix-k3", action="store_true", help="hold k3 at zero")


def calibration_flags(args) -> int:
    flags = MODELS[args.model][0]
    for name, flag in FIXED.items():
        if getattr(args, name):
            flags |= flag
    return flags


def describe(args) -> str:
    held = [name.replace("_", "-") for name in FIXED if getattr(args, name)]
    return f"{args.model} model" + (f", {', '.join(held)}" if held else "")


def model_coefficients(distortion_coefficients, flags: int) -> np.ndarray:
    """The distortion coefficients of the model the flags choose: k1 k2 p1 p2 k3, then k4..k6, s1..s4, tx ty."""
    coefficients = np.asarray(distortion_coefficients, dtype=float).ravel()
    count = max(n for flag, n in COEFFICIENTS.items() if flag == 0 or flags & flag)
    if coefficients.size > count and np.any(coefficients[count:]):
        raise ValueError(f"model_coefficients: the terms past the first {count} are not zero")
    return coefficients[:count] if coefficients.size > count else coefficients

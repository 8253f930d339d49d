"""
Diagnostics for hand-eye calibration data and solvers.
"""
from __future__ import annotations
import _vantel
import collections.abc
import numpy
import typing
__all__: list[str] = ['HandEyeMethodResult', 'RotationVarietyStats', 'analyze_rotation_variety', 'compare_hand_eye_methods', 'format_method_comparison', 'format_rotation_variety']
class RotationVarietyStats:
    @property
    def angle_max_deg(self) -> float:
        ...
    @property
    def angle_mean_deg(self) -> float:
        ...
    @property
    def axis_span_ratio(self) -> float:
        ...
    @property
    def num_motions(self) -> int:
        ...
    @property
    def singular_values(self) -> typing.Annotated[list[float], "FixedSize(3)"]:
        ...
class HandEyeMethodResult:
    def __init__(self, method_name: str, tcp_T_camera: numpy.ndarray, pose_deg: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]) -> None:
        ...
    @property
    def method_name(self) -> str:
        ...
    @property
    def pose_deg(self) -> list[float]:
        ...
    @property
    def tcp_T_camera(self) -> numpy.ndarray:
        ...
def analyze_rotation_variety(camera_T_target_list: collections.abc.Sequence[numpy.ndarray], min_rotation_deg: typing.SupportsFloat | typing.SupportsIndex = 0.5) -> RotationVarietyStats | None:
    ...
def compare_hand_eye_methods(target: _vantel.ChessboardTarget | _vantel.CharucoTarget | _vantel.ArucoTarget, robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], image_list: collections.abc.Sequence[numpy.ndarray], camera_T_target_list: collections.abc.Sequence[numpy.ndarray], intrinsic_matrix: numpy.ndarray, distortion_coefficients: numpy.ndarray, per_view_error_threshold: typing.SupportsFloat | typing.SupportsIndex = 1.0) -> dict[str, HandEyeMethodResult | None]:
    ...
def format_method_comparison(method_results: collections.abc.Mapping[str, HandEyeMethodResult | None], consensus_threshold_deg: typing.SupportsFloat | typing.SupportsIndex = 1.5) -> str:
    ...
def format_rotation_variety(stats: RotationVarietyStats | None) -> str:
    ...

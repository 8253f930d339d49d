"""
Compiled C++ core of parvance-vantel: targets, calibration, geometry, quality, io. Not meant to be imported directly  -  use the parvance.vantel Python package.
"""
from __future__ import annotations
import collections.abc
import numpy
import os
import typing
from . import tf
from . import diagnostics
from . import io
__all__: list[str] = ['AlignedTargetPoses', 'ArucoTarget', 'BenchmarkResult', 'CALIB_FIX_INTRINSIC', 'CALIB_USE_INTRINSIC_GUESS', 'CalibrationBenchmark', 'CharucoTarget', 'ChessboardTarget', 'EyeInHandCalibrator', 'EyeToHandCalibrator', 'EyeToHandResult', 'HandEyeResult', 'IntrinsicCalibrator', 'IntrinsicOptions', 'IntrinsicResult', 'JointRefinement', 'MultiCameraCalibrator', 'MultiCameraResult', 'SubsetResult', 'TERM_CRITERIA_COUNT', 'TERM_CRITERIA_EPS', 'TERM_CRITERIA_MAX_ITER', 'TargetConsistencyStats', 'TargetDetections', 'TermCriteria', 'TriangulationReport', 'aruco_dictionary_id_from_name', 'aruco_dictionary_id_map', 'diagnostics', 'hand_eye_method_by_name_map', 'io', 'set_progress_callback', 'tf']
class ChessboardTarget:
    """
    Classic chessboard target: inner-corner grid + square size.
    """
    size: tuple[int, int]
    def __init__(self, size: tuple[int, int], square_size: typing.SupportsFloat | typing.SupportsIndex) -> None:
        """
        size: (cols, rows) of inner corners. square_size: edge length in meters.
        """
    def __repr__(self) -> str:
        ...
    @property
    def object_points(self) -> numpy.ndarray:
        """
        Board-frame 3D coordinates of all inner corners, (N, 3) float32.
        """
    @property
    def square_size(self) -> float:
        ...
    @square_size.setter
    def square_size(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
class CharucoTarget:
    """
    ChArUco target: chessboard + embedded ArUco markers.
    """
    @typing.overload
    def __init__(self, squares_x: typing.SupportsInt | typing.SupportsIndex, squares_y: typing.SupportsInt | typing.SupportsIndex, square_length: typing.SupportsFloat | typing.SupportsIndex, marker_length: typing.SupportsFloat | typing.SupportsIndex, aruco_dict_id: typing.SupportsInt | typing.SupportsIndex = 3) -> None:
        ...
    @typing.overload
    def __init__(self, squares_x: typing.SupportsInt | typing.SupportsIndex, squares_y: typing.SupportsInt | typing.SupportsIndex, square_length: typing.SupportsFloat | typing.SupportsIndex, marker_length: typing.SupportsFloat | typing.SupportsIndex, aruco_dict_id: str) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def detect_and_annotate(self, image: numpy.ndarray) -> tuple[numpy.ndarray, int]:
        """
        Detect ChArUco corners on `image` and draw them on a copy. Returns (annotated_image_bgr, num_charuco_corners).
        """
    @property
    def aruco_dict_id(self) -> int:
        ...
    @aruco_dict_id.setter
    def aruco_dict_id(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def marker_length(self) -> float:
        ...
    @marker_length.setter
    def marker_length(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def square_length(self) -> float:
        ...
    @square_length.setter
    def square_length(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def squares_x(self) -> int:
        ...
    @squares_x.setter
    def squares_x(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def squares_y(self) -> int:
        ...
    @squares_y.setter
    def squares_y(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
class ArucoTarget:
    """
    ArUco grid-board target.
    """
    board_size: tuple[int, int]
    @typing.overload
    def __init__(self, board_size: tuple[int, int], marker_length: typing.SupportsFloat | typing.SupportsIndex, marker_separation: typing.SupportsFloat | typing.SupportsIndex, aruco_dict_id: typing.SupportsInt | typing.SupportsIndex = 3) -> None:
        ...
    @typing.overload
    def __init__(self, board_size: tuple[int, int], marker_length: typing.SupportsFloat | typing.SupportsIndex, marker_separation: typing.SupportsFloat | typing.SupportsIndex, aruco_dict_id: str) -> None:
        ...
    def __repr__(self) -> str:
        ...
    @property
    def aruco_dict_id(self) -> int:
        ...
    @aruco_dict_id.setter
    def aruco_dict_id(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def marker_length(self) -> float:
        ...
    @marker_length.setter
    def marker_length(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def marker_separation(self) -> float:
        ...
    @marker_separation.setter
    def marker_separation(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
class TermCriteria:
    """
    OpenCV solver termination criteria.
    """
    def __init__(self, type: typing.SupportsInt | typing.SupportsIndex, max_count: typing.SupportsInt | typing.SupportsIndex, epsilon: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def epsilon(self) -> float:
        ...
    @epsilon.setter
    def epsilon(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def max_count(self) -> int:
        ...
    @max_count.setter
    def max_count(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def type(self) -> int:
        ...
    @type.setter
    def type(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
class IntrinsicOptions:
    """
    Tunables for intrinsic calibration.
    """
    calibrate_camera_method: str
    chessboard_corner_detector: str
    criteria: TermCriteria
    distortion_coefficients_guess: numpy.ndarray | None
    intrinsic_matrix_guess: numpy.ndarray | None
    def __init__(self) -> None:
        ...
    @property
    def calibrate_camera_flags(self) -> int:
        ...
    @calibrate_camera_flags.setter
    def calibrate_camera_flags(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def chessboard_flags(self) -> int:
        ...
    @chessboard_flags.setter
    def chessboard_flags(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def index_of_fixed_3d_point(self) -> int:
        ...
    @index_of_fixed_3d_point.setter
    def index_of_fixed_3d_point(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def per_view_error_threshold(self) -> float:
        ...
    @per_view_error_threshold.setter
    def per_view_error_threshold(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def sub_pixel_detection_window_size(self) -> int:
        ...
    @sub_pixel_detection_window_size.setter
    def sub_pixel_detection_window_size(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def sub_pixel_detection_zero_zone_size(self) -> int:
        ...
    @sub_pixel_detection_zero_zone_size.setter
    def sub_pixel_detection_zero_zone_size(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
class TargetDetections:
    """
    Per-frame target detections for a batch of images.
    """
    @property
    def annotated_images(self) -> list[numpy.ndarray]:
        ...
    @property
    def image_points(self) -> list[numpy.ndarray]:
        ...
    @property
    def object_points(self) -> list[numpy.ndarray]:
        ...
    @property
    def point_ids(self) -> list[numpy.ndarray]:
        ...
    @property
    def successful_indices(self) -> list[int]:
        ...
class IntrinsicResult:
    """
    Result of IntrinsicCalibrator.calibrate().
    """
    @property
    def distortion_coefficients(self) -> numpy.ndarray:
        ...
    @property
    def image_points(self) -> list[numpy.ndarray]:
        ...
    @property
    def intrinsic_matrix(self) -> numpy.ndarray:
        ...
    @property
    def low_view_error_indices(self) -> list[int]:
        ...
    @property
    def ok(self) -> bool:
        ...
    @property
    def per_view_errors(self) -> list[float]:
        ...
    @property
    def reprojection_error(self) -> float:
        ...
    @property
    def std_deviations_extrinsics(self) -> numpy.ndarray:
        ...
    @property
    def std_deviations_intrinsics(self) -> numpy.ndarray:
        ...
    @property
    def successful_indices(self) -> list[int]:
        ...
class IntrinsicCalibrator:
    """
    Intrinsic camera calibrator for chessboard, ChArUco and ArUco targets.
    """
    def __init__(self, target: ChessboardTarget | CharucoTarget | ArucoTarget, options: IntrinsicOptions = ...) -> None:
        ...
    def calibrate(self, images: collections.abc.Sequence[numpy.ndarray]) -> IntrinsicResult:
        ...
    def corner_images(self) -> list[numpy.ndarray]:
        ...
    def detections(self) -> TargetDetections:
        ...
    def find_corners(self, images: collections.abc.Sequence[numpy.ndarray]) -> TargetDetections:
        ...
    def options(self) -> IntrinsicOptions:
        ...
    def target(self) -> ChessboardTarget | CharucoTarget | ArucoTarget:
        ...
class TargetConsistencyStats:
    """
    Per-frame consistency of the recovered world_T_target.
    """
    @property
    def board_us(self) -> list[float]:
        ...
    @property
    def board_vs(self) -> list[float]:
        ...
    @property
    def distances_m(self) -> list[float]:
        ...
    @property
    def max_rotation_deg(self) -> float:
        ...
    @property
    def max_translation_m(self) -> float:
        ...
    @property
    def mean_rotation_deg(self) -> float:
        ...
    @property
    def mean_translation_m(self) -> float:
        ...
    @property
    def rotation_deviations_deg(self) -> list[float]:
        ...
    @property
    def translation_deviations_m(self) -> list[float]:
        ...
class HandEyeResult:
    """
    Result of EyeInHandCalibrator.calibrate().
    """
    @property
    def camera_T_target_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def consistency(self) -> TargetConsistencyStats:
        ...
    @property
    def convention_warnings(self) -> list[str]:
        ...
    @property
    def distortion_coefficients(self) -> numpy.ndarray:
        ...
    @property
    def has_consistency(self) -> bool:
        ...
    @property
    def intrinsic_matrix(self) -> numpy.ndarray:
        ...
    @property
    def ok(self) -> bool:
        ...
    @property
    def reprojection_error(self) -> float:
        ...
    @property
    def tcp_T_camera(self) -> numpy.ndarray:
        ...
    @property
    def valid_image_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def valid_robot_T_tcp_list(self) -> list[numpy.ndarray]:
        ...
class AlignedTargetPoses:
    @property
    def camera_T_target_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def valid_image_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def valid_robot_T_tcp_list(self) -> list[numpy.ndarray]:
        ...
class EyeInHandCalibrator:
    """
    Eye-in-hand (camera-on-flange) hand-eye calibrator.
    """
    def __init__(self, target: ChessboardTarget | CharucoTarget | ArucoTarget, options: IntrinsicOptions = ...) -> None:
        ...
    def calibrate(self, robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], image_list: collections.abc.Sequence[numpy.ndarray], method: str = 'TSAI', camera_T_target_list: collections.abc.Sequence[numpy.ndarray] = [], intrinsic_matrix: numpy.ndarray = ..., distortion_coefficients: numpy.ndarray = ..., output_path: os.PathLike | str | bytes = '') -> HandEyeResult:
        ...
    def compute_camera_T_target_list(self, image_list: collections.abc.Sequence[numpy.ndarray], robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], intrinsic_matrix: numpy.ndarray, distortion_coefficients: numpy.ndarray) -> AlignedTargetPoses:
        ...
    def corner_images(self) -> list[numpy.ndarray]:
        ...
    def format_results(self) -> str:
        ...
    def last_result(self) -> HandEyeResult:
        ...
    def print_results(self) -> None:
        ...
    def target(self) -> ChessboardTarget | CharucoTarget | ArucoTarget:
        ...
class EyeToHandResult:
    """
    Result of EyeToHandCalibrator.calibrate().
    """
    @property
    def camera_T_target_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def consistency(self) -> TargetConsistencyStats:
        ...
    @property
    def convention_warnings(self) -> list[str]:
        ...
    @property
    def distortion_coefficients(self) -> numpy.ndarray:
        ...
    @property
    def has_consistency(self) -> bool:
        ...
    @property
    def intrinsic_matrix(self) -> numpy.ndarray:
        ...
    @property
    def ok(self) -> bool:
        ...
    @property
    def reprojection_error(self) -> float:
        ...
    @property
    def robot_T_camera(self) -> numpy.ndarray:
        ...
    @property
    def tcp_T_target(self) -> numpy.ndarray:
        ...
    @property
    def valid_image_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def valid_robot_T_tcp_list(self) -> list[numpy.ndarray]:
        ...
class EyeToHandCalibrator:
    """
    Eye-to-hand (stationary camera, target on the flange) hand-eye calibrator.
    """
    def __init__(self, target: ChessboardTarget | CharucoTarget | ArucoTarget, options: IntrinsicOptions = ...) -> None:
        ...
    def calibrate(self, robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], image_list: collections.abc.Sequence[numpy.ndarray], method: str = 'TSAI', camera_T_target_list: collections.abc.Sequence[numpy.ndarray] = [], intrinsic_matrix: numpy.ndarray = ..., distortion_coefficients: numpy.ndarray = ..., output_path: os.PathLike | str | bytes = '') -> EyeToHandResult:
        ...
    def corner_images(self) -> list[numpy.ndarray]:
        ...
    def format_results(self) -> str:
        ...
    def last_result(self) -> EyeToHandResult:
        ...
    def print_results(self) -> None:
        ...
    def target(self) -> ChessboardTarget | CharucoTarget | ArucoTarget:
        ...
class TriangulationReport:
    """
    Triangulation validation report for one synchronized frame.
    """
    @property
    def counts_per_camera(self) -> list[int]:
        ...
    @property
    def frame_index(self) -> int:
        ...
    @property
    def ids(self) -> numpy.ndarray:
        ...
    @property
    def neighbor_distances_m(self) -> list[float]:
        ...
    @property
    def plane_thickness_m(self) -> float:
        ...
    @property
    def points_3d(self) -> numpy.ndarray:
        ...
    @property
    def rms_per_camera(self) -> list[float]:
        ...
class MultiCameraResult:
    """
    Result of MultiCameraCalibrator.calibrate().
    """
    @property
    def distortion_coefficients(self) -> list[numpy.ndarray]:
        ...
    @property
    def intrinsic_matrices(self) -> list[numpy.ndarray]:
        ...
    @property
    def intrinsic_reprojection_errors(self) -> list[float]:
        ...
    @property
    def ok(self) -> bool:
        ...
    @property
    def pair_reprojection_errors(self) -> list[float]:
        ...
    @property
    def reference_T_camera_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def reference_index(self) -> int:
        ...
class JointRefinement:
    """
    Joint refinement of a rig by MultiCameraCalibrator.calibrate(refine=True).
    """
    @property
    def cameras_left_out(self) -> list[int]:
        ...
    @property
    def chained_cameras(self) -> list[int]:
        ...
    @property
    def corners(self) -> int:
        ...
    @property
    def frames(self) -> int:
        ...
    @property
    def overall_rms(self) -> float:
        ...
    @property
    def overall_rms_before(self) -> float:
        ...
    @property
    def reference_T_camera_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def rms_after(self) -> list[float]:
        ...
    @property
    def rms_before(self) -> list[float]:
        ...
    @property
    def rotation_change_deg(self) -> list[float]:
        ...
    @property
    def start_reference_T_camera_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def translation_change_m(self) -> list[float]:
        ...
class SubsetResult:
    """
    Result of one entry of MultiCameraCalibrator.calibrate_subsets().
    """
    @property
    def has_triangulation(self) -> bool:
        ...
    @property
    def result(self) -> MultiCameraResult:
        ...
    @property
    def subset(self) -> list[int]:
        ...
    @property
    def triangulation(self) -> TriangulationReport:
        ...
class MultiCameraCalibrator:
    """
    Multi-camera extrinsic calibrator built on cv::stereoCalibrate.
    """
    @staticmethod
    def default_options() -> IntrinsicOptions:
        ...
    def __init__(self, target: ChessboardTarget | CharucoTarget | ArucoTarget, num_cameras: typing.SupportsInt | typing.SupportsIndex, reference_index: typing.SupportsInt | typing.SupportsIndex = 0, options: IntrinsicOptions = ..., stereo_calibrate_flags: typing.SupportsInt | typing.SupportsIndex = 256) -> None:
        ...
    def calibrate(self, image_lists: collections.abc.Sequence[collections.abc.Sequence[numpy.ndarray]], intrinsic_matrices: collections.abc.Sequence[numpy.ndarray] = [], distortion_coefficients: collections.abc.Sequence[numpy.ndarray] = [], output_path: os.PathLike | str | bytes = '', refine: bool = False) -> MultiCameraResult:
        ...
    def calibrate_subsets(self, image_lists: collections.abc.Sequence[collections.abc.Sequence[numpy.ndarray]], subset_sizes: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex] = [2, 3], frame_index: typing.SupportsInt | typing.SupportsIndex = 0, refine: bool = False) -> list[SubsetResult]:
        ...
    def format_results(self) -> str:
        ...
    def last_refinement(self) -> JointRefinement | None:
        """
        The joint refinement of the last calibrate(refine=True), or None.
        """
    def last_result(self) -> MultiCameraResult:
        ...
    def last_subset_results(self) -> list[SubsetResult]:
        ...
    def last_triangulation(self) -> TriangulationReport | None:
        """
        The triangulation check of the last calibrate(), or None when it did not run or failed.
        """
    def num_cameras(self) -> int:
        ...
    def print_results(self) -> None:
        ...
    def reference_index(self) -> int:
        ...
    def target(self) -> ChessboardTarget | CharucoTarget | ArucoTarget:
        ...
    def triangulate(self, image_lists: collections.abc.Sequence[collections.abc.Sequence[numpy.ndarray]], frame_index: typing.SupportsInt | typing.SupportsIndex = 0) -> TriangulationReport:
        ...
class BenchmarkResult:
    """
    One backend's benchmark outcome.
    """
    @property
    def backend_name(self) -> str:
        ...
    @property
    def camera_matrix(self) -> numpy.ndarray:
        ...
    @property
    def dist_coeffs(self) -> numpy.ndarray:
        ...
    @property
    def hand_eye_roundtrip_error(self) -> float:
        ...
    @property
    def held_out_reprojection_error(self) -> float:
        ...
    @property
    def image_count(self) -> int:
        ...
    @property
    def reprojection_error(self) -> float:
        ...
    @property
    def timestamp(self) -> str:
        ...
class CalibrationBenchmark:
    """
    Cross-validation + optional hand-eye round-trip benchmark.
    """
    @staticmethod
    def format_results(results: collections.abc.Sequence[BenchmarkResult]) -> str:
        ...
    @staticmethod
    def save_json(results: collections.abc.Sequence[BenchmarkResult], path: os.PathLike | str | bytes) -> None:
        ...
    def __init__(self) -> None:
        ...
    def cross_validate(self, images: collections.abc.Sequence[numpy.ndarray], target: ChessboardTarget | CharucoTarget | ArucoTarget, options: IntrinsicOptions, n_splits: typing.SupportsInt | typing.SupportsIndex = 5, seed: typing.SupportsInt | typing.SupportsIndex = 0) -> float:
        ...
    def hand_eye_roundtrip(self, images: collections.abc.Sequence[numpy.ndarray], robot_poses: collections.abc.Sequence[numpy.ndarray], tcp_T_camera: numpy.ndarray, intrinsic_matrix: numpy.ndarray, distortion_coefficients: numpy.ndarray, target: ChessboardTarget | CharucoTarget | ArucoTarget, camera_T_target_list: collections.abc.Sequence[numpy.ndarray]) -> float:
        ...
    def run(self, images: collections.abc.Sequence[numpy.ndarray], target: ChessboardTarget | CharucoTarget | ArucoTarget, options: IntrinsicOptions, robot_poses: collections.abc.Sequence[numpy.ndarray] = [], eye_in_hand_options: IntrinsicOptions | None = None, backend_name: str = 'OpenCV', n_splits: typing.SupportsInt | typing.SupportsIndex = 5, seed: typing.SupportsInt | typing.SupportsIndex = 0) -> BenchmarkResult:
        ...
def aruco_dictionary_id_from_name(name: str) -> int:
    """
    Resolve a dictionary name (e.g. "DICT_4X4_50") to its OpenCV id.
    """
def aruco_dictionary_id_map() -> dict[str, int]:
    """
    Map of predefined ArUco dictionary names ("DICT_4X4_50", ...) to their OpenCV ids.
    """
def hand_eye_method_by_name_map() -> dict[str, int]:
    """
    Map of hand-eye method names ("TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS") to cv::HandEyeCalibrationMethod values.
    """
def set_progress_callback(callback: typing.Any) -> None:
    """
    Call callback(what, done, total) between the steps of long calls (images, cameras, pairs, folds, methods, subsets); None removes it. An exception it raises ends the running call.
    """
CALIB_FIX_INTRINSIC: int = 256
CALIB_USE_INTRINSIC_GUESS: int = 1
TERM_CRITERIA_COUNT: int = 1
TERM_CRITERIA_EPS: int = 2
TERM_CRITERIA_MAX_ITER: int = 1

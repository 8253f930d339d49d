#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace vantel::calibration {

struct IntrinsicOptions {
    cv::TermCriteria criteria{cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 0.001};
    std::string chessboard_corner_detector = "Default";  // or "Sector Based"
    int chessboard_flags = 0;
    int sub_pixel_detection_window_size = 11;
    int sub_pixel_detection_zero_zone_size = -1;
    std::string calibrate_camera_method = "Default";  // or "Release Object"
    int calibrate_camera_flags = 0;
    int index_of_fixed_3d_point = 0;
    std::optional<cv::Mat> intrinsic_matrix_guess;
    std::optional<cv::Mat> distortion_coefficients_guess;
    double per_view_error_threshold = 1.0;
};

// Entry k of every list belongs to the k-th successful image.
struct TargetDetections {
    std::vector<int> successful_indices;
    std::vector<cv::Mat> image_points;      // N x 1 CV_32FC2
    std::vector<cv::Mat> object_points;     // N x 3 CV_32F
    std::vector<cv::Mat> point_ids;         // N x 1 CV_32S, ChArUco targets only
    std::vector<cv::Mat> annotated_images;  // BGR
};

struct IntrinsicResult {
    bool ok = false;
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;  // 1 x K
    double reprojection_error = 0.0;
    std::vector<int> successful_indices;
    std::vector<cv::Mat> image_points;
    std::vector<int> low_view_error_indices;  // positions among the calibrated views
    std::vector<double> per_view_errors;
    cv::Mat std_deviations_intrinsics;
    cv::Mat std_deviations_extrinsics;
};

}  // namespace vantel::calibration

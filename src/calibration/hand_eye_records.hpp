#pragma once

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace vantel::calibration {

// How far each frame's world_T_target strays from their mean; the target does not move.
struct TargetConsistencyStats {
    double mean_translation_m = 0.0;
    double max_translation_m = 0.0;
    double mean_rotation_deg = 0.0;
    double max_rotation_deg = 0.0;
    std::vector<double> translation_deviations_m;
    std::vector<double> rotation_deviations_deg;
    std::vector<double> distances_m;  // camera-to-target distance per frame
    std::vector<double> board_us;     // projected board centre per frame, pixels
    std::vector<double> board_vs;
};

struct HandEyeResult {
    bool ok = false;
    cv::Mat tcp_T_camera;
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    double reprojection_error = std::numeric_limits<double>::quiet_NaN();
    std::vector<cv::Mat> valid_robot_T_tcp_list;
    std::vector<cv::Mat> valid_image_list;
    std::vector<cv::Mat> camera_T_target_list;
    bool has_consistency = false;
    TargetConsistencyStats consistency;
    // The data look inverted or in millimetres: one line per finding, also logged as a WARNING.
    std::vector<std::string> convention_warnings;
};

}  // namespace vantel::calibration

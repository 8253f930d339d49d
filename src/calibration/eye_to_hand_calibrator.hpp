#pragma once

#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/eye_in_hand_calibrator.hpp"
#include "calibration/hand_eye_records.hpp"
#include "calibration/intrinsic_records.hpp"
#include "targets/target.hpp"

namespace vantel::calibration {

struct EyeToHandResult {
    bool ok = false;
    cv::Mat robot_T_camera;  // camera frame to robot base frame
    cv::Mat tcp_T_target;    // target frame to flange frame
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    double reprojection_error = std::numeric_limits<double>::quiet_NaN();
    std::vector<cv::Mat> valid_robot_T_tcp_list;
    std::vector<cv::Mat> valid_image_list;
    std::vector<cv::Mat> camera_T_target_list;
    bool has_consistency = false;
    TargetConsistencyStats consistency;  // of tcp_T_target: the target does not move on the flange
    std::vector<std::string> convention_warnings;
};

// Eye-to-hand: the camera is fixed in the robot's base frame and the target rides on the flange.
// The eye-in-hand pipeline with the robot poses inverted: the same inputs meet the same checks.
class EyeToHandCalibrator {
public:
    explicit EyeToHandCalibrator(Target target, IntrinsicOptions options = IntrinsicOptions());

    // As EyeInHandCalibrator::calibrate; robot_T_tcp_list is the flange pose in the base frame, as
    // for the camera on the flange. Only a success replaces lastResult().
    EyeToHandResult calibrate(const std::vector<cv::Mat>& robot_T_tcp_list, const std::vector<cv::Mat>& image_list,
                              const std::string& method = "TSAI",
                              const std::vector<cv::Mat>& camera_T_target_list = {},
                              const cv::Mat& intrinsic_matrix = cv::Mat(),
                              const cv::Mat& distortion_coefficients = cv::Mat(),
                              const std::filesystem::path& output_path = {});

    std::string formatResults() const;
    void printResults() const;

    std::vector<cv::Mat> cornerImages() const { return engine_.cornerImages(); }
    const EyeToHandResult& lastResult() const { return last_result_; }
    const Target& target() const { return engine_.target(); }

private:
    EyeInHandCalibrator engine_;
    EyeToHandResult last_result_;
};

}  // namespace vantel::calibration

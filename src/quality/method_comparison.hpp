#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "targets/target.hpp"

namespace vantel::quality {

// One solver's answer: the transform and its pose vector [x, y, z (m), rx, ry, rz (deg)].
struct HandEyeMethodResult {
    std::string method_name;
    cv::Mat tcp_T_camera;
    std::vector<double> pose_deg;
};

// Method name -> its result, or nothing when the method failed; ordered by name.
using MethodComparison = std::map<std::string, std::optional<HandEyeMethodResult>>;

// Every hand-eye method on the same data, each as a fresh calibrator's calibrate() would run it
// (same log lines and printed reports, in name order); a method that throws is logged and left empty.
MethodComparison compareHandEyeMethods(const Target& target, const std::vector<cv::Mat>& robot_T_tcp_list,
                                       const std::vector<cv::Mat>& image_list,
                                       const std::vector<cv::Mat>& camera_T_target_list,
                                       const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients,
                                       double per_view_error_threshold = 1.0);

// The table of results with a verdict on how well the methods agree on rz.
std::string formatMethodComparison(const MethodComparison& method_results, double consensus_threshold_deg = 1.5);

}  // namespace vantel::quality

#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye_chain.hpp"

namespace vantel::calibration {

// The mistakes users make most with hand-eye data, told apart from the data itself after a solve:
// robot poses inverted (or the camera mounted the other way), robot translations or target lengths
// in millimetres, camera-to-target poses inverted (checked only when the caller gave them). One
// line per finding, naming the likely cause and the fix; none for data that look right.
std::vector<std::string> handEyeConventionWarnings(const std::vector<cv::Mat>& robot_T_tcp_list,
                                                   const std::vector<cv::Mat>& camera_T_target_list,
                                                   CameraMounting mounting, bool camera_poses_given,
                                                   const std::string& calibrator_name);

}  // namespace vantel::calibration

#pragma once

#include <ostream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye_records.hpp"

namespace vantel::calibration {

// What both hand-eye reports print after their transforms: the camera model, its reprojection
// error (fixed notation from there on, unless it is n/a), the consistency block under `title` when
// there is one, and the rotation variety of the camera poses.
void writeCameraAndConsistencyReport(std::ostream& text, const cv::Mat& intrinsic_matrix,
                                     const cv::Mat& distortion_coefficients, double reprojection_error,
                                     const std::string& title, const TargetConsistencyStats* consistency,
                                     const std::vector<cv::Mat>& camera_T_target_list);

}  // namespace vantel::calibration

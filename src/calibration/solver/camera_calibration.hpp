#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace vantel::calibration::solver {

// cv::calibrateCamera's contract (outputs, flags, errors) with standard deviations and per-view
// errors. Where the block solver takes the flags and the input, it solves the problem with the
// views' poses eliminated in every step (time linear in the views) from OpenCV's own start, and
// stops at the minimum (the camera parameters stop moving) or after criteria.maxCount iterations;
// OpenCV's stop on the relative change of all parameters, views included, can end in a shallow
// valley far from it. Other flags and inputs OpenCV does not accept go to OpenCV's solver
// (with LU unless the caller chose QR or LU), whose errors reach the caller unchanged.
double calibrateCamera(const std::vector<cv::Mat>& objectPoints, const std::vector<cv::Mat>& imagePoints,
                       cv::Size imageSize, cv::Mat& cameraMatrix, cv::Mat& distortion, std::vector<cv::Mat>& rvecs,
                       std::vector<cv::Mat>& tvecs, cv::Mat& stdDeviationsIntrinsics,
                       cv::Mat& stdDeviationsExtrinsics, cv::Mat& perViewErrors, int flags,
                       const cv::TermCriteria& criteria);

}  // namespace vantel::calibration::solver

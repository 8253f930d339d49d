#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace vantel::calibration::solver {

// cv::stereoCalibrate's contract for the pair's pose (R, T map camera 1 into camera 2) and, without
// CALIB_FIX_INTRINSIC, both cameras' refined intrinsics written back into the four matrices. With
// CALIB_FIX_INTRINSIC, or CALIB_USE_INTRINSIC_GUESS and the flags the block solver takes, it solves
// with the board poses eliminated in every step from OpenCV's start (each camera's PnP poses, the
// median relative pose) and stops at the minimum or after criteria.maxCount iterations; other
// flags and inputs go to OpenCV (LU unless the caller chose). Returns the RMS error over both cameras.
double stereoCalibrate(const std::vector<cv::Mat>& objectPoints, const std::vector<cv::Mat>& points1,
                       const std::vector<cv::Mat>& points2, cv::Mat& cameraMatrix1, cv::Mat& distortion1,
                       cv::Mat& cameraMatrix2, cv::Mat& distortion2, cv::Size imageSize, cv::Mat& rotation,
                       cv::Mat& translation, int flags, const cv::TermCriteria& criteria);

}  // namespace vantel::calibration::solver

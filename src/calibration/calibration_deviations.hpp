#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace vantel::calibration {

// cv::calibrateCamera with standard deviations and per-view errors, with the same results. The
// solver is the caller's, or LU (see withFastSolver). Where the free parameters are fx, fy, cx, cy
// and five distortion coefficients, the deviations come from the normal equations inverted
// through their blocks (intrinsics, and one 6 x 6 block per view): OpenCV inverts the whole
// matrix by SVD, whose cost grows with the cube of the views and dominates with many of them.
double calibrateCameraWithDeviations(const std::vector<cv::Mat>& objectPoints,
                                     const std::vector<cv::Mat>& imagePoints, cv::Size imageSize,
                                     cv::Mat& cameraMatrix, cv::Mat& distortion, std::vector<cv::Mat>& rvecs,
                                     std::vector<cv::Mat>& tvecs, cv::Mat& stdDeviationsIntrinsics,
                                     cv::Mat& stdDeviationsExtrinsics, cv::Mat& perViewErrors, int flags,
                                     const cv::TermCriteria& criteria);

}  // namespace vantel::calibration

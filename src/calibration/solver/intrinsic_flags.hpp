#pragma once

#include <opencv2/core.hpp>

#include "calibration/solver/board_bundle.hpp"

namespace vantel::calibration::solver {

// The calibration flags the block solver reproduces: the intrinsic guess, the fixed values
// (focal length, aspect ratio, principal point, tangential terms, single radial terms, thin-prism
// and tilt terms), the 5-, 8-, 12- and 14-term models and the choice of OpenCV's linear solver,
// which the block solver has no use for. Everything else stays with OpenCV.
bool blockSolverTakesFlags(int flags);

// How many distortion coefficients the model has with these flags (the terms projectPoints is
// given), and how many OpenCV returns (the model's terms padded with zeros).
int distortionCountFor(int flags);
int returnedDistortionCount(int flags);

// A camera whose values start from cameraMatrix and distortion (padded with zeros) and move as
// the flags allow, as OpenCV's calibrations treat them; its model has the flags' terms and at
// least as many as the distortion given.
CameraIntrinsics intrinsicsFor(const cv::Matx33d& cameraMatrix, const cv::Mat& distortion, int flags);

// 18 x 1 in OpenCV's order from a camera's covariance block (layout order, unit weight) and the
// residual variance: 0 for every value that did not move.
cv::Mat intrinsicDeviations(const std::vector<int>& freeIntrinsics, const cv::Mat& covarianceBlock,
                            double variance);

}  // namespace vantel::calibration::solver

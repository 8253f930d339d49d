#pragma once

#include <opencv2/core.hpp>

#include "calibration/solver/board_bundle.hpp"

namespace vantel::calibration::solver {

// cv::projectPoints for the solver's inner loop: the same model, projections and Jacobian (columns
// rvec, tvec, fx, fy, cx, cy, then the camera's distortion terms), written into the given
// matrices, which keep their memory from call to call. OpenCV's own call converts and allocates
// on every view; this does not. The tilted model (14 terms) goes to OpenCV.
// objectPoints: N x 3 CV_64F; projected: N x 1 CV_64FC2; jacobian: 2N x (10 + terms) CV_64F.
void projectWithJacobian(const cv::Mat& objectPoints, const Pose& pose, const CameraIntrinsics& camera,
                         cv::Mat& projected, cv::Mat& jacobian);

}  // namespace vantel::calibration::solver

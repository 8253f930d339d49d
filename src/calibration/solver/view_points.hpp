#pragma once

#include <opencv2/core.hpp>

namespace vantel::calibration::solver {

// A view's points as the solver takes them, from the float layouts OpenCV's calibrations accept
// (N x 1 three- or two-channel, or N x 3 / N x 2 one-channel): N x 3 and N x 2 CV_64F. Empty when
// the matrix is no such list, which OpenCV would refuse.
cv::Mat objectPointRows(const cv::Mat& points);
cv::Mat imagePointRows(const cv::Mat& points);

}  // namespace vantel::calibration::solver

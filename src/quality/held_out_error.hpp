#pragma once

#include <opencv2/core.hpp>

namespace vantel::quality {

// L2 norm of all residual coordinates divided by the point count (not an RMS), after
// projecting the object points with the pose rvec, tvec and the camera model K, D.
double heldOutError(const cv::Mat& objectPoints, const cv::Mat& imagePoints, const cv::Mat& K, const cv::Mat& D,
                    const cv::Mat& rvec, const cv::Mat& tvec);

}  // namespace vantel::quality

#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace vantel::calibration::solver {

// cv::initCameraMatrix2D's estimate (principal point at the image centre, focal lengths from each
// view's homography), with the views' homographies found side by side on OpenCV's threads: it
// is the slowest part of a calibration's start with many views. The views must be usable by the
// solver (N x 3 and N x 2 doubles of a board at z = 0).
cv::Matx33d initialCameraMatrix(const std::vector<cv::Mat>& objects, const std::vector<cv::Mat>& points,
                                cv::Size imageSize, double aspectRatio);

}  // namespace vantel::calibration::solver

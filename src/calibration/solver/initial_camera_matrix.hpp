#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

namespace vantel::calibration::solver {

// cv::initCameraMatrix2D's estimate (principal point at the image centre, focal lengths from each
// view's homography), with the views' homographies found side by side on OpenCV's threads: it
// is the slowest part of a calibration's start with many views. The views must be usable by the
// solver (N x 3 and N x 2 doubles of a board at z = 0). Nothing when a view has no homography
// (its points on a line, say): OpenCV's own estimate then fails and says why.
std::optional<cv::Matx33d> initialCameraMatrix(const std::vector<cv::Mat>& objects, const std::vector<cv::Mat>& points,
                                cv::Size imageSize, double aspectRatio);

}  // namespace vantel::calibration::solver

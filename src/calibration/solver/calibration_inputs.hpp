#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/solver/board_bundle.hpp"

namespace vantel::calibration::solver {

// Views as the block solver takes them: N x 3 and N x 2 CV_64F, N >= 4 in every view.
struct Views {
    std::vector<cv::Mat> objects;
    std::vector<cv::Mat> points;
};

// The views, or nothing when a list is empty, the lists differ in length, a view has fewer than
// 4 points or point lists OpenCV would not take: such input goes to OpenCV, which reports it.
std::optional<Views> usableViews(const std::vector<cv::Mat>& objectPoints, const std::vector<cv::Mat>& imagePoints);

// A camera matrix OpenCV accepts as a guess: [fx 0 cx; 0 fy cy; 0 0 1] with positive focal
// lengths and the principal point in the image.
std::optional<cv::Matx33d> acceptableCameraMatrix(const cv::Mat& cameraMatrix, cv::Size imageSize);

// Every view's board pose by OpenCV's iterative PnP with the camera's current values, as
// OpenCV's calibrations start; the views side by side on OpenCV's threads.
std::vector<Pose> startingPoses(const Views& views, const CameraIntrinsics& camera);

// The number of distortion terms of a coefficient matrix (0 for an empty one).
int coefficientCount(const cv::Mat& distortion);

}  // namespace vantel::calibration::solver

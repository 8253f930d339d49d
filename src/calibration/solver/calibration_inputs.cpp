#include "calibration/solver/calibration_inputs.hpp"

#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>

namespace vantel::calibration::solver {
namespace {

constexpr int kMinPointsPerView = 4;
constexpr double kShapeTolerance = 1e-5;

cv::Mat pointRows(const cv::Mat& points, int dimensions) {
    const int count = points.checkVector(dimensions, CV_32F);
    if (count <= 0) {
        return cv::Mat();
    }
    cv::Mat rows;
    points.reshape(1, count).convertTo(rows, CV_64F);
    return rows;
}

}  // namespace

std::optional<Views> usableViews(const std::vector<cv::Mat>& objectPoints, const std::vector<cv::Mat>& imagePoints) {
    if (objectPoints.empty() || objectPoints.size() != imagePoints.size()) {
        return std::nullopt;
    }
    Views views;
    for (size_t k = 0; k < objectPoints.size(); ++k) {
        cv::Mat objects = pointRows(objectPoints[k], 3);
        cv::Mat points = pointRows(imagePoints[k], 2);
        if (objects.rows < kMinPointsPerView || points.rows != objects.rows) {
            return std::nullopt;
        }
        views.objects.push_back(std::move(objects));
        views.points.push_back(std::move(points));
    }
    return views;
}

std::optional<cv::Matx33d> acceptableCameraMatrix(const cv::Mat& cameraMatrix, cv::Size imageSize) {
    if (cameraMatrix.rows != 3 || cameraMatrix.cols != 3 || cameraMatrix.channels() != 1 ||
        cameraMatrix.depth() > CV_64F) {
        return std::nullopt;
    }
    cv::Matx33d K;
    cameraMatrix.convertTo(K, CV_64F);
    const bool shaped = std::abs(K(0, 1)) <= kShapeTolerance && std::abs(K(1, 0)) <= kShapeTolerance &&
                        std::abs(K(2, 0)) <= kShapeTolerance && std::abs(K(2, 1)) <= kShapeTolerance &&
                        std::abs(K(2, 2) - 1) <= kShapeTolerance;
    const bool inside = K(0, 2) >= 0 && K(0, 2) < imageSize.width && K(1, 2) >= 0 && K(1, 2) < imageSize.height;
    if (!shaped || !inside || !(K(0, 0) > 0) || !(K(1, 1) > 0)) {
        return std::nullopt;
    }
    return K;
}

std::vector<Pose> startingPoses(const Views& views, const CameraIntrinsics& camera) {
    const cv::Matx33d K = camera.cameraMatrix();
    const cv::Mat distortion = camera.distortion();
    std::vector<Pose> poses(views.objects.size());
    cv::parallel_for_(cv::Range(0, static_cast<int>(poses.size())), [&](const cv::Range& range) {
        for (int k = range.start; k < range.end; ++k) {
            const size_t view = static_cast<size_t>(k);
            cv::solvePnP(views.objects[view], views.points[view], K, distortion, poses[view].rvec, poses[view].tvec,
                         false, cv::SOLVEPNP_ITERATIVE);
        }
    });
    return poses;
}

int coefficientCount(const cv::Mat& distortion) {
    return static_cast<int>(distortion.total()) * distortion.channels();
}

}  // namespace vantel::calibration::solver

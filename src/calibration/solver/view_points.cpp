#include "calibration/solver/view_points.hpp"

namespace vantel::calibration::solver {
namespace {

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

cv::Mat objectPointRows(const cv::Mat& points) { return pointRows(points, 3); }

cv::Mat imagePointRows(const cv::Mat& points) { return pointRows(points, 2); }

}  // namespace vantel::calibration::solver

#include "calibration/solver/initial_camera_matrix.hpp"

#include <atomic>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>

namespace vantel::calibration::solver {
namespace {

// OpenCV's two rows of one view: the vanishing points of the board's axes and of its diagonals,
// with the principal point taken out of the homography, are orthogonal directions.
void addViewRows(const cv::Mat& homography, double cx, double cy, double* A, double* b) {
    double H[9];
    for (int k = 0; k < 9; ++k) {
        H[k] = homography.at<double>(k / 3, k % 3);
    }
    H[0] -= H[6] * cx; H[1] -= H[7] * cx; H[2] -= H[8] * cx;
    H[3] -= H[6] * cy; H[4] -= H[7] * cy; H[5] -= H[8] * cy;
    double h[3], v[3], d1[3], d2[3], n[4] = {0, 0, 0, 0};
    for (int j = 0; j < 3; ++j) {
        const double t0 = H[j * 3], t1 = H[j * 3 + 1];
        h[j] = t0;
        v[j] = t1;
        d1[j] = (t0 + t1) * 0.5;
        d2[j] = (t0 - t1) * 0.5;
        n[0] += t0 * t0;
        n[1] += t1 * t1;
        n[2] += d1[j] * d1[j];
        n[3] += d2[j] * d2[j];
    }
    for (double& value : n) {
        value = 1.0 / std::sqrt(value);
    }
    for (int j = 0; j < 3; ++j) {
        h[j] *= n[0];
        v[j] *= n[1];
        d1[j] *= n[2];
        d2[j] *= n[3];
    }
    A[0] = h[0] * v[0];
    A[1] = h[1] * v[1];
    A[2] = d1[0] * d2[0];
    A[3] = d1[1] * d2[1];
    b[0] = -h[2] * v[2];
    b[1] = -d1[2] * d2[2];
}

}  // namespace

std::optional<cv::Matx33d> initialCameraMatrix(const std::vector<cv::Mat>& objects,
                                               const std::vector<cv::Mat>& points, cv::Size imageSize,
                                               double aspectRatio) {
    const int views = static_cast<int>(objects.size());
    const double cx = imageSize.width ? (imageSize.width - 1) * 0.5 : 0.5;
    const double cy = imageSize.height ? (imageSize.height - 1) * 0.5 : 0.5;
    cv::Mat A(2 * views, 2, CV_64F), b(2 * views, 1, CV_64F);
    std::atomic<bool> everyHomography{true};
    cv::parallel_for_(cv::Range(0, views), [&](const cv::Range& range) {
        for (int k = range.start; k < range.end; ++k) {
            const cv::Mat homography = cv::findHomography(objects[static_cast<size_t>(k)].colRange(0, 2),
                                                          points[static_cast<size_t>(k)], 0);
            if (homography.empty()) {
                everyHomography = false;
                continue;
            }
            addViewRows(homography, cx, cy, A.ptr<double>(2 * k), b.ptr<double>(2 * k));
        }
    });
    if (!everyHomography) {
        return std::nullopt;
    }
    cv::Mat inverseSquares;
    cv::solve(A, b, inverseSquares, cv::DECOMP_NORMAL | cv::DECOMP_SVD);
    double fx = std::sqrt(std::abs(1.0 / inverseSquares.at<double>(0)));
    double fy = std::sqrt(std::abs(1.0 / inverseSquares.at<double>(1)));
    if (aspectRatio != 0.0) {
        const double common = (fx + fy) / (aspectRatio + 1.0);
        fx = aspectRatio * common;
        fy = common;
    }
    return cv::Matx33d(fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0);
}

}  // namespace vantel::calibration::solver

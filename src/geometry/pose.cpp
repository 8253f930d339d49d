#include "geometry/pose.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace vantel {
namespace {

constexpr double kPi = 3.141592653589793;

double degreesToRadians(double degrees) { return degrees * kPi / 180.0; }

double radiansToDegrees(double radians) { return radians * 180.0 / kPi; }

}  // namespace

cv::Mat poseToTransformationMatrix(const std::vector<double>& pose) {
    if (pose.size() != 6) {
        throw std::invalid_argument("poseToTransformationMatrix: expected 6 elements [x,y,z,rx,ry,rz]");
    }
    const double a = degreesToRadians(pose[3]);
    const double b = degreesToRadians(pose[4]);
    const double c = degreesToRadians(pose[5]);
    const double ca = std::cos(a), sa = std::sin(a);
    const double cb = std::cos(b), sb = std::sin(b);
    const double cc = std::cos(c), sc = std::sin(c);

    cv::Mat transform = cv::Mat::eye(4, 4, CV_64F);
    auto* r0 = transform.ptr<double>(0);
    auto* r1 = transform.ptr<double>(1);
    auto* r2 = transform.ptr<double>(2);
    r0[0] = cc * cb; r0[1] = cc * sb * sa - sc * ca; r0[2] = cc * sb * ca + sc * sa; r0[3] = pose[0];
    r1[0] = sc * cb; r1[1] = sc * sb * sa + cc * ca; r1[2] = sc * sb * ca - cc * sa; r1[3] = pose[1];
    r2[0] = -sb;     r2[1] = cb * sa;                r2[2] = cb * ca;                r2[3] = pose[2];
    return transform;
}

std::vector<double> transformationMatrixToPose(const cv::Mat& transformation) {
    // A multi-channel 4x4 would be read as interleaved values: refuse it like any other shape.
    if (transformation.rows != 4 || transformation.cols != 4 || transformation.channels() != 1) {
        throw std::invalid_argument("transformationMatrixToPose: expected a 4x4 matrix");
    }
    cv::Mat m;
    transformation.convertTo(m, CV_64F);

    const double ry = std::asin(std::clamp(-m.at<double>(2, 0), -1.0, 1.0));
    double rx = 0.0;
    double rz = 0.0;
    if (std::abs(std::cos(ry)) > 1e-9) {
        rx = std::atan2(m.at<double>(2, 1), m.at<double>(2, 2));
        rz = std::atan2(m.at<double>(1, 0), m.at<double>(0, 0));
    } else {
        // Gimbal lock: only rz - rx (or rz + rx) is defined, so put it all into rz.
        rz = std::atan2(-m.at<double>(0, 1), m.at<double>(1, 1));
    }
    return {m.at<double>(0, 3), m.at<double>(1, 3), m.at<double>(2, 3),
            radiansToDegrees(rx), radiansToDegrees(ry), radiansToDegrees(rz)};
}

cv::Mat averagePose(const std::vector<cv::Mat>& poses) {
    if (poses.empty()) {
        throw std::invalid_argument("averagePose: poses must be non-empty");
    }
    cv::Mat rotationSum = cv::Mat::zeros(3, 3, CV_64F);
    cv::Mat translationSum = cv::Mat::zeros(3, 1, CV_64F);
    for (const cv::Mat& pose : poses) {
        if (pose.rows < 3 || pose.cols < 4 || pose.channels() != 1) {
            throw std::invalid_argument(
                "averagePose: each pose must be a single-channel matrix of at least 3 rows and 4 columns");
        }
        cv::Mat m;
        pose.convertTo(m, CV_64F);
        rotationSum += m(cv::Rect(0, 0, 3, 3));
        translationSum += m(cv::Rect(3, 0, 1, 3));
    }
    const cv::Mat meanTranslation = translationSum * (1.0 / static_cast<double>(poses.size()));

    cv::Mat w, u, vt;
    cv::SVD::compute(rotationSum, w, u, vt, 0);
    cv::Mat rotation = u * vt;
    if (cv::determinant(rotation) < 0) {
        vt.row(2) *= -1.0;
        rotation = u * vt;
    }

    cv::Mat result = cv::Mat::eye(4, 4, CV_64F);
    rotation.copyTo(result(cv::Rect(0, 0, 3, 3)));
    meanTranslation.copyTo(result(cv::Rect(3, 0, 1, 3)));
    return result;
}

}  // namespace vantel

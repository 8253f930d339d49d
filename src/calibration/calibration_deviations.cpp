#include "calibration/calibration_deviations.hpp"

#include <cmath>

#include <opencv2/calib3d.hpp>

#include "calibration/solver_flags.hpp"

namespace vantel::calibration {
namespace {

constexpr int kFreeIntrinsics = 9;  // fx, fy, cx, cy, k1, k2, p1, p2, k3
constexpr int kExtrinsics = 6;
constexpr int kReportedIntrinsics = 18;

struct CalibrationDeviations {
    std::vector<double> per_view_errors;
    cv::Mat intrinsics;  // 18 x 1 CV_64F, 0 for fixed parameters
    cv::Mat extrinsics;  // 6 * views x 1 CV_64F
};

bool hasFreeCameraAndFiveCoefficients(int flags, int guessedCoefficients) {
    const int harmless = cv::CALIB_USE_LU | cv::CALIB_USE_QR | cv::CALIB_USE_INTRINSIC_GUESS;
    return (flags & ~harmless) == 0 && (guessedCoefficients == 0 || guessedCoefficients == 5);
}

CalibrationDeviations deviationsOfFreeCamera(const std::vector<cv::Mat>& objectPoints,
                                             const std::vector<cv::Mat>& imagePoints, const cv::Mat& cameraMatrix,
                                             const cv::Mat& distortion, const std::vector<cv::Mat>& rvecs,
                                             const std::vector<cv::Mat>& tvecs) {
    const size_t views = objectPoints.size();
    CalibrationDeviations deviations;
    cv::Mat intrinsicBlock = cv::Mat::zeros(kFreeIntrinsics, kFreeIntrinsics, CV_64F);
    std::vector<cv::Mat> crossBlocks(views), viewBlocks(views);
    double squaredResiduals = 0.0;
    int points = 0;
    for (size_t k = 0; k < views; ++k) {
        // In doubles, as OpenCV's own residuals: float projections would move the errors by 1e-5.
        cv::Mat objects, projected, jacobian;
        objectPoints[k].convertTo(objects, CV_64F);
        cv::projectPoints(objects.reshape(3, objects.rows), rvecs[k], tvecs[k], cameraMatrix, distortion, projected,
                          jacobian);
        // Columns: rvec, tvec, fx, fy, cx, cy, then the distortion coefficients.
        const cv::Mat extrinsic = jacobian.colRange(0, kExtrinsics);
        const cv::Mat intrinsic = jacobian.colRange(kExtrinsics, kExtrinsics + kFreeIntrinsics);
        intrinsicBlock += intrinsic.t() * intrinsic;
        crossBlocks[k] = intrinsic.t() * extrinsic;
        viewBlocks[k] = (extrinsic.t() * extrinsic).inv(cv::DECOMP_LU);

        cv::Mat observed;
        imagePoints[k].reshape(2, projected.rows).convertTo(observed, projected.type());
        const double viewSquares = cv::norm(projected, observed, cv::NORM_L2SQR);
        deviations.per_view_errors.push_back(std::sqrt(viewSquares / projected.rows));
        squaredResiduals += viewSquares;
        points += projected.rows;
    }

    // Schur complement of the view blocks: the intrinsic part of the inverse.
    cv::Mat schur = intrinsicBlock.clone();
    for (size_t k = 0; k < views; ++k) {
        schur -= crossBlocks[k] * viewBlocks[k] * crossBlocks[k].t();
    }
    const cv::Mat intrinsicCovariance = schur.inv(cv::DECOMP_LU);

    // Residual variance: two coordinates per point, less the free parameters (as OpenCV 4.10 does;
    // 4.6 divided by the point count alone, which overstates every deviation by about sqrt(2)).
    const double sigma2 =
        squaredResiduals / (2.0 * points - kFreeIntrinsics - kExtrinsics * static_cast<double>(views));
    deviations.intrinsics = cv::Mat::zeros(kReportedIntrinsics, 1, CV_64F);
    for (int p = 0; p < kFreeIntrinsics; ++p) {
        deviations.intrinsics.at<double>(p) = std::sqrt(intrinsicCovariance.at<double>(p, p) * sigma2);
    }
    deviations.extrinsics = cv::Mat(kExtrinsics * static_cast<int>(views), 1, CV_64F);
    for (size_t k = 0; k < views; ++k) {
        const cv::Mat spread = viewBlocks[k] * crossBlocks[k].t();
        const cv::Mat covariance = viewBlocks[k] + spread * intrinsicCovariance * spread.t();
        for (int p = 0; p < kExtrinsics; ++p) {
            deviations.extrinsics.at<double>(static_cast<int>(k) * kExtrinsics + p) =
                std::sqrt(covariance.at<double>(p, p) * sigma2);
        }
    }
    return deviations;
}

}  // namespace

double calibrateCameraWithDeviations(const std::vector<cv::Mat>& objectPoints,
                                     const std::vector<cv::Mat>& imagePoints, cv::Size imageSize,
                                     cv::Mat& cameraMatrix, cv::Mat& distortion, std::vector<cv::Mat>& rvecs,
                                     std::vector<cv::Mat>& tvecs, cv::Mat& stdDeviationsIntrinsics,
                                     cv::Mat& stdDeviationsExtrinsics, cv::Mat& perViewErrors, int flags,
                                     const cv::TermCriteria& criteria) {
    if (!hasFreeCameraAndFiveCoefficients(flags, static_cast<int>(distortion.total()))) {
        return cv::calibrateCamera(objectPoints, imagePoints, imageSize, cameraMatrix, distortion, rvecs, tvecs,
                                   stdDeviationsIntrinsics, stdDeviationsExtrinsics, perViewErrors,
                                   withFastSolver(flags), criteria);
    }
    const double rms = cv::calibrateCamera(objectPoints, imagePoints, imageSize, cameraMatrix, distortion, rvecs,
                                           tvecs, withFastSolver(flags), criteria);
    const CalibrationDeviations deviations =
        deviationsOfFreeCamera(objectPoints, imagePoints, cameraMatrix, distortion, rvecs, tvecs);
    cv::Mat(deviations.per_view_errors, true).copyTo(perViewErrors);
    stdDeviationsIntrinsics = deviations.intrinsics;
    stdDeviationsExtrinsics = deviations.extrinsics;
    return rms;
}

}  // namespace vantel::calibration

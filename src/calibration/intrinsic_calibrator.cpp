#include "calibration/intrinsic_calibrator.hpp"

#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/calib3d.hpp>

#include "calibration/corner_finding.hpp"
#include "calibration/solver/camera_calibration.hpp"
#include "calibration/solver_flags.hpp"
#include "services/log.hpp"
#include "targets/image_check.hpp"

namespace vantel::calibration {
namespace {

enum class CalibrationMethod { Standard, ReleaseObject };

CalibrationMethod chooseMethod(const Target& target, const IntrinsicOptions& options) {
    if (std::holds_alternative<CharucoTarget>(target)) {
        return CalibrationMethod::Standard;
    }
    const std::string& method = options.calibrate_camera_method;
    if (method == "Default") {
        return CalibrationMethod::Standard;
    }
    if (method == "Release Object") {
        return CalibrationMethod::ReleaseObject;
    }
    throw std::invalid_argument(
        "IntrinsicCalibrator: calibrate_camera_method must be 'Default' or 'Release Object', got '" + method + "'");
}

// Index of the first image among `indices` whose size differs from `size`, or -1.
int firstImageOfOtherSize(const std::vector<cv::Mat>& images, const std::vector<int>& indices, cv::Size size) {
    for (const int i : indices) {
        if (images[i].size() != size) {
            return i;
        }
    }
    return -1;
}

std::string describeSize(const cv::Mat& image) {
    return std::to_string(image.cols) + "x" + std::to_string(image.rows);
}

}  // namespace

IntrinsicCalibrator::IntrinsicCalibrator(Target target, IntrinsicOptions options, CornerImages corner_images)
    : target_(std::move(target)), options_(std::move(options)), corner_images_(corner_images) {}

TargetDetections IntrinsicCalibrator::findCorners(const std::vector<cv::Mat>& images) const {
    requireUsableImages(images, "IntrinsicCalibrator: ");
    return findTargetCorners(images, target_, options_, corner_images_);
}

IntrinsicResult IntrinsicCalibrator::calibrate(const std::vector<cv::Mat>& images) {
    return calibrateDetected(images, findCorners(images));
}

IntrinsicResult IntrinsicCalibrator::calibrateDetected(const std::vector<cv::Mat>& images,
                                                       TargetDetections detections) {
    // A call that ends in an exception (a bad option, an error of OpenCV's) leaves the calibrator
    // as it was; one that completes, even with ok false, replaces its state.
    TargetDetections previousDetections = std::move(detections_);
    std::vector<cv::Mat> previousRvecs = std::move(rvecs_), previousTvecs = std::move(tvecs_);
    try {
        return calibrateReplacing(images, std::move(detections));
    } catch (...) {
        detections_ = std::move(previousDetections);
        rvecs_ = std::move(previousRvecs);
        tvecs_ = std::move(previousTvecs);
        throw;
    }
}

IntrinsicResult IntrinsicCalibrator::calibrateReplacing(const std::vector<cv::Mat>& images,
                                                        TargetDetections detections) {
    detections_ = std::move(detections);
    rvecs_.clear();
    tvecs_.clear();

    IntrinsicResult result;
    result.successful_indices = detections_.successful_indices;
    result.image_points = detections_.image_points;
    if (detections_.image_points.empty()) {
        logMessage(LogLevel::Warning, "[IntrinsicCalibrator] No corners found. Check the images and try again.");
        return result;
    }
    const int first = detections_.successful_indices.front();
    const cv::Size imageSize = images[first].size();
    const CalibrationMethod method = chooseMethod(target_, options_);
    // One size for the calibrated views: views of another camera would be calibrated
    // against the wrong image centre without any sign of it. An image of another size
    // that gave no view cannot do that; it is only named.
    if (const int other = firstImageOfOtherSize(images, detections_.successful_indices, imageSize); other >= 0) {
        logMessage(LogLevel::Error, "[IntrinsicCalibrator] Image " + std::to_string(other) + " is " +
                                        describeSize(images[other]) + " but image " + std::to_string(first) +
                                        " is " + describeSize(images[first]) +
                                        "; all images must come from one camera.");
        return result;
    }
    for (size_t i = 0; i < images.size(); ++i) {
        if (images[i].size() != imageSize) {
            logMessage(LogLevel::Warning, "[IntrinsicCalibrator] Image " + std::to_string(i) + " is " +
                                              describeSize(images[i]) + ", not " + describeSize(images[first]) +
                                              " like the calibrated views; skipping it.");
        }
    }
    cv::Mat cameraMatrix = options_.intrinsic_matrix_guess ? options_.intrinsic_matrix_guess->clone() : cv::Mat();
    cv::Mat distCoeffs =
        options_.distortion_coefficients_guess ? options_.distortion_coefficients_guess->clone() : cv::Mat();

    cv::Mat stdDevIntrinsics, stdDevExtrinsics, perViewErrors;
    double rms = 0.0;
    if (method == CalibrationMethod::Standard) {
        rms = solver::calibrateCamera(detections_.object_points, detections_.image_points, imageSize,
                                            cameraMatrix, distCoeffs, rvecs_, tvecs_, stdDevIntrinsics,
                                            stdDevExtrinsics, perViewErrors, options_.calibrate_camera_flags,
                                            options_.criteria);
    } else {
        cv::Mat newObjectPoints, stdDevObjectPoints;
        rms = cv::calibrateCameraRO(detections_.object_points, detections_.image_points, imageSize,
                                    options_.index_of_fixed_3d_point, cameraMatrix, distCoeffs, rvecs_, tvecs_,
                                    newObjectPoints, stdDevIntrinsics, stdDevExtrinsics, stdDevObjectPoints,
                                    perViewErrors, withFastSolver(options_.calibrate_camera_flags), options_.criteria);
    }
    if (!(rms > 0.0)) {
        logMessage(LogLevel::Error,
                   "[IntrinsicCalibrator] Camera calibration failed. Check the images and try again.");
        return result;
    }

    perViewErrors.reshape(1, 1).copyTo(result.per_view_errors);
    for (size_t k = 0; k < result.per_view_errors.size(); ++k) {
        if (result.per_view_errors[k] <= options_.per_view_error_threshold) {
            result.low_view_error_indices.push_back(static_cast<int>(k));
        }
    }
    if (result.low_view_error_indices.empty()) {
        logMessage(LogLevel::Warning, "[IntrinsicCalibrator] No view with reprojection error below " +
                                          std::to_string(options_.per_view_error_threshold) +
                                          ". Returning intrinsics anyway with low_view_error_indices=[].");
    }
    result.intrinsic_matrix = cameraMatrix;
    result.distortion_coefficients = distCoeffs.reshape(1, 1);
    result.std_deviations_intrinsics = stdDevIntrinsics;
    result.std_deviations_extrinsics = stdDevExtrinsics;
    result.reprojection_error = meanViewError(result.intrinsic_matrix, result.distortion_coefficients);
    result.ok = true;
    return result;
}

double IntrinsicCalibrator::meanViewError(const cv::Mat& cameraMatrix, const cv::Mat& distCoeffs) const {
    const auto& objectPoints = detections_.object_points;
    if (objectPoints.empty() || rvecs_.size() != objectPoints.size()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    double sum = 0.0;
    for (size_t k = 0; k < objectPoints.size(); ++k) {
        cv::Mat projected;
        cv::projectPoints(objectPoints[k], rvecs_[k], tvecs_[k], cameraMatrix, distCoeffs, projected);
        sum += cv::norm(detections_.image_points[k], projected, cv::NORM_L2) / static_cast<double>(projected.total());
    }
    return sum / static_cast<double>(objectPoints.size());
}

}  // namespace vantel::calibration

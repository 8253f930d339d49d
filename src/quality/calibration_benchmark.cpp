#include "quality/calibration_benchmark.hpp"

#include <cstdio>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <utility>

#include <opencv2/calib3d.hpp>

#include "calibration/detection_cache.hpp"
#include "calibration/eye_in_hand_calibrator.hpp"
#include "calibration/intrinsic_calibrator.hpp"
#include "calibration/intrinsic_options_equality.hpp"
#include "geometry/pose.hpp"
#include "module/log.hpp"
#include "quality/benchmark_detection.hpp"
#include "quality/cross_validation_folds.hpp"
#include "quality/held_out_error.hpp"
#include "quality/utc_timestamp.hpp"

namespace vantel::quality {
namespace {

using calibration::DetectionCache;
using calibration::EyeInHandCalibrator;
using calibration::IntrinsicCalibrator;
using calibration::IntrinsicOptions;
using calibration::IntrinsicResult;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr size_t kMinTrainingImages = 4;
constexpr int kMinPoints = 4;

// The benchmark's detection of each image of one call, made at most once.
class BenchmarkViews {
public:
    BenchmarkViews(const Target& target, const std::vector<cv::Mat>& images)
        : detector_(target), images_(images), views_(images.size()) {}

    const std::optional<BenchmarkView>& at(size_t index) {
        auto& slot = views_.at(index);
        if (!slot) {
            slot = detector_.detect(images_[index]);
        }
        return *slot;
    }

private:
    BenchmarkDetector detector_;
    const std::vector<cv::Mat>& images_;
    std::vector<std::optional<std::optional<BenchmarkView>>> views_;  // outer: looked at yet
};

double mean(const std::vector<double>& values) {
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

std::vector<cv::Mat> selectImages(const std::vector<cv::Mat>& images, const std::vector<int>& indices) {
    std::vector<cv::Mat> selected;
    selected.reserve(indices.size());
    for (const int index : indices) {
        selected.push_back(images[static_cast<size_t>(index)]);
    }
    return selected;
}

cv::Mat asDouble(const cv::Mat& matrix) {
    cv::Mat converted;
    matrix.convertTo(converted, CV_64F);
    return converted;
}

// Training images are found once per call and shared by the folds; each held-out image is
// detected once too. Logs exactly what calibrating each fold from scratch logs.
double crossValidateOnce(const std::vector<cv::Mat>& images, const Target& target, const IntrinsicOptions& options,
                         int n_splits, uint32_t seed, DetectionCache& corners, BenchmarkViews& views) {
    std::vector<double> errors;
    for (const Fold& fold : crossValidationFolds(images.size(), n_splits, seed)) {
        if (fold.training.size() < kMinTrainingImages) {
            continue;
        }
        IntrinsicCalibrator calibrator(target, options);
        const IntrinsicResult calibration =
            calibrator.calibrateDetected(selectImages(images, fold.training), corners.detectionsFor(fold.training));
        if (!calibration.ok) {
            continue;
        }
        for (const int index : fold.held_out) {
            const std::optional<BenchmarkView>& view = views.at(static_cast<size_t>(index));
            if (!view || view->image_points.rows < kMinPoints) {
                continue;
            }
            cv::Mat rvec;
            cv::Mat tvec;
            if (!cv::solvePnP(view->object_points, view->image_points, calibration.intrinsic_matrix,
                              calibration.distortion_coefficients, rvec, tvec, false, cv::SOLVEPNP_ITERATIVE)) {
                continue;
            }
            errors.push_back(heldOutError(view->object_points, view->image_points, calibration.intrinsic_matrix,
                                          calibration.distortion_coefficients, rvec, tvec));
        }
    }
    if (errors.empty()) {
        logMessage(LogLevel::Warning, "[Benchmark] cross_validate: no held-out errors computed.");
        return kInfinity;
    }
    return mean(errors);
}

double roundtripOnce(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& robot_poses,
                     const cv::Mat& tcp_T_camera, const cv::Mat& intrinsic_matrix,
                     const cv::Mat& distortion_coefficients, const std::vector<cv::Mat>& camera_T_target_list,
                     BenchmarkViews& views) {
    if (camera_T_target_list.empty() || camera_T_target_list.size() != robot_poses.size()) {
        logMessage(LogLevel::Warning,
                   "[Benchmark] hand_eye_roundtrip: camera_T_target_list missing  -  cannot recover base_T_board; "
                   "skipping.");
        return kInfinity;
    }
    // Poses may come from the host in either float depth; the products need one.
    const cv::Mat tcpTCamera = asDouble(tcp_T_camera);
    std::vector<cv::Mat> robotTTcp;
    std::vector<cv::Mat> baseTBoards;
    for (size_t i = 0; i < robot_poses.size(); ++i) {
        robotTTcp.push_back(asDouble(robot_poses[i]));
        baseTBoards.push_back(robotTTcp[i] * tcpTCamera * asDouble(camera_T_target_list[i]));
    }
    const cv::Mat base_T_board = averagePose(baseTBoards);
    const cv::Mat camera_T_tcp = tcpTCamera.inv(cv::DECOMP_LU);

    std::vector<double> errors;
    const size_t frames = std::min(images.size(), robot_poses.size());
    for (size_t i = 0; i < frames; ++i) {
        const std::optional<BenchmarkView>& view = views.at(i);
        if (!view || view->image_points.rows < kMinPoints) {
            continue;
        }
        const cv::Mat camera_T_board = camera_T_tcp * robotTTcp[i].inv(cv::DECOMP_LU) * base_T_board;
        cv::Mat rvec;
        cv::Rodrigues(camera_T_board(cv::Rect(0, 0, 3, 3)), rvec);
        const cv::Mat tvec = camera_T_board(cv::Rect(3, 0, 1, 3)).clone();
        errors.push_back(heldOutError(view->object_points, view->image_points, intrinsic_matrix,
                                      distortion_coefficients, rvec, tvec));
    }
    if (errors.empty()) {
        logMessage(LogLevel::Warning, "[Benchmark] hand_eye_roundtrip: no valid frames.");
        return kInfinity;
    }
    return mean(errors);
}

std::string printf6(double value) {
    char text[512];
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

}  // namespace

BenchmarkResult CalibrationBenchmark::run(const std::vector<cv::Mat>& images, const Target& target,
                                          const IntrinsicOptions& options, const std::vector<cv::Mat>& robot_poses,
                                          const std::optional<IntrinsicOptions>& eye_in_hand_options,
                                          const std::string& backend_name, int n_splits, uint32_t seed) const {
    logMessage(LogLevel::Info, "[Benchmark] Running backend: " + backend_name);
    DetectionCache corners(target, options, images);
    BenchmarkViews views(target, images);

    // Its log lines are kept: the hand-eye stage may reuse this very calibration below.
    std::vector<LogLine> calibrationLines;
    IntrinsicResult calibration;
    {
        std::optional<LogRecording> recording(std::in_place);
        try {
            calibration = IntrinsicCalibrator(target, options).calibrateDetected(images, corners.detectionsForAll());
        } catch (...) {
            calibrationLines = recording->takeLines();
            recording.reset();
            replayLog(calibrationLines);
            throw;
        }
        calibrationLines = recording->takeLines();
    }
    replayLog(calibrationLines);
    if (!calibration.ok) {
        throw std::runtime_error("[Benchmark] " + backend_name + " calibration failed.");
    }

    const double held = crossValidateOnce(images, target, options, n_splits, seed, corners, views);

    double roundtrip = -1.0;
    if (!robot_poses.empty() && eye_in_hand_options) {
        // The full pipeline calibrates the camera on all images again; with the same options that
        // is the calibration above, with the same corner finding at least the same corners.
        EyeInHandCalibrator::IntrinsicStage intrinsicStage;
        if (calibration::sameIntrinsicOptions(options, *eye_in_hand_options)) {
            intrinsicStage = [&](IntrinsicCalibrator&, const std::vector<cv::Mat>&) {
                replayLog(calibrationLines);
                return calibration;
            };
        } else if (calibration::sameCornerFindingOptions(options, *eye_in_hand_options)) {
            intrinsicStage = [&](IntrinsicCalibrator& intrinsic, const std::vector<cv::Mat>& handEyeImages) {
                return intrinsic.calibrateDetected(handEyeImages, corners.detectionsForAll());
            };
        }
        EyeInHandCalibrator handEye(target, *eye_in_hand_options);
        const EyeInHandCalibrator::PreparedFrames prepared =
            handEye.prepareFrames(robot_poses, images, {}, cv::Mat(), cv::Mat(), intrinsicStage);
        const calibration::HandEyeResult solved = handEye.solvePrepared(prepared, "TSAI");
        if (solved.ok && !solved.tcp_T_camera.empty()) {
            roundtrip = roundtripOnce(images, robot_poses, solved.tcp_T_camera, calibration.intrinsic_matrix,
                                      calibration.distortion_coefficients, solved.camera_T_target_list, views);
        }
    }

    BenchmarkResult result;
    result.backend_name = backend_name;
    result.reprojection_error = calibration.reprojection_error;
    result.camera_matrix = calibration.intrinsic_matrix;
    result.dist_coeffs = calibration.distortion_coefficients;
    result.held_out_reprojection_error = held;
    result.hand_eye_roundtrip_error = roundtrip;
    result.timestamp = utcTimestamp();
    result.image_count = images.size();
    logMessage(LogLevel::Info, "[Benchmark] " + backend_name + ": rpe=" + printf6(result.reprojection_error) +
                                   "px  held-out=" + printf6(held) +
                                   "px  roundtrip=" + (roundtrip < 0.0 ? std::string("n/a") : printf6(roundtrip)));
    return result;
}

double CalibrationBenchmark::crossValidate(const std::vector<cv::Mat>& images, const Target& target,
                                           const IntrinsicOptions& options, int n_splits, uint32_t seed) const {
    DetectionCache corners(target, options, images);
    BenchmarkViews views(target, images);
    return crossValidateOnce(images, target, options, n_splits, seed, corners, views);
}

double CalibrationBenchmark::handEyeRoundtrip(const std::vector<cv::Mat>& images,
                                              const std::vector<cv::Mat>& robot_poses, const cv::Mat& tcp_T_camera,
                                              const cv::Mat& intrinsic_matrix,
                                              const cv::Mat& distortion_coefficients, const Target& target,
                                              const std::vector<cv::Mat>& camera_T_target_list) const {
    BenchmarkViews views(target, images);
    return roundtripOnce(images, robot_poses, tcp_T_camera, intrinsic_matrix, distortion_coefficients,
                         camera_T_target_list, views);
}

}  // namespace vantel::quality

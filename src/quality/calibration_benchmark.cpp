#include "quality/calibration_benchmark.hpp"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <limits>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>

#include "calibration/detection_cache.hpp"
#include "calibration/eye_in_hand_calibrator.hpp"
#include "calibration/intrinsic_calibrator.hpp"
#include "calibration/intrinsic_options_equality.hpp"
#include "geometry/pose.hpp"
#include "services/log.hpp"
#include "services/progress.hpp"
#include "services/side_by_side_search.hpp"
#include "quality/benchmark_detection.hpp"
#include "quality/cross_validation_folds.hpp"
#include "quality/held_out_error.hpp"
#include "quality/utc_timestamp.hpp"
#include "targets/image_check.hpp"

namespace vantel::quality {
namespace {

using calibration::DetectionCache;
using calibration::EyeInHandCalibrator;
using calibration::IntrinsicCalibrator;
using calibration::IntrinsicOptions;
using calibration::IntrinsicResult;
using calibration::TargetDetections;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr size_t kMinTrainingImages = 4;
constexpr int kMinPoints = 4;

// The benchmark's detection of each image of one call, made at most once.
class BenchmarkViews {
public:
    BenchmarkViews(const Target& target, const std::vector<cv::Mat>& images)
        : target_(target), images_(images), views_(images.size()) {}

    // Detects the given images not seen yet side by side; detection logs nothing. An image whose
    // detection throws is left unseen, so that at() throws there, in order.
    void prefetch(const std::vector<size_t>& indices) {
        std::vector<size_t> unseen;
        for (const size_t index : indices) {
            if (index < views_.size() && !views_[index]) {
                unseen.push_back(index);
            }
        }
        if (unseen.empty()) {
            return;
        }
        // A search that throws assigns nothing: its image stays unseen.
        searchSideBySide(unseen.size(), [this, &unseen] {
            return [this, &unseen, detector = BenchmarkDetector(target_)](size_t k) {
                views_[unseen[k]] = detector.detect(images_[unseen[k]]);
            };
        });
    }

    const std::optional<BenchmarkView>& at(size_t index) {
        auto& slot = views_.at(index);
        if (!slot) {
            if (!detector_) {
                detector_.emplace(target_);
            }
            slot = detector_->detect(images_[index]);
        }
        return *slot;
    }

private:
    Target target_;
    // Built on first use: without images there is no board to build, and nothing to refuse.
    std::optional<BenchmarkDetector> detector_;
    const std::vector<cv::Mat>& images_;
    std::vector<std::optional<std::optional<BenchmarkView>>> views_;  // outer: looked at yet
};

std::vector<int> allPositions(size_t count) {
    std::vector<int> positions(count);
    std::iota(positions.begin(), positions.end(), 0);
    return positions;
}

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

// A calibration for the worker threads: its inputs, and what it returned, logged or threw.
struct RecordedCalibration {
    std::vector<cv::Mat> images;
    TargetDetections detections;
    std::vector<LogLine> detection_lines;  // the corner finding's, logged before the calibration's
    IntrinsicResult result;
    std::vector<LogLine> lines;
    std::exception_ptr failure;
};

// Independent calibrations side by side on OpenCV's threads. Nothing is logged there (the host's
// streams need the calling thread); each keeps its lines for the caller to replay in order.
void calibrateSideBySide(const Target& target, const IntrinsicOptions& options,
                         const std::vector<RecordedCalibration*>& jobs) {
    cv::parallel_for_(cv::Range(0, static_cast<int>(jobs.size())), [&](const cv::Range& range) {
        for (int k = range.start; k < range.end; ++k) {
            RecordedCalibration& job = *jobs[static_cast<size_t>(k)];
            LogRecording recording;
            try {
                job.result = IntrinsicCalibrator(target, options).calibrateDetected(job.images, job.detections);
            } catch (...) {
                job.failure = std::current_exception();
            }
            job.lines = recording.takeLines();
        }
    });
}

// Logs what a sequential run would have logged up to here and gives its result, or throws what it threw.
const IntrinsicResult& replayed(const RecordedCalibration& job) {
    replayLog(job.detection_lines);
    replayLog(job.lines);
    if (job.failure) {
        std::rethrow_exception(job.failure);
    }
    return job.result;
}

// The corners of the training images, found on the calling thread with their skip lines kept.
// Returns false (with the failure kept) when the corner finding throws.
bool recordDetections(DetectionCache& corners, const std::vector<int>& positions, RecordedCalibration& job) {
    LogRecording recording;
    try {
        job.detections = corners.detectionsFor(positions);
    } catch (...) {
        job.failure = std::current_exception();
    }
    job.detection_lines = recording.takeLines();
    return !job.failure;
}

// The folds that are calibrated, each with its calibration job. Training images are found once
// per call and shared by the folds; a corner-finding failure ends the list at its fold.
struct FoldPlan {
    std::vector<Fold> folds;
    std::vector<RecordedCalibration> calibrations;
    bool detection_failed = false;  // the last entry holds the failure, and no calibration ran
};

FoldPlan planFolds(const std::vector<cv::Mat>& images, int n_splits, uint32_t seed, DetectionCache& corners) {
    FoldPlan plan;
    std::vector<Fold> folds = crossValidationFolds(images.size(), n_splits, seed);
    if (std::any_of(folds.begin(), folds.end(),
                    [](const Fold& fold) { return fold.training.size() >= kMinTrainingImages; })) {
        corners.prefetchAll();
    }
    for (Fold& fold : folds) {
        if (fold.training.size() < kMinTrainingImages) {
            continue;
        }
        RecordedCalibration job;
        job.images = selectImages(images, fold.training);
        const bool found = recordDetections(corners, fold.training, job);
        plan.folds.push_back(std::move(fold));
        plan.calibrations.push_back(std::move(job));
        if (!found) {
            plan.detection_failed = true;
            break;
        }
    }
    return plan;
}

std::vector<RecordedCalibration*> pendingCalibrations(FoldPlan& plan) {
    std::vector<RecordedCalibration*> pending;
    for (RecordedCalibration& job : plan.calibrations) {
        if (!job.failure) {
            pending.push_back(&job);
        }
    }
    return pending;
}

std::vector<size_t> heldOutImages(const FoldPlan& plan) {
    std::vector<size_t> indices;
    for (const Fold& fold : plan.folds) {
        indices.insert(indices.end(), fold.held_out.begin(), fold.held_out.end());
    }
    return indices;
}

// In fold order, as if each fold had been calibrated from scratch: its lines, then its held-out images.
double finishCrossValidation(const FoldPlan& plan, BenchmarkViews& views) {
    std::vector<double> errors;
    for (size_t k = 0; k < plan.folds.size(); ++k) {
        reportProgress("Cross-validation folds", k, plan.folds.size());
        const IntrinsicResult& calibration = replayed(plan.calibrations[k]);
        if (!calibration.ok) {
            continue;
        }
        for (const int index : plan.folds[k].held_out) {
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
    std::vector<size_t> framesToDetect(frames);
    std::iota(framesToDetect.begin(), framesToDetect.end(), 0);
    views.prefetch(framesToDetect);
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

// One fold holds every image out at n_splits 1, and none is held out below: no error could ever
// be measured.
void requireFolds(int n_splits) {
    if (n_splits < 2) {
        throw std::invalid_argument("[Benchmark] n_splits must be at least 2, got " + std::to_string(n_splits));
    }
}

bool isFiniteMatrix(const cv::Mat& matrix, int rows, int cols) {
    return matrix.rows == rows && matrix.cols == cols && matrix.channels() == 1 && cv::checkRange(matrix);
}

// A NaN anywhere in the chain turns every projected point, and so the mean, into NaN.
void requireRoundtripInputs(const std::vector<cv::Mat>& robot_poses, const cv::Mat& tcp_T_camera,
                            const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients,
                            const std::vector<cv::Mat>& camera_T_target_list) {
    const std::string prefix = "[Benchmark] hand_eye_roundtrip: ";
    if (!isFiniteMatrix(tcp_T_camera, 4, 4)) {
        throw std::invalid_argument(prefix + "tcp_T_camera must be a finite 4x4 matrix");
    }
    if (!isFiniteMatrix(intrinsic_matrix, 3, 3)) {
        throw std::invalid_argument(prefix + "intrinsic_matrix must be a finite 3x3 matrix");
    }
    const size_t values = distortion_coefficients.total() * static_cast<size_t>(distortion_coefficients.channels());
    const bool countOk = values == 0 || values == 4 || values == 5 || values == 8 || values == 12 || values == 14;
    if (!countOk || !cv::checkRange(distortion_coefficients)) {
        throw std::invalid_argument(prefix + "distortion_coefficients must hold 0, 4, 5, 8, 12 or 14 finite values");
    }
    for (const auto& [name, poses] : {std::pair{"robot_poses", &robot_poses},
                                      std::pair{"camera_T_target_list", &camera_T_target_list}}) {
        for (size_t i = 0; i < poses->size(); ++i) {
            if (!isFiniteMatrix((*poses)[i], 4, 4)) {
                throw std::invalid_argument(prefix + name + "[" + std::to_string(i) +
                                            "] must be a finite 4x4 matrix");
            }
        }
    }
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
    requireUsableImages(images, "[Benchmark] ");
    requireFolds(n_splits);
    // The round trip pairs pose i with image i; a pose count that differs pairs nothing usefully.
    if (!robot_poses.empty() && robot_poses.size() != images.size()) {
        throw std::invalid_argument("[Benchmark] robot_poses must hold one pose per image, got " +
                                    std::to_string(robot_poses.size()) + " for " + std::to_string(images.size()) +
                                    " images");
    }
    logMessage(LogLevel::Info, "[Benchmark] Running backend: " + backend_name);
    DetectionCache corners(target, options, images);
    BenchmarkViews views(target, images);

    // The calibration on all images and the fold calibrations are independent: they run side by
    // side, and their lines are replayed in the order of the sequential procedure.
    corners.prefetchAll();
    RecordedCalibration all;
    all.images = images;
    if (!recordDetections(corners, allPositions(images.size()), all)) {
        replayed(all);
    }
    FoldPlan plan = planFolds(images, n_splits, seed, corners);
    std::vector<RecordedCalibration*> jobs = pendingCalibrations(plan);
    jobs.insert(jobs.begin(), &all);
    calibrateSideBySide(target, options, jobs);
    views.prefetch(heldOutImages(plan));

    const IntrinsicResult& calibration = replayed(all);
    if (!calibration.ok) {
        throw std::runtime_error("[Benchmark] " + backend_name + " calibration failed.");
    }
    // Kept for the hand-eye stage, which may reuse this very calibration.
    const std::vector<LogLine> calibrationLines = [&all] {
        std::vector<LogLine> lines = all.detection_lines;
        lines.insert(lines.end(), all.lines.begin(), all.lines.end());
        return lines;
    }();

    const double held = finishCrossValidation(plan, views);

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
        EyeInHandCalibrator handEye(target, *eye_in_hand_options, calibration::CornerImages::Skipped);
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
    requireUsableImages(images, "[Benchmark] ");
    requireFolds(n_splits);
    DetectionCache corners(target, options, images);
    BenchmarkViews views(target, images);
    FoldPlan plan = planFolds(images, n_splits, seed, corners);
    calibrateSideBySide(target, options, pendingCalibrations(plan));
    views.prefetch(heldOutImages(plan));
    return finishCrossValidation(plan, views);
}

double CalibrationBenchmark::handEyeRoundtrip(const std::vector<cv::Mat>& images,
                                              const std::vector<cv::Mat>& robot_poses, const cv::Mat& tcp_T_camera,
                                              const cv::Mat& intrinsic_matrix,
                                              const cv::Mat& distortion_coefficients, const Target& target,
                                              const std::vector<cv::Mat>& camera_T_target_list) const {
    requireUsableImages(images, "[Benchmark] ");
    requireRoundtripInputs(robot_poses, tcp_T_camera, intrinsic_matrix, distortion_coefficients,
                           camera_T_target_list);
    BenchmarkViews views(target, images);
    return roundtripOnce(images, robot_poses, tcp_T_camera, intrinsic_matrix, distortion_coefficients,
                         camera_T_target_list, views);
}

}  // namespace vantel::quality

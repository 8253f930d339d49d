#include "calibration/multi_camera_calibrator.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "calibration/intrinsic_calibrator.hpp"
#include "calibration/rig_refinement.hpp"
#include "calibration/rig_work_memo.hpp"
#include "io/calibration_records.hpp"
#include "services/log.hpp"
#include "services/progress.hpp"
#include "services/standard_streams.hpp"
#include "targets/image_check.hpp"

namespace vantel::calibration {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<cv::Mat> deepCopies(const std::vector<cv::Mat>& matrices) {
    std::vector<cv::Mat> copies;
    copies.reserve(matrices.size());
    for (const cv::Mat& matrix : matrices) {
        copies.push_back(matrix.clone());
    }
    return copies;
}

std::string listLengths(const MultiCameraCalibrator::ImageLists& image_lists) {
    std::string text;
    for (size_t c = 0; c < image_lists.size(); ++c) {
        text += (c == 0 ? "" : ", ") + std::to_string(image_lists[c].size());
    }
    return "[" + text + "]";
}

// [fx s cx; 0 fy cy; 0 0 1] with positive focal lengths; zeros, an inverted axis or a lost last
// row still give the stereo stage something to fit, hundreds of pixels off.
bool isCameraMatrix(const cv::Mat& K) {
    cv::Mat k;
    K.convertTo(k, CV_64F);
    const auto at = [&k](int r, int c) { return k.at<double>(r, c); };
    return at(0, 0) > 0 && at(1, 1) > 0 && at(2, 2) == 1 && at(1, 0) == 0 && at(2, 0) == 0 && at(2, 1) == 0;
}

bool isDistortionCount(size_t count) {
    return count == 0 || count == 4 || count == 5 || count == 8 || count == 12 || count == 14;
}

// The stereo stage takes supplied intrinsics as they are: a NaN or a wrongly shaped matrix would
// come back as a placed camera.
void requireUsableIntrinsics(const std::vector<cv::Mat>& matrices, const std::vector<cv::Mat>& distortions) {
    for (size_t c = 0; c < matrices.size(); ++c) {
        const cv::Mat& K = matrices[c];
        if (K.rows != 3 || K.cols != 3 || K.channels() != 1 || !cv::checkRange(K)) {
            throw std::invalid_argument("MultiCameraCalibrator: intrinsic_matrices[" + std::to_string(c) +
                                        "] must be a finite 3x3 matrix");
        }
        if (!isCameraMatrix(K)) {
            throw std::invalid_argument("MultiCameraCalibrator: intrinsic_matrices[" + std::to_string(c) +
                                        "] must be a camera matrix: positive fx and fy, K[2,2] = 1, zeros below "
                                        "the diagonal");
        }
        const cv::Mat& D = distortions[c];
        if (!isDistortionCount(D.total() * static_cast<size_t>(D.channels())) || !cv::checkRange(D)) {
            throw std::invalid_argument("MultiCameraCalibrator: distortion_coefficients[" + std::to_string(c) +
                                        "] must hold 0, 4, 5, 8, 12 or 14 finite values");
        }
    }
}

}  // namespace

void requireUsableImageLists(const MultiCameraCalibrator::ImageLists& image_lists) {
    for (size_t camera = 0; camera < image_lists.size(); ++camera) {
        requireUsableImages(image_lists[camera], "MultiCameraCalibrator: camera " + std::to_string(camera) + " ");
    }
}

MultiCameraCalibrator::MultiCameraCalibrator(Target target, int num_cameras, int reference_index,
                                             IntrinsicOptions options, int stereo_calibrate_flags)
    : target_(std::move(target)),
      num_cameras_(num_cameras),
      reference_index_(reference_index),
      options_(std::move(options)),
      stereo_calibrate_flags_(stereo_calibrate_flags) {
    if (num_cameras < 2) {
        throw std::invalid_argument("MultiCameraCalibrator: num_cameras must be >= 2, got " +
                                    std::to_string(num_cameras));
    }
    if (reference_index < 0 || reference_index >= num_cameras) {
        throw std::invalid_argument("MultiCameraCalibrator: reference_index out of range for " +
                                    std::to_string(num_cameras) + " cameras");
    }
    resetRecord();
}

IntrinsicOptions MultiCameraCalibrator::defaultOptions() {
    IntrinsicOptions options;
    options.criteria = cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 1e-6);
    options.per_view_error_threshold = 3.0;
    return options;
}

void MultiCameraCalibrator::resetRecord() {
    const size_t count = static_cast<size_t>(num_cameras_);
    last_result_ = MultiCameraResult();
    last_result_.reference_index = reference_index_;
    last_result_.reference_T_camera_list.assign(count, cv::Mat());
    last_result_.intrinsic_matrices.assign(count, cv::Mat());
    last_result_.distortion_coefficients.assign(count, cv::Mat());
    last_result_.intrinsic_reprojection_errors.assign(count, kNaN);
    last_result_.pair_reprojection_errors.assign(count, kNaN);
    has_last_triangulation_ = false;
    last_triangulation_ = TriangulationReport();
    last_refinement_.reset();
}

MultiCameraResult MultiCameraCalibrator::calibrate(const ImageLists& image_lists,
                                                   const std::vector<cv::Mat>& intrinsic_matrices,
                                                   const std::vector<cv::Mat>& distortion_coefficients,
                                                   const std::filesystem::path& output_path, bool refine) {
    requireUsableImageLists(image_lists);
    RigWorkMemo memo;
    return calibrateWith(image_lists, intrinsic_matrices, distortion_coefficients, output_path, refine, memo,
                         RigWorkMemo::wholeRig(num_cameras_));
}

MultiCameraResult MultiCameraCalibrator::calibrateWith(const ImageLists& image_lists,
                                                       const std::vector<cv::Mat>& intrinsic_matrices,
                                                       const std::vector<cv::Mat>& distortion_coefficients,
                                                       const std::filesystem::path& output_path, bool refine,
                                                       RigWorkMemo& memo, const std::vector<int>& rig_cameras) {
    const size_t count = static_cast<size_t>(num_cameras_);
    if (image_lists.size() != count) {
        throw std::invalid_argument("MultiCameraCalibrator: expected " + std::to_string(num_cameras_) +
                                    " image lists, got " + std::to_string(image_lists.size()));
    }
    for (const auto& images : image_lists) {
        if (images.size() != image_lists[0].size()) {
            throw std::invalid_argument("MultiCameraCalibrator: all cameras must have the same number of frames");
        }
    }
    if (image_lists[0].empty()) {
        throw std::invalid_argument("MultiCameraCalibrator: empty image lists");
    }
    const bool intrinsicsSupplied = !intrinsic_matrices.empty() && !distortion_coefficients.empty();
    if (intrinsicsSupplied && (intrinsic_matrices.size() != count || distortion_coefficients.size() != count)) {
        throw std::invalid_argument("MultiCameraCalibrator: expected " + std::to_string(num_cameras_) +
                                    " intrinsic matrices/distortion coefficient sets");
    }
    if (intrinsicsSupplied) {
        requireUsableIntrinsics(intrinsic_matrices, distortion_coefficients);
    }
    // A call that ends in an exception (Ctrl-C between two steps, a camera that cannot be
    // calibrated) leaves the calibrator as it was before the call.
    const MultiCameraResult previousResult = last_result_;
    const bool previousHasTriangulation = has_last_triangulation_;
    const TriangulationReport previousTriangulation = last_triangulation_;
    const std::optional<JointRefinement> previousRefinement = last_refinement_;
    try {
        computeRecord(image_lists, intrinsic_matrices, distortion_coefficients, intrinsicsSupplied, refine, memo,
                      rig_cameras);
    } catch (...) {
        last_result_ = previousResult;
        has_last_triangulation_ = previousHasTriangulation;
        last_triangulation_ = previousTriangulation;
        last_refinement_ = previousRefinement;
        throw;
    }

    writeStandardOutput(formatResults());

    if (!output_path.empty()) {
        io::MultiCameraCalibrationRecord record;
        record.reference_index = reference_index_;
        record.num_cameras = num_cameras_;
        record.intrinsic_matrices = last_result_.intrinsic_matrices;
        record.distortion_coefficients = last_result_.distortion_coefficients;
        record.reference_T_camera_list = last_result_.reference_T_camera_list;
        record.intrinsic_reprojection_errors = last_result_.intrinsic_reprojection_errors;
        record.pair_reprojection_errors = last_result_.pair_reprojection_errors;
        io::saveMultiCameraCalibration(output_path, record);
    }
    return last_result_;
}

void MultiCameraCalibrator::computeRecord(const ImageLists& image_lists, const std::vector<cv::Mat>& intrinsic_matrices,
                                          const std::vector<cv::Mat>& distortion_coefficients,
                                          bool intrinsics_supplied, bool refine, RigWorkMemo& memo,
                                          const std::vector<int>& rig_cameras) {
    const size_t count = static_cast<size_t>(num_cameras_);
    // A camera this run cannot place must show as failed, not with an earlier run's transform.
    resetRecord();

    std::vector<CameraFrames> cameras(count);
    if (intrinsics_supplied) {
        last_result_.intrinsic_matrices = deepCopies(intrinsic_matrices);
        last_result_.distortion_coefficients = deepCopies(distortion_coefficients);
        for (size_t c = 0; c < count; ++c) {
            cameras[c].detections = IntrinsicCalibrator(target_, options_, CornerImages::Skipped).findCorners(image_lists[c]);
        }
    } else {
        cameras = calibrateCameras(image_lists, memo, rig_cameras);
    }

    if (std::holds_alternative<CharucoTarget>(target_)) {
        for (size_t c = 0; c < count; ++c) {
            memo.rememberFrameCorners(rig_cameras[c], static_cast<int>(image_lists[c].size()), cameras[c].detections);
        }
    }
    placeCameras(image_lists, cameras, memo, rig_cameras);
    if (refine) {
        refineJointly(cameras, intrinsics_supplied);
    }

    last_result_.ok = true;
    for (const cv::Mat& transform : last_result_.reference_T_camera_list) {
        last_result_.ok = last_result_.ok && !transform.empty();
    }

    has_last_triangulation_ = false;
    if (last_result_.ok) {
        try {
            last_triangulation_ = triangulateWith(image_lists, 0, memo, rig_cameras);
            has_last_triangulation_ = true;
        } catch (const std::exception& error) {
            logMessage(LogLevel::Warning,
                       std::string("[MultiCameraCalibrator] Triangulation validation skipped: ") + error.what());
        }
    }

}

std::vector<MultiCameraCalibrator::CameraFrames> MultiCameraCalibrator::calibrateCameras(
    const ImageLists& image_lists, RigWorkMemo& memo, const std::vector<int>& rig_cameras) {
    logMessage(LogLevel::Info, "[MultiCameraCalibrator] Running per-camera intrinsic calibration.");
    std::vector<CameraFrames> cameras(static_cast<size_t>(num_cameras_));
    for (size_t c = 0; c < cameras.size(); ++c) {
        reportProgress("Calibrating cameras", c, cameras.size());
        const RigWorkMemo::CameraIntrinsics& calibrated =
            memo.intrinsics(rig_cameras[c], target_, options_, image_lists[c]);
        const IntrinsicResult& result = calibrated.result;
        if (!result.ok) {
            throw std::runtime_error("[MultiCameraCalibrator] Intrinsic calibration failed for camera " +
                                     std::to_string(c));
        }
        last_result_.intrinsic_matrices[c] = result.intrinsic_matrix.clone();
        last_result_.distortion_coefficients[c] = result.distortion_coefficients.clone();
        last_result_.intrinsic_reprojection_errors[c] = result.reprojection_error;
        cameras[c].detections = calibrated.detections;

        const std::string summary = "[MultiCameraCalibrator] Camera " + std::to_string(c) + ": reprojection error " +
                                    std::to_string(result.reprojection_error) + "px over " +
                                    std::to_string(result.successful_indices.size()) + " frames";
        if (result.low_view_error_indices.empty()) {
            logMessage(LogLevel::Warning, summary + " (no frames pass per-view filter  -  stereo will use ALL)");
            continue;
        }
        std::vector<int> accepted;
        for (const int position : result.low_view_error_indices) {
            accepted.push_back(result.successful_indices.at(static_cast<size_t>(position)));
        }
        std::sort(accepted.begin(), accepted.end());
        accepted.erase(std::unique(accepted.begin(), accepted.end()), accepted.end());
        logMessage(LogLevel::Info, summary + " (" + std::to_string(accepted.size()) + " pass per-view filter)");
        cameras[c].accepted_frames = std::move(accepted);
    }
    return cameras;
}

void MultiCameraCalibrator::refineJointly(const std::vector<CameraFrames>& cameras, bool intrinsics_supplied) {
    reportProgress("Refining the rig", 0, 1);
    std::vector<RigCamera> rig;
    for (size_t c = 0; c < cameras.size(); ++c) {
        rig.push_back(RigCamera{cameras[c].detections, last_result_.intrinsic_matrices[c],
                                last_result_.distortion_coefficients[c], last_result_.reference_T_camera_list[c]});
    }
    RigRefinementOptions options;
    options.reference_index = reference_index_;
    options.hold_intrinsics = intrinsics_supplied;
    options.intrinsic_flags = options_.calibrate_camera_flags;
    RigRefinementOutcome outcome = refineRig(rig, options);
    last_result_.intrinsic_matrices = outcome.intrinsic_matrices;
    last_result_.distortion_coefficients = outcome.distortion_coefficients;
    last_result_.reference_T_camera_list = outcome.summary.reference_T_camera_list;
    const JointRefinement& summary = outcome.summary;
    logMessage(LogLevel::Info, "[MultiCameraCalibrator] Joint refinement: RMS " +
                                   std::to_string(summary.overall_rms_before) + "px -> " +
                                   std::to_string(summary.overall_rms) + "px over " +
                                   std::to_string(summary.corners) + " corners in " +
                                   std::to_string(summary.frames) + " frames");
    last_refinement_ = std::move(outcome.summary);
    reportProgress("Refining the rig", 1, 1);
}

void MultiCameraCalibrator::requireFrameInEveryList(const ImageLists& image_lists, int frame_index) const {
    if (image_lists.size() != static_cast<size_t>(num_cameras_)) {
        throw std::invalid_argument("MultiCameraCalibrator: expected " + std::to_string(num_cameras_) +
                                    " image lists, got " + std::to_string(image_lists.size()) + " (frame_index " +
                                    std::to_string(frame_index) + ", list lengths " + listLengths(image_lists) + ")");
    }
    for (const auto& images : image_lists) {
        if (frame_index < 0 || static_cast<size_t>(frame_index) >= images.size()) {
            throw std::invalid_argument("MultiCameraCalibrator: frame_index " + std::to_string(frame_index) +
                                        " is outside the image lists (list lengths " + listLengths(image_lists) +
                                        ")");
        }
    }
}

}  // namespace vantel::calibration

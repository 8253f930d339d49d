#include "calibration/eye_in_hand_calibrator.hpp"

#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/calib3d.hpp>

#include "calibration/hand_eye_conventions.hpp"
#include "calibration/hand_eye_methods.hpp"
#include "io/calibration_records.hpp"
#include "services/log.hpp"
#include "services/standard_streams.hpp"
#include "targets/image_check.hpp"

namespace vantel::calibration {
namespace {

constexpr size_t kMinPairs = 4;
// Below this max-abs difference two camera rotations count as the same orientation.
constexpr double kIdenticalRotationTolerance = 0.001;

cv::Mat rotationBlock(const cv::Mat& transform) { return transform(cv::Rect(0, 0, 3, 3)).clone(); }

bool allOrientationsIdentical(const std::vector<cv::Mat>& rotations) {
    for (size_t i = 1; i < rotations.size(); ++i) {
        if (cv::norm(rotations[i], rotations[0], cv::NORM_INF) >= kIdenticalRotationTolerance) {
            return false;
        }
    }
    return true;
}

// Within this a rotation block counts as a rotation (orthonormal, determinant +1).
constexpr double kRotationTolerance = 1e-3;

// Some solvers turn a NaN, or a matrix that is no rigid transform, into a finite but
// meaningless tcp_T_camera.
void requireRigidPoses(const std::vector<cv::Mat>& poses, const std::string& calibrator, const std::string& listName) {
    for (size_t i = 0; i < poses.size(); ++i) {
        const std::string name = calibrator + ": " + listName + "[" + std::to_string(i) + "]";
        const cv::Mat& pose = poses[i];
        if (pose.rows != 4 || pose.cols != 4 || pose.channels() != 1) {
            throw std::invalid_argument(name + " must be a 4x4 matrix, got " + std::to_string(pose.rows) + "x" +
                                        std::to_string(pose.cols) + "x" + std::to_string(pose.channels()));
        }
        if (!cv::checkRange(pose)) {
            throw std::invalid_argument(name + " holds a non-finite value");
        }
        cv::Mat transform;
        pose.convertTo(transform, CV_64F);
        const cv::Mat rotation = transform(cv::Rect(0, 0, 3, 3));
        const cv::Mat identity = cv::Mat::eye(3, 3, CV_64F);
        if (cv::norm(rotation.t() * rotation, identity, cv::NORM_INF) > kRotationTolerance ||
            std::abs(cv::determinant(rotation) - 1.0) > kRotationTolerance) {
            throw std::invalid_argument(name + " is not a rigid transform: its rotation block is not a rotation");
        }
        if (cv::norm(transform.row(3), cv::Matx14d(0, 0, 0, 1), cv::NORM_INF) != 0.0) {
            throw std::invalid_argument(name + " is not a rigid transform: its last row is not 0 0 0 1");
        }
    }
}

template <typename T>
std::vector<T> selectEntries(const std::vector<T>& values, const std::vector<int>& positions) {
    std::vector<T> selected;
    selected.reserve(positions.size());
    for (int position : positions) {
        selected.push_back(values.at(static_cast<size_t>(position)));
    }
    return selected;
}

std::vector<int> allPositions(size_t count) {
    std::vector<int> positions(count);
    std::iota(positions.begin(), positions.end(), 0);
    return positions;
}

bool samePoints(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0.0);
}

// Whether a calibration was made from these detections. An intrinsic stage may return one made
// from detections of its own, leaving the calibrator's unset or from another batch.
bool calibratedFrom(const TargetDetections& detections, const IntrinsicResult& calibration) {
    if (detections.successful_indices != calibration.successful_indices ||
        detections.image_points.size() != calibration.image_points.size() ||
        detections.object_points.size() != calibration.image_points.size()) {
        return false;
    }
    for (size_t k = 0; k < calibration.image_points.size(); ++k) {
        if (!samePoints(detections.image_points[k], calibration.image_points[k])) {
            return false;
        }
    }
    return true;
}

int methodValue(const std::string& method) {
    const auto& methods = handEyeMethodByNameMap();
    const auto entry = methods.find(method);
    if (entry == methods.end()) {
        throw std::invalid_argument("Unknown hand-eye method '" + method + "'");
    }
    return entry->second;
}

}  // namespace

EyeInHandCalibrator::EyeInHandCalibrator(Target target, IntrinsicOptions options, CornerImages corner_images)
    : target_(std::move(target)), intrinsic_calibrator_(target_, std::move(options), corner_images) {}

EyeInHandCalibrator::EyeInHandCalibrator(Target target, IntrinsicOptions options, CameraMounting mounting,
                                         std::string name)
    : target_(std::move(target)),
      intrinsic_calibrator_(target_, std::move(options)),
      mounting_(mounting),
      name_(std::move(name)) {}

std::vector<cv::Mat> EyeInHandCalibrator::cornerImages() const {
    return intrinsic_calibrator_.detections().annotated_images;
}

HandEyeResult EyeInHandCalibrator::calibrate(const std::vector<cv::Mat>& robot_T_tcp_list,
                                             const std::vector<cv::Mat>& image_list, const std::string& method,
                                             const std::vector<cv::Mat>& camera_T_target_list,
                                             const cv::Mat& intrinsic_matrix,
                                             const cv::Mat& distortion_coefficients,
                                             const std::filesystem::path& output_path) {
    methodValue(method);  // an unknown name is refused before anything is logged
    // A call that ends in an exception (a failure or Ctrl-C after the intrinsic stage) leaves the
    // corners of the previous call in place, as it leaves lastResult().
    IntrinsicCalibrator previousIntrinsicCalibrator = intrinsic_calibrator_;
    try {
        const PreparedFrames prepared = prepareFrames(robot_T_tcp_list, image_list, camera_T_target_list,
                                                      intrinsic_matrix, distortion_coefficients);
        if (prepared.finished) {
            return prepared.result;
        }
        return solvePrepared(prepared, method, output_path);
    } catch (...) {
        intrinsic_calibrator_ = std::move(previousIntrinsicCalibrator);
        throw;
    }
}

EyeInHandCalibrator::PreparedFrames EyeInHandCalibrator::prepareFrames(
    const std::vector<cv::Mat>& robot_T_tcp_list, const std::vector<cv::Mat>& image_list,
    const std::vector<cv::Mat>& camera_T_target_list, const cv::Mat& intrinsic_matrix,
    const cv::Mat& distortion_coefficients, const IntrinsicStage& intrinsicStage) {
    const bool fullPipeline = intrinsic_matrix.empty() && camera_T_target_list.empty();
    // Kept frames index the robot poses by image position: a list of another length pairs images
    // with wrong poses (a dropped image shifts every later pair).
    if (fullPipeline && robot_T_tcp_list.size() != image_list.size()) {
        throw std::invalid_argument(name_ + ": the full pipeline needs one robot pose per image. Got " +
                                    std::to_string(robot_T_tcp_list.size()) + " (robot) vs " +
                                    std::to_string(image_list.size()) + " (images).");
    }

    requireRigidPoses(robot_T_tcp_list, name_, "robot_T_tcp_list");
    requireRigidPoses(camera_T_target_list, name_, "camera_T_target_list");
    requireUsableImages(image_list, name_ + ": ");

    logMessage(LogLevel::Info, "Collected images " + std::to_string(image_list.size()));
    logMessage(LogLevel::Info, "Collected poses " + std::to_string(robot_T_tcp_list.size()));

    PreparedFrames prepared;
    prepared.frames_offered = camera_T_target_list.empty() ? image_list.size() : camera_T_target_list.size();
    prepared.camera_poses_given = !camera_T_target_list.empty();
    HandEyeResult& result = prepared.result;
    result.intrinsic_matrix = intrinsic_matrix;
    result.distortion_coefficients = distortion_coefficients;
    std::vector<cv::Mat>& cameraPoses = prepared.camera_T_target_list;
    std::vector<cv::Mat>& images = prepared.image_list;
    std::vector<cv::Mat>& robotPoses = prepared.robot_T_tcp_list;
    cameraPoses = camera_T_target_list;
    images = image_list;
    robotPoses = robot_T_tcp_list;

    const auto failWith = [&](const std::string& message) {
        logMessage(LogLevel::Error, message);
        result.valid_robot_T_tcp_list = robotPoses;
        result.valid_image_list = images;
        prepared.finished = true;
        return prepared;
    };

    if (!intrinsic_matrix.empty() && camera_T_target_list.empty()) {
        AlignedTargetPoses aligned =
            computeCameraTTargetList(image_list, robot_T_tcp_list, intrinsic_matrix, distortion_coefficients);
        cameraPoses = std::move(aligned.camera_T_target_list);
        images = std::move(aligned.valid_image_list);
        robotPoses = std::move(aligned.valid_robot_T_tcp_list);
        if (cameraPoses.size() < kMinPairs) {
            return failWith("Only " + std::to_string(cameraPoses.size()) +
                            " valid frames after solvePnP  -  need at least 4.");
        }
    }

    if (!cameraPoses.empty()) {
        if (robotPoses.size() != cameraPoses.size()) {
            throw std::invalid_argument(
                name_ + ": robot_T_tcp_list must be pre-aligned to camera_T_target_list. Got " +
                std::to_string(robotPoses.size()) + " (robot) vs " + std::to_string(cameraPoses.size()) +
                " (camera). Filter robot_T_tcp_list by the backend's successful indices before passing it in.");
        }
    } else {
        const IntrinsicResult intrinsic = intrinsicStage ? intrinsicStage(intrinsic_calibrator_, image_list)
                                                         : intrinsic_calibrator_.calibrate(image_list);
        result.intrinsic_matrix = intrinsic.intrinsic_matrix;
        result.distortion_coefficients = intrinsic.distortion_coefficients;
        result.reprojection_error = intrinsic.reprojection_error;

        // low_view_error_indices are positions among the successful views; no entry means no filter.
        const std::vector<int> keptViews = intrinsic.low_view_error_indices.empty()
                                               ? allPositions(intrinsic.successful_indices.size())
                                               : intrinsic.low_view_error_indices;
        const std::vector<int> keptFrames = selectEntries(intrinsic.successful_indices, keptViews);
        const std::vector<cv::Mat> imagePoints = selectEntries(intrinsic.image_points, keptViews);
        const TargetDetections& detections = intrinsic_calibrator_.detections();
        const std::vector<cv::Mat> objectPoints = calibratedFrom(detections, intrinsic)
                                                      ? selectEntries(detections.object_points, keptViews)
                                                      : std::vector<cv::Mat>();
        images = selectEntries(image_list, keptFrames);
        robotPoses = selectEntries(robot_T_tcp_list, keptFrames);

        if (result.intrinsic_matrix.empty() || keptFrames.size() < kMinPairs) {
            return failWith("Not enough valid images for extrinsic calibration. Need at least 4!");
        }
        logMessage(LogLevel::Info, "Calculating extrinsic (hand-eye) transform...");
        IndexedCameraPoses posed = keptFramePoses(images, imagePoints, objectPoints, result.intrinsic_matrix,
                                                  result.distortion_coefficients);
        cameraPoses = std::move(posed.camera_T_target_list);
        images = selectEntries(images, posed.frame_indices);
        robotPoses = selectEntries(robotPoses, posed.frame_indices);
    }
    return prepared;
}

HandEyeResult EyeInHandCalibrator::solvePrepared(const PreparedFrames& prepared, const std::string& method,
                                                 const std::filesystem::path& output_path) {
    const int methodId = methodValue(method);
    HandEyeResult result = prepared.result;
    if (prepared.finished) {
        return result;
    }
    const std::vector<cv::Mat>& robotPoses = prepared.robot_T_tcp_list;
    const std::vector<cv::Mat>& cameraPoses = prepared.camera_T_target_list;
    result.valid_robot_T_tcp_list = robotPoses;
    result.valid_image_list = prepared.image_list;
    result.camera_T_target_list = cameraPoses;
    if (cameraPoses.size() < kMinPairs) {
        logMessage(LogLevel::Error, "Not enough valid poses for hand-eye calibration after filtering. Got " +
                                        std::to_string(cameraPoses.size()) + ", need at least 4.");
        return result;
    }

    // With one orientation of either the flange-to-camera rotation is unobservable and any answer
    // is arbitrary.
    // With one orientation of either the rotation between the robot and the camera is unobservable
    // and any answer is arbitrary.
    const std::string solvedLink = mounting_ == CameraMounting::OnFlange ? "flange" : "robot base";
    for (const auto& [poses, which] : {std::pair{&cameraPoses, "camera"}, std::pair{&robotPoses, "robot"}}) {
        std::vector<cv::Mat> rotations;
        for (const cv::Mat& pose : *poses) {
            rotations.push_back(rotationBlock(pose));
        }
        if (allOrientationsIdentical(rotations)) {
            logMessage(LogLevel::Warning, "[" + name_ + "] All " + which +
                                              " poses have identical orientation! Hand-eye calibration requires "
                                              "varied rotations to solve uniquely.");
            logMessage(LogLevel::Error, "[" + name_ + "] Hand-eye solve rejected: the rotation between " +
                                            solvedLink + " and camera cannot be observed without varied " + which +
                                            " orientations.");
            return result;
        }
    }

    const cv::Mat tcp_T_camera = solveHandEye(handEyeRobotPoses(robotPoses, mounting_), cameraPoses, methodId);
    if (!cv::checkRange(tcp_T_camera)) {
        logMessage(LogLevel::Error, "[" + name_ + "] Hand-eye solve rejected: method " + method +
                                        " returned a non-finite " +
                                        (mounting_ == CameraMounting::OnFlange ? "tcp_T_camera." : "robot_T_camera."));
        return result;
    }
    result.tcp_T_camera = tcp_T_camera;
    result.ok = true;

    computeTargetConsistency(result);
    result.convention_warnings =
        handEyeConventionWarnings(robotPoses, cameraPoses, mounting_, prepared.camera_poses_given, name_);
    last_result_ = result;

    logMessage(LogLevel::Info, "Extrinsic calibration complete.");
    for (const std::string& warning : result.convention_warnings) {
        logMessage(LogLevel::Warning, warning);
    }
    if (mounting_ == CameraMounting::Stationary) {
        return result;
    }
    writeStandardOutput(formatResults());

    if (!output_path.empty()) {
        io::HandEyeResultRecord record;
        record.reference_index = 0;
        record.num_cameras = 1;
        record.method = method;
        record.num_frames_used = static_cast<int>(cameraPoses.size());
        record.num_frames_total = static_cast<int>(prepared.frames_offered);
        record.tcp_T_camera_list = {result.tcp_T_camera};
        io::saveHandEyeResult(output_path, record);
    }
    return result;
}

}  // namespace vantel::calibration

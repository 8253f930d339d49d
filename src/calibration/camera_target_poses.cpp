// Camera-to-target poses by PnP, for the eye-in-hand calibrator.

#include <algorithm>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>

#include <opencv2/calib3d.hpp>

#include "calibration/eye_in_hand_calibrator.hpp"
#include "services/log.hpp"
#include "services/progress.hpp"
#include "targets/detection.hpp"

namespace vantel::calibration {
namespace {

constexpr size_t kMinCharucoCorners = 4;
constexpr size_t kMinMarkers = 4;

cv::Mat poseFromRvecTvec(const cv::Mat& rvec, const cv::Mat& tvec) {
    cv::Mat transform = cv::Mat::eye(4, 4, CV_64F);
    cv::Mat rotation;
    cv::Rodrigues(rvec, rotation);
    rotation.convertTo(transform(cv::Rect(0, 0, 3, 3)), CV_64F);
    cv::Mat translation;
    tvec.reshape(1, 3).convertTo(translation, CV_64F);
    translation.copyTo(transform(cv::Rect(3, 0, 1, 3)));
    return transform;
}

// Pose of the target in the camera frame; false when PnP fails.
bool solveTargetPose(const cv::Mat& objectPoints, const cv::Mat& imagePoints, const cv::Mat& intrinsicMatrix,
                     const cv::Mat& distortionCoefficients, cv::Mat& camera_T_target) {
    cv::Mat rvec;
    cv::Mat tvec;
    if (!cv::solvePnP(objectPoints, imagePoints, intrinsicMatrix, distortionCoefficients, rvec, tvec, false,
                      cv::SOLVEPNP_ITERATIVE)) {
        return false;
    }
    camera_T_target = poseFromRvecTvec(rvec, tvec);
    return true;
}

enum class CharucoPoseOutcome { Solved, TooFewCorners, PnPFailed };

CharucoPoseOutcome solveCharucoPose(const CharucoDetector& detector, const std::vector<cv::Point3f>& boardCorners,
                                    const cv::Mat& image, const cv::Mat& intrinsicMatrix,
                                    const cv::Mat& distortionCoefficients, cv::Mat& camera_T_target) {
    const CharucoDetection detection = detectCharuco(detector, image);
    if (detection.charuco_corners.size() < kMinCharucoCorners) {
        return CharucoPoseOutcome::TooFewCorners;
    }
    return solveTargetPose(charucoObjectPointsForIds(boardCorners, detection.charuco_ids),
                           cv::Mat(detection.charuco_corners), intrinsicMatrix, distortionCoefficients,
                           camera_T_target)
               ? CharucoPoseOutcome::Solved
               : CharucoPoseOutcome::PnPFailed;
}

}  // namespace

EyeInHandCalibrator::AlignedTargetPoses EyeInHandCalibrator::computeCameraTTargetList(
    const std::vector<cv::Mat>& image_list, const std::vector<cv::Mat>& robot_T_tcp_list,
    const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients) const {
    const auto* charuco = std::get_if<CharucoTarget>(&target_);
    if (charuco == nullptr) {
        throw std::invalid_argument("EyeInHandCalibrator::computeCameraTTargetList only supports CharucoTarget");
    }
    const CharucoDetector detector = makeCharucoDetector(*charuco);
    const std::vector<cv::Point3f> boardCorners = detector.board().chessboardCorners();

    AlignedTargetPoses aligned;
    const size_t frames = std::min(image_list.size(), robot_T_tcp_list.size());
    for (size_t i = 0; i < frames; ++i) {
        reportProgress("Solving target poses", i, frames);
        cv::Mat camera_T_target;
        const CharucoPoseOutcome outcome = solveCharucoPose(detector, boardCorners, image_list[i], intrinsic_matrix,
                                                            distortion_coefficients, camera_T_target);
        if (outcome == CharucoPoseOutcome::TooFewCorners) {
            logMessage(LogLevel::Warning, "frame " + std::to_string(i) + ": ChArUco detection failed  -  skipping");
            continue;
        }
        if (outcome == CharucoPoseOutcome::PnPFailed) {
            logMessage(LogLevel::Warning, "frame " + std::to_string(i) + ": solvePnP failed  -  skipping");
            continue;
        }
        aligned.camera_T_target_list.push_back(camera_T_target);
        aligned.valid_image_list.push_back(image_list[i]);
        aligned.valid_robot_T_tcp_list.push_back(robot_T_tcp_list[i]);
    }
    logMessage(LogLevel::Info, "compute_camera_T_target_list: " + std::to_string(aligned.camera_T_target_list.size()) +
                                   "/" + std::to_string(image_list.size()) + " frames passed");
    return aligned;
}

EyeInHandCalibrator::IndexedCameraPoses EyeInHandCalibrator::redetectCameraTTargetList(
    const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& image_points, const cv::Mat& intrinsic_matrix,
    const cv::Mat& distortion_coefficients) const {
    IndexedCameraPoses poses;
    const auto keep = [&poses](const cv::Mat& camera_T_target, size_t frame) {
        poses.camera_T_target_list.push_back(camera_T_target);
        poses.frame_indices.push_back(static_cast<int>(frame));
    };

    if (const auto* chessboard = std::get_if<ChessboardTarget>(&target_)) {
        // The intrinsic stage already found the corners; only the pose is new.
        const cv::Mat objectPoints = chessboardObjectPoints(*chessboard);
        for (size_t k = 0; k < image_points.size(); ++k) {
            reportProgress("Solving target poses", k, image_points.size());
            cv::Mat camera_T_target;
            if (solveTargetPose(objectPoints, image_points[k], intrinsic_matrix, distortion_coefficients,
                                camera_T_target)) {
                keep(camera_T_target, k);
            } else {
                logMessage(LogLevel::Warning, "[EyeInHandCalibrator] solvePnP failed for chessboard image " +
                                                  std::to_string(k) + ", skipping.");
            }
        }
    } else if (const auto* charuco = std::get_if<CharucoTarget>(&target_)) {
        const CharucoDetector detector = makeCharucoDetector(*charuco);
        const std::vector<cv::Point3f> boardCorners = detector.board().chessboardCorners();
        for (size_t k = 0; k < images.size(); ++k) {
            reportProgress("Solving target poses", k, images.size());
            cv::Mat camera_T_target;
            const CharucoPoseOutcome outcome = solveCharucoPose(detector, boardCorners, images[k], intrinsic_matrix,
                                                                distortion_coefficients, camera_T_target);
            if (outcome == CharucoPoseOutcome::TooFewCorners) {
                logMessage(LogLevel::Warning, "[EyeInHandCalibrator] ChArUco re-detection failed for image " +
                                                  std::to_string(k) + ", skipping.");
            } else if (outcome == CharucoPoseOutcome::Solved) {
                keep(camera_T_target, k);
            }
        }
    } else {
        const auto& aruco = std::get<ArucoTarget>(target_);
        const ArucoDetector detector = makeArucoDetector(aruco);
        const auto boardMarkers = makeGridBoard(aruco).markerObjectPoints();
        for (size_t k = 0; k < images.size(); ++k) {
            reportProgress("Solving target poses", k, images.size());
            const ArucoDetection detection = detectArucoMarkers(detector, images[k]);
            if (detection.marker_ids.size() < kMinMarkers) {
                logMessage(LogLevel::Warning, "[EyeInHandCalibrator] ArUco re-detection failed for image " +
                                                  std::to_string(k) + ", skipping.");
                continue;
            }
            // Markers of another board in view contribute no points.
            const MarkerPoints points =
                gridBoardPointsForMarkers(boardMarkers, detection.marker_corners, detection.marker_ids);
            cv::Mat camera_T_target;
            if (!points.object_points.empty() &&
                solveTargetPose(points.object_points, points.image_points, intrinsic_matrix, distortion_coefficients,
                                camera_T_target)) {
                keep(camera_T_target, k);
            }
        }
    }
    return poses;
}

}  // namespace vantel::calibration

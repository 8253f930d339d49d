// Camera-to-target poses by PnP, for the eye-in-hand calibrator.

#include <algorithm>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>

#include <opencv2/calib3d.hpp>

#include "calibration/corner_finding.hpp"
#include "calibration/eye_in_hand_calibrator.hpp"
#include "services/log.hpp"
#include "services/progress.hpp"
#include "services/side_by_side_search.hpp"
#include "targets/detection.hpp"
#include "targets/target_detectors.hpp"
#include "targets/image_check.hpp"

namespace vantel::calibration {
namespace {

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

}  // namespace

EyeInHandCalibrator::AlignedTargetPoses EyeInHandCalibrator::computeCameraTTargetList(
    const std::vector<cv::Mat>& image_list, const std::vector<cv::Mat>& robot_T_tcp_list,
    const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients) const {
    if (!std::holds_alternative<CharucoTarget>(target_)) {
        throw std::invalid_argument(name_ + "::computeCameraTTargetList only supports CharucoTarget");
    }
    makeTargetDetectors(target_);  // a board that cannot be built fails here, with or without frames
    requireUsableImages(image_list, name_ + ": ");
    const CornerFinder finder(target_, intrinsic_calibrator_.options(), CornerImages::Skipped);

    AlignedTargetPoses aligned;
    const size_t frames = std::min(image_list.size(), robot_T_tcp_list.size());
    const std::vector<cv::Mat> pairedImages(image_list.begin(), image_list.begin() + static_cast<std::ptrdiff_t>(frames));
    findInImageOrder(finder, pairedImages, [&](size_t i, std::optional<ViewCorners>& view) {
        reportProgress("Solving target poses", i, frames);
        if (!view) {
            logMessage(LogLevel::Warning, "frame " + std::to_string(i) + ": ChArUco detection failed  -  skipping");
            return;
        }
        cv::Mat camera_T_target;
        if (!solveTargetPose(view->object_points, view->image_points, intrinsic_matrix, distortion_coefficients,
                             camera_T_target)) {
            logMessage(LogLevel::Warning, "frame " + std::to_string(i) + ": solvePnP failed  -  skipping");
            return;
        }
        aligned.camera_T_target_list.push_back(camera_T_target);
        aligned.valid_image_list.push_back(image_list[i]);
        aligned.valid_robot_T_tcp_list.push_back(robot_T_tcp_list[i]);
    });
    logMessage(LogLevel::Info, "compute_camera_T_target_list: " + std::to_string(aligned.camera_T_target_list.size()) +
                                   "/" + std::to_string(image_list.size()) + " frames passed");
    return aligned;
}

EyeInHandCalibrator::IndexedCameraPoses EyeInHandCalibrator::keptFramePoses(
    const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& image_points,
    const std::vector<cv::Mat>& object_points, const cv::Mat& intrinsic_matrix,
    const cv::Mat& distortion_coefficients) const {
    IndexedCameraPoses poses;
    const auto keep = [&poses](const cv::Mat& camera_T_target, size_t frame) {
        poses.camera_T_target_list.push_back(camera_T_target);
        poses.frame_indices.push_back(static_cast<int>(frame));
    };

    if (const auto* chessboard = std::get_if<ChessboardTarget>(&target_)) {
        // The intrinsic stage already found the corners; only the pose is new.
        const cv::Mat objectPoints = usableChessboardPoints(*chessboard);
        for (size_t k = 0; k < image_points.size(); ++k) {
            reportProgress("Solving target poses", k, image_points.size());
            cv::Mat camera_T_target;
            if (solveTargetPose(objectPoints, image_points[k], intrinsic_matrix, distortion_coefficients,
                                camera_T_target)) {
                keep(camera_T_target, k);
            } else {
                logMessage(LogLevel::Warning, "[" + name_ + "] solvePnP failed for chessboard image " +
                                                  std::to_string(k) + ", skipping.");
            }
        }
    } else if (std::holds_alternative<CharucoTarget>(target_) && !object_points.empty()) {
        // The intrinsic stage's ChArUco corners come from the detector and corner minimum a new
        // detection would use, on the same images: the same corners and ids, found once.
        for (size_t k = 0; k < image_points.size(); ++k) {
            reportProgress("Solving target poses", k, image_points.size());
            cv::Mat camera_T_target;
            if (solveTargetPose(object_points[k], image_points[k], intrinsic_matrix, distortion_coefficients,
                                camera_T_target)) {
                keep(camera_T_target, k);
            }
        }
    } else if (std::holds_alternative<CharucoTarget>(target_)) {
        const CornerFinder finder(target_, intrinsic_calibrator_.options(), CornerImages::Skipped);
        findInImageOrder(finder, images, [&](size_t k, std::optional<ViewCorners>& view) {
            reportProgress("Solving target poses", k, images.size());
            if (!view) {
                logMessage(LogLevel::Warning, "[" + name_ + "] ChArUco re-detection failed for image " +
                                                  std::to_string(k) + ", skipping.");
                return;
            }
            cv::Mat camera_T_target;
            if (solveTargetPose(view->object_points, view->image_points, intrinsic_matrix, distortion_coefficients,
                                camera_T_target)) {
                keep(camera_T_target, k);
            }
        });
    } else {
        // Not the intrinsic stage's marker search (that one drops markers of other boards before
        // counting, and refines): a detection of its own.
        const auto& aruco = std::get<ArucoTarget>(target_);
        const auto boardMarkers = makeGridBoard(aruco).markerObjectPoints();
        std::vector<ArucoDetection> detections(images.size());
        searchInOrder(
            images.size(),
            [&] {
                return [&detections, &images, detector = makeArucoDetector(aruco)](size_t k) {
                    detections[k] = detectArucoMarkers(detector, images[k]);
                };
            },
            [&](size_t k) {
                reportProgress("Solving target poses", k, images.size());
                const ArucoDetection detection = std::move(detections[k]);
                if (detection.marker_ids.size() < kMinMarkers) {
                    logMessage(LogLevel::Warning, "[" + name_ + "] ArUco re-detection failed for image " +
                                                      std::to_string(k) + ", skipping.");
                    return;
                }
                // Markers of another board in view contribute no points.
                const MarkerPoints points =
                    gridBoardPointsForMarkers(boardMarkers, detection.marker_corners, detection.marker_ids);
                cv::Mat camera_T_target;
                if (!points.object_points.empty() &&
                    solveTargetPose(points.object_points, points.image_points, intrinsic_matrix,
                                    distortion_coefficients, camera_T_target)) {
                    keep(camera_T_target, k);
                }
            });
    }
    return poses;
}

}  // namespace vantel::calibration

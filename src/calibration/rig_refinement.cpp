#include "calibration/rig_refinement.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <string>

#include <opencv2/calib3d.hpp>

#include "calibration/solver/board_bundle.hpp"
#include "calibration/solver/calibration_inputs.hpp"
#include "calibration/solver/intrinsic_flags.hpp"
#include "services/log.hpp"

namespace vantel::calibration {
namespace {

using solver::BoardBundle;
using solver::Pose;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The joint problem starts near its minimum but has many more parameters than a single camera.
constexpr solver::StopRule kStopRule{100, 1e-10};

cv::Matx44d transformOf(const Pose& pose) {
    cv::Matx33d R;
    cv::Rodrigues(pose.rvec, R);
    cv::Matx44d T = cv::Matx44d::eye();
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) T(i, j) = R(i, j);
        T(i, 3) = pose.tvec[i];
    }
    return T;
}

Pose poseOf(const cv::Matx44d& T) {
    const cv::Matx33d R(T(0, 0), T(0, 1), T(0, 2), T(1, 0), T(1, 1), T(1, 2), T(2, 0), T(2, 1), T(2, 2));
    Pose pose;
    cv::Rodrigues(R, pose.rvec);
    pose.tvec = cv::Vec3d(T(0, 3), T(1, 3), T(2, 3));
    return pose;
}

// Each component's median: robust against a frame whose PnP pose went wrong.
Pose medianPose(const std::vector<Pose>& poses) {
    Pose median;
    for (int k = 0; k < 6; ++k) {
        std::vector<double> values;
        for (const Pose& pose : poses) values.push_back(k < 3 ? pose.rvec[k] : pose.tvec[k - 3]);
        const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
        std::nth_element(values.begin(), middle, values.end());
        (k < 3 ? median.rvec[k] : median.tvec[k - 3]) = *middle;
    }
    return median;
}

double rotationAngleDeg(const cv::Matx44d& a, const cv::Matx44d& b) {
    const cv::Matx33d Ra(a(0, 0), a(0, 1), a(0, 2), a(1, 0), a(1, 1), a(1, 2), a(2, 0), a(2, 1), a(2, 2));
    const cv::Matx33d Rb(b(0, 0), b(0, 1), b(0, 2), b(1, 0), b(1, 1), b(1, 2), b(2, 0), b(2, 1), b(2, 2));
    cv::Vec3d angle;
    cv::Rodrigues(Ra.t() * Rb, angle);
    return cv::norm(angle) * 180.0 / CV_PI;
}

// One camera's usable views (4 corners or more), by frame, with their PnP poses.
struct CameraViews {
    solver::CameraIntrinsics intrinsics;
    solver::Views views;
    std::vector<int> frames;
    std::map<int, size_t> view_of_frame;
    std::vector<Pose> camera_T_board;
};

CameraViews collectViews(const RigCamera& camera, const RigRefinementOptions& options) {
    CameraViews collected;
    cv::Matx33d K;
    camera.intrinsic_matrix.convertTo(K, CV_64F);
    collected.intrinsics = solver::intrinsicsFor(K, camera.distortion_coefficients, options.intrinsic_flags);
    if (options.hold_intrinsics) {
        collected.intrinsics.free.fill(false);
        collected.intrinsics.aspect_ratio = 0.0;
    }
    const TargetDetections& found = camera.detections;
    for (size_t k = 0; k < found.successful_indices.size(); ++k) {
        const std::optional<solver::Views> view = solver::usableViews({found.object_points[k]}, {found.image_points[k]});
        const int frame = found.successful_indices[k];
        if (!view || collected.view_of_frame.count(frame)) {
            continue;
        }
        collected.view_of_frame[frame] = collected.frames.size();
        collected.frames.push_back(frame);
        collected.views.objects.push_back(view->objects.front());
        collected.views.points.push_back(view->points.front());
    }
    collected.camera_T_board = solver::startingPoses(collected.views, collected.intrinsics);
    return collected;
}

// reference_T_camera of every camera the pairwise step placed, then of the others through frames they
// share with a placed camera (the one sharing the most), until no camera can be added.
std::vector<std::optional<cv::Matx44d>> placeAll(const std::vector<RigCamera>& cameras,
                                                 const std::vector<CameraViews>& views, JointRefinement& summary) {
    std::vector<std::optional<cv::Matx44d>> placed(cameras.size());
    for (size_t c = 0; c < cameras.size(); ++c) {
        if (!cameras[c].reference_T_camera.empty()) {
            cv::Matx44d T;
            cameras[c].reference_T_camera.convertTo(T, CV_64F);
            placed[c] = T;
        }
    }
    for (bool progress = true; progress;) {
        progress = false;
        for (size_t u = 0; u < cameras.size(); ++u) {
            if (placed[u]) continue;
            size_t best = cameras.size();
            std::vector<int> bestShared;
            for (size_t p = 0; p < cameras.size(); ++p) {
                if (!placed[p]) continue;
                std::vector<int> shared;
                for (const int frame : views[u].frames) {
                    if (views[p].view_of_frame.count(frame)) shared.push_back(frame);
                }
                if (shared.size() > bestShared.size()) {
                    best = p;
                    bestShared = std::move(shared);
                }
            }
            if (bestShared.empty()) continue;
            std::vector<Pose> estimates;
            for (const int frame : bestShared) {
                const cv::Matx44d p_T_board =
                    transformOf(views[best].camera_T_board[views[best].view_of_frame.at(frame)]);
                const cv::Matx44d u_T_board = transformOf(views[u].camera_T_board[views[u].view_of_frame.at(frame)]);
                estimates.push_back(poseOf(*placed[best] * p_T_board * u_T_board.inv()));
            }
            placed[u] = transformOf(medianPose(estimates));
            summary.chained_cameras.push_back(static_cast<int>(u));
            logMessage(LogLevel::Info, "[MultiCameraCalibrator] Camera " + std::to_string(u) + " placed through camera " +
                                           std::to_string(best) + " over " + std::to_string(bestShared.size()) +
                                           " shared frames");
            progress = true;
        }
    }
    std::sort(summary.chained_cameras.begin(), summary.chained_cameras.end());
    return placed;
}

std::vector<double> cameraRms(const BoardBundle& bundle, size_t cameras) {
    std::vector<double> squares(cameras, 0.0), points(cameras, 0.0);
    const std::vector<double> errors = solver::viewSquaredErrors(bundle);
    for (size_t v = 0; v < bundle.views.size(); ++v) {
        const size_t c = static_cast<size_t>(bundle.views[v].camera);
        squares[c] += errors[v];
        points[c] += bundle.views[v].object_points.rows;
    }
    std::vector<double> rms(cameras, kNaN);
    for (size_t c = 0; c < cameras; ++c) {
        if (points[c] > 0) rms[c] = std::sqrt(squares[c] / points[c]);
    }
    return rms;
}

double overallRms(const BoardBundle& bundle, int corners) {
    double squares = 0.0;
    for (const double viewSquares : solver::viewSquaredErrors(bundle)) squares += viewSquares;
    return corners > 0 ? std::sqrt(squares / corners) : kNaN;
}

cv::Mat distortionAsGiven(const solver::CameraIntrinsics& camera, const cv::Mat& given) {
    const int count = given.empty() ? camera.distortion_count : solver::coefficientCount(given);
    cv::Mat coefficients = cv::Mat::zeros(1, count, CV_64F);
    const int copied = std::min(count, camera.distortion_count);
    camera.distortion().colRange(0, copied).copyTo(coefficients.colRange(0, copied));
    return coefficients;
}

}  // namespace

RigRefinementOutcome refineRig(const std::vector<RigCamera>& cameras, const RigRefinementOptions& options) {
    const size_t count = cameras.size();
    std::vector<CameraViews> views;
    for (const RigCamera& camera : cameras) {
        views.push_back(collectViews(camera, options));
    }
    RigRefinementOutcome outcome;
    JointRefinement& summary = outcome.summary;
    const std::vector<std::optional<cv::Matx44d>> placed = placeAll(cameras, views, summary);

    // One board pose per frame, from the placed camera that saw the most corners of it.
    std::map<int, std::pair<size_t, int>> sourceOfFrame;  // frame -> (camera, corners)
    for (size_t c = 0; c < count; ++c) {
        if (!placed[c]) continue;
        for (size_t k = 0; k < views[c].frames.size(); ++k) {
            const int corners = views[c].views.objects[k].rows;
            auto [entry, added] = sourceOfFrame.emplace(views[c].frames[k], std::pair{c, corners});
            if (!added && corners > entry->second.second) entry->second = {c, corners};
        }
    }
    BoardBundle bundle;
    bundle.huber_threshold = options.huber_threshold_px;
    std::map<int, int> bundleFrame;
    for (const auto& [frame, source] : sourceOfFrame) {
        const CameraViews& seen = views[source.first];
        bundleFrame[frame] = static_cast<int>(bundle.frame_poses.size());
        bundle.frame_poses.push_back(
            poseOf(*placed[source.first] * transformOf(seen.camera_T_board[seen.view_of_frame.at(frame)])));
    }
    for (size_t c = 0; c < count; ++c) {
        solver::CameraIntrinsics intrinsics = views[c].intrinsics;
        const bool isReference = static_cast<int>(c) == options.reference_index;
        if (!placed[c]) {
            intrinsics.free.fill(false);
            intrinsics.aspect_ratio = 0.0;
            summary.cameras_left_out.push_back(static_cast<int>(c));
            logMessage(LogLevel::Warning, "[MultiCameraCalibrator] Camera " + std::to_string(c) +
                                              " shares no frame with a placed camera; left out of the joint "
                                              "refinement.");
        }
        bundle.cameras.push_back(intrinsics);
        bundle.camera_poses.push_back(placed[c] && !isReference ? poseOf(placed[c]->inv()) : Pose{});
        bundle.camera_pose_free.push_back(placed[c] && !isReference);
        if (!placed[c]) continue;
        for (size_t k = 0; k < views[c].frames.size(); ++k) {
            bundle.views.push_back(solver::BoardView{static_cast<int>(c), bundleFrame.at(views[c].frames[k]),
                                                     views[c].views.objects[k], views[c].views.points[k]});
            summary.corners += views[c].views.objects[k].rows;
        }
    }
    summary.frames = static_cast<int>(bundle.frame_poses.size());
    summary.rms_before = cameraRms(bundle, count);
    summary.overall_rms_before = overallRms(bundle, summary.corners);
    solver::solveBoardBundle(bundle, kStopRule);
    summary.rms_after = cameraRms(bundle, count);
    summary.overall_rms = overallRms(bundle, summary.corners);
    for (size_t c = 0; c < count; ++c) {
        const solver::CameraIntrinsics& refined = bundle.cameras[c];
        outcome.intrinsic_matrices.push_back(options.hold_intrinsics || !placed[c]
                                                 ? cameras[c].intrinsic_matrix.clone()
                                                 : cv::Mat(refined.cameraMatrix(), true));
        outcome.distortion_coefficients.push_back(options.hold_intrinsics || !placed[c]
                                                      ? cameras[c].distortion_coefficients.clone()
                                                      : distortionAsGiven(refined, cameras[c].distortion_coefficients));
        if (!placed[c]) {
            summary.reference_T_camera_list.push_back(cv::Mat());
            summary.start_reference_T_camera_list.push_back(cv::Mat());
            summary.rotation_change_deg.push_back(kNaN);
            summary.translation_change_m.push_back(kNaN);
            continue;
        }
        const cv::Matx44d after = transformOf(bundle.camera_poses[c]).inv();
        summary.reference_T_camera_list.push_back(cv::Mat(after, true));
        summary.start_reference_T_camera_list.push_back(cv::Mat(*placed[c], true));
        summary.rotation_change_deg.push_back(rotationAngleDeg(*placed[c], after));
        summary.translation_change_m.push_back(cv::norm(cv::Vec3d(after(0, 3) - (*placed[c])(0, 3),
                                                                  after(1, 3) - (*placed[c])(1, 3),
                                                                  after(2, 3) - (*placed[c])(2, 3))));
    }
    return outcome;
}

}  // namespace vantel::calibration

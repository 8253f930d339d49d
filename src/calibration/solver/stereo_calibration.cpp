#include "calibration/solver/stereo_calibration.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include <opencv2/calib3d.hpp>

#include "calibration/solver/board_bundle.hpp"
#include "calibration/solver/calibration_inputs.hpp"
#include "calibration/solver/intrinsic_flags.hpp"
#include "calibration/solver/stop_rule.hpp"
#include "calibration/solver_flags.hpp"

namespace vantel::calibration::solver {
namespace {

// Refining the intrinsics takes the flags of the camera calibration except the aspect ratio, whose
// handling in OpenCV's stereo solver differs; held intrinsics take any of them.
bool takesStereoFlags(int flags) {
    if (flags & cv::CALIB_FIX_INTRINSIC) {
        return blockSolverTakesFlags(flags & ~(cv::CALIB_FIX_INTRINSIC | cv::CALIB_SAME_FOCAL_LENGTH |
                                               cv::CALIB_FIX_ASPECT_RATIO));
    }
    return (flags & cv::CALIB_USE_INTRINSIC_GUESS) && !(flags & cv::CALIB_FIX_ASPECT_RATIO) &&
           blockSolverTakesFlags(flags);
}

std::optional<CameraIntrinsics> pairCamera(const cv::Mat& cameraMatrix, const cv::Mat& distortion, cv::Size imageSize,
                                           int flags) {
    const std::optional<cv::Matx33d> K = acceptableCameraMatrix(cameraMatrix, imageSize);
    const int count = coefficientCount(distortion);
    if (!K || distortion.depth() > CV_64F) {
        return std::nullopt;
    }
    if (flags & cv::CALIB_FIX_INTRINSIC) {
        if (count != 4 && count != 5 && count != 8 && count != 12 && count != 14) {
            return std::nullopt;
        }
        CameraIntrinsics camera = intrinsicsFor(*K, distortion, 0);
        camera.free.fill(false);
        return camera;
    }
    if (count != returnedDistortionCount(flags) && count != distortionCountFor(flags)) {
        return std::nullopt;
    }
    return intrinsicsFor(*K, distortion, flags);
}

// Each component's median over the frames (the upper one for an even count).
double medianOf(std::vector<double> values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// OpenCV's start: both cameras' PnP poses of every frame, the board poses from camera 1 and the
// pair's pose as the median of the frames' relative poses.
std::optional<BoardBundle> startingPair(const std::vector<cv::Mat>& objectPoints, const std::vector<cv::Mat>& points1,
                                        const std::vector<cv::Mat>& points2, const cv::Mat& cameraMatrix1,
                                        const cv::Mat& distortion1, const cv::Mat& cameraMatrix2,
                                        const cv::Mat& distortion2, cv::Size imageSize, int flags) {
    if (!takesStereoFlags(flags)) {
        return std::nullopt;
    }
    const std::optional<Views> first = usableViews(objectPoints, points1);
    const std::optional<Views> second = usableViews(objectPoints, points2);
    const std::optional<CameraIntrinsics> camera1 = pairCamera(cameraMatrix1, distortion1, imageSize, flags);
    const std::optional<CameraIntrinsics> camera2 = pairCamera(cameraMatrix2, distortion2, imageSize, flags);
    if (!first || !second || !camera1 || !camera2) {
        return std::nullopt;
    }
    BoardBundle bundle;
    bundle.cameras = {*camera1, *camera2};
    bundle.frame_poses = startingPoses(*first, *camera1);
    const std::vector<Pose> seconds = startingPoses(*second, *camera2);
    std::vector<std::vector<double>> relative(6);
    for (size_t f = 0; f < seconds.size(); ++f) {
        cv::Matx33d R1, R2;
        cv::Rodrigues(bundle.frame_poses[f].rvec, R1);
        cv::Rodrigues(seconds[f].rvec, R2);
        const cv::Matx33d R = R2 * R1.t();
        const cv::Vec3d t = seconds[f].tvec - R * bundle.frame_poses[f].tvec;
        cv::Vec3d r;
        cv::Rodrigues(R, r);
        for (int k = 0; k < 3; ++k) {
            relative[static_cast<size_t>(k)].push_back(r[k]);
            relative[static_cast<size_t>(k + 3)].push_back(t[k]);
        }
    }
    Pose pair;
    for (int k = 0; k < 3; ++k) {
        pair.rvec[k] = medianOf(relative[static_cast<size_t>(k)]);
        pair.tvec[k] = medianOf(relative[static_cast<size_t>(k + 3)]);
    }
    bundle.camera_poses = {Pose{}, pair};
    bundle.camera_pose_free = {false, true};
    for (size_t f = 0; f < seconds.size(); ++f) {
        bundle.views.push_back(BoardView{0, static_cast<int>(f), first->objects[f], first->points[f]});
        bundle.views.push_back(BoardView{1, static_cast<int>(f), second->objects[f], second->points[f]});
    }
    return bundle;
}

// The refined values in the caller's matrices, as OpenCV returns them: the camera matrix as 3 x 3
// doubles, the model's coefficients (padded to the count OpenCV returns) in the orientation given.
void writeBack(const CameraIntrinsics& camera, int flags, cv::Mat& cameraMatrix, cv::Mat& distortion) {
    cameraMatrix = cv::Mat(camera.cameraMatrix(), true);
    const int count = returnedDistortionCount(flags);
    cv::Mat coefficients = cv::Mat::zeros(1, count, CV_64F);
    camera.distortion().copyTo(coefficients.colRange(0, camera.distortion_count));
    distortion = distortion.cols == 1 && distortion.rows > 1 ? coefficients.t() : coefficients;
}

}  // namespace

double stereoCalibrate(const std::vector<cv::Mat>& objectPoints, const std::vector<cv::Mat>& points1,
                       const std::vector<cv::Mat>& points2, cv::Mat& cameraMatrix1, cv::Mat& distortion1,
                       cv::Mat& cameraMatrix2, cv::Mat& distortion2, cv::Size imageSize, cv::Mat& rotation,
                       cv::Mat& translation, int flags, const cv::TermCriteria& criteria) {
    std::optional<BoardBundle> bundle;
    if (validCriteria(criteria)) {
        bundle = startingPair(objectPoints, points1, points2, cameraMatrix1, distortion1, cameraMatrix2, distortion2,
                              imageSize, flags);
    }
    if (!bundle) {
        cv::Mat essential, fundamental;
        return cv::stereoCalibrate(objectPoints, points1, points2, cameraMatrix1, distortion1, cameraMatrix2,
                                   distortion2, imageSize, rotation, translation, essential, fundamental,
                                   withFastSolver(flags), criteria);
    }
    solveBoardBundle(*bundle, stopRuleFor(criteria));

    cv::Matx33d R;
    cv::Rodrigues(bundle->camera_poses[1].rvec, R);
    rotation = cv::Mat(R, true);
    translation = cv::Mat(bundle->camera_poses[1].tvec, true);
    if (!(flags & cv::CALIB_FIX_INTRINSIC)) {
        writeBack(bundle->cameras[0], flags, cameraMatrix1, distortion1);
        writeBack(bundle->cameras[1], flags, cameraMatrix2, distortion2);
    }
    double squares = 0.0;
    for (const double viewSquares : viewSquaredErrors(*bundle)) {
        squares += viewSquares;
    }
    int points = 0;
    for (const BoardView& view : bundle->views) {
        points += view.object_points.rows;
    }
    // OpenCV's measure: over the points of both cameras.
    return std::sqrt(squares / points);
}

}  // namespace vantel::calibration::solver

#include "calibration/solver/camera_calibration.hpp"

#include <cmath>
#include <optional>

#include <opencv2/calib3d.hpp>

#include "calibration/solver/board_bundle.hpp"
#include "calibration/solver/calibration_inputs.hpp"
#include "calibration/solver/initial_camera_matrix.hpp"
#include "calibration/solver/intrinsic_flags.hpp"
#include "calibration/solver/stop_rule.hpp"
#include "calibration/solver_flags.hpp"

namespace vantel::calibration::solver {
namespace {

// OpenCV's own limits on a planar board and on a fixed aspect ratio.
constexpr double kPlanarTolerance = 1e-5;
constexpr double kSmallestAspectRatio = 0.01;
constexpr double kLargestAspectRatio = 100.0;

bool isPlanarAtZero(const Views& views) {
    for (const cv::Mat& objects : views.objects) {
        double smallest = 0.0, largest = 0.0;
        cv::minMaxLoc(objects.col(2), &smallest, &largest);
        if (std::abs(smallest) > kPlanarTolerance || std::abs(largest) > kPlanarTolerance) {
            return false;
        }
    }
    return true;
}

std::optional<double> fixedAspectRatio(const cv::Mat& cameraMatrix) {
    double ratio = 1.0;
    if (!cameraMatrix.empty()) {
        if (cameraMatrix.rows != 3 || cameraMatrix.cols != 3 || cameraMatrix.channels() != 1) {
            return std::nullopt;
        }
        cv::Matx33d K;
        cameraMatrix.convertTo(K, CV_64F);
        ratio = K(0, 0) / K(1, 1);
    }
    if (!(ratio >= kSmallestAspectRatio && ratio <= kLargestAspectRatio)) {
        return std::nullopt;
    }
    return ratio;
}

// A guess of the model's terms, or of the terms OpenCV returns when those beyond the model are zero.
bool acceptableDistortionGuess(const cv::Mat& distortion, int flags) {
    const int count = coefficientCount(distortion);
    const int model = distortionCountFor(flags);
    if (count == 0 || count == model || (model == 5 && count == 4)) {
        return true;
    }
    if (count != returnedDistortionCount(flags) || distortion.depth() > CV_64F) {
        return false;
    }
    cv::Mat terms;
    distortion.reshape(1, 1).convertTo(terms, CV_64F);
    return cv::countNonZero(terms.colRange(model, count)) == 0;
}

// OpenCV's start: its initial camera matrix (or the caller's guess), no distortion unless
// guessed, and every view's pose by iterative PnP with those.
std::optional<BoardBundle> startingBundle(const Views& views, cv::Size imageSize, const cv::Mat& cameraMatrix,
                                          const cv::Mat& distortion, int flags) {
    if (imageSize.width <= 0 || imageSize.height <= 0 || !acceptableDistortionGuess(distortion, flags)) {
        return std::nullopt;
    }
    const bool guess = (flags & cv::CALIB_USE_INTRINSIC_GUESS) != 0;
    cv::Matx33d K;
    if (guess) {
        const std::optional<cv::Matx33d> accepted = acceptableCameraMatrix(cameraMatrix, imageSize);
        if (!accepted) {
            return std::nullopt;
        }
        K = *accepted;
    } else {
        if (!isPlanarAtZero(views)) {
            return std::nullopt;
        }
        double aspectRatio = 0.0;  // both focal lengths free
        if (flags & cv::CALIB_FIX_ASPECT_RATIO) {
            const std::optional<double> ratio = fixedAspectRatio(cameraMatrix);
            if (!ratio) {
                return std::nullopt;
            }
            aspectRatio = *ratio;
        }
        const std::optional<cv::Matx33d> initial =
            initialCameraMatrix(views.objects, views.points, imageSize, aspectRatio);
        if (!initial) {
            return std::nullopt;
        }
        K = *initial;
    }
    BoardBundle bundle;
    bundle.cameras.push_back(intrinsicsFor(K, guess ? distortion : cv::Mat(), flags));
    bundle.camera_poses.push_back(Pose{});
    bundle.camera_pose_free.push_back(false);
    bundle.frame_poses = startingPoses(views, bundle.cameras.front());
    const size_t count = views.objects.size();
    for (size_t k = 0; k < count; ++k) {
        bundle.views.push_back(BoardView{0, static_cast<int>(k), views.objects[k], views.points[k]});
    }
    return bundle;
}

}  // namespace

double calibrateCamera(const std::vector<cv::Mat>& objectPoints, const std::vector<cv::Mat>& imagePoints,
                       cv::Size imageSize, cv::Mat& cameraMatrix, cv::Mat& distortion, std::vector<cv::Mat>& rvecs,
                       std::vector<cv::Mat>& tvecs, cv::Mat& stdDeviationsIntrinsics,
                       cv::Mat& stdDeviationsExtrinsics, cv::Mat& perViewErrors, int flags,
                       const cv::TermCriteria& criteria) {
    std::optional<BoardBundle> bundle;
    if (blockSolverTakesFlags(flags) && validCriteria(criteria)) {
        if (const std::optional<Views> views = usableViews(objectPoints, imagePoints)) {
            bundle = startingBundle(*views, imageSize, cameraMatrix, distortion, flags);
        }
    }
    if (!bundle) {
        return cv::calibrateCamera(objectPoints, imagePoints, imageSize, cameraMatrix, distortion, rvecs, tvecs,
                                   stdDeviationsIntrinsics, stdDeviationsExtrinsics, perViewErrors,
                                   withFastSolver(flags), criteria);
    }
    solveBoardBundle(*bundle, stopRuleFor(criteria));

    const CameraIntrinsics& camera = bundle->cameras.front();
    cameraMatrix = cv::Mat(camera.cameraMatrix(), true);
    distortion = cv::Mat::zeros(1, returnedDistortionCount(flags), CV_64F);
    camera.distortion().copyTo(distortion.colRange(0, camera.distortion_count));
    const size_t views = bundle->views.size();
    rvecs.assign(views, cv::Mat());
    tvecs.assign(views, cv::Mat());
    const std::vector<double> squares = viewSquaredErrors(*bundle);
    perViewErrors.create(static_cast<int>(views), 1, CV_64F);
    double totalSquares = 0.0;
    int points = 0;
    for (size_t k = 0; k < views; ++k) {
        rvecs[k] = cv::Mat(bundle->frame_poses[k].rvec, true);
        tvecs[k] = cv::Mat(bundle->frame_poses[k].tvec, true);
        const int count = bundle->views[k].object_points.rows;
        perViewErrors.at<double>(static_cast<int>(k)) = std::sqrt(squares[k] / count);
        totalSquares += squares[k];
        points += count;
    }

    // Residual variance over two coordinates per point less the free parameters.
    const ParameterLayout layout = layoutOf(*bundle);
    const BundleCovariance covariance = bundleCovariance(*bundle);
    const double variance = totalSquares / (2.0 * points - layout.size - 6.0 * static_cast<double>(views));
    stdDeviationsIntrinsics =
        intrinsicDeviations(layout.free_intrinsics.front(), covariance.camera_parameters, variance);
    stdDeviationsExtrinsics.create(6 * static_cast<int>(views), 1, CV_64F);
    for (size_t k = 0; k < views; ++k) {
        for (int p = 0; p < 6; ++p) {
            stdDeviationsExtrinsics.at<double>(6 * static_cast<int>(k) + p) =
                std::sqrt(covariance.frame_poses[k](p, p) * variance);
        }
    }
    return std::sqrt(totalSquares / points);
}

}  // namespace vantel::calibration::solver

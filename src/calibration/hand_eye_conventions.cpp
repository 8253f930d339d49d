#include "calibration/hand_eye_conventions.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <sstream>

#include <opencv2/calib3d.hpp>

namespace vantel::calibration {
namespace {

// Robot and camera see the same rigid motions, so their sizes agree to a few times (the camera sits
// on a lever); a unit mistake makes them differ a thousandfold.
constexpr double kUnitMistakeRatio = 30.0;
// With correct poses the target strays by hundredths to tenths of a degree (real robot, rendered
// scenes at 0.2-1 px noise); inverted poses make it stray by tens of degrees.
constexpr double kStrayDegreesWorthAsking = 1.0;
constexpr double kInversionImprovement = 5.0;

double medianPairwiseDistance(const std::vector<cv::Vec3d>& points) {
    std::vector<double> distances;
    for (size_t i = 0; i < points.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            distances.push_back(cv::norm(points[i] - points[j]));
        }
    }
    if (distances.empty()) {
        return 0.0;
    }
    auto middle = distances.begin() + static_cast<std::ptrdiff_t>(distances.size() / 2);
    std::nth_element(distances.begin(), middle, distances.end());
    return *middle;
}

cv::Vec3d translationOf(const cv::Mat& transform) {
    cv::Mat pose;
    transform.convertTo(pose, CV_64F);
    return {pose.at<double>(0, 3), pose.at<double>(1, 3), pose.at<double>(2, 3)};
}

// Where the camera sees the moving part: the camera in the target's frame when it rides on the
// flange, the target in the camera's frame when the target does.
cv::Vec3d seenPosition(const cv::Mat& camera_T_target, CameraMounting mounting) {
    cv::Mat pose;
    camera_T_target.convertTo(pose, CV_64F);
    if (mounting == CameraMounting::Stationary) {
        return translationOf(pose);
    }
    const cv::Mat position = -pose(cv::Rect(0, 0, 3, 3)).t() * pose(cv::Rect(3, 0, 1, 3));
    return {position.at<double>(0), position.at<double>(1), position.at<double>(2)};
}

std::vector<cv::Mat> inverted(const std::vector<cv::Mat>& poses) {
    // Inverting a rigid transform is what the stationary mounting does to robot poses.
    return handEyeRobotPoses(poses, CameraMounting::Stationary);
}

// Mean rotation by which the target strays; none when the solve fails on this data.
std::optional<double> strayDegrees(const std::vector<cv::Mat>& robot_poses,
                                   const std::vector<cv::Mat>& camera_T_target_list) {
    try {
        const cv::Mat X = solveHandEye(robot_poses, camera_T_target_list, cv::CALIB_HAND_EYE_PARK);
        if (!cv::checkRange(X)) {
            return std::nullopt;
        }
        return poseSpread(chainedTargetPoses(robot_poses, X, camera_T_target_list)).mean_rotation_deg;
    } catch (const cv::Exception&) {
        return std::nullopt;
    }
}

std::string fixed(double value, int digits) {
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(digits);
    text << value;
    return text.str();
}

// Whether the alternative keeps the target far more still than the data as given.
bool alternativeFitsFarBetter(std::optional<double> given, std::optional<double> alternative) {
    return given && alternative && *given > kStrayDegreesWorthAsking &&
           *alternative * kInversionImprovement < *given;
}

}  // namespace

std::vector<std::string> handEyeConventionWarnings(const std::vector<cv::Mat>& robot_T_tcp_list,
                                                   const std::vector<cv::Mat>& camera_T_target_list,
                                                   CameraMounting mounting, bool camera_poses_given,
                                                   const std::string& calibrator_name) {
    const std::string prefix = "[" + calibrator_name + "] ";
    std::vector<std::string> warnings;
    std::vector<cv::Vec3d> flange, seen;
    for (size_t i = 0; i < camera_T_target_list.size(); ++i) {
        flange.push_back(translationOf(robot_T_tcp_list[i]));
        seen.push_back(seenPosition(camera_T_target_list[i], mounting));
    }
    const double robotMotion = medianPairwiseDistance(flange);
    const double seenMotion = medianPairwiseDistance(seen);
    if (robotMotion > 0.0 && seenMotion > 0.0) {
        const double ratio = seenMotion / robotMotion;
        if (ratio * kUnitMistakeRatio < 1.0) {
            warnings.push_back(prefix + "The robot translations look like millimetres: the flange moves about " +
                               fixed(1.0 / ratio, 0) +
                               " times farther than the camera sees. Give the robot poses in metres.");
        } else if (ratio > kUnitMistakeRatio) {
            warnings.push_back(prefix + "The target's lengths look like millimetres: the camera sees about " +
                               fixed(ratio, 0) +
                               " times more motion than the flange makes. Give the square and marker lengths in "
                               "metres.");
        }
    }
    // Spreads of data in the wrong unit say nothing about directions.
    if (!warnings.empty()) {
        return warnings;
    }

    const std::vector<cv::Mat> robotPoses = handEyeRobotPoses(robot_T_tcp_list, mounting);
    const std::optional<double> given = strayDegrees(robotPoses, camera_T_target_list);
    const std::optional<double> robotInverted = strayDegrees(inverted(robotPoses), camera_T_target_list);
    const bool robotInversionFits = alternativeFitsFarBetter(given, robotInverted);
    const std::optional<double> cameraInverted =
        camera_poses_given ? strayDegrees(robotPoses, inverted(camera_T_target_list)) : std::nullopt;
    const bool cameraInversionFits = alternativeFitsFarBetter(given, cameraInverted);
    // Inverting either list of a consistent pair leaves the other inversion consistent too: with
    // both lists given, the data cannot tell which one is inverted.
    if (robotInversionFits && cameraInversionFits) {
        warnings.push_back(prefix + "The robot poses or the camera-to-target poses look inverted: with either list "
                           "inverted the target strays by " + fixed(std::min(*robotInverted, *cameraInverted), 2) +
                           " deg instead of " + fixed(*given, 2) +
                           " deg. Give robot_T_tcp (flange to robot base, the flange pose the controller reports) "
                           "and camera_T_target (target to camera, as solvePnP returns it), or invert the list that "
                           "is the other way round.");
    } else if (robotInversionFits) {
        const std::string otherCalibrator =
            mounting == CameraMounting::OnFlange ? "EyeToHandCalibrator" : "EyeInHandCalibrator";
        const std::string otherMounting =
            mounting == CameraMounting::OnFlange ? "fixed beside the robot" : "on the flange";
        warnings.push_back(prefix + "The robot poses look inverted: with each one inverted the target strays by " +
                           fixed(*robotInverted, 2) + " deg instead of " + fixed(*given, 2) +
                           " deg. Give robot_T_tcp (flange to robot base, the flange pose the controller reports) "
                           "or invert each pose; for a camera " + otherMounting + ", use " + otherCalibrator + ".");
    } else if (cameraInversionFits) {
        warnings.push_back(prefix + "The camera-to-target poses look inverted: with each one inverted the target "
                           "strays by " + fixed(*cameraInverted, 2) + " deg instead of " + fixed(*given, 2) +
                           " deg. Give camera_T_target (target to camera, as solvePnP returns it) or invert each "
                           "pose.");
    }
    return warnings;
}

}  // namespace vantel::calibration

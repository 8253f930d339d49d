#include "calibration/hand_eye_conventions.hpp"

#include <algorithm>
#include <optional>
#include <sstream>

#include <opencv2/calib3d.hpp>

namespace vantel::calibration {
namespace {

// With correct data the target strays by hundredths to tenths of a degree and below a few
// millimetres (real robot, rendered scenes at 0.2-1 px noise); with inverted poses by tens of
// degrees, with a unit mistake by metres. An alternative reading of the data counts when it keeps
// the target this many times stiller, and the data as given stray by more than these floors.
constexpr double kImprovement = 5.0;
constexpr double kStrayDegreesWorthAsking = 1.0;
constexpr double kStrayMetresWorthAsking = 0.005;
constexpr double kMillimetre = 0.001;

std::vector<cv::Mat> inverted(const std::vector<cv::Mat>& poses) {
    // Inverting a rigid transform is what the stationary mounting does to robot poses.
    return handEyeRobotPoses(poses, CameraMounting::Stationary);
}

std::vector<cv::Mat> withTranslationsScaled(const std::vector<cv::Mat>& poses, double factor) {
    std::vector<cv::Mat> scaled;
    for (const cv::Mat& pose : poses) {
        cv::Mat copy;
        pose.convertTo(copy, CV_64F);
        copy(cv::Rect(3, 0, 1, 3)) *= factor;
        scaled.push_back(copy);
    }
    return scaled;
}

// How far the target strays when the hand-eye equation is solved on this reading of the data;
// none when the solve fails on it.
std::optional<TargetConsistencyStats> stray(const std::vector<cv::Mat>& robot_poses,
                                            const std::vector<cv::Mat>& camera_T_target_list) {
    try {
        const cv::Mat X = solveHandEye(robot_poses, camera_T_target_list, cv::CALIB_HAND_EYE_PARK);
        if (!cv::checkRange(X)) {
            return std::nullopt;
        }
        return poseSpread(chainedTargetPoses(robot_poses, X, camera_T_target_list));
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

// Whether the alternative reading keeps the target far stiller than the data as given, in rotation
// (a direction mistake) or in translation (a unit mistake, which leaves rotations alone).
bool rotatesFarLess(const std::optional<TargetConsistencyStats>& given,
                    const std::optional<TargetConsistencyStats>& alternative) {
    return given && alternative && given->mean_rotation_deg > kStrayDegreesWorthAsking &&
           alternative->mean_rotation_deg * kImprovement < given->mean_rotation_deg;
}

bool movesFarLess(const std::optional<TargetConsistencyStats>& given,
                  const std::optional<TargetConsistencyStats>& alternative) {
    return given && alternative && given->mean_translation_m > kStrayMetresWorthAsking &&
           alternative->mean_translation_m * kImprovement < given->mean_translation_m;
}

std::string millimetres(const TargetConsistencyStats& stats) { return fixed(stats.mean_translation_m * 1000.0, 1); }

}  // namespace

std::vector<std::string> handEyeConventionWarnings(const std::vector<cv::Mat>& robot_T_tcp_list,
                                                   const std::vector<cv::Mat>& camera_T_target_list,
                                                   CameraMounting mounting, bool camera_poses_given,
                                                   const std::string& calibrator_name) {
    const std::string prefix = "[" + calibrator_name + "] ";
    std::vector<std::string> warnings;
    const std::vector<cv::Mat> robotPoses = handEyeRobotPoses(robot_T_tcp_list, mounting);
    const std::optional<TargetConsistencyStats> given = stray(robotPoses, camera_T_target_list);

    // A unit mistake scales the robot translations against the target's lengths by a thousand.
    const auto robotScaled = [&](double factor) {
        return stray(handEyeRobotPoses(withTranslationsScaled(robot_T_tcp_list, factor), mounting),
                     camera_T_target_list);
    };
    if (const auto robotInMetres = robotScaled(kMillimetre); movesFarLess(given, robotInMetres)) {
        warnings.push_back(prefix + "The robot translations look like millimetres: read as millimetres the target "
                           "strays by " + millimetres(*robotInMetres) + " mm instead of " + millimetres(*given) +
                           " mm. Give the robot poses in metres.");
    } else if (const auto targetInMetres = robotScaled(1.0 / kMillimetre); movesFarLess(given, targetInMetres)) {
        // The target's own unit measures these strays: no figures.
        warnings.push_back(prefix + "The target's lengths look like millimetres (or the robot's metres were read as "
                           "millimetres): the robot translations fit what the camera sees only when made a thousand "
                           "times longer. Give the square and marker lengths, and the robot translations, in metres.");
    }
    // Spreads of data in the wrong unit say nothing about directions.
    if (!warnings.empty()) {
        return warnings;
    }

    const auto robotInverted = stray(inverted(robotPoses), camera_T_target_list);
    const auto cameraInverted = camera_poses_given ? stray(robotPoses, inverted(camera_T_target_list))
                                                   : std::optional<TargetConsistencyStats>();
    const bool robotInversionFits = rotatesFarLess(given, robotInverted);
    const bool cameraInversionFits = rotatesFarLess(given, cameraInverted);
    const std::string instead = " deg instead of " + fixed(given ? given->mean_rotation_deg : 0.0, 2) + " deg. ";
    // Inverting either list of a consistent pair leaves the other inversion consistent too: with
    // both lists given, the data cannot tell which one is inverted.
    if (robotInversionFits && cameraInversionFits) {
        warnings.push_back(prefix + "The robot poses or the camera-to-target poses look inverted: with either list "
                           "inverted the target strays by " +
                           fixed(std::min(robotInverted->mean_rotation_deg, cameraInverted->mean_rotation_deg), 2) +
                           instead +
                           "Give robot_T_tcp (flange to robot base, the flange pose the controller reports) and "
                           "camera_T_target (target to camera, as solvePnP returns it), or invert the list that is "
                           "the other way round.");
    } else if (robotInversionFits) {
        const std::string otherCalibrator =
            mounting == CameraMounting::OnFlange ? "EyeToHandCalibrator" : "EyeInHandCalibrator";
        const std::string otherMounting =
            mounting == CameraMounting::OnFlange ? "fixed beside the robot" : "on the flange";
        warnings.push_back(prefix + "The robot poses look inverted: with each one inverted the target strays by " +
                           fixed(robotInverted->mean_rotation_deg, 2) + instead +
                           "Give robot_T_tcp (flange to robot base, the flange pose the controller reports) or invert "
                           "each pose; for a camera " + otherMounting + ", use " + otherCalibrator + ".");
    } else if (cameraInversionFits) {
        warnings.push_back(prefix + "The camera-to-target poses look inverted: with each one inverted the target "
                           "strays by " + fixed(cameraInverted->mean_rotation_deg, 2) + instead +
                           "Give camera_T_target (target to camera, as solvePnP returns it) or invert each pose.");
    }
    return warnings;
}

}  // namespace vantel::calibration

#include "calibration/hand_eye_chain.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <opencv2/calib3d.hpp>

#include "geometry/pose.hpp"

namespace vantel::calibration {
namespace {

constexpr double kPi = 3.141592653589793;

double mean(const std::vector<double>& values) {
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

double maximum(const std::vector<double>& values) { return *std::max_element(values.begin(), values.end()); }

cv::Mat asDouble(const cv::Mat& matrix) {
    cv::Mat converted;
    matrix.convertTo(converted, CV_64F);
    return converted;
}

}  // namespace

std::vector<cv::Mat> handEyeRobotPoses(const std::vector<cv::Mat>& robot_T_tcp_list, CameraMounting mounting) {
    std::vector<cv::Mat> poses;
    poses.reserve(robot_T_tcp_list.size());
    for (const cv::Mat& robot_T_tcp : robot_T_tcp_list) {
        const cv::Mat pose = asDouble(robot_T_tcp);
        if (mounting == CameraMounting::OnFlange) {
            poses.push_back(pose);
            continue;
        }
        // A rigid transform's inverse, exactly: R^T and -R^T t.
        cv::Mat inverse = cv::Mat::eye(4, 4, CV_64F);
        const cv::Mat rotation = pose(cv::Rect(0, 0, 3, 3)).t();
        rotation.copyTo(inverse(cv::Rect(0, 0, 3, 3)));
        inverse(cv::Rect(3, 0, 1, 3)) = -rotation * pose(cv::Rect(3, 0, 1, 3));
        poses.push_back(inverse);
    }
    return poses;
}

std::vector<cv::Mat> chainedTargetPoses(const std::vector<cv::Mat>& robot_poses, const cv::Mat& X,
                                        const std::vector<cv::Mat>& camera_T_target_list) {
    const cv::Mat transform = asDouble(X);
    std::vector<cv::Mat> chained;
    chained.reserve(camera_T_target_list.size());
    for (size_t i = 0; i < camera_T_target_list.size(); ++i) {
        chained.push_back(asDouble(robot_poses[i]) * transform * asDouble(camera_T_target_list[i]));
    }
    return chained;
}

TargetConsistencyStats poseSpread(const std::vector<cv::Mat>& poses, cv::Mat* average) {
    const cv::Mat reference = averagePose(poses);
    const cv::Mat referenceTranslation = reference(cv::Rect(3, 0, 1, 3)).clone();
    const cv::Mat referenceRotation = reference(cv::Rect(0, 0, 3, 3)).clone();

    TargetConsistencyStats stats;
    for (const cv::Mat& pose : poses) {
        stats.translation_deviations_m.push_back(cv::norm(pose(cv::Rect(3, 0, 1, 3)), referenceTranslation));
        const cv::Mat rotation = pose(cv::Rect(0, 0, 3, 3));
        const double cosine = std::clamp((cv::trace(rotation.t() * referenceRotation)[0] - 1.0) * 0.5, -1.0, 1.0);
        stats.rotation_deviations_deg.push_back(std::acos(cosine) * 180.0 / kPi);
    }
    stats.mean_translation_m = mean(stats.translation_deviations_m);
    stats.max_translation_m = maximum(stats.translation_deviations_m);
    stats.mean_rotation_deg = mean(stats.rotation_deviations_deg);
    stats.max_rotation_deg = maximum(stats.rotation_deviations_deg);
    if (average != nullptr) {
        *average = reference;
    }
    return stats;
}

cv::Mat solveHandEye(const std::vector<cv::Mat>& robot_poses, const std::vector<cv::Mat>& camera_T_target_list,
                     int method) {
    std::vector<cv::Mat> robotRotations, robotTranslations, cameraRotations, cameraTranslations;
    for (size_t i = 0; i < camera_T_target_list.size(); ++i) {
        const cv::Mat robot = asDouble(robot_poses[i]);
        const cv::Mat camera = asDouble(camera_T_target_list[i]);
        robotRotations.push_back(robot(cv::Rect(0, 0, 3, 3)).clone());
        robotTranslations.push_back(robot(cv::Rect(3, 0, 1, 3)).clone());
        cameraRotations.push_back(camera(cv::Rect(0, 0, 3, 3)).clone());
        cameraTranslations.push_back(camera(cv::Rect(3, 0, 1, 3)).clone());
    }
    cv::Mat rotation, translation;
    cv::calibrateHandEye(robotRotations, robotTranslations, cameraRotations, cameraTranslations, rotation,
                         translation, static_cast<cv::HandEyeCalibrationMethod>(method));
    cv::Mat X = cv::Mat::eye(4, 4, CV_64F);
    rotation.convertTo(X(cv::Rect(0, 0, 3, 3)), CV_64F);
    translation.reshape(1, 3).convertTo(X(cv::Rect(3, 0, 1, 3)), CV_64F);
    return X;
}

}  // namespace vantel::calibration

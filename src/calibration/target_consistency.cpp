// How well the solved tcp_T_camera keeps the (fixed) target in one place in the robot frame.

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include <opencv2/calib3d.hpp>

#include "calibration/eye_in_hand_calibrator.hpp"
#include "calibration/hand_eye_chain.hpp"
#include "geometry/pose.hpp"

namespace vantel::calibration {
namespace {

cv::Point3f boardCentre(const Target& target) {
    cv::Mat centre;
    cv::reduce(targetObjectPoints(target), centre, 0, cv::REDUCE_AVG, CV_64F);
    return {static_cast<float>(centre.at<double>(0)), static_cast<float>(centre.at<double>(1)),
            static_cast<float>(centre.at<double>(2))};
}

cv::Mat asDouble(const cv::Mat& matrix) {
    cv::Mat converted;
    matrix.convertTo(converted, CV_64F);
    return converted;
}

}  // namespace

void EyeInHandCalibrator::computeTargetConsistency(HandEyeResult& result) const {
    TargetConsistencyStats stats = poseSpread(chainedTargetPoses(
        handEyeRobotPoses(result.valid_robot_T_tcp_list, mounting_), result.tcp_T_camera, result.camera_T_target_list));

    const std::vector<cv::Point3f> centre{boardCentre(target_)};
    const cv::Mat distortion =
        result.distortion_coefficients.empty() ? cv::Mat::zeros(1, 5, CV_64F) : result.distortion_coefficients;
    for (const cv::Mat& camera_T_target : result.camera_T_target_list) {
        const cv::Mat pose = asDouble(camera_T_target);
        cv::Mat rvec;
        cv::Rodrigues(pose(cv::Rect(0, 0, 3, 3)), rvec);
        const cv::Mat tvec = pose(cv::Rect(3, 0, 1, 3)).clone();
        stats.distances_m.push_back(cv::norm(tvec));
        // Given camera poses need not come with a camera model: no projection without one.
        if (result.intrinsic_matrix.empty()) {
            stats.board_us.push_back(std::numeric_limits<double>::quiet_NaN());
            stats.board_vs.push_back(std::numeric_limits<double>::quiet_NaN());
            continue;
        }
        std::vector<cv::Point2f> projected;
        cv::projectPoints(centre, rvec, tvec, result.intrinsic_matrix, distortion, projected);
        stats.board_us.push_back(projected[0].x);
        stats.board_vs.push_back(projected[0].y);
    }

    result.consistency = std::move(stats);
    result.has_consistency = true;
}

}  // namespace vantel::calibration

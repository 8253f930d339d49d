#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye_records.hpp"

namespace vantel::calibration {

// Where the camera is mounted decides which robot transform the hand-eye equation takes: the
// flange pose in the base frame (camera on the flange) or its inverse (camera fixed in the cell).
enum class CameraMounting { OnFlange, Stationary };

// The robot poses as the hand-eye equation A·X·B = constant wants them, from robot_T_tcp.
std::vector<cv::Mat> handEyeRobotPoses(const std::vector<cv::Mat>& robot_T_tcp_list, CameraMounting mounting);

// Per frame A[i]·X·B[i] (in float64): the target in the frame that holds it still, for a correct X
// the same in every frame.
std::vector<cv::Mat> chainedTargetPoses(const std::vector<cv::Mat>& robot_poses, const cv::Mat& X,
                                        const std::vector<cv::Mat>& camera_T_target_list);

// How far the poses stray from their average: the translation and rotation fields of the record.
// average, when given, receives the average pose.
TargetConsistencyStats poseSpread(const std::vector<cv::Mat>& poses, cv::Mat* average = nullptr);

// cv::calibrateHandEye on 4x4 transforms, as a 4x4 X; its errors propagate.
cv::Mat solveHandEye(const std::vector<cv::Mat>& robot_poses, const std::vector<cv::Mat>& camera_T_target_list,
                     int method);

}  // namespace vantel::calibration

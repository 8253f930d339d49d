#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "targets/aruco_adapter.hpp"
#include "targets/target.hpp"

namespace vantel {

// What finding a target in many images needs, built once: the board, its detectors and the board
// points detections are paired with. Only the members of the target's kind are set. One set per
// thread: OpenCV does not promise that its detectors may be shared between threads.
struct TargetDetectors {
    cv::Mat chessboard_points;  // N x 3 CV_32F
    std::optional<CharucoDetector> charuco;
    std::vector<cv::Point3f> charuco_corners;
    std::optional<GridBoard> grid;
    std::optional<ArucoDetector> aruco;
    std::vector<std::vector<cv::Point3f>> grid_markers;
};

// Throws std::invalid_argument for a board size that cannot describe a board.
TargetDetectors makeTargetDetectors(const Target& target);

}  // namespace vantel

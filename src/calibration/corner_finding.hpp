#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/intrinsic_records.hpp"
#include "targets/target.hpp"

namespace vantel::calibration {

// One entry per image in which the target was found; the others are logged and skipped.
// Boards and detectors are built once per batch.
TargetDetections findChessboardTargetCorners(const std::vector<cv::Mat>& images, const ChessboardTarget& target,
                                             const IntrinsicOptions& options);
TargetDetections findCharucoTargetCorners(const std::vector<cv::Mat>& images, const CharucoTarget& target);
TargetDetections findArucoTargetCorners(const std::vector<cv::Mat>& images, const ArucoTarget& target);

TargetDetections findTargetCorners(const std::vector<cv::Mat>& images, const Target& target,
                                   const IntrinsicOptions& options);

}  // namespace vantel::calibration

#pragma once

#include <memory>
#include <optional>

#include <opencv2/core.hpp>

#include "targets/target.hpp"
#include "targets/target_detectors.hpp"

namespace vantel::quality {

// The target's points in one image as the benchmark finds them, row k of one matching row k
// of the other.
struct BenchmarkView {
    cv::Mat object_points;  // N x 3 CV_32F
    cv::Mat image_points;   // N x 1 CV_32FC2
};

// The benchmark's own detection, independent of any IntrinsicOptions so that every backend is
// measured on the same points: fixed chessboard flags and sub-pixel settings, ChArUco corners
// without the marker outputs, ArUco markers without refinement (markers of another board skipped).
// Boards and detectors are built once per detector.
class BenchmarkDetector {
public:
    explicit BenchmarkDetector(const Target& target);

    // Nothing when the target is not found (chessboard), or fewer than 4 ChArUco corners or
    // 4 board markers are seen.
    std::optional<BenchmarkView> detect(const cv::Mat& image) const;

private:
    Target target_;
    std::shared_ptr<const TargetDetectors> detectors_;
};

}  // namespace vantel::quality

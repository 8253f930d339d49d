#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace vantel::quality {

// How well the captured motions span the three rotation axes.
struct RotationVarietyStats {
    int num_motions = 0;
    std::array<double, 3> singular_values{};  // of the stacked rotation vectors, radians, largest first
    double axis_span_ratio = 0.0;             // smallest / largest singular value
    double angle_mean_deg = 0.0;
    double angle_max_deg = 0.0;
};

// Consecutive-frame motions above min_rotation_deg; no record when fewer than three remain.
std::optional<RotationVarietyStats> analyzeRotationVariety(const std::vector<cv::Mat>& camera_T_target_list,
                                                           double min_rotation_deg = 0.5);

std::string formatRotationVariety(const std::optional<RotationVarietyStats>& stats);

}  // namespace vantel::quality

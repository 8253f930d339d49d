#include "quality/rotation_variety.hpp"

#include <algorithm>
#include <sstream>

#include <opencv2/calib3d.hpp>

namespace vantel::quality {
namespace {

constexpr double kPi = 3.141592653589793;

}  // namespace

std::optional<RotationVarietyStats> analyzeRotationVariety(const std::vector<cv::Mat>& camera_T_target_list,
                                                           double min_rotation_deg) {
    const double threshold = min_rotation_deg * kPi / 180.0;
    std::vector<cv::Vec3d> rotationVectors;
    std::vector<double> angles;
    for (size_t i = 1; i < camera_T_target_list.size(); ++i) {
        cv::Mat previous;
        cv::Mat current;
        camera_T_target_list[i - 1].convertTo(previous, CV_64F);
        camera_T_target_list[i].convertTo(current, CV_64F);
        const cv::Mat motion = previous.inv(cv::DECOMP_LU) * current;
        cv::Vec3d rotationVector;
        cv::Rodrigues(motion(cv::Rect(0, 0, 3, 3)), rotationVector);
        const double angle = cv::norm(rotationVector);
        if (angle > threshold) {
            rotationVectors.push_back(rotationVector);
            angles.push_back(angle);
        }
    }
    if (rotationVectors.size() < 3) {
        return std::nullopt;
    }

    const cv::Mat stacked = cv::Mat(rotationVectors).reshape(1);  // K x 3
    cv::Mat singular;
    cv::SVD::compute(stacked, singular);

    RotationVarietyStats stats;
    stats.num_motions = static_cast<int>(rotationVectors.size());
    for (int k = 0; k < 3; ++k) {
        stats.singular_values[k] = singular.at<double>(k);
    }
    stats.axis_span_ratio = stats.singular_values[2] / stats.singular_values[0];
    double sum = 0.0;
    double largest = 0.0;
    for (double angle : angles) {
        const double degrees = angle * 180.0 / kPi;
        sum += degrees;
        largest = std::max(largest, degrees);
    }
    stats.angle_mean_deg = sum / static_cast<double>(angles.size());
    stats.angle_max_deg = largest;
    return stats;
}

std::string formatRotationVariety(const std::optional<RotationVarietyStats>& stats) {
    const std::string rule(60, '=');
    std::ostringstream text;
    text << rule << "\nROTATION VARIETY OF CAPTURED CAMERA POSES\n" << rule << "\n";
    if (!stats) {
        text << "  Not enough motions to analyze.\n";
        return text.str();
    }
    text << std::fixed;
    text << "  Inter-frame motions analyzed: " << stats->num_motions << "\n";
    text.precision(2);
    text << "  Mean inter-frame rotation:    " << stats->angle_mean_deg << " deg\n";
    text << "  Max  inter-frame rotation:    " << stats->angle_max_deg << " deg\n";
    text.precision(3);
    text << "  Singular values of rvecs:     [" << stats->singular_values[0] << ", " << stats->singular_values[1]
         << ", " << stats->singular_values[2] << "]\n";
    text << "  Axis-spread ratio (sv_min/sv_max): " << stats->axis_span_ratio << "\n";
    if (stats->axis_span_ratio < 0.15) {
        text << "  >>> POOR rotation variety  -  motions cluster in a plane.\n";
        text << "  >>> Hand-eye is poorly observable in one axis; expect bias.\n";
    } else if (stats->axis_span_ratio < 0.35) {
        text << "  >>> Marginal rotation variety  -  possible bias in one axis.\n";
    } else {
        text << "  >>> Rotation variety is healthy.\n";
    }
    return text.str();
}

}  // namespace vantel::quality

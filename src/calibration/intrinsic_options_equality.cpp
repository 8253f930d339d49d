#include "calibration/intrinsic_options_equality.hpp"

#include <cstring>

namespace vantel::calibration {
namespace {

bool sameCriteria(const cv::TermCriteria& a, const cv::TermCriteria& b) {
    return a.type == b.type && a.maxCount == b.maxCount && a.epsilon == b.epsilon;
}

// Bit for bit, so that a NaN equals itself: the same guess gives the same calibration.
bool sameMatrix(const cv::Mat& a, const cv::Mat& b) {
    if (a.type() != b.type() || a.size != b.size) {
        return false;
    }
    if (a.total() == 0) {
        return true;
    }
    const cv::Mat left = a.isContinuous() ? a : a.clone();
    const cv::Mat right = b.isContinuous() ? b : b.clone();
    return std::memcmp(left.data, right.data, left.total() * left.elemSize()) == 0;
}

// Bit for bit too: the threshold is printed in a log line, where -nan and nan differ.
bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool sameGuess(const std::optional<cv::Mat>& a, const std::optional<cv::Mat>& b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    return !a || sameMatrix(*a, *b);
}

}  // namespace

bool sameCornerFindingOptions(const IntrinsicOptions& a, const IntrinsicOptions& b) {
    return sameCriteria(a.criteria, b.criteria) && a.chessboard_corner_detector == b.chessboard_corner_detector &&
           a.chessboard_flags == b.chessboard_flags &&
           a.sub_pixel_detection_window_size == b.sub_pixel_detection_window_size &&
           a.sub_pixel_detection_zero_zone_size == b.sub_pixel_detection_zero_zone_size;
}

bool sameIntrinsicOptions(const IntrinsicOptions& a, const IntrinsicOptions& b) {
    return sameCornerFindingOptions(a, b) && a.calibrate_camera_method == b.calibrate_camera_method &&
           a.calibrate_camera_flags == b.calibrate_camera_flags &&
           a.index_of_fixed_3d_point == b.index_of_fixed_3d_point &&
           sameGuess(a.intrinsic_matrix_guess, b.intrinsic_matrix_guess) &&
           sameGuess(a.distortion_coefficients_guess, b.distortion_coefficients_guess) &&
           sameBits(a.per_view_error_threshold, b.per_view_error_threshold);
}

}  // namespace vantel::calibration

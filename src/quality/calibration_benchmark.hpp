#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/intrinsic_records.hpp"
#include "targets/target.hpp"

namespace vantel::quality {

// One backend's outcome. Errors in pixels.
struct BenchmarkResult {
    std::string backend_name;
    double reprojection_error = 0.0;           // of the calibration on all images
    double held_out_reprojection_error = 0.0;  // +infinity: nothing could be held out
    double hand_eye_roundtrip_error = -1.0;    // -1: not run; +infinity: run, nothing measured
    cv::Mat camera_matrix;
    cv::Mat dist_coeffs;
    std::string timestamp;
    uint64_t image_count = 0;
};

// How well a calibration generalises: k-fold cross-validation with a seeded shuffle and, given
// robot poses, how well the eye-in-hand chain predicts the target. Holds no state.
class CalibrationBenchmark {
public:
    // Throws std::runtime_error when the calibration on all images fails. Prints the hand-eye
    // report when robot poses and eye-in-hand options are given, as the hand-eye calibrator does.
    BenchmarkResult run(const std::vector<cv::Mat>& images, const Target& target,
                        const calibration::IntrinsicOptions& options, const std::vector<cv::Mat>& robot_poses = {},
                        const std::optional<calibration::IntrinsicOptions>& eye_in_hand_options = std::nullopt,
                        const std::string& backend_name = "OpenCV", int n_splits = 5, uint32_t seed = 0) const;

    // Mean held-out error over all folds; +infinity (with a WARNING) when none was computed.
    double crossValidate(const std::vector<cv::Mat>& images, const Target& target,
                         const calibration::IntrinsicOptions& options, int n_splits = 5, uint32_t seed = 0) const;

    // Mean error of the target placed by robot_poses[i] · tcp_T_camera · base_T_board; +infinity
    // (with a WARNING) without usable camera poses or frames.
    double handEyeRoundtrip(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& robot_poses,
                            const cv::Mat& tcp_T_camera, const cv::Mat& intrinsic_matrix,
                            const cv::Mat& distortion_coefficients, const Target& target,
                            const std::vector<cv::Mat>& camera_T_target_list) const;

    // A fixed-width table, results in the order given.
    static std::string formatResults(const std::vector<BenchmarkResult>& results);

    // All results in one JSON file, replaced whole or not at all.
    static void saveJson(const std::vector<BenchmarkResult>& results, const std::filesystem::path& path);
};

}  // namespace vantel::quality

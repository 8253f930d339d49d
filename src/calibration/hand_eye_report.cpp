// The text report of the eye-in-hand calibrator's last successful solve, and what the stationary
// camera's report shares with it.

#include <cmath>
#include <sstream>

#include "calibration/hand_eye_report.hpp"

#include "calibration/eye_in_hand_calibrator.hpp"
#include "geometry/pose.hpp"
#include "services/standard_streams.hpp"
#include "quality/rotation_variety.hpp"

namespace vantel::calibration {
namespace {

void writeConsistencyLines(std::ostream& text, const std::string& title, const TargetConsistencyStats& stats) {
    text << "\n" << title << "\n";
    text << "  Translation - mean: " << stats.mean_translation_m * 1000.0 << " mm   max: " << stats.max_translation_m * 1000.0
         << " mm\n";
    text << "  Rotation    - mean: " << stats.mean_rotation_deg << " deg   max: " << stats.max_rotation_deg << " deg\n";
    for (size_t i = 0; i < stats.translation_deviations_m.size(); ++i) {
        text << "  Frame " << i << ": trans=" << stats.translation_deviations_m[i] * 1000.0
             << "mm rot=" << stats.rotation_deviations_deg[i] << "deg dist=" << stats.distances_m[i] * 1000.0
             << "mm center=(" << stats.board_us[i] << ", " << stats.board_vs[i] << ")\n";
    }
}

}  // namespace

void writeCameraAndConsistencyReport(std::ostream& text, const cv::Mat& intrinsic_matrix,
                                     const cv::Mat& distortion_coefficients, double reprojection_error,
                                     const std::string& title, const TargetConsistencyStats* consistency,
                                     const std::vector<cv::Mat>& camera_T_target_list) {
    text << "\nIntrinsic Matrix:\n" << intrinsic_matrix << "\n";
    text << "\nDistortion Coefficients:\n" << distortion_coefficients << "\n";

    text << "\nReprojection Error: ";
    if (std::isnan(reprojection_error)) {
        text << "n/a\n";
    } else {
        // Stays in force for the consistency numbers below.
        text << std::fixed;
        text.precision(4);
        text << reprojection_error << " px\n";
    }

    if (consistency != nullptr) {
        writeConsistencyLines(text, title, *consistency);
    }

    if (!camera_T_target_list.empty()) {
        text << "\n" << quality::formatRotationVariety(quality::analyzeRotationVariety(camera_T_target_list, 0.5));
    }
}

std::string EyeInHandCalibrator::formatResults() const {
    const std::string rule(60, '=');
    const HandEyeResult& result = last_result_;
    std::ostringstream text;
    text << "\n" << rule << "\nHAND-EYE RESULTS\n" << rule << "\n";
    if (result.tcp_T_camera.empty()) {
        text << "Calibration failed.\n";
        return text.str();
    }

    text << "\nHand-Eye Transform (TCP -> Camera):\n" << result.tcp_T_camera << "\n";
    const std::vector<double> pose = transformationMatrixToPose(result.tcp_T_camera);
    text << "\nPose [x, y, z, rx, ry, rz] (deg):\n  [";
    for (size_t k = 0; k < pose.size(); ++k) {
        text << (k == 0 ? "" : ", ") << pose[k];
    }
    text << "]\n";
    writeCameraAndConsistencyReport(text, result.intrinsic_matrix, result.distortion_coefficients,
                                    result.reprojection_error, "Target Consistency Residual:",
                                    result.has_consistency ? &result.consistency : nullptr,
                                    result.camera_T_target_list);
    return text.str();
}

void EyeInHandCalibrator::printResults() const { writeStandardOutput(formatResults()); }

}  // namespace vantel::calibration

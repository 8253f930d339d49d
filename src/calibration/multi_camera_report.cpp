// The text report of the multi-camera calibrator's current state.

#include <cmath>
#include <sstream>
#include <string>

#include "calibration/multi_camera_calibrator.hpp"
#include "services/standard_streams.hpp"

namespace vantel::calibration {
namespace {

void banner(std::ostringstream& text, const std::string& rule, const std::string& title) {
    text << "\n" << rule << "\n" << title << "\n" << rule << "\n";
}

}  // namespace

std::string MultiCameraCalibrator::formatResults() const {
    const std::string rule(70, '=');
    const MultiCameraResult& result = last_result_;
    std::ostringstream text;

    banner(text, rule, "PER-CAMERA INTRINSICS");
    for (int i = 0; i < num_cameras_; ++i) {
        const auto c = static_cast<size_t>(i);
        text << "\n[cam_" << i << "]  intrinsic RPE: " << result.intrinsic_reprojection_errors[c] << " px\n";
        text << "K =\n" << result.intrinsic_matrices[c] << "\n";
        text << "d = " << result.distortion_coefficients[c] << "\n";
    }

    banner(text, rule,
           "EXTRINSICS  -  reference_T_camera  (reference = cam_" + std::to_string(reference_index_) + ")");
    for (int i = 0; i < num_cameras_; ++i) {
        const auto c = static_cast<size_t>(i);
        if (i == reference_index_) {
            text << "\n[cam_" << i << "]  identity (reference)\n";
        } else if (result.reference_T_camera_list[c].empty()) {
            text << "\n[cam_" << i << "]  FAILED  -  too few shared detections with cam_" << reference_index_ << "\n";
        } else if (std::isnan(result.pair_reprojection_errors[c])) {
            text << "\n[cam_" << i << "]  placed through shared frames (no stereo pair with the reference)\n";
            text << "reference_T_cam_" << i << " =\n" << result.reference_T_camera_list[c] << "\n";
        } else {
            text << "\n[cam_" << i << "]  stereo RMS vs reference: " << result.pair_reprojection_errors[c] << " px\n";
            text << "reference_T_cam_" << i << " =\n" << result.reference_T_camera_list[c] << "\n";
        }
    }

    if (has_last_triangulation_) {
        const TriangulationReport& report = last_triangulation_;
        banner(text, rule, "TRIANGULATION VALIDATION  (frame " + std::to_string(report.frame_index) + ")");
        text << "  Expected square length: " << std::get<CharucoTarget>(target_).square_length * 1000.0 << " mm\n";
        text << "  Co-planarity (3rd SV):  " << report.plane_thickness_m * 1000.0 << " mm\n";
        for (size_t c = 0; c < report.rms_per_camera.size(); ++c) {
            text << "  Reprojection RMS (cam_" << c << "): ";
            if (report.counts_per_camera[c] != 0) {
                text << report.rms_per_camera[c] << " px over " << report.counts_per_camera[c] << " corners\n";
            } else {
                text << "no observations\n";
            }
        }
    }

    if (!last_subset_results_.empty()) {
        banner(text, std::string(90, '='), "SUBSET SUMMARY");
        for (const SubsetResult& entry : last_subset_results_) {
            text << "(";
            for (size_t k = 0; k < entry.subset.size(); ++k) {
                text << (k == 0 ? "" : ", ") << "cam_" << entry.subset[k];
            }
            text << "): ok=" << (entry.result.ok ? "yes" : "no");
            if (entry.has_triangulation) {
                text << "  plane_thickness_mm=" << entry.triangulation.plane_thickness_m * 1000.0;
            }
            text << "\n";
        }
    }
    if (last_refinement_) {
        const JointRefinement& refinement = *last_refinement_;
        banner(text, rule, "JOINT REFINEMENT");
        for (int i = 0; i < num_cameras_; ++i) {
            const auto c = static_cast<size_t>(i);
            text << "  [cam_" << i << "]  ";
            if (refinement.reference_T_camera_list[c].empty()) {
                text << "not placed  -  shares no frame with a placed camera\n";
                continue;
            }
            text << "RMS " << refinement.rms_before[c] << " -> " << refinement.rms_after[c] << " px";
            if (i == reference_index_) {
                text << "  (reference)\n";
                continue;
            }
            text << "  pose change " << refinement.rotation_change_deg[c] << " deg, "
                 << refinement.translation_change_m[c] * 1000.0 << " mm\n";
        }
        text << "  Overall RMS: " << refinement.overall_rms_before << " -> " << refinement.overall_rms << " px over "
             << refinement.corners << " corners in " << refinement.frames << " frames\n";
    }
    return text.str();
}

void MultiCameraCalibrator::printResults() const { writeStandardOutput(formatResults()); }

}  // namespace vantel::calibration

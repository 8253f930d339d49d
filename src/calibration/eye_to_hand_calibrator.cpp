#include "calibration/eye_to_hand_calibrator.hpp"

#include <sstream>
#include <utility>

#include "calibration/hand_eye_chain.hpp"
#include "calibration/hand_eye_report.hpp"
#include "geometry/pose.hpp"
#include "io/calibration_records.hpp"
#include "services/standard_streams.hpp"

namespace vantel::calibration {
namespace {

const char* const kName = "EyeToHandCalibrator";

EyeToHandResult fromEngine(const HandEyeResult& solved) {
    EyeToHandResult result;
    result.ok = solved.ok;
    result.robot_T_camera = solved.tcp_T_camera;
    result.intrinsic_matrix = solved.intrinsic_matrix;
    result.distortion_coefficients = solved.distortion_coefficients;
    result.reprojection_error = solved.reprojection_error;
    result.valid_robot_T_tcp_list = solved.valid_robot_T_tcp_list;
    result.valid_image_list = solved.valid_image_list;
    result.camera_T_target_list = solved.camera_T_target_list;
    result.has_consistency = solved.has_consistency;
    result.consistency = solved.consistency;
    result.convention_warnings = solved.convention_warnings;
    if (solved.ok) {
        // The target's place on the flange: the average over the frames the consistency describes.
        poseSpread(chainedTargetPoses(handEyeRobotPoses(solved.valid_robot_T_tcp_list, CameraMounting::Stationary),
                                      solved.tcp_T_camera, solved.camera_T_target_list),
                   &result.tcp_T_target);
    }
    return result;
}

void writeMatrix(std::ostringstream& text, const std::string& title, const cv::Mat& transform) {
    text << "\n" << title << "\n" << transform << "\n";
    const std::vector<double> pose = transformationMatrixToPose(transform);
    text << "  Pose [x, y, z, rx, ry, rz] (m, deg): [";
    for (size_t k = 0; k < pose.size(); ++k) {
        text << (k == 0 ? "" : ", ") << pose[k];
    }
    text << "]\n";
}

}  // namespace

EyeToHandCalibrator::EyeToHandCalibrator(Target target, IntrinsicOptions options)
    : engine_(std::move(target), std::move(options), CameraMounting::Stationary, kName) {}

EyeToHandResult EyeToHandCalibrator::calibrate(const std::vector<cv::Mat>& robot_T_tcp_list,
                                               const std::vector<cv::Mat>& image_list, const std::string& method,
                                               const std::vector<cv::Mat>& camera_T_target_list,
                                               const cv::Mat& intrinsic_matrix,
                                               const cv::Mat& distortion_coefficients,
                                               const std::filesystem::path& output_path) {
    const EyeToHandResult result = fromEngine(engine_.calibrate(
        robot_T_tcp_list, image_list, method, camera_T_target_list, intrinsic_matrix, distortion_coefficients));
    if (!result.ok) {
        return result;
    }
    last_result_ = result;
    writeStandardOutput(formatResults());
    if (!output_path.empty()) {
        io::StationaryHandEyeRecord record;
        record.method = method;
        record.num_frames_used = static_cast<int>(result.camera_T_target_list.size());
        record.num_frames_total =
            static_cast<int>(camera_T_target_list.empty() ? image_list.size() : camera_T_target_list.size());
        record.robot_T_camera = result.robot_T_camera;
        record.tcp_T_target = result.tcp_T_target;
        io::saveStationaryHandEyeResult(output_path, record);
    }
    return result;
}

std::string EyeToHandCalibrator::formatResults() const {
    const std::string rule(60, '=');
    const EyeToHandResult& result = last_result_;
    std::ostringstream text;
    text << "\n" << rule << "\nHAND-EYE RESULTS (STATIONARY CAMERA)\n" << rule << "\n";
    if (result.robot_T_camera.empty()) {
        text << "Calibration failed.\n";
        return text.str();
    }
    writeMatrix(text, "Camera in the Robot Base Frame (robot_T_camera: Camera -> Base):", result.robot_T_camera);
    writeMatrix(text, "Target on the Flange (tcp_T_target: Target -> TCP):", result.tcp_T_target);
    writeCameraAndConsistencyReport(text, result.intrinsic_matrix, result.distortion_coefficients,
                                    result.reprojection_error, "Target-on-Flange Consistency Residual:",
                                    result.has_consistency ? &result.consistency : nullptr,
                                    result.camera_T_target_list);
    return text.str();
}

void EyeToHandCalibrator::printResults() const { writeStandardOutput(formatResults()); }

}  // namespace vantel::calibration

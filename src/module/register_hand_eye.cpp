#include "calibration/eye_in_hand_calibrator.hpp"
#include "calibration/eye_to_hand_calibrator.hpp"
#include "calibration/hand_eye_methods.hpp"
#include "module/binding_common.hpp"
#include "module/host_released_call.hpp"
#include "module/registration.hpp"

namespace vantel::binding {

namespace {

// The result keeps the images: each is copied before the interpreter is released. Any channel
// count arrives, so the calibrator names an image it cannot use.
template <typename Calibrator>
auto calibrateKeepingImages() {
    return [](Calibrator& self, const std::vector<cv::Mat>& robot_T_tcp_list,
              const std::vector<BorrowedMat>& image_list, const std::string& method,
              const std::vector<cv::Mat>& camera_T_target_list, const cv::Mat& intrinsic_matrix,
              const cv::Mat& distortion_coefficients, const std::filesystem::path& output_path) {
        std::vector<cv::Mat> images = ownedMats(image_list);
        return releasedCall(self, [&] {
            return self.calibrate(robot_T_tcp_list, images, method, camera_T_target_list, intrinsic_matrix,
                                  distortion_coefficients, output_path);
        });
    };
}

void registerEyeToHand(py::module_& module) {
    using calibration::EyeToHandCalibrator;
    using calibration::EyeToHandResult;
    using calibration::IntrinsicOptions;

    py::classh<EyeToHandResult>(module, "EyeToHandResult", "Result of EyeToHandCalibrator.calibrate().")
        .def_readonly("ok", &EyeToHandResult::ok)
        .def_readonly("robot_T_camera", &EyeToHandResult::robot_T_camera)
        .def_readonly("tcp_T_target", &EyeToHandResult::tcp_T_target)
        .def_readonly("intrinsic_matrix", &EyeToHandResult::intrinsic_matrix)
        .def_readonly("distortion_coefficients", &EyeToHandResult::distortion_coefficients)
        .def_readonly("reprojection_error", &EyeToHandResult::reprojection_error)
        .def_readonly("valid_robot_T_tcp_list", &EyeToHandResult::valid_robot_T_tcp_list)
        .def_readonly("valid_image_list", &EyeToHandResult::valid_image_list)
        .def_readonly("camera_T_target_list", &EyeToHandResult::camera_T_target_list)
        .def_readonly("has_consistency", &EyeToHandResult::has_consistency)
        .def_readonly("consistency", &EyeToHandResult::consistency)
        .def_readonly("convention_warnings", &EyeToHandResult::convention_warnings);

    py::classh<EyeToHandCalibrator>(module, "EyeToHandCalibrator",
                                    "Eye-to-hand (stationary camera, target on the flange) hand-eye calibrator.")
        .def(py::init<Target, IntrinsicOptions>(), py::arg("target"),
             py::arg_v("options", IntrinsicOptions(), "IntrinsicOptions()"))
        .def(
            "calibrate",
            calibrateKeepingImages<EyeToHandCalibrator>(),
            py::arg("robot_T_tcp_list"), py::arg("image_list"), py::arg("method") = "TSAI",
            py::arg("camera_T_target_list") = std::vector<cv::Mat>(), py::arg("intrinsic_matrix") = cv::Mat(),
            py::arg("distortion_coefficients") = cv::Mat(), py::arg("output_path") = "")
        .def("format_results", releasedMember(&EyeToHandCalibrator::formatResults))
        .def("print_results", releasedMember(&EyeToHandCalibrator::printResults))
        .def("corner_images", releasedMember(&EyeToHandCalibrator::cornerImages))
        .def("last_result", releasedMember(&EyeToHandCalibrator::lastResult))
        .def("target", [](const EyeToHandCalibrator& self) { return self.target(); });
}

}  // namespace

void registerHandEye(py::module_& module) {
    using calibration::EyeInHandCalibrator;
    using calibration::HandEyeResult;
    using calibration::IntrinsicOptions;
    using calibration::TargetConsistencyStats;

    module.def(
        "hand_eye_method_by_name_map", [] { return calibration::handEyeMethodByNameMap(); },
        "Map of hand-eye method names (\"TSAI\", \"PARK\", \"HORAUD\", \"ANDREFF\", \"DANIILIDIS\") to "
        "cv::HandEyeCalibrationMethod values.");

    py::classh<TargetConsistencyStats>(module, "TargetConsistencyStats",
                                       "Per-frame consistency of the recovered world_T_target.")
        .def_readonly("mean_translation_m", &TargetConsistencyStats::mean_translation_m)
        .def_readonly("max_translation_m", &TargetConsistencyStats::max_translation_m)
        .def_readonly("mean_rotation_deg", &TargetConsistencyStats::mean_rotation_deg)
        .def_readonly("max_rotation_deg", &TargetConsistencyStats::max_rotation_deg)
        .def_readonly("translation_deviations_m", &TargetConsistencyStats::translation_deviations_m)
        .def_readonly("rotation_deviations_deg", &TargetConsistencyStats::rotation_deviations_deg)
        .def_readonly("distances_m", &TargetConsistencyStats::distances_m)
        .def_readonly("board_us", &TargetConsistencyStats::board_us)
        .def_readonly("board_vs", &TargetConsistencyStats::board_vs);

    py::classh<HandEyeResult>(module, "HandEyeResult", "Result of EyeInHandCalibrator.calibrate().")
        .def_readonly("ok", &HandEyeResult::ok)
        .def_readonly("tcp_T_camera", &HandEyeResult::tcp_T_camera)
        .def_readonly("intrinsic_matrix", &HandEyeResult::intrinsic_matrix)
        .def_readonly("distortion_coefficients", &HandEyeResult::distortion_coefficients)
        .def_readonly("reprojection_error", &HandEyeResult::reprojection_error)
        .def_readonly("valid_robot_T_tcp_list", &HandEyeResult::valid_robot_T_tcp_list)
        .def_readonly("valid_image_list", &HandEyeResult::valid_image_list)
        .def_readonly("camera_T_target_list", &HandEyeResult::camera_T_target_list)
        .def_readonly("has_consistency", &HandEyeResult::has_consistency)
        .def_readonly("consistency", &HandEyeResult::consistency)
        .def_readonly("convention_warnings", &HandEyeResult::convention_warnings);

    using AlignedTargetPoses = EyeInHandCalibrator::AlignedTargetPoses;
    py::classh<AlignedTargetPoses>(module, "AlignedTargetPoses")
        .def_readonly("camera_T_target_list", &AlignedTargetPoses::camera_T_target_list)
        .def_readonly("valid_image_list", &AlignedTargetPoses::valid_image_list)
        .def_readonly("valid_robot_T_tcp_list", &AlignedTargetPoses::valid_robot_T_tcp_list);

    py::classh<EyeInHandCalibrator>(module, "EyeInHandCalibrator", "Eye-in-hand (camera-on-flange) hand-eye calibrator.")
        .def(py::init<Target, IntrinsicOptions>(), py::arg("target"), py::arg_v("options", IntrinsicOptions(), "IntrinsicOptions()"))
        .def(
            "calibrate",
            calibrateKeepingImages<EyeInHandCalibrator>(),
            py::arg("robot_T_tcp_list"), py::arg("image_list"), py::arg("method") = "TSAI",
            py::arg("camera_T_target_list") = std::vector<cv::Mat>(), py::arg("intrinsic_matrix") = cv::Mat(),
            py::arg("distortion_coefficients") = cv::Mat(),
            // A str default: an empty path object would reach the host as Path('.').
            py::arg("output_path") = "")
        // Borrowed: the images returned are copied out before the call ends, none is kept.
        .def(
            "compute_camera_T_target_list",
            [](const EyeInHandCalibrator& self, const std::vector<BorrowedMat>& image_list,
               const std::vector<cv::Mat>& robot_T_tcp_list, const cv::Mat& intrinsic_matrix,
               const cv::Mat& distortion_coefficients) {
                return releasedCall(self, [&] {
                    return self.computeCameraTTargetList(borrowedMats(image_list), robot_T_tcp_list,
                                                         intrinsic_matrix, distortion_coefficients);
                });
            },
            py::arg("image_list"),
             py::arg("robot_T_tcp_list"), py::arg("intrinsic_matrix"), py::arg("distortion_coefficients"))
        .def("format_results", releasedMember(&EyeInHandCalibrator::formatResults))
        .def("print_results", releasedMember(&EyeInHandCalibrator::printResults))
        .def("corner_images", releasedMember(&EyeInHandCalibrator::cornerImages))
        .def("last_result", releasedMember(&EyeInHandCalibrator::lastResult))
        .def("target", [](const EyeInHandCalibrator& self) { return self.target(); });

    registerEyeToHand(module);
}

}  // namespace vantel::binding

#include "module/binding_common.hpp"
#include "module/host_released_call.hpp"
#include "module/registration.hpp"
#include "quality/method_comparison.hpp"
#include "quality/rotation_variety.hpp"

namespace vantel::binding {

void registerDiagnostics(py::module_& module) {
    auto diagnostics = module.def_submodule("diagnostics", "Diagnostics for hand-eye calibration data and solvers.");

    using quality::RotationVarietyStats;
    py::classh<RotationVarietyStats>(diagnostics, "RotationVarietyStats")
        .def_readonly("num_motions", &RotationVarietyStats::num_motions)
        .def_readonly("singular_values", &RotationVarietyStats::singular_values)
        .def_readonly("axis_span_ratio", &RotationVarietyStats::axis_span_ratio)
        .def_readonly("angle_mean_deg", &RotationVarietyStats::angle_mean_deg)
        .def_readonly("angle_max_deg", &RotationVarietyStats::angle_max_deg);

    diagnostics.def("analyze_rotation_variety", &quality::analyzeRotationVariety, py::arg("camera_T_target_list"),
                    py::arg("min_rotation_deg") = 0.5);
    diagnostics.def("format_rotation_variety", &quality::formatRotationVariety, py::arg("stats"));

    using quality::HandEyeMethodResult;
    // Constructible so that tables can be assembled or edited on the host before formatting.
    py::classh<HandEyeMethodResult>(diagnostics, "HandEyeMethodResult")
        .def(py::init([](std::string method_name, cv::Mat tcp_T_camera, std::vector<double> pose_deg) {
                 return HandEyeMethodResult{std::move(method_name), std::move(tcp_T_camera), std::move(pose_deg)};
             }),
             py::arg("method_name"), py::arg("tcp_T_camera"), py::arg("pose_deg"))
        .def_readonly("method_name", &HandEyeMethodResult::method_name)
        .def_readonly("tcp_T_camera", &HandEyeMethodResult::tcp_T_camera)
        .def_readonly("pose_deg", &HandEyeMethodResult::pose_deg);

    diagnostics.def(
        "compare_hand_eye_methods",
        [](const Target& target, const std::vector<cv::Mat>& robot_T_tcp_list,
           const std::vector<BorrowedMat>& image_list, const std::vector<cv::Mat>& camera_T_target_list,
           const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients, double per_view_error_threshold) {
            return quality::compareHandEyeMethods(target, robot_T_tcp_list, borrowedMats(image_list),
                                                  camera_T_target_list, intrinsic_matrix, distortion_coefficients,
                                                  per_view_error_threshold);
        },
        py::arg("target"), py::arg("robot_T_tcp_list"), py::arg("image_list"), py::arg("camera_T_target_list"),
        py::arg("intrinsic_matrix"), py::arg("distortion_coefficients"), py::arg("per_view_error_threshold") = 1.0,
        py::call_guard<HostReleased>());
    diagnostics.def("format_method_comparison", &quality::formatMethodComparison, py::arg("method_results"),
                    py::arg("consensus_threshold_deg") = 1.5);
}

}  // namespace vantel::binding

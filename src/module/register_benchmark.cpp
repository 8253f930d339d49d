#include "module/binding_common.hpp"
#include "module/host_released_call.hpp"
#include "module/registration.hpp"
#include "quality/calibration_benchmark.hpp"

namespace vantel::binding {

void registerBenchmark(py::module_& module) {
    using calibration::IntrinsicOptions;
    using quality::BenchmarkResult;
    using quality::CalibrationBenchmark;

    py::classh<BenchmarkResult>(module, "BenchmarkResult", "One backend's benchmark outcome.")
        .def_readonly("backend_name", &BenchmarkResult::backend_name)
        .def_readonly("reprojection_error", &BenchmarkResult::reprojection_error)
        .def_readonly("held_out_reprojection_error", &BenchmarkResult::held_out_reprojection_error)
        .def_readonly("hand_eye_roundtrip_error", &BenchmarkResult::hand_eye_roundtrip_error)
        .def_readonly("camera_matrix", &BenchmarkResult::camera_matrix)
        .def_readonly("dist_coeffs", &BenchmarkResult::dist_coeffs)
        .def_readonly("timestamp", &BenchmarkResult::timestamp)
        .def_readonly("image_count", &BenchmarkResult::image_count);

    py::classh<CalibrationBenchmark>(module, "CalibrationBenchmark",
                                     "Cross-validation + optional hand-eye round-trip benchmark.")
        .def(py::init<>())
        .def(
            "run",
            [](const CalibrationBenchmark& self, const std::vector<BorrowedMat>& images, const Target& target,
               const IntrinsicOptions& options, const std::vector<cv::Mat>& robot_poses,
               const std::optional<IntrinsicOptions>& eye_in_hand_options, const std::string& backend_name,
               int n_splits, uint32_t seed) {
                return self.run(borrowedMats(images), target, options, robot_poses, eye_in_hand_options,
                                backend_name, n_splits, seed);
            },
            py::arg("images"), py::arg("target"), py::arg("options"), py::arg("robot_poses") = std::vector<cv::Mat>(),
            py::arg("eye_in_hand_options") = py::none(), py::arg("backend_name") = "OpenCV", py::arg("n_splits") = 5,
            py::arg("seed") = 0, py::call_guard<HostReleased>())
        .def(
            "cross_validate",
            [](const CalibrationBenchmark& self, const std::vector<BorrowedMat>& images, const Target& target,
               const IntrinsicOptions& options, int n_splits, uint32_t seed) {
                return self.crossValidate(borrowedMats(images), target, options, n_splits, seed);
            },
            py::arg("images"), py::arg("target"), py::arg("options"), py::arg("n_splits") = 5, py::arg("seed") = 0,
            py::call_guard<HostReleased>())
        .def(
            "hand_eye_roundtrip",
            [](const CalibrationBenchmark& self, const std::vector<BorrowedMat>& images,
               const std::vector<cv::Mat>& robot_poses, const cv::Mat& tcp_T_camera, const cv::Mat& intrinsic_matrix,
               const cv::Mat& distortion_coefficients, const Target& target,
               const std::vector<cv::Mat>& camera_T_target_list) {
                return self.handEyeRoundtrip(borrowedMats(images), robot_poses, tcp_T_camera, intrinsic_matrix,
                                             distortion_coefficients, target, camera_T_target_list);
            },
            py::arg("images"), py::arg("robot_poses"), py::arg("tcp_T_camera"), py::arg("intrinsic_matrix"),
            py::arg("distortion_coefficients"), py::arg("target"), py::arg("camera_T_target_list"),
            py::call_guard<HostReleased>())
        .def_static("format_results", &CalibrationBenchmark::formatResults, py::arg("results"))
        .def_static("save_json", &CalibrationBenchmark::saveJson, py::arg("results"), py::arg("path"),
                    py::call_guard<HostReleased>());
}

}  // namespace vantel::binding

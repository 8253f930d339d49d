#include "calibration/intrinsic_calibrator.hpp"
#include "module/binding_common.hpp"
#include "module/host_released_call.hpp"
#include "module/registration.hpp"

namespace vantel::binding {

using calibration::IntrinsicCalibrator;
using calibration::IntrinsicOptions;
using calibration::IntrinsicResult;
using calibration::TargetDetections;

void registerIntrinsic(py::module_& module) {
    module.attr("TERM_CRITERIA_COUNT") = static_cast<int>(cv::TermCriteria::COUNT);
    module.attr("TERM_CRITERIA_MAX_ITER") = static_cast<int>(cv::TermCriteria::MAX_ITER);
    module.attr("TERM_CRITERIA_EPS") = static_cast<int>(cv::TermCriteria::EPS);

    py::classh<cv::TermCriteria>(module, "TermCriteria", "OpenCV solver termination criteria.")
        .def(py::init<int, int, double>(), py::arg("type"), py::arg("max_count"), py::arg("epsilon"))
        .def_readwrite("type", &cv::TermCriteria::type)
        .def_readwrite("max_count", &cv::TermCriteria::maxCount)
        .def_readwrite("epsilon", &cv::TermCriteria::epsilon);

    // criteria is bound by reference to the options' own member (smart holder aliasing).
    py::classh<IntrinsicOptions>(module, "IntrinsicOptions", "Tunables for intrinsic calibration.")
        .def(py::init<>())
        .def_readwrite("criteria", &IntrinsicOptions::criteria)
        .def_readwrite("chessboard_corner_detector", &IntrinsicOptions::chessboard_corner_detector)
        .def_readwrite("chessboard_flags", &IntrinsicOptions::chessboard_flags)
        .def_readwrite("sub_pixel_detection_window_size", &IntrinsicOptions::sub_pixel_detection_window_size)
        .def_readwrite("sub_pixel_detection_zero_zone_size", &IntrinsicOptions::sub_pixel_detection_zero_zone_size)
        .def_readwrite("calibrate_camera_method", &IntrinsicOptions::calibrate_camera_method)
        .def_readwrite("calibrate_camera_flags", &IntrinsicOptions::calibrate_camera_flags)
        .def_readwrite("index_of_fixed_3d_point", &IntrinsicOptions::index_of_fixed_3d_point)
        .def_readwrite("intrinsic_matrix_guess", &IntrinsicOptions::intrinsic_matrix_guess)
        .def_readwrite("distortion_coefficients_guess", &IntrinsicOptions::distortion_coefficients_guess)
        .def_readwrite("per_view_error_threshold", &IntrinsicOptions::per_view_error_threshold);

    py::classh<TargetDetections>(module, "TargetDetections", "Per-frame target detections for a batch of images.")
        .def_readonly("successful_indices", &TargetDetections::successful_indices)
        .def_readonly("image_points", &TargetDetections::image_points)
        .def_readonly("object_points", &TargetDetections::object_points)
        .def_readonly("point_ids", &TargetDetections::point_ids)
        .def_readonly("annotated_images", &TargetDetections::annotated_images);

    py::classh<IntrinsicResult>(module, "IntrinsicResult", "Result of IntrinsicCalibrator.calibrate().")
        .def_readonly("ok", &IntrinsicResult::ok)
        .def_readonly("intrinsic_matrix", &IntrinsicResult::intrinsic_matrix)
        .def_readonly("distortion_coefficients", &IntrinsicResult::distortion_coefficients)
        .def_readonly("reprojection_error", &IntrinsicResult::reprojection_error)
        .def_readonly("successful_indices", &IntrinsicResult::successful_indices)
        .def_readonly("image_points", &IntrinsicResult::image_points)
        .def_readonly("low_view_error_indices", &IntrinsicResult::low_view_error_indices)
        .def_readonly("per_view_errors", &IntrinsicResult::per_view_errors)
        .def_readonly("std_deviations_intrinsics", &IntrinsicResult::std_deviations_intrinsics)
        .def_readonly("std_deviations_extrinsics", &IntrinsicResult::std_deviations_extrinsics);

    py::classh<IntrinsicCalibrator>(module, "IntrinsicCalibrator",
                                    "Intrinsic camera calibrator for chessboard, ChArUco and ArUco targets.")
        .def(py::init<Target, IntrinsicOptions>(), py::arg("target"), py::arg_v("options", IntrinsicOptions(), "IntrinsicOptions()"))
        .def(
            "find_corners",
            [](const IntrinsicCalibrator& self, const std::vector<BorrowedMat>& images) {
                return releasedCall(self, [&] { return self.findCorners(borrowedMats(images)); });
            },
            py::arg("images"))
        .def(
            "calibrate",
            [](IntrinsicCalibrator& self, const std::vector<BorrowedMat>& images) {
                return releasedCall(self, [&] { return self.calibrate(borrowedMats(images)); });
            },
            py::arg("images"))
        .def("corner_images",
             [](const IntrinsicCalibrator& self) {
                 return releasedCall(self, [&] { return self.detections().annotated_images; });
             })
        .def("detections", releasedMember(&IntrinsicCalibrator::detections))
        .def("target", [](const IntrinsicCalibrator& self) { return self.target(); })
        .def("options", [](const IntrinsicCalibrator& self) { return self.options(); });
}

}  // namespace vantel::binding

#include "calibration/multi_camera_calibrator.hpp"
#include "module/binding_common.hpp"
#include "module/host_released_call.hpp"
#include "module/registration.hpp"

namespace vantel::binding {
namespace {

using calibration::MultiCameraCalibrator;
using BorrowedImageLists = std::vector<std::vector<BorrowedMat>>;

// Images are read in place for the duration of the call, like the intrinsic calibrator's.
MultiCameraCalibrator::ImageLists borrowedImageLists(const BorrowedImageLists& lists) {
    MultiCameraCalibrator::ImageLists images;
    images.reserve(lists.size());
    for (const auto& list : lists) {
        images.push_back(borrowedMats(list));
    }
    return images;
}

}  // namespace

void registerMultiCamera(py::module_& module) {
    using calibration::IntrinsicOptions;
    using calibration::JointRefinement;
    using calibration::MultiCameraResult;
    using calibration::SubsetResult;
    using calibration::TriangulationReport;

    module.attr("CALIB_FIX_INTRINSIC") = MultiCameraCalibrator::kCalibFixIntrinsic;
    module.attr("CALIB_USE_INTRINSIC_GUESS") = MultiCameraCalibrator::kCalibUseIntrinsicGuess;

    py::classh<TriangulationReport>(module, "TriangulationReport",
                                    "Triangulation validation report for one synchronized frame.")
        .def_readonly("frame_index", &TriangulationReport::frame_index)
        .def_readonly("points_3d", &TriangulationReport::points_3d)
        .def_readonly("ids", &TriangulationReport::ids)
        .def_readonly("neighbor_distances_m", &TriangulationReport::neighbor_distances_m)
        .def_readonly("plane_thickness_m", &TriangulationReport::plane_thickness_m)
        .def_readonly("rms_per_camera", &TriangulationReport::rms_per_camera)
        .def_readonly("counts_per_camera", &TriangulationReport::counts_per_camera);

    py::classh<MultiCameraResult>(module, "MultiCameraResult", "Result of MultiCameraCalibrator.calibrate().")
        .def_readonly("ok", &MultiCameraResult::ok)
        .def_readonly("reference_index", &MultiCameraResult::reference_index)
        .def_readonly("reference_T_camera_list", &MultiCameraResult::reference_T_camera_list)
        .def_readonly("intrinsic_matrices", &MultiCameraResult::intrinsic_matrices)
        .def_readonly("distortion_coefficients", &MultiCameraResult::distortion_coefficients)
        .def_readonly("intrinsic_reprojection_errors", &MultiCameraResult::intrinsic_reprojection_errors)
        .def_readonly("pair_reprojection_errors", &MultiCameraResult::pair_reprojection_errors);

    py::classh<JointRefinement>(module, "JointRefinement",
                                "Joint refinement of a rig by MultiCameraCalibrator.calibrate(refine=True).")
        .def_readonly("reference_T_camera_list", &JointRefinement::reference_T_camera_list)
        .def_readonly("start_reference_T_camera_list", &JointRefinement::start_reference_T_camera_list)
        .def_readonly("rms_before", &JointRefinement::rms_before)
        .def_readonly("rms_after", &JointRefinement::rms_after)
        .def_readonly("rotation_change_deg", &JointRefinement::rotation_change_deg)
        .def_readonly("translation_change_m", &JointRefinement::translation_change_m)
        .def_readonly("chained_cameras", &JointRefinement::chained_cameras)
        .def_readonly("cameras_left_out", &JointRefinement::cameras_left_out)
        .def_readonly("overall_rms_before", &JointRefinement::overall_rms_before)
        .def_readonly("overall_rms", &JointRefinement::overall_rms)
        .def_readonly("frames", &JointRefinement::frames)
        .def_readonly("corners", &JointRefinement::corners);

    py::classh<SubsetResult>(module, "SubsetResult", "Result of one entry of MultiCameraCalibrator.calibrate_subsets().")
        .def_readonly("subset", &SubsetResult::subset)
        .def_readonly("result", &SubsetResult::result)
        .def_readonly("has_triangulation", &SubsetResult::has_triangulation)
        .def_readonly("triangulation", &SubsetResult::triangulation);

    py::classh<MultiCameraCalibrator>(module, "MultiCameraCalibrator",
                                      "Multi-camera extrinsic calibrator built on cv::stereoCalibrate.")
        .def_static("default_options", &MultiCameraCalibrator::defaultOptions)
        .def(py::init<Target, int, int, IntrinsicOptions, int>(), py::arg("target"), py::arg("num_cameras"),
             py::arg("reference_index") = 0, py::arg_v("options", MultiCameraCalibrator::defaultOptions(), "MultiCameraCalibrator.default_options()"),
             py::arg("stereo_calibrate_flags") = MultiCameraCalibrator::kCalibFixIntrinsic)
        .def(
            "calibrate",
            [](MultiCameraCalibrator& self, const BorrowedImageLists& image_lists,
               const std::vector<cv::Mat>& intrinsic_matrices, const std::vector<cv::Mat>& distortion_coefficients,
               const std::filesystem::path& output_path, bool refine) {
                return releasedCall(self, [&] {
                    return self.calibrate(borrowedImageLists(image_lists), intrinsic_matrices,
                                          distortion_coefficients, output_path, refine);
                });
            },
            py::arg("image_lists"), py::arg("intrinsic_matrices") = std::vector<cv::Mat>(),
            py::arg("distortion_coefficients") = std::vector<cv::Mat>(),
            // A str default: an empty path object would reach the host as Path('.').
            py::arg("output_path") = "", py::arg("refine") = false)
        .def(
            "triangulate",
            [](const MultiCameraCalibrator& self, const BorrowedImageLists& image_lists, int frame_index) {
                return releasedCall(self, [&] { return self.triangulate(borrowedImageLists(image_lists), frame_index); });
            },
            py::arg("image_lists"), py::arg("frame_index") = 0)
        .def(
            "calibrate_subsets",
            [](MultiCameraCalibrator& self, const BorrowedImageLists& image_lists, const std::vector<int>& subset_sizes,
               int frame_index, bool refine) {
                return releasedCall(self, [&] {
                    return self.calibrateSubsets(borrowedImageLists(image_lists), subset_sizes, frame_index, refine);
                });
            },
            py::arg("image_lists"), py::arg("subset_sizes") = std::vector<int>{2, 3}, py::arg("frame_index") = 0,
            py::arg("refine") = false)
        .def("format_results", releasedMember(&MultiCameraCalibrator::formatResults))
        .def("print_results", releasedMember(&MultiCameraCalibrator::printResults))
        .def("last_result", releasedMember(&MultiCameraCalibrator::lastResult))
        .def(
            "last_triangulation",
            [](const MultiCameraCalibrator& self) {
                return releasedCall(self, [&]() -> std::optional<TriangulationReport> {
                    if (!self.hasLastTriangulation()) {
                        return std::nullopt;
                    }
                    return self.lastTriangulation();
                });
            },
            "The triangulation check of the last calibrate(), or None when it did not run or failed.")
        .def("last_subset_results", releasedMember(&MultiCameraCalibrator::lastSubsetResults))
        .def("last_refinement", releasedMember(&MultiCameraCalibrator::lastRefinement),
             "The joint refinement of the last calibrate(refine=True), or None.")
        .def("target", [](const MultiCameraCalibrator& self) { return self.target(); })
        .def("num_cameras", &MultiCameraCalibrator::numCameras)
        .def("reference_index", &MultiCameraCalibrator::referenceIndex);
}

}  // namespace vantel::binding

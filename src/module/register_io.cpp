#include <stdexcept>
#include <type_traits>

#include "io/calibration_records.hpp"
#include "io/hand_eye_dataset.hpp"
#include "io/multi_camera_dataset.hpp"
#include "module/binding_common.hpp"
#include "module/host_released_call.hpp"
#include "module/registration.hpp"

namespace vantel::binding {
namespace {

// Bytes are accepted for a str field, but text that is not UTF-8 could never be read
// back as str nor written to JSON.
template <typename Record>
void setHandEyeMethod(Record& record, const std::string& method) {
    PyObject* decoded = PyUnicode_DecodeUTF8(method.data(), static_cast<py::ssize_t>(method.size()), nullptr);
    if (decoded == nullptr) {
        PyErr_Clear();
        throw std::invalid_argument(std::is_same_v<Record, io::HandEyeResultRecord>
                                        ? "HandEyeResultRecord: method must be UTF-8 text"
                                        : "StationaryHandEyeRecord: method must be UTF-8 text");
    }
    Py_DECREF(decoded);
    record.method = method;
}

void registerRecords(py::module_& submodule) {
    py::classh<io::MultiCameraCalibrationRecord>(submodule, "MultiCameraCalibrationRecord")
        .def(py::init<>())
        .def_readwrite("reference_index", &io::MultiCameraCalibrationRecord::reference_index)
        .def_readwrite("num_cameras", &io::MultiCameraCalibrationRecord::num_cameras)
        .def_readwrite("intrinsic_matrices", &io::MultiCameraCalibrationRecord::intrinsic_matrices)
        .def_readwrite("distortion_coefficients", &io::MultiCameraCalibrationRecord::distortion_coefficients)
        .def_readwrite("reference_T_camera_list", &io::MultiCameraCalibrationRecord::reference_T_camera_list)
        .def_readwrite("intrinsic_reprojection_errors",
                       &io::MultiCameraCalibrationRecord::intrinsic_reprojection_errors)
        .def_readwrite("pair_reprojection_errors", &io::MultiCameraCalibrationRecord::pair_reprojection_errors);

    py::classh<io::HandEyeResultRecord>(submodule, "HandEyeResultRecord")
        .def(py::init<>())
        .def_readwrite("reference_index", &io::HandEyeResultRecord::reference_index)
        .def_readwrite("num_cameras", &io::HandEyeResultRecord::num_cameras)
        .def_property(
            "method", [](const io::HandEyeResultRecord& record) { return record.method; },
            &setHandEyeMethod<io::HandEyeResultRecord>)
        .def_readwrite("num_frames_used", &io::HandEyeResultRecord::num_frames_used)
        .def_readwrite("num_frames_total", &io::HandEyeResultRecord::num_frames_total)
        .def_readwrite("tcp_T_camera_list", &io::HandEyeResultRecord::tcp_T_camera_list);

    py::classh<io::StationaryHandEyeRecord>(submodule, "StationaryHandEyeRecord")
        .def(py::init<>())
        .def_property(
            "method", [](const io::StationaryHandEyeRecord& record) { return record.method; },
            &setHandEyeMethod<io::StationaryHandEyeRecord>)
        .def_readwrite("num_frames_used", &io::StationaryHandEyeRecord::num_frames_used)
        .def_readwrite("num_frames_total", &io::StationaryHandEyeRecord::num_frames_total)
        .def_readwrite("robot_T_camera", &io::StationaryHandEyeRecord::robot_T_camera)
        .def_readwrite("tcp_T_target", &io::StationaryHandEyeRecord::tcp_T_target);
}

}  // namespace

void registerIo(py::module_& module) {
    auto submodule = module.def_submodule("io", "On-disk persistence for calibration datasets and results.");
    const std::vector<cv::Mat> noImages;

    submodule.def("save_hand_eye_dataset", &io::saveHandEyeDataset, py::arg("data_dir"), py::arg("image_list"),
           py::arg("robot_T_tcp_list"), py::arg("annotated_images") = noImages, py::call_guard<HostReleased>());
    submodule.def("load_hand_eye_dataset", &io::loadHandEyeDataset, py::arg("data_dir"), py::arg("image_format") = "png",
           py::call_guard<HostReleased>());

    submodule.def("next_multi_camera_capture_index", &io::nextMultiCameraCaptureIndex, py::arg("data_dir"),
           py::arg("num_cameras"));
    submodule.def("save_multi_camera_capture", &io::saveMultiCameraCapture, py::arg("data_dir"), py::arg("frames"),
           py::arg("capture_index"), py::arg("annotated_images") = noImages, py::call_guard<HostReleased>());
    submodule.def("save_multi_camera_robot_poses", &io::saveMultiCameraRobotPoses, py::arg("data_dir"),
           py::arg("robot_T_tcp_list"), py::arg("num_cameras"));
    submodule.def("load_multi_camera_robot_poses", &io::loadMultiCameraRobotPoses, py::arg("data_dir"));
    submodule.def("load_multi_camera_dataset", &io::loadMultiCameraDataset, py::arg("data_dir"), py::arg("num_cameras"),
           py::call_guard<HostReleased>());

    registerRecords(submodule);
    submodule.def("save_multi_camera_calibration", &io::saveMultiCameraCalibration, py::arg("output_path"),
           py::arg("record"));
    submodule.def("load_multi_camera_calibration", &io::loadMultiCameraCalibration, py::arg("input_path"));
    submodule.def("save_hand_eye_result", &io::saveHandEyeResult, py::arg("output_path"), py::arg("record"));
    submodule.def("load_hand_eye_result", &io::loadHandEyeResult, py::arg("input_path"));
    submodule.def("save_stationary_hand_eye_result", &io::saveStationaryHandEyeResult, py::arg("output_path"),
                  py::arg("record"));
    submodule.def("load_stationary_hand_eye_result", &io::loadStationaryHandEyeResult, py::arg("input_path"));
}

}  // namespace vantel::binding

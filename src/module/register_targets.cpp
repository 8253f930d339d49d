#include <string>

#include "module/binding_common.hpp"
#include "module/registration.hpp"
#include "targets/aruco_dictionaries.hpp"
#include "targets/detection.hpp"
#include "targets/target.hpp"

namespace vantel::binding {
namespace {

std::string sizeText(const cv::Size& size) {
    return "(" + std::to_string(size.width) + ", " + std::to_string(size.height) + ")";
}

std::string chessboardRepr(const ChessboardTarget& t) {
    return "ChessboardTarget(size=" + sizeText(t.size) + ", square_size=" + std::to_string(t.square_size) + ")";
}

std::string charucoRepr(const CharucoTarget& t) {
    return "CharucoTarget(squares_x=" + std::to_string(t.squares_x) + ", squares_y=" + std::to_string(t.squares_y) +
           ", square_length=" + std::to_string(t.square_length) + ", marker_length=" +
           std::to_string(t.marker_length) + ", aruco_dict_id=" + std::to_string(t.aruco_dict_id) + ")";
}

std::string arucoRepr(const ArucoTarget& t) {
    return "ArucoTarget(board_size=" + sizeText(t.board_size) + ", marker_length=" + std::to_string(t.marker_length) +
           ", marker_separation=" + std::to_string(t.marker_separation) +
           ", aruco_dict_id=" + std::to_string(t.aruco_dict_id) + ")";
}

}  // namespace

void registerTargets(py::module_& module) {
    py::classh<ChessboardTarget>(module, "ChessboardTarget", "Classic chessboard target: inner-corner grid + square size.")
        .def(py::init([](cv::Size size, double squareSize) { return ChessboardTarget{size, squareSize}; }),
             py::arg("size"), py::arg("square_size"),
             "size: (cols, rows) of inner corners. square_size: edge length in meters.")
        .def_readwrite("size", &ChessboardTarget::size)
        .def_readwrite("square_size", &ChessboardTarget::square_size)
        .def_property_readonly("object_points", &chessboardObjectPoints,
                               "Board-frame 3D coordinates of all inner corners, (N, 3) float32.")
        .def("__repr__", &chessboardRepr);

    py::classh<CharucoTarget>(module, "CharucoTarget", "ChArUco target: chessboard + embedded ArUco markers.")
        .def(py::init([](int squaresX, int squaresY, double squareLength, double markerLength, int dictionaryId) {
                 return CharucoTarget{squaresX, squaresY, squareLength, markerLength, dictionaryId};
             }),
             py::arg("squares_x"), py::arg("squares_y"), py::arg("square_length"), py::arg("marker_length"),
             py::arg("aruco_dict_id") = 3)
        .def(py::init([](int squaresX, int squaresY, double squareLength, double markerLength,
                         const std::string& dictionaryName) {
                 return CharucoTarget{squaresX, squaresY, squareLength, markerLength,
                                      arucoDictionaryIdFromName(dictionaryName)};
             }),
             py::arg("squares_x"), py::arg("squares_y"), py::arg("square_length"), py::arg("marker_length"),
             py::arg("aruco_dict_id"))
        .def_readwrite("squares_x", &CharucoTarget::squares_x)
        .def_readwrite("squares_y", &CharucoTarget::squares_y)
        .def_readwrite("square_length", &CharucoTarget::square_length)
        .def_readwrite("marker_length", &CharucoTarget::marker_length)
        .def_readwrite("aruco_dict_id", &CharucoTarget::aruco_dict_id)
        // Borrowed: read once, never kept; and any channel count reaches the image check.
        .def(
            "detect_and_annotate",
            [](const CharucoTarget& target, const BorrowedMat& image) { return detectAndAnnotate(target, image.mat); },
            py::arg("image"),
             "Detect ChArUco corners on `image` and draw them on a copy. "
             "Returns (annotated_image_bgr, num_charuco_corners).")
        .def("__repr__", &charucoRepr);

    py::classh<ArucoTarget>(module, "ArucoTarget", "ArUco grid-board target.")
        .def(py::init([](cv::Size boardSize, double markerLength, double markerSeparation, int dictionaryId) {
                 return ArucoTarget{boardSize, markerLength, markerSeparation, dictionaryId};
             }),
             py::arg("board_size"), py::arg("marker_length"), py::arg("marker_separation"),
             py::arg("aruco_dict_id") = 3)
        .def(py::init([](cv::Size boardSize, double markerLength, double markerSeparation,
                         const std::string& dictionaryName) {
                 return ArucoTarget{boardSize, markerLength, markerSeparation,
                                    arucoDictionaryIdFromName(dictionaryName)};
             }),
             py::arg("board_size"), py::arg("marker_length"), py::arg("marker_separation"), py::arg("aruco_dict_id"))
        .def_readwrite("board_size", &ArucoTarget::board_size)
        .def_readwrite("marker_length", &ArucoTarget::marker_length)
        .def_readwrite("marker_separation", &ArucoTarget::marker_separation)
        .def_readwrite("aruco_dict_id", &ArucoTarget::aruco_dict_id)
        .def("__repr__", &arucoRepr);

    module.def("aruco_dictionary_id_map", [] { return arucoDictionaryIdMap(); },
               "Map of predefined ArUco dictionary names (\"DICT_4X4_50\", ...) to their OpenCV ids.");
    module.def("aruco_dictionary_id_from_name", &arucoDictionaryIdFromName, py::arg("name"),
               "Resolve a dictionary name (e.g. \"DICT_4X4_50\") to its OpenCV id.");
}

}  // namespace vantel::binding

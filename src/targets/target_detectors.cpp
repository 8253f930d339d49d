#include "targets/target_detectors.hpp"

#include "targets/detection.hpp"

namespace vantel {

TargetDetectors makeTargetDetectors(const Target& target) {
    TargetDetectors detectors;
    if (const auto* chessboard = std::get_if<ChessboardTarget>(&target)) {
        detectors.chessboard_points = usableChessboardPoints(*chessboard);
    } else if (const auto* charuco = std::get_if<CharucoTarget>(&target)) {
        detectors.charuco.emplace(makeCharucoDetector(*charuco));
        detectors.charuco_corners = detectors.charuco->board().chessboardCorners();
    } else {
        const auto& aruco = std::get<ArucoTarget>(target);
        detectors.grid.emplace(makeGridBoard(aruco));
        detectors.aruco.emplace(makeArucoDetector(aruco));
        detectors.grid_markers = detectors.grid->markerObjectPoints();
    }
    return detectors;
}

}  // namespace vantel

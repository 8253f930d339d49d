#include "calibration/corner_finding.hpp"

#include <stdexcept>
#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "module/log.hpp"
#include "targets/detection.hpp"

namespace vantel::calibration {
namespace {

constexpr size_t kMinCharucoCorners = 4;
constexpr size_t kMinArucoMarkers = 4;

void appendView(TargetDetections& detections, size_t index, cv::Mat imagePoints, cv::Mat objectPoints,
                cv::Mat annotated) {
    detections.successful_indices.push_back(static_cast<int>(index));
    detections.image_points.push_back(std::move(imagePoints));
    detections.object_points.push_back(std::move(objectPoints));
    detections.annotated_images.push_back(std::move(annotated));
}

void warnSkipped(const std::string& text, size_t index) {
    logMessage(LogLevel::Warning, text + std::to_string(index));
}

}  // namespace

TargetDetections findChessboardTargetCorners(const std::vector<cv::Mat>& images, const ChessboardTarget& target,
                                             const IntrinsicOptions& options) {
    TargetDetections detections;
    const cv::Mat objectPoints = chessboardObjectPoints(target);
    const std::string& detector = options.chessboard_corner_detector;
    const cv::Size window(options.sub_pixel_detection_window_size, options.sub_pixel_detection_window_size);
    const cv::Size zeroZone(options.sub_pixel_detection_zero_zone_size, options.sub_pixel_detection_zero_zone_size);
    for (size_t i = 0; i < images.size(); ++i) {
        const cv::Mat grey = toGrey(images[i]);
        std::vector<cv::Point2f> corners;
        bool found = false;
        if (detector == "Default") {
            found = cv::findChessboardCorners(grey, target.size, corners, options.chessboard_flags);
        } else if (detector == "Sector Based") {
            found = cv::findChessboardCornersSB(grey, target.size, corners, options.chessboard_flags);
        } else {
            throw std::invalid_argument(
                "IntrinsicCalibrator: chessboard_corner_detector must be 'Default' or 'Sector Based', got '" +
                detector + "'");
        }
        if (!found) {
            warnSkipped("[IntrinsicCalibrator] Chessboard not found in image ", i);
            continue;
        }
        // The sector-based detector's corners are already sub-pixel accurate.
        if (detector == "Default") {
            cv::cornerSubPix(grey, corners, window, zeroZone, options.criteria);
        }
        cv::Mat annotated = annotationCopy(images[i]);
        cv::drawChessboardCorners(annotated, target.size, corners, true);
        appendView(detections, i, cv::Mat(corners, true), objectPoints.clone(), std::move(annotated));
    }
    return detections;
}

TargetDetections findCharucoTargetCorners(const std::vector<cv::Mat>& images, const CharucoTarget& target) {
    TargetDetections detections;
    if (images.empty()) {
        return detections;
    }
    const CharucoDetector detector = makeCharucoDetector(target);
    const std::vector<cv::Point3f> boardCorners = detector.board().chessboardCorners();
    for (size_t i = 0; i < images.size(); ++i) {
        const CharucoDetection found = detectCharuco(detector, images[i]);
        if (found.charuco_corners.size() < kMinCharucoCorners) {
            warnSkipped("[CharucoIntrinsicCalibrator] Not enough ChArUco corners in image ", i);
            continue;
        }
        cv::Mat annotated = annotationCopy(images[i]);
        drawCharucoDetection(annotated, found);
        appendView(detections, i, cv::Mat(found.charuco_corners, true),
                   charucoObjectPointsForIds(boardCorners, found.charuco_ids), std::move(annotated));
        detections.point_ids.push_back(cv::Mat(found.charuco_ids, true));
    }
    return detections;
}

TargetDetections findArucoTargetCorners(const std::vector<cv::Mat>& images, const ArucoTarget& target) {
    TargetDetections detections;
    if (images.empty()) {
        return detections;
    }
    const GridBoard board = makeGridBoard(target);
    const ArucoDetector detector = makeArucoDetector(target);
    const std::vector<std::vector<cv::Point3f>> boardMarkers = board.markerObjectPoints();
    for (size_t i = 0; i < images.size(); ++i) {
        const cv::Mat grey = toGrey(images[i]);
        ArucoDetection found = detector.detectMarkers(grey);
        // A marker of another board in view must neither count nor index past this board.
        keepBoardMarkers(found, boardMarkers.size());
        if (found.marker_ids.size() < kMinArucoMarkers) {
            warnSkipped("[ArucoIntrinsicCalibrator] Not enough ArUco markers in image ", i);
            continue;
        }
        detector.refineDetectedMarkers(grey, board, found);
        MarkerPoints points = gridBoardPointsForMarkers(boardMarkers, found.marker_corners, found.marker_ids);
        cv::Mat annotated = annotationCopy(images[i]);
        drawDetectedMarkers(annotated, found.marker_corners, found.marker_ids, kMarkerColour);
        appendView(detections, i, std::move(points.image_points), std::move(points.object_points),
                   std::move(annotated));
    }
    return detections;
}

TargetDetections findTargetCorners(const std::vector<cv::Mat>& images, const Target& target,
                                   const IntrinsicOptions& options) {
    if (const auto* chessboard = std::get_if<ChessboardTarget>(&target)) {
        return findChessboardTargetCorners(images, *chessboard, options);
    }
    if (const auto* charuco = std::get_if<CharucoTarget>(&target)) {
        return findCharucoTargetCorners(images, *charuco);
    }
    return findArucoTargetCorners(images, std::get<ArucoTarget>(target));
}

}  // namespace vantel::calibration

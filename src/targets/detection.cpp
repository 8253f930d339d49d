#include "targets/detection.hpp"

#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "targets/image_check.hpp"

namespace vantel {
namespace {

bool onBoard(int markerId, size_t boardMarkerCount) {
    return markerId >= 0 && static_cast<size_t>(markerId) < boardMarkerCount;
}

}  // namespace

cv::Mat toGrey(const cv::Mat& image) {
    requireUsableImage(image, "vantel: image");
    if (image.channels() == 1) {
        return image;  // the detectors only read it
    }
    cv::Mat grey;
    cv::cvtColor(image, grey, image.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    return grey;
}

cv::Mat annotationCopy(const cv::Mat& image) {
    if (image.channels() == 3) {
        return image.clone();
    }
    // Drawn in colour whatever came in; the marker drawing also refuses four channels.
    cv::Mat bgr;
    cv::cvtColor(image, bgr, image.channels() == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
    return bgr;
}

CharucoDetector makeCharucoDetector(const CharucoTarget& target) { return CharucoDetector(makeCharucoBoard(target)); }

ArucoDetector makeArucoDetector(const ArucoTarget& target) { return ArucoDetector(target.aruco_dict_id); }

CharucoDetection detectCharuco(const CharucoDetector& detector, const cv::Mat& bgr) {
    return detector.detectBoard(toGrey(bgr));
}

ArucoDetection detectArucoMarkers(const ArucoDetector& detector, const cv::Mat& bgr) {
    return detector.detectMarkers(toGrey(bgr));
}

cv::Mat charucoObjectPointsForIds(const std::vector<cv::Point3f>& boardCorners, const std::vector<int>& ids) {
    cv::Mat points(static_cast<int>(ids.size()), 3, CV_32F);
    for (size_t k = 0; k < ids.size(); ++k) {
        if (!onBoard(ids[k], boardCorners.size())) {
            throw std::invalid_argument("charucoObjectPointsForIds: corner id " + std::to_string(ids[k]) +
                                        " is not on the board");
        }
        const cv::Point3f& corner = boardCorners[ids[k]];
        auto* row = points.ptr<float>(static_cast<int>(k));
        row[0] = corner.x;
        row[1] = corner.y;
        row[2] = corner.z;
    }
    return points;
}

MarkerPoints gridBoardPointsForMarkers(const std::vector<std::vector<cv::Point3f>>& boardMarkers,
                                       const std::vector<std::vector<cv::Point2f>>& markerCorners,
                                       const std::vector<int>& markerIds) {
    std::vector<cv::Point3f> objectPoints;
    std::vector<cv::Point2f> imagePoints;
    for (size_t k = 0; k < markerIds.size(); ++k) {
        if (!onBoard(markerIds[k], boardMarkers.size())) {
            continue;
        }
        const auto& board = boardMarkers[markerIds[k]];
        objectPoints.insert(objectPoints.end(), board.begin(), board.begin() + 4);
        imagePoints.insert(imagePoints.end(), markerCorners[k].begin(), markerCorners[k].begin() + 4);
    }
    MarkerPoints points;
    points.object_points = cv::Mat(static_cast<int>(objectPoints.size()), 3, CV_32F);
    points.image_points = cv::Mat(static_cast<int>(imagePoints.size()), 1, CV_32FC2);
    if (!objectPoints.empty()) {
        cv::Mat(objectPoints).reshape(1).copyTo(points.object_points);
        cv::Mat(imagePoints).copyTo(points.image_points);
    }
    return points;
}

void keepBoardMarkers(ArucoDetection& detection, size_t boardMarkerCount) {
    size_t kept = 0;
    for (size_t k = 0; k < detection.marker_ids.size(); ++k) {
        if (onBoard(detection.marker_ids[k], boardMarkerCount)) {
            detection.marker_ids[kept] = detection.marker_ids[k];
            detection.marker_corners[kept] = detection.marker_corners[k];
            ++kept;
        }
    }
    detection.marker_ids.resize(kept);
    detection.marker_corners.resize(kept);
}

void drawCharucoDetection(cv::Mat& image, const CharucoDetection& detection) {
    if (!detection.marker_ids.empty()) {
        drawDetectedMarkers(image, detection.marker_corners, detection.marker_ids, kMarkerColour);
    }
    if (!detection.charuco_ids.empty()) {
        drawDetectedCornersCharuco(image, detection.charuco_corners, detection.charuco_ids, kCharucoCornerColour);
    }
}

std::pair<cv::Mat, int> detectAndAnnotate(const CharucoTarget& target, const cv::Mat& image) {
    requireUsableImage(image, "CharucoTarget.detect_and_annotate: image");
    const CharucoDetection detection = detectCharuco(makeCharucoDetector(target), image);
    cv::Mat annotated = annotationCopy(image);
    drawCharucoDetection(annotated, detection);
    return {annotated, static_cast<int>(detection.charuco_corners.size())};
}

}  // namespace vantel

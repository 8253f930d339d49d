#pragma once

#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "targets/aruco_adapter.hpp"
#include "targets/target.hpp"

namespace vantel {

inline const cv::Scalar kMarkerColour(0, 255, 0);
inline const cv::Scalar kCharucoCornerColour(255, 0, 0);

// Grey, BGR or BGRA -> single-channel grey (a grey image is returned as it is, not copied).
// Other images throw std::invalid_argument (see requireUsableImage).
cv::Mat toGrey(const cv::Mat& image);

CharucoDetector makeCharucoDetector(const CharucoTarget& target);
ArucoDetector makeArucoDetector(const ArucoTarget& target);

CharucoDetection detectCharuco(const CharucoDetector& detector, const cv::Mat& bgr);
ArucoDetection detectArucoMarkers(const ArucoDetector& detector, const cv::Mat& bgr);

// N x 3 CV_32F, row k = boardCorners[ids[k]].
cv::Mat charucoObjectPointsForIds(const std::vector<cv::Point3f>& boardCorners, const std::vector<int>& ids);

// Object and image points of the detected markers that belong to the board, four rows per
// marker in detection order. Markers of the same dictionary with an id outside the board
// (another board in view) are skipped with their rows.
struct MarkerPoints {
    cv::Mat object_points;  // 4n x 3 CV_32F
    cv::Mat image_points;   // 4n x 1 CV_32FC2
};
MarkerPoints gridBoardPointsForMarkers(const std::vector<std::vector<cv::Point3f>>& boardMarkers,
                                       const std::vector<std::vector<cv::Point2f>>& markerCorners,
                                       const std::vector<int>& markerIds);

// Drops the markers whose id is not on a board of `boardMarkerCount` markers.
void keepBoardMarkers(ArucoDetection& detection, size_t boardMarkerCount);

// A BGR copy to draw on, also of a grey or BGRA image.
cv::Mat annotationCopy(const cv::Mat& image);

// Markers in green, then the ChArUco corners with their ids in blue, on `image` itself.
void drawCharucoDetection(cv::Mat& image, const CharucoDetection& detection);

// Draws on a copy; returns it with the number of ChArUco corners.
std::pair<cv::Mat, int> detectAndAnnotate(const CharucoTarget& target, const cv::Mat& image);

}  // namespace vantel

#pragma once

// The ArUco API moved from the contrib module into objdetect in OpenCV 4.7 and changed
// shape on the way. These types offer the same operations with the same parameters on
// every version; only aruco_adapter.cpp knows which one it was built against.

#include <memory>
#include <vector>

#include <opencv2/core.hpp>

namespace vantel {

struct CharucoDetection {
    std::vector<cv::Point2f> charuco_corners;
    std::vector<int> charuco_ids;  // index into the board's chessboard corners
    std::vector<std::vector<cv::Point2f>> marker_corners;
    std::vector<int> marker_ids;
};

struct ArucoDetection {
    std::vector<std::vector<cv::Point2f>> marker_corners;
    std::vector<int> marker_ids;
    std::vector<std::vector<cv::Point2f>> rejected;  // kept for refinement
};

class CharucoBoard {
public:
    CharucoBoard(cv::Size squares, float squareLength, float markerLength, int dictionaryId);
    std::vector<cv::Point3f> chessboardCorners() const;

private:
    friend class CharucoDetector;
    struct Impl;
    std::shared_ptr<const Impl> impl_;
};

class GridBoard {
public:
    GridBoard(cv::Size markers, float markerLength, float markerSeparation, int dictionaryId);
    // Four corners per marker, in the board's corner order; marker id m sits at position m.
    std::vector<std::vector<cv::Point3f>> markerObjectPoints() const;

private:
    friend class ArucoDetector;
    struct Impl;
    std::shared_ptr<const Impl> impl_;
};

class ArucoDetector {
public:
    explicit ArucoDetector(int dictionaryId);
    ArucoDetection detectMarkers(const cv::Mat& grey) const;
    // Appends the board markers recovered from the rejected candidates (no camera model).
    void refineDetectedMarkers(const cv::Mat& grey, const GridBoard& board, ArucoDetection& detection) const;

private:
    struct Impl;
    std::shared_ptr<const Impl> impl_;
};

class CharucoDetector {
public:
    explicit CharucoDetector(const CharucoBoard& board);
    // Returns no corners at all when they do not fit the board (wrong size or layout):
    // misplaced corners would give a confidently wrong pose.
    CharucoDetection detectBoard(const cv::Mat& grey) const;
    // Only the corners and their ids, as OpenCV's detectBoard gives them without marker
    // outputs: from 4.8 on that skips its board check, and so does this on every version.
    CharucoDetection detectCornersWithoutBoardCheck(const cv::Mat& grey) const;
    const CharucoBoard& board() const { return board_; }

private:
    CharucoBoard board_;
    struct Impl;
    std::shared_ptr<const Impl> impl_;
};

void drawDetectedMarkers(cv::Mat& image, const std::vector<std::vector<cv::Point2f>>& corners,
                         const std::vector<int>& ids, const cv::Scalar& colour);
void drawDetectedCornersCharuco(cv::Mat& image, const std::vector<cv::Point2f>& corners,
                                const std::vector<int>& ids, const cv::Scalar& colour);

}  // namespace vantel

#include "targets/aruco_adapter.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include <opencv2/core/version.hpp>

#if CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR < 7
#include <opencv2/aruco.hpp>
#include <opencv2/aruco/charuco.hpp>
#else
#include <opencv2/objdetect/aruco_detector.hpp>
#include <opencv2/objdetect/charuco_detector.hpp>
#endif

namespace vantel {
namespace {

constexpr float kRefineMinReprojectionDistance = 10.0f;
constexpr float kRefineErrorCorrectionRate = 3.0f;
constexpr bool kRefineCheckAllOrders = true;
constexpr int kCharucoMinMarkers = 2;

#if CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR < 7
// Before 4.7 the smaller of two close candidates is dropped instead of the two being
// grouped: at 0.125 that throws away every ChArUco marker whose white square is a
// candidate too (4 of 24 corners found on a flat 5x7 board). 0.05 finds the markers that
// 0.125 finds from 4.7 on.
constexpr double kMinMarkerDistanceRate = 0.05;
#else
constexpr double kMinMarkerDistanceRate = 0.125;
#endif

// Every value spelled out, so that a change of library defaults cannot change detection.
void applyDetectorParameters(cv::aruco::DetectorParameters& parameters) {
    parameters.adaptiveThreshWinSizeMin = 3;
    parameters.adaptiveThreshWinSizeMax = 23;
    parameters.adaptiveThreshWinSizeStep = 10;
    parameters.adaptiveThreshConstant = 7;
    parameters.minMarkerPerimeterRate = 0.03;
    parameters.maxMarkerPerimeterRate = 4.0;
    parameters.polygonalApproxAccuracyRate = 0.03;
    parameters.minCornerDistanceRate = 0.05;
    parameters.minDistanceToBorder = 3;
    parameters.minMarkerDistanceRate = kMinMarkerDistanceRate;
    parameters.cornerRefinementMethod = cv::aruco::CORNER_REFINE_NONE;
    parameters.markerBorderBits = 1;
    parameters.perspectiveRemovePixelPerCell = 4;
    parameters.perspectiveRemoveIgnoredMarginPerCell = 0.13;
    parameters.maxErroneousBitsInBorderRate = 0.35;
    parameters.minOtsuStdDev = 5.0;
    parameters.errorCorrectionRate = 0.6;
    parameters.detectInvertedMarker = false;
    parameters.useAruco3Detection = false;
}

// Before 4.14 OpenCV's ChArUco refinement added (0.5, 0.5) px to every corner after
// cornerSubPix had found the true saddle point; 4.14 removed that as a bug. Taking it off
// here keeps every use of ChArUco corners (and the principal point) unbiased on all versions.
#if CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR < 14
constexpr float kCharucoCornerShift = 0.5f;
#else
constexpr float kCharucoCornerShift = 0.0f;
#endif

void removeCharucoCornerShift(CharucoDetection& detection) {
    for (cv::Point2f& corner : detection.charuco_corners) {
        corner.x -= kCharucoCornerShift;
        corner.y -= kCharucoCornerShift;
    }
}

#if CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR < 7
constexpr int kLastDictionaryId = cv::aruco::DICT_APRILTAG_36h11;
#else
constexpr int kLastDictionaryId = cv::aruco::DICT_ARUCO_MIP_36h12;
#endif

// OpenCV maps an id it does not know to DICT_4X4_50 without a word: a board of another
// dictionary would then simply never be found.
void checkDictionaryId(int id) {
    if (id < 0 || id > kLastDictionaryId) {
        throw std::runtime_error("aruco: unknown dictionary id " + std::to_string(id) + "; valid ids are 0 to " +
                                 std::to_string(kLastDictionaryId));
    }
}

#if CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR < 8
float distance(const cv::Point2f& a, const cv::Point2f& b) { return std::sqrt((a - b).dot(a - b)); }

// The check OpenCV runs from 4.8 on: a corner must lie nearer to the corners of its own
// two markers than to any other marker, else the board was described wrongly.
bool charucoCornersFitBoard(const CharucoDetection& detection, const std::vector<int>& boardIds,
                            const std::vector<std::vector<int>>& nearestMarkerIdx,
                            const std::vector<std::vector<int>>& nearestMarkerCorners) {
    for (size_t i = 0; i < detection.charuco_ids.size(); ++i) {
        const int cornerId = detection.charuco_ids[i];
        const cv::Point2f& corner = detection.charuco_corners[i];
        const int ownMarker0 = boardIds[nearestMarkerIdx[cornerId][0]];
        const int ownMarker1 = boardIds[nearestMarkerIdx[cornerId][1]];
        float farthestOwn = 0.0f;
        float nearestOther = std::numeric_limits<float>::max();
        for (size_t j = 0; j < detection.marker_ids.size(); ++j) {
            const int markerId = detection.marker_ids[j];
            const auto& marker = detection.marker_corners[j];
            if (markerId == -1) {
                continue;
            }
            if (markerId == ownMarker0 || markerId == ownMarker1) {
                const int k = nearestMarkerCorners[cornerId][markerId == ownMarker0 ? 0 : 1];
                const float toOwn = distance(marker[k], corner);
                farthestOwn = std::max(farthestOwn, toOwn);
                const cv::Point2f edgeMiddle1 = (marker[(k + 1) % 4] + marker[k]) * 0.5f;
                const cv::Point2f edgeMiddle2 = (marker[(k + 3) % 4] + marker[k]) * 0.5f;
                if (std::min(distance(edgeMiddle1, corner), distance(edgeMiddle2, corner)) < toOwn) {
                    return false;
                }
            } else {
                const cv::Point2f centre = (marker[0] + marker[1] + marker[2] + marker[3]) * 0.25f;
                nearestOther = std::min(nearestOther, distance(centre, corner));
            }
        }
        if (farthestOwn > 0.0f && nearestOther < std::numeric_limits<float>::max() && farthestOwn > nearestOther) {
            return false;
        }
    }
    return true;
}

void dropCornersThatDoNotFit(CharucoDetection& detection, const std::vector<int>& boardIds,
                             const std::vector<std::vector<int>>& nearestMarkerIdx,
                             const std::vector<std::vector<int>>& nearestMarkerCorners) {
    if (!charucoCornersFitBoard(detection, boardIds, nearestMarkerIdx, nearestMarkerCorners)) {
        detection.charuco_corners.clear();
        detection.charuco_ids.clear();
    }
}
#endif

}  // namespace

#if CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR < 7

namespace {

cv::Ptr<cv::aruco::Dictionary> predefinedDictionary(int id) {
    if (id == 21) {
        throw std::runtime_error("aruco: dictionary id 21 (DICT_ARUCO_MIP_36H12) needs OpenCV 4.7 or newer; "
                                 "this build uses OpenCV " CV_VERSION);
    }
    checkDictionaryId(id);
    return cv::aruco::getPredefinedDictionary(id);
}

cv::Ptr<cv::aruco::DetectorParameters> detectorParameters() {
    auto parameters = cv::makePtr<cv::aruco::DetectorParameters>();
    applyDetectorParameters(*parameters);
    return parameters;
}

}  // namespace

struct CharucoBoard::Impl {
    cv::Ptr<cv::aruco::CharucoBoard> board;
};

CharucoBoard::CharucoBoard(cv::Size squares, float squareLength, float markerLength, int dictionaryId)
    : impl_(std::make_shared<Impl>(Impl{cv::aruco::CharucoBoard::create(
          squares.width, squares.height, squareLength, markerLength, predefinedDictionary(dictionaryId))})) {}

std::vector<cv::Point3f> CharucoBoard::chessboardCorners() const { return impl_->board->chessboardCorners; }

struct GridBoard::Impl {
    cv::Ptr<cv::aruco::GridBoard> board;
};

GridBoard::GridBoard(cv::Size markers, float markerLength, float markerSeparation, int dictionaryId)
    : impl_(std::make_shared<Impl>(Impl{cv::aruco::GridBoard::create(
          markers.width, markers.height, markerLength, markerSeparation, predefinedDictionary(dictionaryId))})) {}

std::vector<std::vector<cv::Point3f>> GridBoard::markerObjectPoints() const { return impl_->board->objPoints; }

struct ArucoDetector::Impl {
    cv::Ptr<cv::aruco::Dictionary> dictionary;
    cv::Ptr<cv::aruco::DetectorParameters> parameters;
};

ArucoDetector::ArucoDetector(int dictionaryId)
    : impl_(std::make_shared<Impl>(Impl{predefinedDictionary(dictionaryId), detectorParameters()})) {}

ArucoDetection ArucoDetector::detectMarkers(const cv::Mat& grey) const {
    ArucoDetection detection;
    cv::aruco::detectMarkers(grey, impl_->dictionary, detection.marker_corners, detection.marker_ids,
                             impl_->parameters, detection.rejected);
    return detection;
}

void ArucoDetector::refineDetectedMarkers(const cv::Mat& grey, const GridBoard& board,
                                          ArucoDetection& detection) const {
    if (detection.marker_ids.empty()) {
        return;
    }
    cv::aruco::refineDetectedMarkers(grey, board.impl_->board, detection.marker_corners, detection.marker_ids,
                                     detection.rejected, cv::noArray(), cv::noArray(),
                                     kRefineMinReprojectionDistance, kRefineErrorCorrectionRate,
                                     kRefineCheckAllOrders, cv::noArray(), impl_->parameters);
}

struct CharucoDetector::Impl {
    cv::Ptr<cv::aruco::DetectorParameters> parameters;
};

CharucoDetector::CharucoDetector(const CharucoBoard& board)
    : board_(board), impl_(std::make_shared<Impl>(Impl{detectorParameters()})) {}

CharucoDetection CharucoDetector::detectBoard(const cv::Mat& grey) const {
    const auto& board = board_.impl_->board;
    CharucoDetection detection;
    cv::aruco::detectMarkers(grey, board->dictionary, detection.marker_corners, detection.marker_ids,
                             impl_->parameters);
    if (detection.marker_ids.empty()) {
        return detection;  // the interpolation throws without markers
    }
    cv::aruco::interpolateCornersCharuco(detection.marker_corners, detection.marker_ids, grey, board,
                                         detection.charuco_corners, detection.charuco_ids, cv::noArray(),
                                         cv::noArray(), kCharucoMinMarkers);
    dropCornersThatDoNotFit(detection, board->ids, board->nearestMarkerIdx, board->nearestMarkerCorners);
    removeCharucoCornerShift(detection);
    return detection;
}

CharucoDetection CharucoDetector::detectCornersWithoutBoardCheck(const cv::Mat& grey) const {
    const auto& board = board_.impl_->board;
    CharucoDetection markers;
    cv::aruco::detectMarkers(grey, board->dictionary, markers.marker_corners, markers.marker_ids,
                             impl_->parameters);
    CharucoDetection detection;
    if (markers.marker_ids.empty()) {
        return detection;  // the interpolation throws without markers
    }
    cv::aruco::interpolateCornersCharuco(markers.marker_corners, markers.marker_ids, grey, board,
                                         detection.charuco_corners, detection.charuco_ids, cv::noArray(),
                                         cv::noArray(), kCharucoMinMarkers);
    removeCharucoCornerShift(detection);
    return detection;
}

#else

namespace {

cv::aruco::Dictionary predefinedDictionary(int id) {
    checkDictionaryId(id);
    return cv::aruco::getPredefinedDictionary(id);
}

cv::aruco::DetectorParameters detectorParameters() {
    cv::aruco::DetectorParameters parameters;
    applyDetectorParameters(parameters);
    return parameters;
}

cv::aruco::RefineParameters refineParameters() {
    return cv::aruco::RefineParameters(kRefineMinReprojectionDistance, kRefineErrorCorrectionRate,
                                       kRefineCheckAllOrders);
}

cv::aruco::CharucoParameters charucoParameters() {
    cv::aruco::CharucoParameters parameters;
    parameters.minMarkers = kCharucoMinMarkers;
    parameters.tryRefineMarkers = false;
    return parameters;
}

}  // namespace

struct CharucoBoard::Impl {
    cv::aruco::CharucoBoard board;
};

CharucoBoard::CharucoBoard(cv::Size squares, float squareLength, float markerLength, int dictionaryId)
    : impl_(std::make_shared<Impl>(
          Impl{cv::aruco::CharucoBoard(squares, squareLength, markerLength, predefinedDictionary(dictionaryId))})) {}

std::vector<cv::Point3f> CharucoBoard::chessboardCorners() const { return impl_->board.getChessboardCorners(); }

struct GridBoard::Impl {
    cv::aruco::GridBoard board;
};

GridBoard::GridBoard(cv::Size markers, float markerLength, float markerSeparation, int dictionaryId)
    : impl_(std::make_shared<Impl>(Impl{
          cv::aruco::GridBoard(markers, markerLength, markerSeparation, predefinedDictionary(dictionaryId))})) {}

std::vector<std::vector<cv::Point3f>> GridBoard::markerObjectPoints() const { return impl_->board.getObjPoints(); }

struct ArucoDetector::Impl {
    cv::aruco::ArucoDetector detector;
};

ArucoDetector::ArucoDetector(int dictionaryId)
    : impl_(std::make_shared<Impl>(Impl{cv::aruco::ArucoDetector(predefinedDictionary(dictionaryId),
                                                                  detectorParameters(), refineParameters())})) {}

ArucoDetection ArucoDetector::detectMarkers(const cv::Mat& grey) const {
    ArucoDetection detection;
    impl_->detector.detectMarkers(grey, detection.marker_corners, detection.marker_ids, detection.rejected);
    return detection;
}

void ArucoDetector::refineDetectedMarkers(const cv::Mat& grey, const GridBoard& board,
                                          ArucoDetection& detection) const {
    if (detection.marker_ids.empty()) {
        return;
    }
    impl_->detector.refineDetectedMarkers(grey, board.impl_->board, detection.marker_corners, detection.marker_ids,
                                          detection.rejected);
}

struct CharucoDetector::Impl {
    cv::aruco::CharucoDetector detector;
};

CharucoDetector::CharucoDetector(const CharucoBoard& board)
    : board_(board),
      impl_(std::make_shared<Impl>(Impl{cv::aruco::CharucoDetector(
          board.impl_->board, charucoParameters(), detectorParameters(), refineParameters())})) {}

CharucoDetection CharucoDetector::detectBoard(const cv::Mat& grey) const {
    CharucoDetection detection;
    // Fresh, empty marker outputs: the detector then finds the markers itself, and from
    // 4.8 on its board check runs only when they are passed.
    impl_->detector.detectBoard(grey, detection.charuco_corners, detection.charuco_ids, detection.marker_corners,
                                detection.marker_ids);
#if CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR < 8
    const auto& board = board_.impl_->board;
    dropCornersThatDoNotFit(detection, board.getIds(), board.getNearestMarkerIdx(), board.getNearestMarkerCorners());
#endif
    removeCharucoCornerShift(detection);
    return detection;
}

CharucoDetection CharucoDetector::detectCornersWithoutBoardCheck(const cv::Mat& grey) const {
    CharucoDetection detection;
    impl_->detector.detectBoard(grey, detection.charuco_corners, detection.charuco_ids);
    removeCharucoCornerShift(detection);
    return detection;
}

#endif

void drawDetectedMarkers(cv::Mat& image, const std::vector<std::vector<cv::Point2f>>& corners,
                         const std::vector<int>& ids, const cv::Scalar& colour) {
    cv::aruco::drawDetectedMarkers(image, corners, ids, colour);
}

void drawDetectedCornersCharuco(cv::Mat& image, const std::vector<cv::Point2f>& corners,
                                const std::vector<int>& ids, const cv::Scalar& colour) {
    cv::aruco::drawDetectedCornersCharuco(image, corners, ids, colour);
}

}  // namespace vantel

#include "quality/benchmark_detection.hpp"

#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "targets/detection.hpp"

namespace vantel::quality {
namespace {

constexpr size_t kMinCharucoCorners = 4;
constexpr size_t kMinMarkers = 4;
constexpr int kChessboardFlags = cv::CALIB_CB_ADAPTIVE_THRESH + cv::CALIB_CB_NORMALIZE_IMAGE;
const cv::Size kSubPixelWindow(11, 11);
const cv::Size kNoZeroZone(-1, -1);
const cv::TermCriteria kSubPixelCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 0.001);

}  // namespace

BenchmarkDetector::BenchmarkDetector(const Target& target)
    : target_(target), detectors_(std::make_shared<const TargetDetectors>(makeTargetDetectors(target))) {}

std::optional<BenchmarkView> BenchmarkDetector::detect(const cv::Mat& image) const {
    const cv::Mat grey = toGrey(image);
    BenchmarkView view;
    if (const auto* chessboard = std::get_if<ChessboardTarget>(&target_)) {
        std::vector<cv::Point2f> corners;
        if (!cv::findChessboardCorners(grey, chessboard->size, corners, kChessboardFlags)) {
            return std::nullopt;
        }
        cv::cornerSubPix(grey, corners, kSubPixelWindow, kNoZeroZone, kSubPixelCriteria);
        view.object_points = detectors_->chessboard_points.clone();
        view.image_points = cv::Mat(corners, true);
    } else if (detectors_->charuco) {
        const CharucoDetection found = detectors_->charuco->detectCornersWithoutBoardCheck(grey);
        if (found.charuco_corners.size() < kMinCharucoCorners) {
            return std::nullopt;
        }
        view.object_points = charucoObjectPointsForIds(detectors_->charuco_corners, found.charuco_ids);
        view.image_points = cv::Mat(found.charuco_corners, true);
    } else {
        ArucoDetection found = detectors_->aruco->detectMarkers(grey);
        // A marker of another board in view neither counts nor indexes past this board.
        keepBoardMarkers(found, detectors_->grid_markers.size());
        if (found.marker_ids.size() < kMinMarkers) {
            return std::nullopt;
        }
        MarkerPoints points = gridBoardPointsForMarkers(detectors_->grid_markers, found.marker_corners,
                                                        found.marker_ids);
        view.object_points = std::move(points.object_points);
        view.image_points = std::move(points.image_points);
    }
    return view;
}

}  // namespace vantel::quality

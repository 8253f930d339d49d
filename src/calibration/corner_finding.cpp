#include "calibration/corner_finding.hpp"

#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "services/log.hpp"
#include "services/progress.hpp"
#include "services/side_by_side_search.hpp"
#include "targets/detection.hpp"

namespace vantel::calibration {
namespace {

constexpr size_t kMinCharucoCorners = 4;
constexpr size_t kMinArucoMarkers = 4;

std::optional<ViewCorners> findChessboard(const cv::Mat& image, const ChessboardTarget& target,
                                          const IntrinsicOptions& options, const cv::Mat& objectPoints,
                                          bool annotate) {
    const std::string& detector = options.chessboard_corner_detector;
    const cv::Mat grey = toGrey(image);
    std::vector<cv::Point2f> corners;
    bool found = false;
    if (detector == "Default") {
        found = cv::findChessboardCorners(grey, target.size, corners, options.chessboard_flags);
    } else if (detector == "Sector Based") {
        found = cv::findChessboardCornersSB(grey, target.size, corners, options.chessboard_flags);
    } else {
        throw std::invalid_argument(
            "IntrinsicCalibrator: chessboard_corner_detector must be 'Default' or 'Sector Based', got '" + detector +
            "'");
    }
    if (!found) {
        return std::nullopt;
    }
    // The sector-based detector's corners are already sub-pixel accurate.
    if (detector == "Default") {
        const cv::Size window(options.sub_pixel_detection_window_size, options.sub_pixel_detection_window_size);
        const cv::Size zeroZone(options.sub_pixel_detection_zero_zone_size,
                                options.sub_pixel_detection_zero_zone_size);
        cv::cornerSubPix(grey, corners, window, zeroZone, options.criteria);
    }
    ViewCorners view;
    if (annotate) {
        view.annotated_image = annotationCopy(image);
        cv::drawChessboardCorners(view.annotated_image, target.size, corners, true);
    }
    view.image_points = cv::Mat(corners, true);
    view.object_points = objectPoints.clone();
    return view;
}

std::optional<ViewCorners> findCharuco(const cv::Mat& image, const CharucoDetector& detector,
                                       const std::vector<cv::Point3f>& boardCorners, bool annotate) {
    const CharucoDetection found = detectCharuco(detector, image);
    if (found.charuco_corners.size() < kMinCharucoCorners) {
        return std::nullopt;
    }
    ViewCorners view;
    if (annotate) {
        view.annotated_image = annotationCopy(image);
        drawCharucoDetection(view.annotated_image, found);
    }
    view.image_points = cv::Mat(found.charuco_corners, true);
    view.object_points = charucoObjectPointsForIds(boardCorners, found.charuco_ids);
    view.point_ids = cv::Mat(found.charuco_ids, true);
    return view;
}

std::optional<ViewCorners> findGrid(const cv::Mat& image, const GridBoard& board, const ArucoDetector& detector,
                                    const std::vector<std::vector<cv::Point3f>>& boardMarkers, bool annotate) {
    const cv::Mat grey = toGrey(image);
    ArucoDetection found = detector.detectMarkers(grey);
    // A marker of another board in view must neither count nor index past this board.
    keepBoardMarkers(found, boardMarkers.size());
    if (found.marker_ids.size() < kMinArucoMarkers) {
        return std::nullopt;
    }
    detector.refineDetectedMarkers(grey, board, found);
    MarkerPoints points = gridBoardPointsForMarkers(boardMarkers, found.marker_corners, found.marker_ids);
    ViewCorners view;
    if (annotate) {
        view.annotated_image = annotationCopy(image);
        drawDetectedMarkers(view.annotated_image, found.marker_corners, found.marker_ids, kMarkerColour);
    }
    view.image_points = std::move(points.image_points);
    view.object_points = std::move(points.object_points);
    return view;
}

}  // namespace

CornerFinder::CornerFinder(Target target, IntrinsicOptions options, CornerImages images)
    : target_(std::move(target)), options_(std::move(options)), images_(images) {}

std::string CornerFinder::skipMessage() const {
    switch (target_.index()) {
        case 0: return "[IntrinsicCalibrator] Chessboard not found in image ";
        case 1: return "[CharucoIntrinsicCalibrator] Not enough ChArUco corners in image ";
        default: return "[ArucoIntrinsicCalibrator] Not enough ArUco markers in image ";
    }
}

CornerFinder CornerFinder::withOwnDetectors() const { return CornerFinder(target_, options_, images_); }

std::optional<ViewCorners> CornerFinder::find(const cv::Mat& image) const {
    // Built lazily: an empty batch must not build (or fail to build) a board.
    if (!detectors_) {
        detectors_ = std::make_shared<const TargetDetectors>(makeTargetDetectors(target_));
    }
    const bool annotate = images_ == CornerImages::Annotated;
    if (const auto* chessboard = std::get_if<ChessboardTarget>(&target_)) {
        return findChessboard(image, *chessboard, options_, detectors_->chessboard_points, annotate);
    }
    if (detectors_->charuco) {
        return findCharuco(image, *detectors_->charuco, detectors_->charuco_corners, annotate);
    }
    return findGrid(image, *detectors_->grid, *detectors_->aruco, detectors_->grid_markers, annotate);
}

void appendView(TargetDetections& detections, int imageIndex, const ViewCorners& view) {
    detections.successful_indices.push_back(imageIndex);
    detections.image_points.push_back(view.image_points);
    detections.object_points.push_back(view.object_points);
    if (!view.annotated_image.empty()) {
        detections.annotated_images.push_back(view.annotated_image);
    }
    if (!view.point_ids.empty()) {
        detections.point_ids.push_back(view.point_ids);
    }
}

void findInImageOrder(const CornerFinder& finder, const std::vector<cv::Mat>& images,
                      const std::function<void(size_t imageIndex, std::optional<ViewCorners>& view)>& take) {
    std::vector<std::optional<ViewCorners>> views(images.size());
    searchInOrder(
        images.size(),
        [&] {
            return [&views, &images, own = finder.withOwnDetectors()](size_t i) { views[i] = own.find(images[i]); };
        },
        [&](size_t i) {
            take(i, views[i]);
            views[i].reset();  // handed over: a batch's views need not all be held at once
        });
}

TargetDetections findTargetCorners(const std::vector<cv::Mat>& images, const Target& target,
                                   const IntrinsicOptions& options, CornerImages cornerImages) {
    const CornerFinder finder(target, options, cornerImages);
    TargetDetections detections;
    findInImageOrder(finder, images, [&](size_t i, std::optional<ViewCorners>& view) {
        if (view) {
            appendView(detections, static_cast<int>(i), *view);
        } else {
            logMessage(LogLevel::Warning, finder.skipMessage() + std::to_string(i));
        }
        reportProgress("Finding corners", i + 1, images.size());
    });
    return detections;
}

}  // namespace vantel::calibration

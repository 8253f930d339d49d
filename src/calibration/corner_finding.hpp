#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/intrinsic_records.hpp"
#include "targets/target.hpp"
#include "targets/target_detectors.hpp"

namespace vantel::calibration {

// The target found in one image, as one entry of TargetDetections.
struct ViewCorners {
    cv::Mat image_points;   // N x 1 CV_32FC2
    cv::Mat object_points;  // N x 3 CV_32F
    cv::Mat point_ids;      // N x 1 CV_32S, ChArUco targets only
    cv::Mat annotated_image;
};

// Whether found views get an annotated copy; callers that never show them skip the copies.
enum class CornerImages { Annotated, Skipped };

// Finds the target in single images; boards and detectors are built once, on first use.
// Silent: the caller logs the skip (skipMessage() + the image's position in its batch).
class CornerFinder {
public:
    CornerFinder(Target target, IntrinsicOptions options, CornerImages images = CornerImages::Annotated);

    // Throws std::invalid_argument for an unknown chessboard detector name.
    std::optional<ViewCorners> find(const cv::Mat& image) const;
    std::string skipMessage() const;

    // The same finder with boards and detectors of its own, for another thread: OpenCV does not
    // promise that its detectors may be shared between threads.
    CornerFinder withOwnDetectors() const;

private:
    Target target_;
    IntrinsicOptions options_;
    CornerImages images_;
    mutable std::shared_ptr<const TargetDetectors> detectors_;
};

// Appends the view as the next entry (its annotated copy only when it has one).
void appendView(TargetDetections& detections, int imageIndex, const ViewCorners& view);

// Finds the target in the images side by side, each thread with detectors of its own. On the calling
// thread, between images as a plain loop would: take(i, view) for each image in order (nothing in
// `view` when the target was not found), or, at the first image whose search threw, that exception.
void findInImageOrder(const CornerFinder& finder, const std::vector<cv::Mat>& images,
                      const std::function<void(size_t imageIndex, std::optional<ViewCorners>& view)>& take);

// One entry per image in which the target was found; the others are logged and skipped.
TargetDetections findTargetCorners(const std::vector<cv::Mat>& images, const Target& target,
                                   const IntrinsicOptions& options, CornerImages cornerImages = CornerImages::Annotated);

}  // namespace vantel::calibration

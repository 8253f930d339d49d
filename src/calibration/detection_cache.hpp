#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/corner_finding.hpp"
#include "calibration/intrinsic_records.hpp"
#include "targets/target.hpp"

namespace vantel::calibration {

// Finds the target at most once per image of a fixed batch, for callers that calibrate on
// several selections of the same images (folds, methods, camera subsets). Its detections carry
// no annotated images: none of these callers shows them.
class DetectionCache {
public:
    // The images are referenced, not copied: they must outlive the cache.
    DetectionCache(const Target& target, const IntrinsicOptions& options, const std::vector<cv::Mat>& images);

    // Exactly what findTargetCorners returns for the list images[positions[0]], images[positions[1]], ...,
    // with the same skip lines (numbered by list position), detecting only images not seen before.
    TargetDetections detectionsFor(const std::vector<int>& positions);

    // Every image in batch order.
    TargetDetections detectionsForAll();

    // Finds the target in every image not seen yet, side by side on OpenCV's threads, logging
    // nothing: the lines and any error come from the detectionsFor calls, as without it. An image
    // whose search throws is left unseen, so that detectionsFor meets the error where it belongs.
    void prefetchAll();

private:
    CornerFinder finder_;
    const std::vector<cv::Mat>& images_;
    std::vector<std::optional<std::optional<ViewCorners>>> views_;  // outer: looked at yet
};

}  // namespace vantel::calibration

#include "calibration/detection_cache.hpp"

#include <numeric>
#include <string>

#include "module/log.hpp"

namespace vantel::calibration {

DetectionCache::DetectionCache(const Target& target, const IntrinsicOptions& options,
                               const std::vector<cv::Mat>& images)
    : finder_(target, options), images_(images), views_(images.size()) {}

TargetDetections DetectionCache::detectionsFor(const std::vector<int>& positions) {
    TargetDetections detections;
    for (size_t k = 0; k < positions.size(); ++k) {
        auto& slot = views_.at(static_cast<size_t>(positions[k]));
        if (!slot) {
            slot = finder_.find(images_[static_cast<size_t>(positions[k])]);
        }
        if (*slot) {
            appendView(detections, static_cast<int>(k), **slot);
        } else {
            logMessage(LogLevel::Warning, finder_.skipMessage() + std::to_string(k));
        }
    }
    return detections;
}

TargetDetections DetectionCache::detectionsForAll() {
    std::vector<int> all(images_.size());
    std::iota(all.begin(), all.end(), 0);
    return detectionsFor(all);
}

}  // namespace vantel::calibration

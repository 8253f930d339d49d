#include "calibration/detection_cache.hpp"

#include <numeric>
#include <string>

#include "services/log.hpp"
#include "services/progress.hpp"
#include "services/side_by_side_search.hpp"

namespace vantel::calibration {

DetectionCache::DetectionCache(const Target& target, const IntrinsicOptions& options,
                               const std::vector<cv::Mat>& images)
    : finder_(target, options, CornerImages::Skipped), images_(images), views_(images.size()) {}

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
        reportProgress("Finding corners", k + 1, positions.size());
    }
    return detections;
}

TargetDetections DetectionCache::detectionsForAll() {
    std::vector<int> all(images_.size());
    std::iota(all.begin(), all.end(), 0);
    return detectionsFor(all);
}

void DetectionCache::prefetchAll() {
    std::vector<size_t> unseen;
    for (size_t i = 0; i < views_.size(); ++i) {
        if (!views_[i]) {
            unseen.push_back(i);
        }
    }
    // A search that throws assigns nothing: its image stays unseen.
    searchSideBySide(unseen.size(), [this, &unseen] {
        return [this, &unseen, finder = finder_.withOwnDetectors()](size_t k) {
            views_[unseen[k]] = finder.find(images_[unseen[k]]);
        };
    });
}

}  // namespace vantel::calibration

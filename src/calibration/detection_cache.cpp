#include "calibration/detection_cache.hpp"

#include <numeric>

#include <opencv2/core/utility.hpp>
#include <string>

#include "services/log.hpp"
#include "services/progress.hpp"

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
    if (unseen.empty()) {
        return;
    }
    // The first search on this thread meets a bad option where the sequential search would.
    try {
        views_[unseen[0]] = finder_.find(images_[unseen[0]]);
    } catch (const std::exception&) {
        return;  // met again, in order, by detectionsFor
    }
    cv::parallel_for_(cv::Range(1, static_cast<int>(unseen.size())), [&](const cv::Range& range) {
        const CornerFinder finder = finder_.withOwnDetectors();
        for (int k = range.start; k < range.end; ++k) {
            const size_t i = unseen[static_cast<size_t>(k)];
            try {
                views_[i] = finder.find(images_[i]);
            } catch (const std::exception&) {
                // left unseen
            }
        }
    });
}

}  // namespace vantel::calibration

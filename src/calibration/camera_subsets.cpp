// Every combination of the requested sizes calibrated as a rig of its own.

#include <exception>
#include <string>

#include "calibration/multi_camera_calibrator.hpp"
#include "calibration/rig_work_memo.hpp"
#include "services/log.hpp"
#include "services/progress.hpp"

namespace vantel::calibration {
namespace {

// Lexicographic successor of a combination of distinct indices below n; false after the last.
bool nextCombination(std::vector<int>& combination, int n) {
    const int size = static_cast<int>(combination.size());
    for (int i = size - 1; i >= 0; --i) {
        if (combination[static_cast<size_t>(i)] < n - size + i) {
            ++combination[static_cast<size_t>(i)];
            for (int j = i + 1; j < size; ++j) {
                combination[static_cast<size_t>(j)] = combination[static_cast<size_t>(j - 1)] + 1;
            }
            return true;
        }
    }
    return false;
}

// How many subsets the sizes ask for, for progress only (sizes below 2 end the call anyway).
size_t countSubsets(const std::vector<int>& sizes, int cameras) {
    size_t count = 0;
    for (const int size : sizes) {
        if (size < 2 || size > cameras) {
            continue;
        }
        double combinations = 1.0;
        for (int k = 1; k <= size; ++k) {
            combinations = combinations * (cameras - size + k) / k;
        }
        count += static_cast<size_t>(combinations + 0.5);
    }
    return count;
}

}  // namespace

std::vector<SubsetResult> MultiCameraCalibrator::calibrateSubsets(const ImageLists& image_lists,
                                                                  const std::vector<int>& subset_sizes,
                                                                  int frame_index, bool refine) {
    requireFrameInEveryList(image_lists, frame_index);
    requireUsableImageLists(image_lists);
    RigWorkMemo memo;
    std::vector<SubsetResult> results;
    const size_t subsetCount = countSubsets(subset_sizes, num_cameras_);
    for (const int size : subset_sizes) {
        if (size > num_cameras_) {
            logMessage(LogLevel::Warning, "Skipping subsets of size " + std::to_string(size) + ": only " +
                                              std::to_string(num_cameras_) + " cameras.");
            continue;
        }
        // A size below 2 ends the call in the subset calibrator's constructor, negative ones included.
        std::vector<int> subset = RigWorkMemo::wholeRig(size);
        do {
            reportProgress("Calibrating camera subsets", results.size(), subsetCount);
            logMessage(LogLevel::Info, "Calibrating subset of size " + std::to_string(size));
            ImageLists subsetLists;
            for (const int camera : subset) {
                subsetLists.push_back(image_lists[static_cast<size_t>(camera)]);
            }
            MultiCameraCalibrator subsetCalibrator(target_, size, 0, options_, stereo_calibrate_flags_);
            SubsetResult entry;
            entry.subset = subset;
            entry.result = subsetCalibrator.calibrateWith(subsetLists, {}, {}, {}, refine, memo, subset);
            try {
                entry.triangulation = subsetCalibrator.triangulateWith(subsetLists, frame_index, memo, subset);
                entry.has_triangulation = true;
            } catch (const std::exception& error) {
                logMessage(LogLevel::Warning, std::string("Triangulation failed for subset: ") + error.what());
            }
            results.push_back(std::move(entry));
        } while (nextCombination(subset, num_cameras_));
    }
    last_subset_results_ = results;
    return results;
}

}  // namespace vantel::calibration

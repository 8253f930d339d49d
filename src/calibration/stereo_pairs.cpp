// Places every camera relative to the reference by one stereo calibration of the pair.

#include <algorithm>
#include <array>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include <opencv2/calib3d.hpp>

#include "calibration/multi_camera_calibrator.hpp"
#include "calibration/rig_work_memo.hpp"
#include "services/log.hpp"
#include "services/progress.hpp"

namespace vantel::calibration {
namespace {

constexpr size_t kMinSharedFrames = 4;
constexpr size_t kMinSharedCorners = 15;

std::vector<int> sortedUnique(std::vector<int> values) {
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

std::vector<int> intersection(const std::vector<int>& sortedA, const std::vector<int>& sortedB) {
    std::vector<int> shared;
    std::set_intersection(sortedA.begin(), sortedA.end(), sortedB.begin(), sortedB.end(), std::back_inserter(shared));
    return shared;
}

size_t positionOf(const std::vector<int>& successfulIndices, int frame) {
    const auto found = std::find(successfulIndices.begin(), successfulIndices.end(), frame);
    if (found == successfulIndices.end()) {
        throw std::runtime_error("multi_camera: frame index not found in successful_indices");
    }
    return static_cast<size_t>(found - successfulIndices.begin());
}

std::vector<int> idList(const cv::Mat& ids) {
    std::vector<int> list;
    if (!ids.empty()) {
        ids.reshape(1, static_cast<int>(ids.total())).copyTo(list);
    }
    return list;
}

// Later occurrences of an id overwrite earlier ones.
std::map<int, int> lastPositionOfEachId(const std::vector<int>& ids) {
    std::map<int, int> positions;
    for (size_t k = 0; k < ids.size(); ++k) {
        positions[ids[k]] = static_cast<int>(k);
    }
    return positions;
}

// Camera k's image points reordered to follow the reference's object points, so that row j of
// both belongs to one board point: markers come in detection order, which differs between
// cameras. Empty when the two frames do not show the same board points.
cv::Mat cameraPointsInReferenceOrder(const cv::Mat& referenceObjects, const cv::Mat& cameraObjects,
                                     const cv::Mat& cameraPoints) {
    const auto key = [](const cv::Mat& objects, int row) {
        const float* p = objects.ptr<float>(row);
        return std::array<float, 3>{p[0], p[1], p[2]};
    };
    std::map<std::array<float, 3>, int> cameraRowOf;
    for (int row = 0; row < cameraObjects.rows; ++row) {
        cameraRowOf[key(cameraObjects, row)] = row;
    }
    cv::Mat reordered(referenceObjects.rows, 1, CV_32FC2);
    for (int row = 0; row < referenceObjects.rows; ++row) {
        const auto found = cameraRowOf.find(key(referenceObjects, row));
        if (found == cameraRowOf.end()) {
            return cv::Mat();
        }
        reordered.at<cv::Vec2f>(row) = cameraPoints.at<cv::Vec2f>(found->second);
    }
    return reordered;
}

struct PairCorrespondences {
    std::vector<cv::Mat> object_points;
    std::vector<cv::Mat> reference_points;
    std::vector<cv::Mat> camera_points;
};

PairCorrespondences buildPairCorrespondences(const Target& target, const TargetDetections& reference,
                                             const TargetDetections& camera, int referenceIndex, int cameraIndex,
                                             const std::vector<int>& frames) {
    const bool idMode = !reference.point_ids.empty() && !camera.point_ids.empty();
    cv::Mat boardCorners;
    if (idMode) {
        boardCorners = charucoObjectPoints(std::get<CharucoTarget>(target));
    }
    PairCorrespondences pair;
    for (const int frame : frames) {
        const size_t r = positionOf(reference.successful_indices, frame);
        const size_t k = positionOf(camera.successful_indices, frame);
        if (!idMode) {
            const int referenceRows = reference.image_points[r].rows;
            const int cameraRows = camera.image_points[k].rows;
            if (referenceRows != cameraRows) {
                logMessage(LogLevel::Warning, "[MultiCameraCalibrator] Frame " + std::to_string(frame) + ": ref has " +
                                                  std::to_string(referenceRows) + " pts, cam " +
                                                  std::to_string(cameraIndex) + " has " + std::to_string(cameraRows) +
                                                  " pts; dropping from pair.");
                continue;
            }
            cv::Mat cameraPoints = cameraPointsInReferenceOrder(reference.object_points[r], camera.object_points[k],
                                                                camera.image_points[k]);
            if (cameraPoints.empty()) {
                logMessage(LogLevel::Warning, "[MultiCameraCalibrator] Frame " + std::to_string(frame) +
                                                  ": ref and cam " + std::to_string(cameraIndex) +
                                                  " see different board points; dropping from pair.");
                continue;
            }
            pair.object_points.push_back(reference.object_points[r]);
            pair.reference_points.push_back(reference.image_points[r]);
            pair.camera_points.push_back(cameraPoints);
            continue;
        }
        const std::vector<int> referenceIds = idList(reference.point_ids[r]);
        const std::vector<int> cameraIds = idList(camera.point_ids[k]);
        const std::vector<int> shared = intersection(sortedUnique(referenceIds), sortedUnique(cameraIds));
        if (shared.size() < kMinSharedCorners) {
            logMessage(LogLevel::Warning, "[MultiCameraCalibrator] Frame " + std::to_string(frame) + ": only " +
                                              std::to_string(shared.size()) + " corners shared between ref (cam " +
                                              std::to_string(referenceIndex) + ") and cam " +
                                              std::to_string(cameraIndex) + "; dropping from pair.");
            continue;
        }
        const std::map<int, int> referenceRow = lastPositionOfEachId(referenceIds);
        const std::map<int, int> cameraRow = lastPositionOfEachId(cameraIds);
        const int n = static_cast<int>(shared.size());
        cv::Mat objectPoints(n, 3, CV_32F);
        cv::Mat referencePoints(n, 1, CV_32FC2);
        cv::Mat cameraPoints(n, 1, CV_32FC2);
        for (int j = 0; j < n; ++j) {
            const int id = shared[static_cast<size_t>(j)];
            if (id < 0 || id >= boardCorners.rows) {
                throw std::runtime_error("multi_camera: corner id " + std::to_string(id) + " is not on the board");
            }
            boardCorners.row(id).copyTo(objectPoints.row(j));
            referencePoints.at<cv::Vec2f>(j) = reference.image_points[r].at<cv::Vec2f>(referenceRow.at(id));
            cameraPoints.at<cv::Vec2f>(j) = camera.image_points[k].at<cv::Vec2f>(cameraRow.at(id));
        }
        pair.object_points.push_back(objectPoints);
        pair.reference_points.push_back(referencePoints);
        pair.camera_points.push_back(cameraPoints);
    }
    return pair;
}

cv::Mat referenceTCamera(const cv::Mat& rotation, const cv::Mat& translation) {
    cv::Mat camera_T_reference = cv::Mat::eye(4, 4, CV_64F);
    rotation.convertTo(camera_T_reference(cv::Rect(0, 0, 3, 3)), CV_64F);
    translation.reshape(1, 3).convertTo(camera_T_reference(cv::Rect(3, 0, 1, 3)), CV_64F);
    return camera_T_reference.inv(cv::DECOMP_LU);
}

}  // namespace

void MultiCameraCalibrator::placeCameras(const ImageLists& image_lists, const std::vector<CameraFrames>& cameras,
                                         RigWorkMemo& memo, const std::vector<int>& rig_cameras) {
    const size_t ref = static_cast<size_t>(reference_index_);
    last_result_.reference_T_camera_list[ref] = cv::Mat::eye(4, 4, CV_64F);
    const std::string refText = std::to_string(reference_index_);
    const cv::Size imageSize = image_lists[ref][0].size();
    const std::vector<int> referenceFrames = sortedUnique(cameras[ref].detections.successful_indices);

    for (size_t k = 0; k < cameras.size(); ++k) {
        if (k == ref) {
            continue;
        }
        reportProgress("Placing cameras", k < ref ? k : k - 1, cameras.size() - 1);
        const std::string camText = std::to_string(k);
        std::vector<int> frames = intersection(referenceFrames, sortedUnique(cameras[k].detections.successful_indices));
        const size_t detectedInBoth = frames.size();
        for (const size_t camera : {ref, k}) {
            if (cameras[camera].accepted_frames) {
                frames = intersection(frames, *cameras[camera].accepted_frames);
            }
        }
        if (frames.size() != detectedInBoth) {
            logMessage(LogLevel::Info, "[MultiCameraCalibrator] Pair (ref=" + refText + ", cam=" + camText + "): " +
                                           std::to_string(detectedInBoth) + " frames detected in both cameras -> " +
                                           std::to_string(frames.size()) + " after per-view intrinsic-error filter");
        }
        if (frames.size() < kMinSharedFrames) {
            logMessage(LogLevel::Error, "[MultiCameraCalibrator] Only " + std::to_string(frames.size()) +
                                            " shared detections between reference camera " + refText +
                                            " and camera " + camText + "; skipping pair.");
            continue;
        }

        const PairCorrespondences pair =
            buildPairCorrespondences(target_, cameras[ref].detections, cameras[k].detections, reference_index_,
                                     static_cast<int>(k), frames);
        if (pair.object_points.empty()) {
            logMessage(LogLevel::Error,
                       "[MultiCameraCalibrator] No usable frames after per-corner intersection between reference "
                       "camera " + refText + " and camera " + camText + "; skipping pair.");
            continue;
        }

        RigWorkMemo::StereoInputs inputs{pair.object_points,
                                         pair.reference_points,
                                         pair.camera_points,
                                         last_result_.intrinsic_matrices[ref],
                                         last_result_.distortion_coefficients[ref],
                                         last_result_.intrinsic_matrices[k],
                                         last_result_.distortion_coefficients[k],
                                         imageSize};
        const RigWorkMemo::StereoOutcome stereo =
            memo.stereo(rig_cameras[ref], rig_cameras[k], frames, inputs, stereo_calibrate_flags_, options_.criteria);

        if ((stereo_calibrate_flags_ & kCalibFixIntrinsic) == 0) {
            last_result_.intrinsic_matrices[ref] = stereo.reference_matrix;
            last_result_.distortion_coefficients[ref] = stereo.reference_distortion.reshape(1, 1);
            last_result_.intrinsic_matrices[k] = stereo.camera_matrix;
            last_result_.distortion_coefficients[k] = stereo.camera_distortion.reshape(1, 1);
        }
        last_result_.reference_T_camera_list[k] = referenceTCamera(stereo.rotation, stereo.translation);
        last_result_.pair_reprojection_errors[k] = stereo.rms;
        logMessage(LogLevel::Info, "[MultiCameraCalibrator] Stereo pair (ref=" + refText + ", cam=" + camText +
                                       "): RMS error " + std::to_string(stereo.rms) + "px over " +
                                       std::to_string(pair.object_points.size()) + " frames");
    }
}

}  // namespace vantel::calibration

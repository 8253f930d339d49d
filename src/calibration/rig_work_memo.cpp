#include "calibration/rig_work_memo.hpp"

#include <algorithm>
#include <numeric>
#include <exception>
#include <utility>

#include <opencv2/calib3d.hpp>

#include "calibration/intrinsic_calibrator.hpp"
#include "calibration/solver/stereo_calibration.hpp"

namespace vantel::calibration {
namespace {

void appendBytes(std::string& key, const void* data, size_t size) {
    key.append(static_cast<const char*>(data), size);
}

void appendInt(std::string& key, int value) { appendBytes(key, &value, sizeof value); }

// Type, shape and every element: two matrices give the same text exactly when they are equal.
void appendMatrix(std::string& key, const cv::Mat& matrix) {
    appendInt(key, matrix.type());
    appendInt(key, matrix.rows);
    appendInt(key, matrix.cols);
    const cv::Mat continuous = matrix.isContinuous() ? matrix : matrix.clone();
    appendBytes(key, continuous.data, continuous.total() * continuous.elemSize());
}

// Callers write these matrices into their records: never hand out the cached ones themselves.
RigWorkMemo::StereoOutcome deepCopy(const RigWorkMemo::StereoOutcome& outcome) {
    RigWorkMemo::StereoOutcome copy = outcome;
    for (cv::Mat* matrix : {&copy.reference_matrix, &copy.reference_distortion, &copy.camera_matrix,
                            &copy.camera_distortion, &copy.rotation, &copy.translation}) {
        *matrix = matrix->clone();
    }
    return copy;
}

}  // namespace

std::vector<int> RigWorkMemo::wholeRig(int count) {
    std::vector<int> cameras(static_cast<size_t>(std::max(count, 0)));
    std::iota(cameras.begin(), cameras.end(), 0);
    return cameras;
}

const RigWorkMemo::CameraIntrinsics& RigWorkMemo::intrinsics(int rig_camera, const Target& target,
                                                              const IntrinsicOptions& options,
                                                              const std::vector<cv::Mat>& images) {
    auto found = intrinsics_.find(rig_camera);
    if (found == intrinsics_.end()) {
        CameraIntrinsics computed;
        std::exception_ptr failure;
        {
            LogRecording recording;
            // The rig calibrator shows no corner images.
            IntrinsicCalibrator calibrator(target, options, CornerImages::Skipped);
            try {
                computed.result = calibrator.calibrate(images);
                computed.detections = calibrator.detections();
            } catch (...) {
                failure = std::current_exception();
            }
            computed.log = recording.takeLines();
        }
        if (failure) {
            replayLog(computed.log);
            std::rethrow_exception(failure);
        }
        found = intrinsics_.emplace(rig_camera, std::move(computed)).first;
    }
    replayLog(found->second.log);
    return found->second;
}

RigWorkMemo::StereoOutcome RigWorkMemo::stereo(int rig_reference, int rig_camera, const std::vector<int>& frames,
                                               const StereoInputs& inputs, int flags,
                                               const cv::TermCriteria& criteria) {
    std::string key;
    appendInt(key, rig_reference);
    appendInt(key, rig_camera);
    appendInt(key, static_cast<int>(frames.size()));
    appendBytes(key, frames.data(), frames.size() * sizeof(int));
    for (const cv::Mat* matrix : {&inputs.reference_matrix, &inputs.reference_distortion, &inputs.camera_matrix,
                                  &inputs.camera_distortion}) {
        appendMatrix(key, *matrix);
    }
    if (const auto found = stereo_.find(key); found != stereo_.end()) {
        return deepCopy(found->second);
    }
    StereoOutcome outcome;
    outcome.reference_matrix = inputs.reference_matrix.clone();
    outcome.reference_distortion = inputs.reference_distortion.clone();
    outcome.camera_matrix = inputs.camera_matrix.clone();
    outcome.camera_distortion = inputs.camera_distortion.clone();
    outcome.rms = solver::stereoCalibrate(inputs.object_points, inputs.reference_points, inputs.camera_points,
                                          outcome.reference_matrix, outcome.reference_distortion,
                                          outcome.camera_matrix, outcome.camera_distortion, inputs.image_size,
                                          outcome.rotation, outcome.translation, flags, criteria);
    stereo_.emplace(std::move(key), deepCopy(outcome));
    return outcome;
}

RigWorkMemo::FrameCorners RigWorkMemo::frameCorners(int rig_camera, int frame_index,
                                                    const std::function<FrameCorners()>& detect) {
    const std::pair<int, int> key{rig_camera, frame_index};
    auto found = frame_corners_.find(key);
    if (found == frame_corners_.end()) {
        found = frame_corners_.emplace(key, detect()).first;
    }
    return found->second;
}

void RigWorkMemo::rememberFrameCorners(int rig_camera, int frame_count, const TargetDetections& detections) {
    if (detections.point_ids.size() != detections.successful_indices.size()) {
        return;  // not ChArUco detections
    }
    for (int frame = 0; frame < frame_count; ++frame) {
        frame_corners_.emplace(std::pair{rig_camera, frame}, FrameCorners());
    }
    for (size_t k = 0; k < detections.successful_indices.size(); ++k) {
        FrameCorners& frame = frame_corners_[{rig_camera, detections.successful_indices[k]}];
        detections.image_points[k].reshape(1, detections.image_points[k].rows).convertTo(frame.corners, CV_64F);
        frame.ids = detections.point_ids[k].clone();
    }
}

}  // namespace vantel::calibration

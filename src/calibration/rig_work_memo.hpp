#pragma once

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/intrinsic_records.hpp"
#include "services/log.hpp"
#include "targets/target.hpp"

namespace vantel::calibration {

// The expensive steps of a rig calibration whose outcome depends only on which rig cameras take
// part, kept for the calibrators of one calibrate_subsets call (or of one calibrate). Every
// result handed out is exactly what computing it afresh gives, log lines included.
class RigWorkMemo {
public:
    struct CameraIntrinsics {
        IntrinsicResult result;
        TargetDetections detections;
        std::vector<LogLine> log;
    };

    struct StereoInputs {
        std::vector<cv::Mat> object_points;
        std::vector<cv::Mat> reference_points;
        std::vector<cv::Mat> camera_points;
        cv::Mat reference_matrix, reference_distortion, camera_matrix, camera_distortion;
        cv::Size image_size;
    };

    struct StereoOutcome {
        double rms = 0.0;
        cv::Mat reference_matrix, reference_distortion, camera_matrix, camera_distortion;
        cv::Mat rotation, translation;  // x_camera = R x_reference + T
    };

    // ChArUco corners of one image: m x 2 CV_64F and m x 1 CV_32S, both empty below 4 corners.
    struct FrameCorners {
        cv::Mat corners;
        cv::Mat ids;
    };

    // The camera map of a calibrator that is the whole rig: 0, 1, ..., count - 1.
    static std::vector<int> wholeRig(int count);

    // IntrinsicCalibrator(target, options).calibrate(images) of that rig camera; its log lines are
    // written on every use, including a use that ends in the calibrator's exception.
    const CameraIntrinsics& intrinsics(int rig_camera, const Target& target, const IntrinsicOptions& options,
                                       const std::vector<cv::Mat>& images);

    // cv::stereoCalibrate of the pair on these correspondences; the pair and frame list key the
    // correspondences, the input intrinsics are compared by value.
    StereoOutcome stereo(int rig_reference, int rig_camera, const std::vector<int>& frames, const StereoInputs& inputs,
                         int flags, const cv::TermCriteria& criteria);

    FrameCorners frameCorners(int rig_camera, int frame_index, const std::function<FrameCorners()>& detect);

    // The ChArUco corners the camera's corner finding already found in each of its frames: the
    // same detector and the same four-corner minimum, so a frame it skipped has none.
    void rememberFrameCorners(int rig_camera, int frame_count, const TargetDetections& detections);

private:
    std::map<int, CameraIntrinsics> intrinsics_;
    std::map<std::string, StereoOutcome> stereo_;
    std::map<std::pair<int, int>, FrameCorners> frame_corners_;
};

}  // namespace vantel::calibration

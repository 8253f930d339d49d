#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/intrinsic_records.hpp"
#include "calibration/multi_camera_records.hpp"

namespace vantel::calibration {

// What one camera brings to the joint refinement of a rig.
struct RigCamera {
    TargetDetections detections;  // successful_indices are frame (capture) indices
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    cv::Mat reference_T_camera;  // empty when the pairwise step could not place it
};

struct RigRefinementOptions {
    int reference_index = 0;
    bool hold_intrinsics = false;  // intrinsics the caller supplied stay as they are
    int intrinsic_flags = 0;       // which intrinsic values may move, as in the camera calibration
    double huber_threshold_px = 1.0;
};

// Every camera's intrinsics and pose and one board pose per frame refined in one least-squares
// problem over every detected corner of every camera (robust loss), after cameras the pairwise step
// left out were placed through frames they share with a placed camera. Cameras that share no frame
// with a placed camera stay out; their entries keep empty poses.
struct RigRefinementOutcome {
    std::vector<cv::Mat> intrinsic_matrices;
    std::vector<cv::Mat> distortion_coefficients;
    JointRefinement summary;
};
RigRefinementOutcome refineRig(const std::vector<RigCamera>& cameras, const RigRefinementOptions& options);

}  // namespace vantel::calibration

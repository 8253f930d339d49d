#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/corner_finding.hpp"
#include "calibration/intrinsic_records.hpp"
#include "targets/target.hpp"

namespace vantel::calibration {

// Single-camera calibration from images of one target. Target and options are fixed at
// construction; each calibrate() replaces the stored detections and per-view poses.
class IntrinsicCalibrator {
public:
    explicit IntrinsicCalibrator(Target target, IntrinsicOptions options = IntrinsicOptions(),
                                 CornerImages corner_images = CornerImages::Annotated);

    // Stateless: the calibrator keeps nothing of this batch.
    TargetDetections findCorners(const std::vector<cv::Mat>& images) const;

    // Throws only for an invalid option value; bad images end in ok == false.
    IntrinsicResult calibrate(const std::vector<cv::Mat>& images);

    // The same with the corners of these images found beforehand (findCorners(images), or the
    // equal entries of a DetectionCache); the images only give the image size.
    IntrinsicResult calibrateDetected(const std::vector<cv::Mat>& images, TargetDetections detections);

    // Mean over the stored views of (L2 norm of the view's residuals / its point count).
    double meanViewError(const cv::Mat& cameraMatrix, const cv::Mat& distCoeffs) const;

    const Target& target() const { return target_; }
    const IntrinsicOptions& options() const { return options_; }
    const TargetDetections& detections() const { return detections_; }
    const std::vector<cv::Mat>& rvecs() const { return rvecs_; }
    const std::vector<cv::Mat>& tvecs() const { return tvecs_; }

private:
    IntrinsicResult calibrateReplacing(const std::vector<cv::Mat>& images, TargetDetections detections);

    Target target_;
    IntrinsicOptions options_;
    CornerImages corner_images_;
    TargetDetections detections_;
    std::vector<cv::Mat> rvecs_;
    std::vector<cv::Mat> tvecs_;
};

}  // namespace vantel::calibration

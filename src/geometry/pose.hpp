#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace vantel {

// [x, y, z, rx, ry, rz] (angles in degrees, extrinsic x-y-z, R = Rz * Ry * Rx) -> 4x4 CV_64F.
cv::Mat poseToTransformationMatrix(const std::vector<double>& pose);

// 4x4 transform of any depth -> [x, y, z, rx, ry, rz] in degrees.
std::vector<double> transformationMatrixToPose(const cv::Mat& transformation);

// Mean translation, and the element-wise rotation sum projected onto SO(3).
cv::Mat averagePose(const std::vector<cv::Mat>& poses);

}  // namespace vantel

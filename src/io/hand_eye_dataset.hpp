#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

namespace vantel::io {

// calibration_data.npz with the poses, image_NN.png per image and, when given, image_NN_annotated.png.
void saveHandEyeDataset(const std::filesystem::path& dataDir, const std::vector<cv::Mat>& imageList,
                        const std::vector<cv::Mat>& robotTTcpList, const std::vector<cv::Mat>& annotatedImages);

// (images, poses) of equal length: the pose of a missing image is skipped with it.
std::pair<std::vector<cv::Mat>, std::vector<cv::Mat>> loadHandEyeDataset(const std::filesystem::path& dataDir,
                                                                         const std::string& imageFormat);

}  // namespace vantel::io

#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace vantel::io {

// data_dir/cam_00 .. cam_(n-1).
std::vector<std::filesystem::path> cameraFolderPaths(const std::filesystem::path& dataDir, int numCameras);

// The number after the last "_" of a file stem, when it is all digits and fits an int.
std::optional<int> parseCaptureIndex(const std::string& stem);

// One more than the largest capture index in any camera folder; 0 for an empty dataset.
int nextMultiCameraCaptureIndex(const std::filesystem::path& dataDir, int numCameras);

// frames[k] becomes cam_k/image_NN.png (NN = captureIndex).
void saveMultiCameraCapture(const std::filesystem::path& dataDir, const std::vector<cv::Mat>& frames,
                            int captureIndex, const std::vector<cv::Mat>& annotatedImages);

// The same archive of poses in every camera folder.
void saveMultiCameraRobotPoses(const std::filesystem::path& dataDir, const std::vector<cv::Mat>& robotTTcpList,
                               int numCameras);

// Poses from the first cam_* folder (in path order) holding an archive; empty when none does.
std::vector<cv::Mat> loadMultiCameraRobotPoses(const std::filesystem::path& dataDir);

// Per camera, its frames in capture order; every camera must hold the same captures.
std::vector<std::vector<cv::Mat>> loadMultiCameraDataset(const std::filesystem::path& dataDir, int numCameras);

}  // namespace vantel::io

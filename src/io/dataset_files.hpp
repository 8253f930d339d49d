#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "io/file_replacement.hpp"
#include "io/npy_format.hpp"

namespace vantel::io {

// Name of the pose archive in a dataset folder and of its single entry.
inline constexpr char kPoseArchiveName[] = "calibration_data.npz";
inline constexpr char kPoseArchiveKey[] = "robot_T_tcp_list";

// Zero-filled to two digits, never truncated: 7 -> "07", 123 -> "123".
std::string formatIndex2(int index);

// "image_NN.png" / "image_NN_annotated.png".
std::string imageFileName(int index, const std::string& extension = "png");
std::string annotatedImageFileName(int index);

// The 16 values of every pose, row by row; throws std::invalid_argument unless each is 4x4.
std::vector<double> posesToFlat(const std::vector<cv::Mat>& poses);
std::vector<cv::Mat> flatToPoses(const NpyArray& array);

void savePoseArchive(const std::filesystem::path& path, const std::vector<double>& flatPoses);
std::vector<cv::Mat> loadPoseArchive(const std::filesystem::path& path);
// Written into the set now, replaced with the set's other files; throws the archive writer's messages.
void stagePoseArchive(FileSetReplacement& files, const std::filesystem::path& path,
                      const std::vector<double>& flatPoses);

// 8-bit 3-channel BGR.
cv::Mat readColorImage(const std::filesystem::path& path);
// An image encoded in memory, so that a whole set is checked and encoded before the
// first file is replaced.
struct EncodedImage {
    std::filesystem::path path;
    std::vector<uchar> bytes;
};

// Encoder chosen by the path's extension. Throws std::invalid_argument naming
// listName[index] unless the image is 8-bit with 1 or 3 channels (what reads back unchanged).
EncodedImage encodeDatasetImage(const std::filesystem::path& path, const cv::Mat& image, const std::string& listName,
                                std::size_t index);
// Written into the set now, replaced with the set's other files.
void stageImage(FileSetReplacement& files, const EncodedImage& image);

}  // namespace vantel::io

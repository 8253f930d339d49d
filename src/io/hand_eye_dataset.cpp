#include "io/hand_eye_dataset.hpp"

#include <stdexcept>

#include "io/dataset_files.hpp"
#include "services/log.hpp"

namespace vantel::io {

void saveHandEyeDataset(const std::filesystem::path& dataDir, const std::vector<cv::Mat>& imageList,
                        const std::vector<cv::Mat>& robotTTcpList, const std::vector<cv::Mat>& annotatedImages) {
    if (!annotatedImages.empty() && annotatedImages.size() < imageList.size()) {
        throw std::invalid_argument("io: annotated_images is shorter than image_list (" +
                                    std::to_string(annotatedImages.size()) + " < " +
                                    std::to_string(imageList.size()) + ")");
    }
    // Everything is checked and encoded first: input that cannot be written must not
    // leave new poses beside old images.
    const std::vector<double> flatPoses = posesToFlat(robotTTcpList);
    std::vector<EncodedImage> images;
    for (std::size_t i = 0; i < imageList.size(); ++i) {
        const int index = static_cast<int>(i);
        images.push_back(encodeDatasetImage(dataDir / imageFileName(index), imageList[i], "image_list", i));
        if (!annotatedImages.empty()) {
            images.push_back(encodeDatasetImage(dataDir / annotatedImageFileName(index), annotatedImages[i],
                                                "annotated_images", i));
        }
    }
    std::filesystem::create_directories(dataDir);
    // Nothing is replaced before every file is written: a full disk cannot mis-pair either.
    FileSetReplacement files;
    stagePoseArchive(files, dataDir / kPoseArchiveName, flatPoses);
    for (const EncodedImage& image : images) {
        stageImage(files, image);
    }
    files.commitOrThrow();
    logMessage(LogLevel::Success, "Saved " + std::to_string(imageList.size()) + " images to " + dataDir.string());
}

std::pair<std::vector<cv::Mat>, std::vector<cv::Mat>> loadHandEyeDataset(const std::filesystem::path& dataDir,
                                                                         const std::string& imageFormat) {
    const std::vector<cv::Mat> storedPoses = loadPoseArchive(dataDir / kPoseArchiveName);
    std::vector<cv::Mat> images;
    std::vector<cv::Mat> poses;
    for (std::size_t i = 0; i < storedPoses.size(); ++i) {
        const std::filesystem::path path = dataDir / imageFileName(static_cast<int>(i), imageFormat);
        if (!std::filesystem::exists(path)) {
            // Dropping only the image would pair every later image with the wrong pose.
            logMessage(LogLevel::Warning, "Missing image " + path.string() + ": skipping frame " +
                                              std::to_string(i) + " and its robot pose");
            continue;
        }
        images.push_back(readColorImage(path));
        poses.push_back(storedPoses[i]);
    }
    logMessage(LogLevel::Success, "Loaded " + std::to_string(images.size()) + " images from " + dataDir.string());
    return {images, poses};
}

}  // namespace vantel::io

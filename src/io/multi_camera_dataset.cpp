#include "io/multi_camera_dataset.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <stdexcept>
#include <tuple>

#include "io/dataset_files.hpp"
#include "services/log.hpp"

namespace vantel::io {
namespace {

namespace fs = std::filesystem;

bool isDirectory(const fs::path& path) { return fs::is_directory(fs::status(path)); }

// image_*.png, annotated copies excluded; the extension test is case-sensitive.
bool isCaptureImage(const fs::path& file) {
    if (file.extension() != ".png") {
        return false;
    }
    const std::string stem = file.stem().string();
    const std::string annotated = "_annotated";
    const bool isAnnotated =
        stem.size() >= annotated.size() && stem.compare(stem.size() - annotated.size(), annotated.size(), annotated) == 0;
    return stem.rfind("image_", 0) == 0 && !isAnnotated;
}

std::vector<std::string> captureImageNames(const fs::path& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (isCaptureImage(entry.path().filename())) {
            names.push_back(entry.path().filename().string());
        }
    }
    return names;
}

// Capture order: by parsed index (image_100 after image_99), names without an index last.
void sortByCaptureIndex(std::vector<std::string>& names) {
    const auto key = [](const std::string& name) {
        const std::optional<int> index = parseCaptureIndex(fs::path(name).stem().string());
        return std::make_tuple(!index.has_value(), index.value_or(0), name);
    };
    std::sort(names.begin(), names.end(),
              [&key](const std::string& a, const std::string& b) { return key(a) < key(b); });
}

// cam_00, cam_01, ... up to the first one missing.
int countCameraFolders(const fs::path& dataDir) {
    int count = 0;
    while (isDirectory(dataDir / ("cam_" + formatIndex2(count)))) {
        ++count;
    }
    return count;
}

std::vector<std::optional<int>> captureIndices(const std::vector<std::string>& names) {
    std::vector<std::optional<int>> indices;
    for (const std::string& name : names) {
        indices.push_back(parseCaptureIndex(fs::path(name).stem().string()));
    }
    return indices;
}

}  // namespace

std::vector<fs::path> cameraFolderPaths(const fs::path& dataDir, int numCameras) {
    std::vector<fs::path> folders;
    for (int k = 0; k < numCameras; ++k) {
        folders.push_back(dataDir / ("cam_" + formatIndex2(k)));
    }
    return folders;
}

std::optional<int> parseCaptureIndex(const std::string& stem) {
    const std::size_t underscore = stem.rfind('_');
    const std::string digits = underscore == std::string::npos ? stem : stem.substr(underscore + 1);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    int value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    // A number beyond int is not one of our capture names.
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

int nextMultiCameraCaptureIndex(const fs::path& dataDir, int numCameras) {
    int best = -1;
    fs::path bestImage;
    for (const fs::path& folder : cameraFolderPaths(dataDir, numCameras)) {
        if (!isDirectory(folder)) {
            continue;
        }
        for (const std::string& name : captureImageNames(folder)) {
            const std::optional<int> index = parseCaptureIndex(fs::path(name).stem().string());
            if (index && *index > best) {
                best = *index;
                bestImage = folder / name;
            }
        }
    }
    if (best == std::numeric_limits<int>::max()) {
        throw std::runtime_error("io: no capture index follows the one of " + bestImage.string() +
                                 "; it is the largest 32-bit integer");
    }
    return best + 1;
}

void saveMultiCameraCapture(const fs::path& dataDir, const std::vector<cv::Mat>& frames, int captureIndex,
                            const std::vector<cv::Mat>& annotatedImages) {
    if (!annotatedImages.empty() && annotatedImages.size() < frames.size()) {
        throw std::invalid_argument("io: annotated_images is shorter than frames (" +
                                    std::to_string(annotatedImages.size()) + " < " +
                                    std::to_string(frames.size()) + ")");
    }
    // image_-1.png would be read back as a frame but never counted as a capture.
    if (captureIndex < 0) {
        throw std::invalid_argument("io: capture_index must not be negative, got '" + std::to_string(captureIndex) +
                                    "'");
    }
    // Frames are paired by position when loading: a capture of another camera count would leave
    // cameras with unequal frame counts, a dataset that no longer loads.
    if (frames.empty()) {
        throw std::invalid_argument("io: frames must hold one image per camera, got none");
    }
    const int existingCameras = countCameraFolders(dataDir);
    if (existingCameras > 0 && frames.size() != static_cast<std::size_t>(existingCameras)) {
        throw std::invalid_argument("io: frames must hold one image per camera: " + dataDir.string() + " holds " +
                                    std::to_string(existingCameras) + " cameras, got " +
                                    std::to_string(frames.size()));
    }
    // Every frame is checked and encoded before the first file is replaced.
    const std::vector<fs::path> folders = cameraFolderPaths(dataDir, static_cast<int>(frames.size()));
    std::vector<EncodedImage> images;
    for (std::size_t k = 0; k < folders.size(); ++k) {
        images.push_back(encodeDatasetImage(folders[k] / imageFileName(captureIndex), frames[k], "frames", k));
        if (!annotatedImages.empty()) {
            images.push_back(encodeDatasetImage(folders[k] / annotatedImageFileName(captureIndex),
                                                annotatedImages[k], "annotated_images", k));
        }
    }
    for (const fs::path& folder : folders) {
        fs::create_directories(folder);
    }
    FileSetReplacement files;
    for (const EncodedImage& image : images) {
        stageImage(files, image);
    }
    files.commitOrThrow();
    logMessage(LogLevel::Success, "Saved capture #" + std::to_string(captureIndex) + " (" +
                                      std::to_string(frames.size()) + " cameras)");
}

void saveMultiCameraRobotPoses(const fs::path& dataDir, const std::vector<cv::Mat>& robotTTcpList, int numCameras) {
    const std::vector<double> flatPoses = posesToFlat(robotTTcpList);
    for (const fs::path& folder : cameraFolderPaths(dataDir, numCameras)) {
        fs::create_directories(folder);
        savePoseArchive(folder / kPoseArchiveName, flatPoses);
    }
}

std::vector<cv::Mat> loadMultiCameraRobotPoses(const fs::path& dataDir) {
    if (!isDirectory(dataDir)) {
        return {};
    }
    std::vector<fs::path> cameraFolders;
    for (const fs::directory_entry& entry : fs::directory_iterator(dataDir)) {
        if (entry.is_directory() && entry.path().filename().string().rfind("cam_", 0) == 0) {
            cameraFolders.push_back(entry.path());
        }
    }
    std::sort(cameraFolders.begin(), cameraFolders.end());
    for (const fs::path& folder : cameraFolders) {
        const fs::path archive = folder / kPoseArchiveName;
        if (fs::exists(archive)) {
            return loadPoseArchive(archive);
        }
    }
    return {};
}

std::vector<std::vector<cv::Mat>> loadMultiCameraDataset(const fs::path& dataDir, int numCameras) {
    if (numCameras < 1) {
        throw std::invalid_argument("io: num_cameras must be at least 1, got " + std::to_string(numCameras));
    }
    std::vector<std::vector<cv::Mat>> cameras;
    std::vector<std::optional<int>> expectedCaptures;
    for (const fs::path& folder : cameraFolderPaths(dataDir, numCameras)) {
        if (!isDirectory(folder)) {
            throw std::runtime_error("io: missing camera folder: " + folder.string());
        }
        std::vector<std::string> names = captureImageNames(folder);
        if (names.empty()) {
            throw std::runtime_error("io: no image_*.png files in " + folder.string());
        }
        sortByCaptureIndex(names);
        std::vector<cv::Mat> frames;
        for (const std::string& name : names) {
            frames.push_back(readColorImage(folder / name));
        }
        logMessage(LogLevel::Success, "Loaded " + std::to_string(frames.size()) + " frames from " + folder.string());

        // Frames are paired by position, so the cameras must hold the very same captures.
        const std::vector<std::optional<int>> captures = captureIndices(names);
        if (cameras.empty()) {
            expectedCaptures = captures;
        } else if (captures.size() != expectedCaptures.size()) {
            throw std::runtime_error("io: all cameras must have the same frame count; captures must be synchronized");
        } else if (captures != expectedCaptures) {
            throw std::runtime_error("io: " + folder.string() +
                                     " holds other capture indices than cam_00; captures must be synchronized");
        }
        cameras.push_back(std::move(frames));
    }
    return cameras;
}

}  // namespace vantel::io

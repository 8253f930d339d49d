#include "io/dataset_files.hpp"

#include <iomanip>
#include <sstream>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

#include "io/file_replacement.hpp"
#include "io/npz_archive.hpp"
#include "targets/image_check.hpp"

namespace vantel::io {

std::string formatIndex2(int index) {
    std::ostringstream text;
    text << std::setw(2) << std::setfill('0') << index;
    return text.str();
}

std::string imageFileName(int index, const std::string& extension) {
    return "image_" + formatIndex2(index) + "." + extension;
}

std::string annotatedImageFileName(int index) { return "image_" + formatIndex2(index) + "_annotated.png"; }

std::vector<double> posesToFlat(const std::vector<cv::Mat>& poses) {
    std::vector<double> flat;
    flat.reserve(poses.size() * 16);
    for (const cv::Mat& pose : poses) {
        // A multi-channel 4x4 holds more than 16 values: not a pose either.
        if (pose.rows != 4 || pose.cols != 4 || pose.channels() != 1) {
            throw std::invalid_argument("io: expected 4x4 pose matrices");
        }
        cv::Mat converted;
        pose.convertTo(converted, CV_64F);
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 4; ++c) {
                flat.push_back(converted.at<double>(r, c));
            }
        }
    }
    return flat;
}

std::vector<cv::Mat> flatToPoses(const NpyArray& array) {
    if (array.shape.size() != 3 || array.shape[1] != 4 || array.shape[2] != 4 ||
        array.data.size() / 16 != array.shape[0] || array.data.size() % 16 != 0) {
        throw std::runtime_error("io: robot_T_tcp_list npz entry is not shaped (N, 4, 4)");
    }
    std::vector<cv::Mat> poses;
    poses.reserve(array.data.size() / 16);
    for (std::size_t first = 0; first < array.data.size(); first += 16) {
        cv::Mat pose(4, 4, CV_64F);
        std::copy(array.data.begin() + static_cast<std::ptrdiff_t>(first),
                  array.data.begin() + static_cast<std::ptrdiff_t>(first + 16), pose.ptr<double>());
        poses.push_back(pose);
    }
    return poses;
}

void savePoseArchive(const std::filesystem::path& path, const std::vector<double>& flatPoses) {
    saveNpzArray(path, kPoseArchiveKey, {flatPoses.size() / 16, 4, 4}, flatPoses);
}

void stagePoseArchive(FileSetReplacement& files, const std::filesystem::path& path,
                      const std::vector<double>& flatPoses) {
    const std::string archive = buildNpzArchive(kPoseArchiveKey, {flatPoses.size() / 16, 4, 4}, flatPoses);
    const FileReplacementResult result = files.add(path, archive, "npz");
    if (result.status == FileReplacementStatus::CannotOpen) {
        throw std::runtime_error("npz: cannot open " + path.string() + " for writing");
    }
    if (result.status == FileReplacementStatus::CannotWrite) {
        throw std::runtime_error("npz: cannot write " + path.string() + " (" + result.reason + ")");
    }
}

std::vector<cv::Mat> loadPoseArchive(const std::filesystem::path& path) {
    return flatToPoses(loadNpzArray(path, kPoseArchiveKey));
}

cv::Mat readColorImage(const std::filesystem::path& path) {
    cv::Mat image = cv::imread(path.string(), cv::IMREAD_COLOR);
    if (image.empty()) {
        throw std::runtime_error("io: cv::imread returned an empty image for " + path.string());
    }
    return image;
}

EncodedImage encodeDatasetImage(const std::filesystem::path& path, const cv::Mat& image, const std::string& listName,
                                std::size_t index) {
    const std::string name = "io: " + listName + "[" + std::to_string(index) + "]";
    if (image.empty()) {
        throw std::invalid_argument(name + " is empty");
    }
    // Only these read back unchanged as 8-bit BGR: other depths would be scaled or cut
    // by the encoder, an alpha channel dropped by the reader.
    if (image.depth() != CV_8U || (image.channels() != 1 && image.channels() != 3)) {
        throw std::invalid_argument(name + " must be an 8-bit image with 1 or 3 channels, got " +
                                    hostTypeName(image.depth()) + " with " + std::to_string(image.channels()) +
                                    (image.channels() == 1 ? " channel" : " channels"));
    }
    EncodedImage encoded{path, {}};
    if (!cv::imencode(path.extension().string(), image, encoded.bytes)) {
        throw std::runtime_error("io: cv::imwrite failed for " + path.string());
    }
    return encoded;
}

void stageImage(FileSetReplacement& files, const EncodedImage& image) {
    const std::string_view bytes(reinterpret_cast<const char*>(image.bytes.data()), image.bytes.size());
    const FileReplacementResult result = files.add(image.path, bytes, "io");
    if (result.status == FileReplacementStatus::CannotOpen) {
        throw std::runtime_error("io: cv::imwrite failed for " + image.path.string());
    }
    if (result.status == FileReplacementStatus::CannotWrite) {
        throw std::runtime_error("io: cannot write " + image.path.string() + " (" + result.reason + ")");
    }
}

}  // namespace vantel::io

#include "targets/image_check.hpp"

#include <stdexcept>

namespace vantel {
namespace {

std::string describeShape(const cv::Mat& image) {
    std::string shape = std::to_string(image.rows) + "x" + std::to_string(image.cols);
    if (image.channels() > 1) {
        shape += "x" + std::to_string(image.channels());
    }
    return shape;
}

}  // namespace

std::string hostTypeName(int depth) {
    switch (depth) {
        case CV_8U: return "uint8";
        case CV_8S: return "int8";
        case CV_16U: return "uint16";
        case CV_16S: return "int16";
        case CV_32S: return "int32";
        case CV_32F: return "float32";
        case CV_64F: return "float64";
        case CV_16F: return "float16";
    }
    return "depth " + std::to_string(depth);
}

void requireUsableImage(const cv::Mat& image, const std::string& what) {
    const int channels = image.channels();
    const bool usable = image.depth() == CV_8U && (channels == 1 || channels == 3 || channels == 4);
    if (usable && !image.empty()) {
        return;
    }
    const std::string found = image.empty() ? "empty" : hostTypeName(image.depth()) + " " + describeShape(image);
    throw std::invalid_argument(what + " is " + found + "; images must be 8-bit grey or BGR (or BGRA)");
}

void requireUsableImages(const std::vector<cv::Mat>& images, const std::string& prefix) {
    for (size_t i = 0; i < images.size(); ++i) {
        requireUsableImage(images[i], prefix + "image " + std::to_string(i));
    }
}

}  // namespace vantel

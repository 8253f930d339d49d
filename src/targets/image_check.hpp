#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace vantel {

// The element type as the host names it ("uint8", "float32", ...).
std::string hostTypeName(int depth);

// Throws std::invalid_argument unless the image is a non-empty 8-bit grey, BGR or BGRA image:
// "<what> is uint16 480x640x3; images must be 8-bit grey or BGR (or BGRA)".
void requireUsableImage(const cv::Mat& image, const std::string& what);

// The same for a batch, every image before any work starts: "<prefix>image 3 is ...".
void requireUsableImages(const std::vector<cv::Mat>& images, const std::string& prefix);

}  // namespace vantel

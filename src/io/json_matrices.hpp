#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

namespace vantel::io {

// The matrix as 64-bit floats, an array of rows; an empty matrix gives [].
nlohmann::json matrixRowsToJson(const cv::Mat& matrix);

// The matrix as 64-bit floats, one flat array in row-major order; an empty matrix gives [].
nlohmann::json matrixValuesToJson(const cv::Mat& matrix);

}  // namespace vantel::io

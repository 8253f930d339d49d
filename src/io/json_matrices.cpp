#include "io/json_matrices.hpp"

namespace vantel::io {
namespace {

using nlohmann::json;

cv::Mat singleChannelDoubles(const cv::Mat& matrix) {
    cv::Mat converted;
    matrix.convertTo(converted, CV_64F);
    return converted.reshape(1, converted.rows);
}

}  // namespace

json matrixRowsToJson(const cv::Mat& matrix) {
    json rows = json::array();
    if (matrix.empty()) {
        return rows;
    }
    const cv::Mat values = singleChannelDoubles(matrix);
    for (int r = 0; r < values.rows; ++r) {
        json row = json::array();
        for (int c = 0; c < values.cols; ++c) {
            row.push_back(values.at<double>(r, c));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

json matrixValuesToJson(const cv::Mat& matrix) {
    json values = json::array();
    if (matrix.empty()) {
        return values;
    }
    const cv::Mat converted = singleChannelDoubles(matrix);
    for (int r = 0; r < converted.rows; ++r) {
        for (int c = 0; c < converted.cols; ++c) {
            values.push_back(converted.at<double>(r, c));
        }
    }
    return values;
}

}  // namespace vantel::io

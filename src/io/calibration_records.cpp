#include "io/calibration_records.hpp"

#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "io/file_replacement.hpp"
#include "io/json_matrices.hpp"
#include "services/log.hpp"

namespace vantel::io {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

json poseToJson(const cv::Mat& mat) { return mat.empty() ? json(nullptr) : matrixRowsToJson(mat); }


json posesToJson(const std::vector<cv::Mat>& poses) {
    json list = json::array();
    for (const cv::Mat& pose : poses) {
        list.push_back(poseToJson(pose));
    }
    return list;
}

json errorsToJson(const std::vector<double>& errors) {
    json values = json::array();
    for (const double error : errors) {
        values.push_back(std::isnan(error) ? json(nullptr) : json(error));
    }
    return values;
}

// null stands for a value that was never computed (the dump writes NaN that way too).
double numberFromJson(const json& value) { return value.is_null() ? kNaN : value.get<double>(); }

int intFromJson(const json& document, const std::string& key) {
    const json& value = document.at(key);
    const double number = value.get<double>();
    // A huge or fractional count is not one of ours; casting it would be undefined.
    if (!(number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max()) ||
        number != std::trunc(number)) {
        throw std::runtime_error("io: '" + key + "' is not a 32-bit integer");
    }
    return static_cast<int>(number);
}

// Row form back to a matrix; every row must be as long as the first.
cv::Mat jsonToMat(const json& value) {
    const json::array_t rows = value.get<json::array_t>();
    if (rows.empty()) {
        return cv::Mat();
    }
    // All rows checked before allocating: a hostile document must not size the matrix.
    const std::size_t cols = rows[0].size();
    for (const json& row : rows) {
        if (!row.is_array()) {
            throw std::runtime_error("io: a row of a JSON matrix is not an array");
        }
        if (row.size() != cols) {
            throw std::runtime_error("io: rows of unequal length in a JSON matrix");
        }
    }
    cv::Mat mat(static_cast<int>(rows.size()), static_cast<int>(cols), CV_64F);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            mat.at<double>(static_cast<int>(r), static_cast<int>(c)) = numberFromJson(rows[r][c]);
        }
    }
    return mat;
}

// null is how an empty matrix is written in the pose lists; accepted in every row-form list.
cv::Mat jsonToMatOrEmpty(const json& value) { return value.is_null() ? cv::Mat() : jsonToMat(value); }

cv::Mat jsonToFlatMat(const json& value) {
    if (value.is_null()) {
        return cv::Mat();
    }
    const json::array_t values = value.get<json::array_t>();
    if (values.empty()) {
        return cv::Mat();
    }
    cv::Mat mat(1, static_cast<int>(values.size()), CV_64F);
    for (std::size_t i = 0; i < values.size(); ++i) {
        mat.at<double>(0, static_cast<int>(i)) = numberFromJson(values[i]);
    }
    return mat;
}

std::vector<cv::Mat> matListFromJson(const json& value, cv::Mat (*convert)(const json&)) {
    std::vector<cv::Mat> mats;
    for (const json& item : value.get<json::array_t>()) {
        mats.push_back(convert(item));
    }
    return mats;
}

std::vector<double> optionalErrorsFromJson(const json& document, const std::string& key) {
    std::vector<double> errors;
    if (!document.contains(key) || document.at(key).is_null()) {
        return errors;
    }
    for (const json& item : document.at(key).get<json::array_t>()) {
        errors.push_back(numberFromJson(item));
    }
    return errors;
}

std::string shapeText(const cv::Mat& matrix) { return std::to_string(matrix.rows) + "x" + std::to_string(matrix.cols); }

// What a record must hold to describe a rig: one entry per camera in every list (an empty matrix
// or NaN for a camera not computed), matrices of the right shape. Returns the first fault.
std::string multiCameraRecordFault(const MultiCameraCalibrationRecord& record) {
    const int cameras = record.num_cameras;
    if (cameras < 1) {
        return "num_cameras must be at least 1, got " + std::to_string(cameras);
    }
    if (record.reference_index < 0 || record.reference_index >= cameras) {
        return "reference_index " + std::to_string(record.reference_index) + " is out of range for " +
               std::to_string(cameras) + " cameras";
    }
    const auto countFault = [cameras](const std::string& field, std::size_t count) {
        return "record for " + std::to_string(cameras) + " cameras holds " + std::to_string(count) + " " + field;
    };
    const std::size_t expected = static_cast<std::size_t>(cameras);
    for (const auto& [field, list] : {std::pair{"intrinsic_matrices", &record.intrinsic_matrices},
                                      std::pair{"distortion_coefficients", &record.distortion_coefficients},
                                      std::pair{"reference_T_camera_list", &record.reference_T_camera_list}}) {
        if (list->size() != expected) {
            return countFault(field, list->size());
        }
    }
    // The error lists are optional as a whole.
    for (const auto& [field, list] : {std::pair{"intrinsic_reprojection_errors", &record.intrinsic_reprojection_errors},
                                      std::pair{"pair_reprojection_errors", &record.pair_reprojection_errors}}) {
        if (!list->empty() && list->size() != expected) {
            return countFault(field, list->size());
        }
    }
    for (std::size_t c = 0; c < expected; ++c) {
        const std::string index = "[" + std::to_string(c) + "]";
        const cv::Mat& K = record.intrinsic_matrices[c];
        if (!K.empty() && (K.rows != 3 || K.cols != 3 || K.channels() != 1)) {
            return "intrinsic_matrices" + index + " must be 3x3 or empty, got " + shapeText(K);
        }
        const cv::Mat& D = record.distortion_coefficients[c];
        const std::size_t values = D.total() * static_cast<std::size_t>(D.channels());
        if (values != 0 && values != 4 && values != 5 && values != 8 && values != 12 && values != 14) {
            return "distortion_coefficients" + index + " must hold 0, 4, 5, 8, 12 or 14 values, got " +
                   std::to_string(values);
        }
        const cv::Mat& T = record.reference_T_camera_list[c];
        if (!T.empty() && (T.rows != 4 || T.cols != 4 || T.channels() != 1)) {
            return "reference_T_camera_list" + index + " must be 4x4 or empty, got " + shapeText(T);
        }
    }
    return {};
}

fs::path resolveJsonInputPath(const fs::path& path, const std::string& defaultName) {
    return fs::is_directory(fs::status(path)) ? path / defaultName : path;
}

// Dumps before touching the disk, so a document that cannot be built writes nothing.
fs::path writeDocument(const fs::path& outputPath, const std::string& defaultName, const json& document) {
    const fs::path path = resolveJsonOutputPath(outputPath, defaultName);
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path());
    }
    replaceFileContentsOrThrow(path, document.dump(2), "io");
    return path;
}

json readDocument(const fs::path& path) {
    std::ifstream file(path);
    if (!file || fs::is_directory(fs::status(path))) {
        throw std::runtime_error("io: cannot open " + path.string() + " for reading");
    }
    return json::parse(file);
}

}  // namespace

fs::path resolveJsonOutputPath(const fs::path& path, const std::string& defaultName) {
    if (fs::is_directory(fs::status(path)) || !path.has_extension()) {
        return path / defaultName;
    }
    return path;
}

fs::path saveMultiCameraCalibration(const fs::path& outputPath, const MultiCameraCalibrationRecord& record) {
    // A record that would not load again is refused before anything is written.
    if (const std::string fault = multiCameraRecordFault(record); !fault.empty()) {
        throw std::invalid_argument("io: " + fault);
    }
    json document = json::object();
    document["reference_index"] = record.reference_index;
    document["num_cameras"] = record.num_cameras;
    document["intrinsic_matrices"] = json::array();
    for (const cv::Mat& matrix : record.intrinsic_matrices) {
        document["intrinsic_matrices"].push_back(matrixRowsToJson(matrix));
    }
    document["distortion_coefficients"] = json::array();
    for (const cv::Mat& coefficients : record.distortion_coefficients) {
        document["distortion_coefficients"].push_back(matrixValuesToJson(coefficients));
    }
    document["reference_T_camera_list"] = posesToJson(record.reference_T_camera_list);
    document["intrinsic_reprojection_errors"] = errorsToJson(record.intrinsic_reprojection_errors);
    document["pair_reprojection_errors"] = errorsToJson(record.pair_reprojection_errors);

    const fs::path path = writeDocument(outputPath, kMultiCameraCalibrationFileName, document);
    logMessage(LogLevel::Success, "Saved multi-camera calibration to " + path.string());
    return path;
}

MultiCameraCalibrationRecord loadMultiCameraCalibration(const fs::path& inputPath) {
    const json document = readDocument(resolveJsonInputPath(inputPath, kMultiCameraCalibrationFileName));
    MultiCameraCalibrationRecord record;
    record.reference_index = intFromJson(document, "reference_index");
    record.num_cameras = intFromJson(document, "num_cameras");
    record.intrinsic_matrices = matListFromJson(document.at("intrinsic_matrices"), jsonToMatOrEmpty);
    record.distortion_coefficients = matListFromJson(document.at("distortion_coefficients"), jsonToFlatMat);
    record.reference_T_camera_list = matListFromJson(document.at("reference_T_camera_list"), jsonToMatOrEmpty);
    record.intrinsic_reprojection_errors = optionalErrorsFromJson(document, "intrinsic_reprojection_errors");
    record.pair_reprojection_errors = optionalErrorsFromJson(document, "pair_reprojection_errors");
    if (const std::string fault = multiCameraRecordFault(record); !fault.empty()) {
        throw std::runtime_error("io: " + fault);
    }
    return record;
}

fs::path saveHandEyeResult(const fs::path& outputPath, const HandEyeResultRecord& record) {
    json document = json::object();
    document["reference_index"] = record.reference_index;
    document["num_cameras"] = record.num_cameras;
    document["method"] = record.method.empty() ? json(nullptr) : json(record.method);
    document["num_frames_used"] = record.num_frames_used >= 0 ? json(record.num_frames_used) : json(nullptr);
    document["num_frames_total"] = record.num_frames_total >= 0 ? json(record.num_frames_total) : json(nullptr);
    document["tcp_T_camera_list"] = posesToJson(record.tcp_T_camera_list);

    const fs::path path = writeDocument(outputPath, kHandEyeResultFileName, document);
    logMessage(LogLevel::Success, "Saved hand-eye result to " + path.string());
    return path;
}

HandEyeResultRecord loadHandEyeResult(const fs::path& inputPath) {
    const json document = readDocument(resolveJsonInputPath(inputPath, kHandEyeResultFileName));
    HandEyeResultRecord record;
    record.reference_index = intFromJson(document, "reference_index");
    record.num_cameras = intFromJson(document, "num_cameras");
    if (document.contains("method") && !document.at("method").is_null()) {
        record.method = document.at("method").get<std::string>();
    }
    for (auto [key, field] : {std::pair{"num_frames_used", &record.num_frames_used},
                              std::pair{"num_frames_total", &record.num_frames_total}}) {
        if (document.contains(key) && !document.at(key).is_null()) {
            *field = intFromJson(document, key);
        }
    }
    record.tcp_T_camera_list = matListFromJson(document.at("tcp_T_camera_list"), jsonToMatOrEmpty);
    return record;
}

namespace {

// Both transforms of a stationary record are rigid 4x4 transforms or absent.
void requireTransformOrEmpty(const cv::Mat& transform, const std::string& key) {
    if (!transform.empty() && (transform.rows != 4 || transform.cols != 4 || transform.channels() != 1)) {
        throw std::invalid_argument("io: " + key + " must be 4x4 or empty, got " + shapeText(transform));
    }
}

}  // namespace

fs::path saveStationaryHandEyeResult(const fs::path& outputPath, const StationaryHandEyeRecord& record) {
    requireTransformOrEmpty(record.robot_T_camera, "robot_T_camera");
    requireTransformOrEmpty(record.tcp_T_target, "tcp_T_target");
    json document = json::object();
    document["camera_mounting"] = "stationary";
    document["method"] = record.method.empty() ? json(nullptr) : json(record.method);
    document["num_frames_used"] = record.num_frames_used >= 0 ? json(record.num_frames_used) : json(nullptr);
    document["num_frames_total"] = record.num_frames_total >= 0 ? json(record.num_frames_total) : json(nullptr);
    document["robot_T_camera"] = poseToJson(record.robot_T_camera);
    document["tcp_T_target"] = poseToJson(record.tcp_T_target);

    const fs::path path = writeDocument(outputPath, kStationaryHandEyeFileName, document);
    logMessage(LogLevel::Success, "Saved hand-eye result to " + path.string());
    return path;
}

StationaryHandEyeRecord loadStationaryHandEyeResult(const fs::path& inputPath) {
    const json document = readDocument(resolveJsonInputPath(inputPath, kStationaryHandEyeFileName));
    StationaryHandEyeRecord record;
    if (document.contains("method") && !document.at("method").is_null()) {
        record.method = document.at("method").get<std::string>();
    }
    for (auto [key, field] : {std::pair{"num_frames_used", &record.num_frames_used},
                              std::pair{"num_frames_total", &record.num_frames_total}}) {
        if (document.contains(key) && !document.at(key).is_null()) {
            *field = intFromJson(document, key);
        }
    }
    record.robot_T_camera = jsonToMatOrEmpty(document.at("robot_T_camera"));
    record.tcp_T_target = jsonToMatOrEmpty(document.at("tcp_T_target"));
    for (auto [key, transform] : {std::pair{"robot_T_camera", &record.robot_T_camera},
                                  std::pair{"tcp_T_target", &record.tcp_T_target}}) {
        if (!transform->empty() && (transform->rows != 4 || transform->cols != 4)) {
            throw std::runtime_error("io: " + std::string(key) + " must be 4x4 or empty, got " +
                                     shapeText(*transform));
        }
    }
    return record;
}

}  // namespace vantel::io

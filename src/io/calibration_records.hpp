#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace vantel::io {

struct MultiCameraCalibrationRecord {
    int reference_index = 0;
    int num_cameras = 0;
    std::vector<cv::Mat> intrinsic_matrices;
    std::vector<cv::Mat> distortion_coefficients;
    std::vector<cv::Mat> reference_T_camera_list;
    std::vector<double> intrinsic_reprojection_errors;  // NaN = not computed
    std::vector<double> pair_reprojection_errors;       // NaN = not computed
};

struct HandEyeResultRecord {
    int reference_index = 0;
    int num_cameras = 0;
    std::string method;         // empty = unknown
    int num_frames_used = -1;   // negative = unknown
    int num_frames_total = -1;  // negative = unknown
    std::vector<cv::Mat> tcp_T_camera_list;
};

// A camera fixed in the cell looking at a target on the flange.
struct StationaryHandEyeRecord {
    std::string method;         // empty = unknown
    int num_frames_used = -1;   // negative = unknown
    int num_frames_total = -1;  // negative = unknown
    cv::Mat robot_T_camera;     // camera frame to robot base frame
    cv::Mat tcp_T_target;       // target frame to flange frame
};

inline constexpr char kMultiCameraCalibrationFileName[] = "multi_camera_calibration.json";
inline constexpr char kStationaryHandEyeFileName[] = "hand_eye_stationary.json";
inline constexpr char kHandEyeResultFileName[] = "hand_eye.json";

// A folder, or a path without extension, gets the default file name appended.
std::filesystem::path resolveJsonOutputPath(const std::filesystem::path& path, const std::string& defaultName);

// Both savers return the path actually written; a folder input loads its default file.
std::filesystem::path saveMultiCameraCalibration(const std::filesystem::path& outputPath,
                                                 const MultiCameraCalibrationRecord& record);
MultiCameraCalibrationRecord loadMultiCameraCalibration(const std::filesystem::path& inputPath);

std::filesystem::path saveHandEyeResult(const std::filesystem::path& outputPath, const HandEyeResultRecord& record);
HandEyeResultRecord loadHandEyeResult(const std::filesystem::path& inputPath);

std::filesystem::path saveStationaryHandEyeResult(const std::filesystem::path& outputPath,
                                                  const StationaryHandEyeRecord& record);
StationaryHandEyeRecord loadStationaryHandEyeResult(const std::filesystem::path& inputPath);

}  // namespace vantel::io

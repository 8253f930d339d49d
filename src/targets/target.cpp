#include "targets/target.hpp"

#include "targets/aruco_adapter.hpp"

namespace vantel {
namespace {

cv::Mat pointRows(const std::vector<cv::Point3f>& points) {
    if (points.empty()) {
        return cv::Mat();
    }
    return cv::Mat(points, true).reshape(1, static_cast<int>(points.size()));
}

}  // namespace

CharucoBoard makeCharucoBoard(const CharucoTarget& target) {
    return CharucoBoard(cv::Size(target.squares_x, target.squares_y), static_cast<float>(target.square_length),
                        static_cast<float>(target.marker_length), target.aruco_dict_id);
}

GridBoard makeGridBoard(const ArucoTarget& target) {
    return GridBoard(target.board_size, static_cast<float>(target.marker_length),
                     static_cast<float>(target.marker_separation), target.aruco_dict_id);
}

cv::Mat chessboardObjectPoints(const ChessboardTarget& target) {
    const int width = target.size.width;
    const int height = target.size.height;
    if (width <= 0 || height <= 0) {
        return cv::Mat();
    }
    cv::Mat points = cv::Mat::zeros(width * height, 3, CV_32F);
    for (int i = 0; i < height; ++i) {
        for (int j = 0; j < width; ++j) {
            auto* row = points.ptr<float>(i * width + j);
            row[0] = static_cast<float>(j * target.square_size);
            row[1] = static_cast<float>(i * target.square_size);
        }
    }
    return points;
}

cv::Mat charucoObjectPoints(const CharucoTarget& target) {
    return pointRows(makeCharucoBoard(target).chessboardCorners());
}

cv::Mat targetObjectPoints(const Target& target) {
    if (const auto* chessboard = std::get_if<ChessboardTarget>(&target)) {
        return chessboardObjectPoints(*chessboard);
    }
    if (const auto* charuco = std::get_if<CharucoTarget>(&target)) {
        return charucoObjectPoints(*charuco);
    }
    std::vector<cv::Point3f> corners;
    for (const auto& marker : makeGridBoard(std::get<ArucoTarget>(target)).markerObjectPoints()) {
        corners.insert(corners.end(), marker.begin(), marker.end());
    }
    return pointRows(corners);
}

}  // namespace vantel

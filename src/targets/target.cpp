#include "targets/target.hpp"

#include <climits>
#include <stdexcept>
#include <string>

#include "targets/aruco_adapter.hpp"

namespace vantel {
namespace {

std::string sizeText(int width, int height) {
    return "(" + std::to_string(width) + ", " + std::to_string(height) + ")";
}

// Targets are read-write records, so the size is checked where a board is built from
// it: a product that overflows int or a side that is not positive reaches OpenCV as a
// negative or zero count and ends the process instead of failing.
void checkBoardSize(const char* type, int width, int height, int minSide, long long pointsPerCell,
                    const char* requirement) {
    const bool sidesOk = width >= minSide && height >= minSide;
    const bool countOk = sidesOk && static_cast<long long>(width) * height * pointsPerCell <= INT_MAX;
    if (!countOk) {
        throw std::invalid_argument(std::string(type) + ": size " + sizeText(width, height) + " must have " +
                                    requirement);
    }
}

cv::Mat pointRows(const std::vector<cv::Point3f>& points) {
    if (points.empty()) {
        return cv::Mat();
    }
    return cv::Mat(points, true).reshape(1, static_cast<int>(points.size()));
}

}  // namespace

CharucoBoard makeCharucoBoard(const CharucoTarget& target) {
    checkBoardSize("CharucoTarget", target.squares_x, target.squares_y, 2, 1,
                   "at least 2 squares per side and at most 2147483647 squares");
    return CharucoBoard(cv::Size(target.squares_x, target.squares_y), static_cast<float>(target.square_length),
                        static_cast<float>(target.marker_length), target.aruco_dict_id);
}

GridBoard makeGridBoard(const ArucoTarget& target) {
    // Four corner rows per marker.
    checkBoardSize("ArucoTarget", target.board_size.width, target.board_size.height, 1, 4,
                   "positive sides and at most 536870911 markers");
    return GridBoard(target.board_size, static_cast<float>(target.marker_length),
                     static_cast<float>(target.marker_separation), target.aruco_dict_id);
}

cv::Mat chessboardObjectPoints(const ChessboardTarget& target) {
    const int width = target.size.width;
    const int height = target.size.height;
    // A board with no corners has no points; only finding or posing it needs corners.
    if ((width == 0 && height >= 0) || (height == 0 && width >= 0)) {
        return cv::Mat();
    }
    return usableChessboardPoints(target);
}

cv::Mat usableChessboardPoints(const ChessboardTarget& target) {
    const int width = target.size.width;
    const int height = target.size.height;
    checkBoardSize("ChessboardTarget", width, height, 1, 1, "positive sides and at most 2147483647 corners");
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
        return usableChessboardPoints(*chessboard);
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

#pragma once

#include <variant>

#include <opencv2/core.hpp>

namespace vantel {

class CharucoBoard;
class GridBoard;

struct ChessboardTarget {
    cv::Size size;  // inner corners per row (width) and per column (height)
    double square_size = 0.0;
};

struct CharucoTarget {
    int squares_x = 0;
    int squares_y = 0;
    double square_length = 0.0;
    double marker_length = 0.0;
    int aruco_dict_id = 3;
};

struct ArucoTarget {
    cv::Size board_size;  // markers per row (width) and per column (height)
    double marker_length = 0.0;
    double marker_separation = 0.0;
    int aruco_dict_id = 3;
};

// The alternative order is the dispatch order of every visit over targets.
using Target = std::variant<ChessboardTarget, CharucoTarget, ArucoTarget>;

// Board-frame points, one row per point, N x 3 CV_32F; a chessboard with a zero side gives an
// empty matrix.
cv::Mat chessboardObjectPoints(const ChessboardTarget& target);
// The same for a board that corners can be found on: refuses a side below 1 (std::invalid_argument).
cv::Mat usableChessboardPoints(const ChessboardTarget& target);
cv::Mat charucoObjectPoints(const CharucoTarget& target);
cv::Mat targetObjectPoints(const Target& target);  // refuses a chessboard without corners

// Lengths cross into the board objects as float; ids are OpenCV's (0, 1, 2, ...).
CharucoBoard makeCharucoBoard(const CharucoTarget& target);
GridBoard makeGridBoard(const ArucoTarget& target);

}  // namespace vantel

#pragma once

#include <opencv2/calib3d.hpp>

namespace vantel::calibration {

// OpenCV 4's calibration solvers default to an SVD of the dense normal equations of all
// views, whose cost grows with the cube of the view count (240 views: minutes). LU solves
// the same equations with the same result many times faster; a solver the caller chose
// is left alone.
inline int withFastSolver(int flags) {
    if ((flags & (cv::CALIB_USE_QR | cv::CALIB_USE_LU)) != 0) {
        return flags;
    }
    return flags | cv::CALIB_USE_LU;
}

}  // namespace vantel::calibration

#include "calibration/solver/intrinsic_flags.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>

namespace vantel::calibration::solver {
namespace {

constexpr int kSupportedFlags =
    cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_FIX_PRINCIPAL_POINT |
    cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_K1 | cv::CALIB_FIX_K2 |
    cv::CALIB_FIX_K3 | cv::CALIB_FIX_K4 | cv::CALIB_FIX_K5 | cv::CALIB_FIX_K6 | cv::CALIB_RATIONAL_MODEL |
    cv::CALIB_THIN_PRISM_MODEL | cv::CALIB_FIX_S1_S2_S3_S4 | cv::CALIB_TILTED_MODEL | cv::CALIB_FIX_TAUX_TAUY |
    cv::CALIB_USE_QR | cv::CALIB_FIX_TANGENT_DIST | cv::CALIB_USE_LU;

// Positions in the 18 values: fx fy cx cy k1 k2 p1 p2 k3 k4 k5 k6 s1 s2 s3 s4 tauX tauY.
enum Value { Fx, Fy, Cx, Cy, K1, K2, P1, P2, K3, K4, K5, K6, S1, S2, S3, S4, TauX, TauY };

// The smallest of OpenCV's models that holds this many coefficients.
int modelCountFor(int coefficients) {
    for (const int model : {5, 8, 12, 14}) {
        if (coefficients <= model) return model;
    }
    return 14;
}

}  // namespace

bool blockSolverTakesFlags(int flags) { return (flags & ~kSupportedFlags) == 0; }

int distortionCountFor(int flags) {
    if (flags & cv::CALIB_TILTED_MODEL) return 14;
    if (flags & cv::CALIB_THIN_PRISM_MODEL) return 12;
    if (flags & cv::CALIB_RATIONAL_MODEL) return 8;
    return 5;
}

int returnedDistortionCount(int flags) {
    if (!(flags & (cv::CALIB_RATIONAL_MODEL | cv::CALIB_THIN_PRISM_MODEL | cv::CALIB_TILTED_MODEL))) return 5;
    return (flags & cv::CALIB_THIN_PRISM_MODEL) && !(flags & cv::CALIB_TILTED_MODEL) ? 12 : 14;
}

CameraIntrinsics intrinsicsFor(const cv::Matx33d& cameraMatrix, const cv::Mat& distortion, int flags) {
    CameraIntrinsics camera;
    const int given = static_cast<int>(distortion.total()) * distortion.channels();
    camera.distortion_count = std::max(distortionCountFor(flags), modelCountFor(given));
    camera.values[Fx] = cameraMatrix(0, 0);
    camera.values[Fy] = cameraMatrix(1, 1);
    camera.values[Cx] = cameraMatrix(0, 2);
    camera.values[Cy] = cameraMatrix(1, 2);
    cv::Mat coefficients;
    if (!distortion.empty()) {
        distortion.reshape(1, 1).convertTo(coefficients, CV_64F);
    }
    for (int k = 0; k < camera.distortion_count && k < coefficients.cols; ++k) {
        camera.values[static_cast<size_t>(kFirstDistortion + k)] = coefficients.at<double>(k);
    }
    camera.free.fill(true);
    const auto hold = [&](std::initializer_list<Value> values) {
        for (const Value value : values) camera.free[value] = false;
    };
    if (flags & cv::CALIB_FIX_FOCAL_LENGTH) hold({Fx, Fy});
    if (flags & cv::CALIB_FIX_PRINCIPAL_POINT) hold({Cx, Cy});
    if (flags & cv::CALIB_ZERO_TANGENT_DIST) {
        camera.values[P1] = camera.values[P2] = 0.0;
        hold({P1, P2});
    }
    if (flags & cv::CALIB_FIX_TANGENT_DIST) hold({P1, P2});
    if (flags & cv::CALIB_FIX_K1) hold({K1});
    if (flags & cv::CALIB_FIX_K2) hold({K2});
    if (flags & cv::CALIB_FIX_K3) hold({K3});
    if (flags & cv::CALIB_FIX_K4) hold({K4});
    if (flags & cv::CALIB_FIX_K5) hold({K5});
    if ((flags & cv::CALIB_FIX_K6) || !(flags & cv::CALIB_RATIONAL_MODEL)) hold({K6});
    if (!(flags & cv::CALIB_RATIONAL_MODEL)) hold({K4, K5});
    if ((flags & cv::CALIB_FIX_S1_S2_S3_S4) || !(flags & cv::CALIB_THIN_PRISM_MODEL)) hold({S1, S2, S3, S4});
    if ((flags & cv::CALIB_FIX_TAUX_TAUY) || !(flags & cv::CALIB_TILTED_MODEL)) hold({TauX, TauY});
    if ((flags & cv::CALIB_FIX_ASPECT_RATIO) && camera.free[Fy]) {
        camera.aspect_ratio = camera.values[Fx] / camera.values[Fy];
    }
    return camera;
}

cv::Mat intrinsicDeviations(const std::vector<int>& freeIntrinsics, const cv::Mat& covarianceBlock,
                            double variance) {
    cv::Mat deviations = cv::Mat::zeros(kIntrinsicValues, 1, CV_64F);
    for (size_t k = 0; k < freeIntrinsics.size(); ++k) {
        const int at = static_cast<int>(k);
        deviations.at<double>(freeIntrinsics[k]) = std::sqrt(covarianceBlock.at<double>(at, at) * variance);
    }
    return deviations;
}

}  // namespace vantel::calibration::solver

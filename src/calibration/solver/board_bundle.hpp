#pragma once

#include <array>
#include <vector>

#include <opencv2/core.hpp>

namespace vantel::calibration::solver {

// A rigid pose as OpenCV writes it: rotation vector and translation.
struct Pose {
    cv::Vec3d rvec;
    cv::Vec3d tvec;
};

// One camera's values in OpenCV's order: fx, fy, cx, cy, then the distortion coefficients
// k1 k2 p1 p2 k3 k4 k5 k6 s1 s2 s3 s4 tauX tauY.
constexpr int kIntrinsicValues = 18;
constexpr int kFirstDistortion = 4;

struct CameraIntrinsics {
    std::array<double, kIntrinsicValues> values{};
    std::array<bool, kIntrinsicValues> free{};
    int distortion_count = 5;   // the model projectPoints evaluates: 4, 5, 8, 12 or 14 coefficients
    double aspect_ratio = 0.0;  // > 0: fx stays fy * aspect_ratio, and the free fy carries both

    cv::Matx33d cameraMatrix() const;
    cv::Mat distortion() const;  // 1 x distortion_count CV_64F
};

// The corners of one board pose seen by one camera.
struct BoardView {
    int camera = 0;
    int frame = 0;
    cv::Mat object_points;  // N x 3 CV_64F
    cv::Mat image_points;   // N x 2 CV_64F
};

// Cameras with their intrinsics and poses, frames with one board pose each, and the views that
// tie them. The board poses are eliminated in every step (Schur complement), so a step costs
// time linear in the frames; the camera parameters form one dense block.
struct BoardBundle {
    std::vector<CameraIntrinsics> cameras;
    std::vector<Pose> camera_poses;  // camera_T_reference; a held pose at zero is the reference itself
    std::vector<bool> camera_pose_free;
    std::vector<Pose> frame_poses;   // reference_T_board
    std::vector<BoardView> views;
    double huber_threshold = 0.0;    // pixels; 0 for plain least squares
};

// Where each free camera parameter sits in the dense block: every camera's free intrinsic
// values in OpenCV's order, then the 6 values of every free camera pose.
struct ParameterLayout {
    std::vector<std::vector<int>> free_intrinsics;  // per camera: indices into values
    std::vector<int> intrinsic_offset;              // per camera
    std::vector<int> pose_offset;                   // per camera; -1 when held
    int size = 0;
};
ParameterLayout layoutOf(const BoardBundle& bundle);

struct StopRule {
    int max_iterations = 30;
    // A step that moves the camera parameters by less than this, relative to their size, and
    // lowers the cost by less than this, relatively, ends the solve at a minimum.
    double relative_step = 1e-10;
};

// Levenberg-Marquardt on every camera parameter and board pose at once, from the bundle's values.
// Returns the number of accepted steps.
int solveBoardBundle(BoardBundle& bundle, const StopRule& rule);

// The inverse of the undamped normal equations at the bundle's values (unit-weight: multiply by
// the residual variance): the camera block in layout order, and each board pose's 6 x 6 block.
struct BundleCovariance {
    cv::Mat camera_parameters;
    std::vector<cv::Matx66d> frame_poses;
};
BundleCovariance bundleCovariance(const BoardBundle& bundle);

// Sum of squared reprojection errors of each view (plain, without the robust loss).
std::vector<double> viewSquaredErrors(const BoardBundle& bundle);

}  // namespace vantel::calibration::solver

#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace vantel::calibration {

// List entry i belongs to camera i; an empty matrix or NaN marks what was not computed.
struct MultiCameraResult {
    bool ok = false;  // every camera has a reference_T_camera
    int reference_index = 0;
    std::vector<cv::Mat> reference_T_camera_list;  // 4x4 CV_64F, camera frame -> reference camera frame
    std::vector<cv::Mat> intrinsic_matrices;
    std::vector<cv::Mat> distortion_coefficients;
    std::vector<double> intrinsic_reprojection_errors;  // pixels
    std::vector<double> pair_reprojection_errors;       // stereo RMS against the reference, pixels
};

// ChArUco corners of one synchronised frame triangulated into the reference camera's frame.
struct TriangulationReport {
    int frame_index = 0;
    cv::Mat points_3d;  // n x 3 CV_64F
    cv::Mat ids;        // n x 1 CV_32S, ascending
    std::vector<double> neighbor_distances_m;
    double plane_thickness_m = 0.0;     // NaN below 3 points
    std::vector<double> rms_per_camera;  // pixels; NaN for a camera that saw none of the points
    std::vector<int> counts_per_camera;
};

// The joint refinement of a rig (MultiCameraCalibrator::calibrate with refine): entry i belongs
// to camera i.
struct JointRefinement {
    std::vector<cv::Mat> reference_T_camera_list;  // refined; empty for a camera left out
    std::vector<cv::Mat> start_reference_T_camera_list;  // where the refinement started
    std::vector<double> rms_before;                // pixels, over the camera's corners; NaN when left out
    std::vector<double> rms_after;
    std::vector<double> rotation_change_deg;       // of reference_T_camera against its start; NaN when left out
    std::vector<double> translation_change_m;
    std::vector<int> chained_cameras;              // placed through shared frames, not by their pair
    std::vector<int> cameras_left_out;             // sharing no frame with a placed camera
    double overall_rms_before = 0.0;               // pixels, every corner of every placed camera
    double overall_rms = 0.0;
    int frames = 0;                                // board poses refined
    int corners = 0;
};

struct SubsetResult {
    std::vector<int> subset;     // rig camera indices, ascending
    MultiCameraResult result;    // indexed by position in subset; reference is subset[0]
    bool has_triangulation = false;
    TriangulationReport triangulation;
};

}  // namespace vantel::calibration

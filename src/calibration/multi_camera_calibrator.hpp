#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/intrinsic_records.hpp"
#include "calibration/multi_camera_records.hpp"
#include "targets/target.hpp"

namespace vantel::calibration {

// Throws std::invalid_argument naming the camera and image of the first image no detector can read.
void requireUsableImageLists(const std::vector<std::vector<cv::Mat>>& image_lists);

class RigWorkMemo;

// Places every camera of a synchronised rig relative to a reference camera: per-camera intrinsics,
// one stereo calibration per camera against the reference, and a triangulation check.
class MultiCameraCalibrator {
public:
    using ImageLists = std::vector<std::vector<cv::Mat>>;  // image_lists[c][k]: camera c, capture k

    static constexpr int kCalibFixIntrinsic = 256;
    static constexpr int kCalibUseIntrinsicGuess = 1;

    MultiCameraCalibrator(Target target, int num_cameras, int reference_index = 0,
                          IntrinsicOptions options = defaultOptions(), int stereo_calibrate_flags = kCalibFixIntrinsic);

    // IntrinsicOptions defaults, with epsilon 1e-6 and a per-view threshold of 3 px.
    static IntrinsicOptions defaultOptions();

    // Every run starts from the record of a fresh calibrator. Intrinsics are calibrated here
    // unless both lists are given; the report is printed; a non-empty path saves a record. With
    // refine, the pairwise result is refined jointly (rig_refinement.hpp) and the record, the saved
    // file and the triangulation check hold the refined values.
    MultiCameraResult calibrate(const ImageLists& image_lists, const std::vector<cv::Mat>& intrinsic_matrices = {},
                                const std::vector<cv::Mat>& distortion_coefficients = {},
                                const std::filesystem::path& output_path = {}, bool refine = false);

    // ChArUco targets only; needs a calibration in which every camera was placed.
    TriangulationReport triangulate(const ImageLists& image_lists, int frame_index = 0) const;

    // Every combination of each size, calibrated as its own rig; each rig camera's detection and
    // intrinsic calibration, and each pair's stereo calibration, is done once per call.
    std::vector<SubsetResult> calibrateSubsets(const ImageLists& image_lists,
                                               const std::vector<int>& subset_sizes = {2, 3}, int frame_index = 0,
                                               bool refine = false);

    std::string formatResults() const;
    void printResults() const;

    const MultiCameraResult& lastResult() const { return last_result_; }
    bool hasLastTriangulation() const { return has_last_triangulation_; }
    const TriangulationReport& lastTriangulation() const { return last_triangulation_; }
    const std::vector<SubsetResult>& lastSubsetResults() const { return last_subset_results_; }
    const std::optional<JointRefinement>& lastRefinement() const { return last_refinement_; }
    const Target& target() const { return target_; }
    int numCameras() const { return num_cameras_; }
    int referenceIndex() const { return reference_index_; }

private:
    struct CameraFrames {
        TargetDetections detections;
        std::optional<std::vector<int>> accepted_frames;  // ascending; absent: every detected frame
    };

    // rig_cameras[i]: the camera of the whole rig that camera i of this calibrator is; the memo
    // shares work between calibrators over the same rig.
    MultiCameraResult calibrateWith(const ImageLists& image_lists, const std::vector<cv::Mat>& intrinsic_matrices,
                                    const std::vector<cv::Mat>& distortion_coefficients,
                                    const std::filesystem::path& output_path, bool refine, RigWorkMemo& memo,
                                    const std::vector<int>& rig_cameras);
    TriangulationReport triangulateWith(const ImageLists& image_lists, int frame_index, RigWorkMemo& memo,
                                        const std::vector<int>& rig_cameras) const;
    // Everything of a run up to the report: the record, from a reset one, and the triangulation check.
    void computeRecord(const ImageLists& image_lists, const std::vector<cv::Mat>& intrinsic_matrices,
                       const std::vector<cv::Mat>& distortion_coefficients, bool intrinsics_supplied, bool refine,
                       RigWorkMemo& memo, const std::vector<int>& rig_cameras);
    std::vector<CameraFrames> calibrateCameras(const ImageLists& image_lists, RigWorkMemo& memo,
                                               const std::vector<int>& rig_cameras);
    void placeCameras(const ImageLists& image_lists, const std::vector<CameraFrames>& cameras, RigWorkMemo& memo,
                      const std::vector<int>& rig_cameras);
    void refineJointly(const std::vector<CameraFrames>& cameras, bool intrinsics_supplied);
    void requireFrameInEveryList(const ImageLists& image_lists, int frame_index) const;
    void resetRecord();

    Target target_;
    int num_cameras_;
    int reference_index_;
    IntrinsicOptions options_;
    int stereo_calibrate_flags_;
    MultiCameraResult last_result_;
    bool has_last_triangulation_ = false;
    TriangulationReport last_triangulation_;
    std::vector<SubsetResult> last_subset_results_;
    std::optional<JointRefinement> last_refinement_;
};

}  // namespace vantel::calibration

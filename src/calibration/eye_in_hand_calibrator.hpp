#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye_chain.hpp"
#include "calibration/hand_eye_records.hpp"
#include "calibration/intrinsic_calibrator.hpp"
#include "calibration/intrinsic_records.hpp"
#include "targets/target.hpp"

namespace vantel::calibration {

// Eye-in-hand: the camera rides on the flange and looks at a target fixed in the robot's world.
class EyeInHandCalibrator {
public:
    // Entry k of each list belongs to the same frame, in input order.
    struct AlignedTargetPoses {
        std::vector<cv::Mat> camera_T_target_list;
        std::vector<cv::Mat> valid_image_list;
        std::vector<cv::Mat> valid_robot_T_tcp_list;
    };

    // What calibrate() does before the method matters: the checks, the camera model and the
    // camera poses, paired with the robot poses. Callers that solve the same data with several
    // methods prepare once and solve each method on a fresh calibrator.
    struct PreparedFrames {
        HandEyeResult result;  // camera model filled; the final result when finished
        bool finished = false;  // failed before the solve: result is what calibrate() returns
        std::vector<cv::Mat> robot_T_tcp_list;
        std::vector<cv::Mat> image_list;
        std::vector<cv::Mat> camera_T_target_list;
        size_t frames_offered = 0;  // the given camera poses, or the images they come from
        bool camera_poses_given = false;
    };

    // The full pipeline's intrinsic calibration, given this calibrator's own intrinsic calibrator
    // and the images; by default intrinsicCalibrator.calibrate(images).
    using IntrinsicStage = std::function<IntrinsicResult(IntrinsicCalibrator&, const std::vector<cv::Mat>&)>;

    // Callers that never show cornerImages() skip them.
    EyeInHandCalibrator(Target target, IntrinsicOptions options = IntrinsicOptions(),
                        CornerImages corner_images = CornerImages::Annotated);

    // Throws for an unknown method or lists that cannot be paired; a calibration that cannot
    // proceed logs an ERROR and returns ok == false. Only a success replaces lastResult().
    HandEyeResult calibrate(const std::vector<cv::Mat>& robot_T_tcp_list, const std::vector<cv::Mat>& image_list,
                            const std::string& method = "TSAI",
                            const std::vector<cv::Mat>& camera_T_target_list = {},
                            const cv::Mat& intrinsic_matrix = cv::Mat(),
                            const cv::Mat& distortion_coefficients = cv::Mat(),
                            const std::filesystem::path& output_path = {});

    // calibrate() in two stages; calibrate(method, ...) == solvePrepared(prepareFrames(...), method).
    // Both log and throw exactly as calibrate() does at that point.
    PreparedFrames prepareFrames(const std::vector<cv::Mat>& robot_T_tcp_list, const std::vector<cv::Mat>& image_list,
                                 const std::vector<cv::Mat>& camera_T_target_list, const cv::Mat& intrinsic_matrix,
                                 const cv::Mat& distortion_coefficients,
                                 const IntrinsicStage& intrinsicStage = nullptr);
    HandEyeResult solvePrepared(const PreparedFrames& prepared, const std::string& method,
                                const std::filesystem::path& output_path = {});

    // ChArUco targets only: PnP pose of the board in each image with a known camera model.
    AlignedTargetPoses computeCameraTTargetList(const std::vector<cv::Mat>& image_list,
                                                const std::vector<cv::Mat>& robot_T_tcp_list,
                                                const cv::Mat& intrinsic_matrix,
                                                const cv::Mat& distortion_coefficients) const;

    // The report of lastResult(); printResults() writes it to standard output.
    std::string formatResults() const;
    void printResults() const;

    std::vector<cv::Mat> cornerImages() const;
    const HandEyeResult& lastResult() const { return last_result_; }
    const Target& target() const { return target_; }

private:
    friend class EyeToHandCalibrator;
    // The stationary camera's engine: the same pipeline and checks under the other calibrator's name;
    // its report and record are the caller's.
    EyeInHandCalibrator(Target target, IntrinsicOptions options, CameraMounting mounting, std::string name);

    struct IndexedCameraPoses {
        std::vector<cv::Mat> camera_T_target_list;
        std::vector<int> frame_indices;  // position of each pose's frame in the lists passed in
    };

    // Poses of the frames the intrinsic stage kept, from its corners (image_points, and
    // object_points when they are known) where that gives the poses a new detection would give,
    // from a new detection where not.
    IndexedCameraPoses keptFramePoses(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& image_points,
                                      const std::vector<cv::Mat>& object_points, const cv::Mat& intrinsic_matrix,
                                      const cv::Mat& distortion_coefficients) const;
    void computeTargetConsistency(HandEyeResult& result) const;

    Target target_;
    IntrinsicCalibrator intrinsic_calibrator_;
    HandEyeResult last_result_;
    CameraMounting mounting_ = CameraMounting::OnFlange;
    std::string name_ = "EyeInHandCalibrator";
};

}  // namespace vantel::calibration

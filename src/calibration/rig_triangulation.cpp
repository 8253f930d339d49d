// Triangulates the ChArUco corners of one synchronised frame into the reference camera's frame
// and measures them against the known board.

#include <cmath>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include <opencv2/calib3d.hpp>

#include "calibration/multi_camera_calibrator.hpp"
#include "calibration/rig_work_memo.hpp"
#include "services/log.hpp"
#include "targets/detection.hpp"

namespace vantel::calibration {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr size_t kMinFrameCorners = 4;
constexpr size_t kMinTriangulatedCorners = 4;
constexpr double kMinHomogeneousScale = 1e-12;

struct Observation {
    int camera;
    cv::Point2d pixel;
};

// Corner id (ascending) -> its observations, cameras ascending.
using CornerObservations = std::map<int, std::vector<Observation>>;

RigWorkMemo::FrameCorners detectCharucoFrame(const CharucoDetector& detector, const cv::Mat& image) {
    const CharucoDetection detection = detectCharuco(detector, image);
    RigWorkMemo::FrameCorners frame;
    if (detection.charuco_corners.size() < kMinFrameCorners) {
        return frame;
    }
    cv::Mat(detection.charuco_corners).reshape(1).convertTo(frame.corners, CV_64F);
    frame.ids = cv::Mat(detection.charuco_ids, true);
    return frame;
}

CornerObservations collectObservations(const std::vector<RigWorkMemo::FrameCorners>& frames) {
    CornerObservations observations;
    for (size_t c = 0; c < frames.size(); ++c) {
        for (int k = 0; k < frames[c].ids.rows; ++k) {
            const cv::Point2d pixel(frames[c].corners.at<double>(k, 0), frames[c].corners.at<double>(k, 1));
            observations[frames[c].ids.at<int>(k)].push_back({static_cast<int>(c), pixel});
        }
    }
    for (auto entry = observations.begin(); entry != observations.end();) {
        entry = entry->second.size() < 2 ? observations.erase(entry) : std::next(entry);
    }
    return observations;
}

cv::Mat cameraTReference(const cv::Mat& reference_T_camera) { return reference_T_camera.inv(cv::DECOMP_LU); }

cv::Mat asDoubles(const cv::Mat& matrix) {
    cv::Mat converted;
    matrix.convertTo(converted, CV_64F);
    return converted;
}

std::vector<cv::Mat> projectionMatrices(const std::vector<cv::Mat>& intrinsicMatrices,
                                        const std::vector<cv::Mat>& reference_T_cameras) {
    std::vector<cv::Mat> projections;
    for (size_t c = 0; c < intrinsicMatrices.size(); ++c) {
        const cv::Mat camera_T_reference = cameraTReference(asDoubles(reference_T_cameras[c]));
        projections.push_back(asDoubles(intrinsicMatrices[c]) * camera_T_reference.rowRange(0, 3));
    }
    return projections;
}

cv::Point2d undistortPixel(const cv::Point2d& pixel, const cv::Mat& intrinsicMatrix, const cv::Mat& distortion) {
    const cv::Mat distorted(1, 1, CV_64FC2, cv::Scalar(pixel.x, pixel.y));
    cv::Mat undistorted;
    cv::undistortPoints(distorted, undistorted, intrinsicMatrix, distortion, cv::noArray(), intrinsicMatrix);
    const cv::Vec2d point = undistorted.at<cv::Vec2d>(0);
    return {point[0], point[1]};
}

struct TriangulatedCorners {
    cv::Mat points;  // n x 3 CV_64F
    cv::Mat ids;     // n x 1 CV_32S
};

// Linear (DLT) triangulation of every corner over its undistorted observations.
TriangulatedCorners triangulateCorners(const CornerObservations& observations, const std::vector<cv::Mat>& projections,
                                       const std::vector<cv::Mat>& intrinsicMatrices,
                                       const std::vector<cv::Mat>& distortions) {
    TriangulatedCorners corners{cv::Mat(static_cast<int>(observations.size()), 3, CV_64F),
                                cv::Mat(static_cast<int>(observations.size()), 1, CV_32S)};
    int row = 0;
    for (const auto& [id, seen] : observations) {
        cv::Mat A(static_cast<int>(2 * seen.size()), 4, CV_64F);
        for (size_t j = 0; j < seen.size(); ++j) {
            const auto c = static_cast<size_t>(seen[j].camera);
            const cv::Point2d uv = undistortPixel(seen[j].pixel, intrinsicMatrices[c], distortions[c]);
            const cv::Mat& P = projections[c];
            cv::Mat(uv.x * P.row(2) - P.row(0)).copyTo(A.row(static_cast<int>(2 * j)));
            cv::Mat(uv.y * P.row(2) - P.row(1)).copyTo(A.row(static_cast<int>(2 * j + 1)));
        }
        cv::Mat w, U, Vt;
        cv::SVD::compute(A, w, U, Vt, 0);
        const double* X = Vt.ptr<double>(3);
        double* point = corners.points.ptr<double>(row);
        for (int axis = 0; axis < 3; ++axis) {
            point[axis] = std::abs(X[3]) < kMinHomogeneousScale ? kNaN : X[axis] / X[3];
        }
        corners.ids.at<int>(row) = id;
        ++row;
    }
    return corners;
}

size_t dropDegenerateCorners(TriangulatedCorners& corners) {
    TriangulatedCorners kept{cv::Mat(0, 3, CV_64F), cv::Mat(0, 1, CV_32S)};
    for (int row = 0; row < corners.points.rows; ++row) {
        if (cv::checkRange(corners.points.row(row))) {
            kept.points.push_back(corners.points.row(row));
            kept.ids.push_back(corners.ids.row(row));
        }
    }
    const auto removed = static_cast<size_t>(corners.points.rows - kept.points.rows);
    corners = kept;
    return removed;
}

std::map<int, int> rowOfEachId(const cv::Mat& ids) {
    std::map<int, int> rows;
    for (int row = 0; row < ids.rows; ++row) {
        rows[ids.at<int>(row)] = row;
    }
    return rows;
}

void reprojectionPerCamera(const TriangulatedCorners& corners, const CornerObservations& observations,
                           const std::vector<cv::Mat>& intrinsicMatrices, const std::vector<cv::Mat>& distortions,
                           const std::vector<cv::Mat>& reference_T_cameras, TriangulationReport& report) {
    const std::map<int, int> rowOf = rowOfEachId(corners.ids);
    const size_t cameraCount = intrinsicMatrices.size();
    report.rms_per_camera.assign(cameraCount, kNaN);
    report.counts_per_camera.assign(cameraCount, 0);
    for (size_t c = 0; c < cameraCount; ++c) {
        const cv::Mat camera_T_reference = cameraTReference(asDoubles(reference_T_cameras[c]));
        cv::Mat rvec;
        cv::Rodrigues(camera_T_reference(cv::Rect(0, 0, 3, 3)), rvec);
        const cv::Mat tvec = camera_T_reference(cv::Rect(3, 0, 1, 3)).clone();

        std::vector<cv::Point3f> points;
        std::vector<cv::Point2d> observed;
        for (const auto& [id, seen] : observations) {
            const auto row = rowOf.find(id);
            if (row == rowOf.end()) {
                continue;
            }
            for (const Observation& observation : seen) {
                if (observation.camera == static_cast<int>(c)) {
                    const double* p = corners.points.ptr<double>(row->second);
                    points.emplace_back(static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2]));
                    observed.push_back(observation.pixel);
                    break;
                }
            }
        }
        if (points.empty()) {
            continue;
        }
        std::vector<cv::Point2f> projected;
        cv::projectPoints(points, rvec, tvec, intrinsicMatrices[c], distortions[c], projected);
        double sum = 0.0;
        for (size_t k = 0; k < points.size(); ++k) {
            const double dx = static_cast<double>(projected[k].x) - observed[k].x;
            const double dy = static_cast<double>(projected[k].y) - observed[k].y;
            sum += dx * dx + dy * dy;
        }
        report.rms_per_camera[c] = std::sqrt(sum / static_cast<double>(points.size()));
        report.counts_per_camera[c] = static_cast<int>(points.size());
    }
}

// Right neighbour first, then the one in the next row; ids run row by row over squares_x - 1 columns.
std::vector<double> neighborDistances(const TriangulatedCorners& corners, int squaresX) {
    std::vector<double> distances;
    const int cols = squaresX - 1;
    if (cols < 1) {
        return distances;
    }
    const std::map<int, int> rowOf = rowOfEachId(corners.ids);
    const auto distanceTo = [&](int row, int otherId) -> std::optional<double> {
        const auto other = rowOf.find(otherId);
        if (other == rowOf.end()) {
            return std::nullopt;
        }
        return cv::norm(corners.points.row(row), corners.points.row(other->second), cv::NORM_L2);
    };
    for (int row = 0; row < corners.ids.rows; ++row) {
        const int id = corners.ids.at<int>(row);
        if (id % cols != cols - 1) {
            if (const auto right = distanceTo(row, id + 1)) {
                distances.push_back(*right);
            }
        }
        if (const auto below = distanceTo(row, id + cols)) {
            distances.push_back(*below);
        }
    }
    return distances;
}

// Root of the summed squared distances of the points from their least-squares plane.
double planeThickness(const cv::Mat& points) {
    if (points.rows < 3) {
        return kNaN;
    }
    cv::Mat mean;
    cv::reduce(points, mean, 0, cv::REDUCE_AVG, CV_64F);
    const cv::Mat centred = points - cv::repeat(mean, points.rows, 1);
    cv::Mat w;
    cv::SVD::compute(centred, w);
    return w.at<double>(2);
}

}  // namespace

TriangulationReport MultiCameraCalibrator::triangulate(const ImageLists& image_lists, int frame_index) const {
    requireUsableImageLists(image_lists);
    RigWorkMemo memo;
    return triangulateWith(image_lists, frame_index, memo, RigWorkMemo::wholeRig(num_cameras_));
}

TriangulationReport MultiCameraCalibrator::triangulateWith(const ImageLists& image_lists, int frame_index,
                                                           RigWorkMemo& memo,
                                                           const std::vector<int>& rig_cameras) const {
    for (const cv::Mat& transform : last_result_.reference_T_camera_list) {
        if (transform.empty()) {
            throw std::runtime_error("MultiCameraCalibrator: run calibrate() before triangulate().");
        }
    }
    const auto* charuco = std::get_if<CharucoTarget>(&target_);
    if (charuco == nullptr) {
        throw std::invalid_argument("MultiCameraCalibrator::triangulate requires a CharucoTarget");
    }
    requireFrameInEveryList(image_lists, frame_index);

    std::optional<CharucoDetector> detector;
    std::vector<RigWorkMemo::FrameCorners> frames;
    for (size_t c = 0; c < image_lists.size(); ++c) {
        const cv::Mat& image = image_lists[c][static_cast<size_t>(frame_index)];
        frames.push_back(memo.frameCorners(rig_cameras[c], frame_index, [&] {
            if (!detector) {
                detector.emplace(makeCharucoDetector(*charuco));
            }
            return detectCharucoFrame(*detector, image);
        }));
        if (frames.back().ids.empty()) {
            logMessage(LogLevel::Warning,
                       "cam_" + std::to_string(c) + ": detection failed on frame " + std::to_string(frame_index));
        }
    }

    const CornerObservations observations = collectObservations(frames);
    if (observations.size() < kMinTriangulatedCorners) {
        throw std::runtime_error("MultiCameraCalibrator: only " + std::to_string(observations.size()) +
                                 " corners visible in >=2 cameras  -  need at least 4.");
    }
    const std::vector<cv::Mat>& intrinsics = last_result_.intrinsic_matrices;
    const std::vector<cv::Mat>& distortions = last_result_.distortion_coefficients;
    const std::vector<cv::Mat>& transforms = last_result_.reference_T_camera_list;
    TriangulatedCorners corners =
        triangulateCorners(observations, projectionMatrices(intrinsics, transforms), intrinsics, distortions);
    if (const size_t removed = dropDegenerateCorners(corners); removed > 0) {
        logMessage(LogLevel::Warning, "Dropping " + std::to_string(removed) + " corners with degenerate triangulation.");
    }
    if (corners.points.rows == 0) {
        throw std::runtime_error(
            "MultiCameraCalibrator: every triangulated corner was degenerate (check camera baselines and calibration "
            "quality).");
    }

    TriangulationReport report;
    reprojectionPerCamera(corners, observations, intrinsics, distortions, transforms, report);
    report.frame_index = frame_index;
    report.points_3d = corners.points;
    report.ids = corners.ids;
    report.neighbor_distances_m = neighborDistances(corners, charuco->squares_x);
    report.plane_thickness_m = planeThickness(corners.points);
    return report;
}

}  // namespace vantel::calibration

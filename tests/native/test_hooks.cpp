// A separate module for the test suite only: it reaches the parts of the frame
// that no public operation exposes on its own (matrices of every depth on the way
// out, every exception type, the log levels). Never part of the installed package.

#include <array>
#include <filesystem>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <tuple>

#include <nlohmann/json.hpp>
#include <opencv2/calib3d.hpp>
#include <opencv2/core/version.hpp>

#include "calibration/rig_refinement.hpp"
#include "calibration/solver/calibration_inputs.hpp"
#include "calibration/solver/camera_calibration.hpp"
#include "calibration/solver/camera_projection.hpp"
#include "calibration/solver/intrinsic_flags.hpp"
#include "calibration/solver/initial_camera_matrix.hpp"
#include "calibration/solver/stereo_calibration.hpp"
#include "io/npz_archive.hpp"
#include "quality/calibration_benchmark.hpp"
#include "quality/cross_validation_folds.hpp"
#include "module/binding_common.hpp"
#include "module/host_streams.hpp"
#include "services/log.hpp"
#include "services/standard_streams.hpp"

namespace {

[[noreturn]] void throwByKind(const std::string& kind, const std::string& text) {
    if (kind == "invalid_argument") throw std::invalid_argument(text);
    if (kind == "domain_error") throw std::domain_error(text);
    if (kind == "length_error") throw std::length_error(text);
    if (kind == "range_error") throw std::range_error(text);
    if (kind == "out_of_range") throw std::out_of_range(text);
    if (kind == "overflow_error") throw std::overflow_error(text);
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "runtime_error") throw std::runtime_error(text);
    if (kind == "cv") CV_Error(cv::Error::StsBadArg, text);
    if (kind == "json") {
        const auto parsed = nlohmann::json::parse(text);
        throw std::logic_error(parsed.dump());
    }
    if (kind == "filesystem") {
        throw std::filesystem::filesystem_error(text, std::make_error_code(std::errc::no_such_file_or_directory));
    }
    throw std::logic_error(text);
}

// rows x cols x channels matrix of the given depth filled with 0, 1, 2, ...
cv::Mat countingMat(int depth, int rows, int cols, int channels) {
    cv::Mat counting(rows, cols * channels, CV_64F);
    for (int i = 0; i < rows * cols * channels; ++i) {
        counting.at<double>(i / (cols * channels), i % (cols * channels)) = i % 100;
    }
    cv::Mat result;
    counting.convertTo(result, depth);
    return result.reshape(channels, rows);
}

// Benchmark results with chosen values; the host cannot make them.
using ResultFields = std::tuple<std::string, double, double, double, cv::Mat, cv::Mat, std::string, uint64_t>;

std::vector<vantel::quality::BenchmarkResult> benchmarkResults(const std::vector<ResultFields>& fields) {
    std::vector<vantel::quality::BenchmarkResult> results;
    for (const auto& [name, rpe, held, roundtrip, cameraMatrix, distCoeffs, timestamp, count] : fields) {
        results.push_back({name, rpe, held, roundtrip, cameraMatrix, distCoeffs, timestamp, count});
    }
    return results;
}

}  // namespace

PYBIND11_MODULE(_vantel_testhooks, module) {
    vantel::binding::routeStandardStreamsToHost();

    module.def("log", [](int level, const std::string& message) {
        vantel::logMessage(static_cast<vantel::LogLevel>(level), message);
    });
    module.def("print_report", [](const std::string& text) { vantel::writeStandardOutput(text); });
    module.def("raise_exception", &throwByKind, py::arg("kind"), py::arg("text"));

    module.def("echo_mat", [](const cv::Mat& mat) { return mat; });
    module.def("echo_optional_mat", [](const std::optional<cv::Mat>& mat) { return mat; });
    module.def("echo_mat_list", [](const std::vector<cv::Mat>& mats) { return mats; });
    module.def("echo_size", [](const cv::Size& size) { return size; });
    module.def("echo_doubles", [](const std::vector<double>& values) { return values; });
    module.def("describe_mat", [](const cv::Mat& mat) {
        return py::make_tuple(mat.rows, mat.cols, mat.depth(), mat.channels(), mat.isContinuous());
    });

    module.def("counting_mat", &countingMat, py::arg("depth"), py::arg("rows"), py::arg("cols"), py::arg("channels"));
    // A column slice: not continuous, so the way out has to compact it.
    module.def("strided_mat", [] { return countingMat(CV_32F, 4, 6, 1).colRange(1, 4); });
    module.def("empty_mat", [](int depth, int rows, int cols) { return cv::Mat(rows, cols, CV_MAKETYPE(depth, 1)); });

    // Keeps a matrix across calls, to show results and stored state share no memory with the host.
    static cv::Mat stored;
    module.def("store_mat", [](const cv::Mat& mat) { stored = mat; });
    module.def("stored_mat", [] { return stored; });
    module.def("clear_stored_mat", [] { stored.release(); });

    // The archive code on its own, for shapes and keys the datasets never use.
    module.def("save_npz_array", &vantel::io::saveNpzArray, py::arg("path"), py::arg("key"), py::arg("shape"),
               py::arg("data"));
    module.def("load_npz_array", [](const std::filesystem::path& path, const std::string& key) {
        const vantel::io::NpyArray array = vantel::io::loadNpzArray(path, key);
        return py::make_tuple(array.shape, array.data);
    }, py::arg("path"), py::arg("key"));

    // The fold procedure on its own, for counts and seeds no image set could afford.
    module.def("shuffled_image_order", &vantel::quality::shuffledImageOrder, py::arg("count"), py::arg("seed"));
    module.def("cross_validation_folds", [](size_t count, int n_splits, uint32_t seed) {
        py::list folds;
        for (const auto& fold : vantel::quality::crossValidationFolds(count, n_splits, seed)) {
            folds.append(py::make_tuple(fold.training, fold.held_out));
        }
        return folds;
    }, py::arg("count"), py::arg("n_splits"), py::arg("seed"));
    module.def("format_benchmark_results", [](const std::vector<ResultFields>& fields) {
        return vantel::quality::CalibrationBenchmark::formatResults(benchmarkResults(fields));
    });
    module.def("save_benchmark_json", [](const std::vector<ResultFields>& fields, const std::filesystem::path& path) {
        vantel::quality::CalibrationBenchmark::saveJson(benchmarkResults(fields), path);
    });

    // Tests that check a version's own detection behaviour need the OpenCV the module uses,
    // which need not be pip's cv2.
    module.def("opencv_version", [] { return py::make_tuple(CV_VERSION_MAJOR, CV_VERSION_MINOR); });

    // The module's OpenCV calibrations with exactly the given flags: the reference for the
    // solver the calibrators choose.
    module.def("calibrate_camera", [](const std::vector<cv::Mat>& objectPoints, const std::vector<cv::Mat>& imagePoints,
                                      const cv::Size& imageSize, int flags, int fixedPoint, bool deviations,
                                      const std::tuple<int, int, double>& terms, const cv::Mat& guess,
                                      const cv::Mat& distortionGuess) {
        const cv::TermCriteria criteria(std::get<0>(terms), std::get<1>(terms), std::get<2>(terms));
        cv::Mat cameraMatrix = guess.clone(), distCoeffs = distortionGuess.clone();
        cv::Mat stdDevIntrinsics, stdDevExtrinsics, perViewErrors;
        std::vector<cv::Mat> rvecs, tvecs;
        double rms = 0.0;
        if (!deviations) {
            // Without deviations and per-view errors OpenCV skips its final inversion.
            rms = cv::calibrateCamera(objectPoints, imagePoints, imageSize, cameraMatrix, distCoeffs, rvecs, tvecs,
                                      flags, criteria);
        } else if (fixedPoint < 0) {
            rms = cv::calibrateCamera(objectPoints, imagePoints, imageSize, cameraMatrix, distCoeffs, rvecs, tvecs,
                                      stdDevIntrinsics, stdDevExtrinsics, perViewErrors, flags, criteria);
        } else {
            cv::Mat newObjectPoints, stdDevObjectPoints;
            rms = cv::calibrateCameraRO(objectPoints, imagePoints, imageSize, fixedPoint, cameraMatrix, distCoeffs,
                                        rvecs, tvecs, newObjectPoints, stdDevIntrinsics, stdDevExtrinsics,
                                        stdDevObjectPoints, perViewErrors, flags, criteria);
        }
        return py::make_tuple(rms, cameraMatrix, distCoeffs.reshape(1, 1),
                              perViewErrors.empty() ? cv::Mat() : perViewErrors.reshape(1, 1), stdDevIntrinsics,
                              stdDevExtrinsics, rvecs, tvecs);
    }, py::arg("object_points"), py::arg("image_points"), py::arg("image_size"), py::arg("flags"),
       py::arg("fixed_point") = -1, py::arg("deviations") = true, py::arg("criteria") = std::make_tuple(3, 30, 0.001),
       py::arg("guess") = cv::Mat(), py::arg("distortion_guess") = cv::Mat());
    // The calibrator's own solve on given points, for agreement tests and the solver benchmark.
    module.def("calibrate_camera_as_the_calibrator", [](const std::vector<cv::Mat>& objectPoints,
                                                       const std::vector<cv::Mat>& imagePoints,
                                                       const cv::Size& imageSize, int flags,
                                                       const std::tuple<int, int, double>& terms, const cv::Mat& guess,
                                                       const cv::Mat& distortionGuess) {
        const cv::TermCriteria criteria(std::get<0>(terms), std::get<1>(terms), std::get<2>(terms));
        cv::Mat cameraMatrix = guess.clone(), distCoeffs = distortionGuess.clone();
        cv::Mat stdDevIntrinsics, stdDevExtrinsics, perViewErrors;
        std::vector<cv::Mat> rvecs, tvecs;
        const double rms = vantel::calibration::solver::calibrateCamera(
            objectPoints, imagePoints, imageSize, cameraMatrix, distCoeffs, rvecs, tvecs, stdDevIntrinsics,
            stdDevExtrinsics, perViewErrors, flags, criteria);
        return py::make_tuple(rms, cameraMatrix, distCoeffs.reshape(1, 1), perViewErrors.reshape(1, 1),
                              stdDevIntrinsics, stdDevExtrinsics, rvecs, tvecs);
    }, py::arg("object_points"), py::arg("image_points"), py::arg("image_size"), py::arg("flags") = 0,
       py::arg("criteria") = std::make_tuple(3, 30, 0.001), py::arg("guess") = cv::Mat(),
       py::arg("distortion_guess") = cv::Mat());
    // The solver's projection and Jacobian beside OpenCV's.
    module.def("projections", [](const cv::Mat& objectPoints, const std::array<double, 3>& r,
                                 const std::array<double, 3>& t, const cv::Mat& cameraMatrix,
                                 const cv::Mat& distortion) {
        const cv::Vec3d rvec(r[0], r[1], r[2]), tvec(t[0], t[1], t[2]);
        namespace solver = vantel::calibration::solver;
        cv::Matx33d K;
        cameraMatrix.convertTo(K, CV_64F);
        const int flags = distortion.total() >= 12 ? cv::CALIB_THIN_PRISM_MODEL | cv::CALIB_RATIONAL_MODEL
                          : distortion.total() >= 8 ? cv::CALIB_RATIONAL_MODEL : 0;
        const solver::CameraIntrinsics camera = solver::intrinsicsFor(K, distortion, flags);
        cv::Mat objects, ours, ourJacobian, theirs, theirJacobian;
        objectPoints.convertTo(objects, CV_64F);
        solver::projectWithJacobian(objects, solver::Pose{rvec, tvec}, camera, ours, ourJacobian);
        cv::projectPoints(objects, rvec, tvec, K, camera.distortion(), theirs, theirJacobian);
        return py::make_tuple(ours.reshape(1, objects.rows), ourJacobian, theirs.reshape(1, objects.rows),
                              theirJacobian);
    });
    // The rig's joint refinement on given corners (camera c's views: frames[c][k], objects[c][k], points[c][k]).
    module.def("refine_rig", [](const std::vector<std::vector<int>>& frames,
                                const std::vector<std::vector<cv::Mat>>& objects,
                                const std::vector<std::vector<cv::Mat>>& points, const std::vector<cv::Mat>& matrices,
                                const std::vector<cv::Mat>& distortions, const std::vector<cv::Mat>& reference_T_camera,
                                bool holdIntrinsics) {
        std::vector<vantel::calibration::RigCamera> cameras(frames.size());
        for (size_t c = 0; c < cameras.size(); ++c) {
            cameras[c].detections.successful_indices = frames[c];
            cameras[c].detections.object_points = objects[c];
            cameras[c].detections.image_points = points[c];
            cameras[c].intrinsic_matrix = matrices[c];
            cameras[c].distortion_coefficients = distortions[c];
            cameras[c].reference_T_camera = reference_T_camera[c];
        }
        vantel::calibration::RigRefinementOptions options;
        options.hold_intrinsics = holdIntrinsics;
        const auto outcome = vantel::calibration::refineRig(cameras, options);
        return py::make_tuple(outcome.summary.reference_T_camera_list, outcome.intrinsic_matrices,
                              outcome.distortion_coefficients);
    });
    // The solver's start beside OpenCV's own.
    module.def("initial_camera_matrices", [](const std::vector<cv::Mat>& objectPoints,
                                            const std::vector<cv::Mat>& imagePoints, const cv::Size& imageSize,
                                            double aspectRatio) {
        const auto views = vantel::calibration::solver::usableViews(objectPoints, imagePoints);
        if (!views) throw std::invalid_argument("views the solver cannot take");
        const cv::Mat ours(vantel::calibration::solver::initialCameraMatrix(views->objects, views->points,
                                                                            imageSize, aspectRatio).value());
        return py::make_tuple(ours, cv::initCameraMatrix2D(objectPoints, imagePoints, imageSize, aspectRatio));
    });
    module.def("stereo_calibrate", [](const std::vector<cv::Mat>& objectPoints, const std::vector<cv::Mat>& points1,
                                      const std::vector<cv::Mat>& points2, const cv::Mat& matrix1,
                                      const cv::Mat& distortion1, const cv::Mat& matrix2, const cv::Mat& distortion2,
                                      const cv::Size& imageSize, int flags, const std::tuple<int, int, double>& terms,
                                      bool blockSolver) {
        const cv::TermCriteria criteria(std::get<0>(terms), std::get<1>(terms), std::get<2>(terms));
        cv::Mat k1 = matrix1.clone(), d1 = distortion1.clone(), k2 = matrix2.clone(), d2 = distortion2.clone();
        cv::Mat rotation, translation, essential, fundamental;
        const double rms =
            blockSolver ? vantel::calibration::solver::stereoCalibrate(objectPoints, points1, points2, k1, d1, k2, d2,
                                                                      imageSize, rotation, translation, flags, criteria)
                        : cv::stereoCalibrate(objectPoints, points1, points2, k1, d1, k2, d2, imageSize, rotation,
                                              translation, essential, fundamental, flags, criteria);
        return py::make_tuple(rms, k1, d1.reshape(1, 1), k2, d2.reshape(1, 1), rotation, translation);
    }, py::arg("object_points"), py::arg("points1"), py::arg("points2"), py::arg("matrix1"), py::arg("distortion1"),
       py::arg("matrix2"), py::arg("distortion2"), py::arg("image_size"), py::arg("flags"),
       py::arg("criteria") = std::make_tuple(3, 30, 1e-6), py::arg("block_solver") = false);
}

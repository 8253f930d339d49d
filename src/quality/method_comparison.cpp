#include "quality/method_comparison.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "calibration/eye_in_hand_calibrator.hpp"
#include "calibration/hand_eye_methods.hpp"
#include "geometry/pose.hpp"
#include "services/log.hpp"
#include "services/progress.hpp"
#include "targets/image_check.hpp"

namespace vantel::quality {
namespace {

using calibration::EyeInHandCalibrator;

constexpr size_t kRz = 5;

void logMethodFailure(const std::string& name, const std::string& reason) {
    logMessage(LogLevel::Warning, "[diag] method " + name + " failed: " + reason);
}

// A hand-made table may hold anything; the statistics need six finite numbers per row.
void requireUsablePoses(const MethodComparison& method_results) {
    for (const auto& [name, entry] : method_results) {
        if (!entry) {
            continue;
        }
        const std::vector<double>& pose = entry->pose_deg;
        if (pose.size() != 6 || !std::all_of(pose.begin(), pose.end(), [](double v) { return std::isfinite(v); })) {
            throw std::invalid_argument("format_method_comparison: the pose of " + name +
                                        " is not six finite numbers");
        }
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

}  // namespace

MethodComparison compareHandEyeMethods(const Target& target, const std::vector<cv::Mat>& robot_T_tcp_list,
                                       const std::vector<cv::Mat>& image_list,
                                       const std::vector<cv::Mat>& camera_T_target_list,
                                       const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients,
                                       double per_view_error_threshold) {
    // Not a method's failure: no method could read such an image.
    requireUsableImages(image_list, "compare_hand_eye_methods: ");
    calibration::IntrinsicOptions options;
    options.per_view_error_threshold = per_view_error_threshold;

    // Detection, camera model and poses do not depend on the method: prepare once, and replay
    // the preparation's log lines wherever each method's own calibrate() would have logged them.
    std::optional<EyeInHandCalibrator::PreparedFrames> prepared;
    std::string preparationFailure;
    std::vector<LogLine> preparationLines;
    std::exception_ptr passedOn;
    {
        LogRecording recording;
        try {
            // The comparison shows no corner images.
            EyeInHandCalibrator calibrator(target, options, calibration::CornerImages::Skipped);
            prepared = calibrator.prepareFrames(robot_T_tcp_list, image_list, camera_T_target_list,
                                                intrinsic_matrix, distortion_coefficients);
        } catch (const std::invalid_argument&) {
            // Arguments the calibrator refuses are refused here too, as its calibrate() would.
            passedOn = std::current_exception();
        } catch (const std::exception& error) {
            preparationFailure = error.what();
        } catch (...) {
            // Not ours to turn into a warning: it ends the first method's run, as it would have.
            passedOn = std::current_exception();
        }
        preparationLines = recording.takeLines();
    }
    if (passedOn) {
        replayLog(preparationLines);  // outside the recording, or the lines would go back into it
        std::rethrow_exception(passedOn);
    }

    MethodComparison results;
    const auto& methods = calibration::handEyeMethodByNameMap();
    for (const auto& [name, methodId] : methods) {
        (void)methodId;
        reportProgress("Hand-eye methods", results.size(), methods.size());
        replayLog(preparationLines);
        std::optional<HandEyeMethodResult> entry;
        if (!prepared) {
            logMethodFailure(name, preparationFailure);
        } else {
            try {
                EyeInHandCalibrator calibrator(target, options);
                const calibration::HandEyeResult result = calibrator.solvePrepared(*prepared, name);
                if (result.ok && !result.tcp_T_camera.empty()) {
                    entry = HandEyeMethodResult{name, result.tcp_T_camera,
                                                transformationMatrixToPose(result.tcp_T_camera)};
                }
            } catch (const std::exception& error) {
                logMethodFailure(name, error.what());
            }
        }
        results.emplace(name, std::move(entry));
    }
    return results;
}

std::string formatMethodComparison(const MethodComparison& method_results, double consensus_threshold_deg) {
    requireUsablePoses(method_results);
    const std::string rule(60, '=');
    const std::string dashes(58, '-');
    std::ostringstream text;
    text << rule << "\nHAND-EYE CROSS-METHOD COMPARISON\n" << rule << "\n";
    text << "  " << std::left << std::setw(12) << "Method" << std::right << std::setw(8) << "x (m)" << std::setw(8)
         << "y (m)" << std::setw(8) << "z (m)" << std::setw(7) << "rx" << std::setw(7) << "ry" << std::setw(7)
         << "rz" << "\n";
    text << "  " << dashes << "\n";

    std::vector<std::pair<std::string, const std::vector<double>*>> solved;
    for (const auto& [name, entry] : method_results) {
        text << "  " << std::left << std::setw(12) << name << std::right;
        if (!entry) {
            text << "(failed)\n";
            continue;
        }
        const std::vector<double>& pose = entry->pose_deg;
        text << std::fixed << std::setprecision(4);
        for (size_t k = 0; k < 3; ++k) {
            text << std::setw(8) << pose[k];
        }
        text << std::setprecision(2);
        for (size_t k = 3; k < 6; ++k) {
            text << std::setw(7) << pose[k];
        }
        text << "\n";
        solved.emplace_back(name, &pose);
    }
    const size_t n = solved.size();
    if (n < 2) {
        return text.str();
    }

    std::vector<double> rzs;
    for (const auto& row : solved) {
        rzs.push_back((*row.second)[kRz]);
    }
    const double medianRz = median(rzs);
    const auto [smallestRz, largestRz] = std::minmax_element(rzs.begin(), rzs.end());
    const double rzSpread = *largestRz - *smallestRz;
    std::vector<std::string> outliers;
    for (const auto& [name, pose] : solved) {
        if (std::abs((*pose)[kRz] - medianRz) > consensus_threshold_deg) {
            outliers.push_back(name);
        }
    }
    const size_t agreeing = n - outliers.size();
    double squaredRanges = 0.0;
    for (size_t axis = 0; axis < 3; ++axis) {
        double low = 1e18;
        double high = -1e18;
        for (const auto& row : solved) {
            low = std::min(low, (*row.second)[axis]);
            high = std::max(high, (*row.second)[axis]);
        }
        squaredRanges += (high - low) * (high - low);
    }
    const double translationSpreadM = std::sqrt(squaredRanges);

    text << "  " << dashes << "\n";
    text << std::setprecision(2);
    text << "  rz total spread:      " << rzSpread << " deg (median rz = " << medianRz << " deg)\n";
    text << "  translation spread:   " << translationSpreadM * 1000.0 << " mm\n";
    if (outliers.empty()) {
        text << "  >>> All " << n << " methods agree to within ~" << consensus_threshold_deg << " deg of median ("
             << medianRz << " deg).\n"
             << "      The data uniquely determines rz. If this differs from\n"
             << "      visual ground truth, the bias is in the *data* (robot\n"
             << "      kinematics or detection), not the solver.\n";
    } else if (agreeing + 1 < n) {
        text << "  >>> No consensus  -  methods split into clusters with >" << consensus_threshold_deg
             << " deg spread.\n"
             << "      Solution is under-determined; capture more axis-diverse poses.\n";
    } else {
        text << "  >>> " << agreeing << "-of-" << n << " methods cluster near " << medianRz << " deg; outlier(s): ";
        for (size_t k = 0; k < outliers.size(); ++k) {
            text << (k == 0 ? "" : ", ") << outliers[k];
        }
        text << ".\n"
             << "      Trust the consensus value (" << medianRz << " deg). The\n"
             << "      outlier likely hit a local optimum specific to its formulation.\n";
    }
    return text.str();
}

}  // namespace vantel::quality

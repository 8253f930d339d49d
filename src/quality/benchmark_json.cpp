// The benchmark result file.

#include <cmath>
#include <stdexcept>
#include <string>
#include <system_error>

#include <nlohmann/json.hpp>

#include "io/file_replacement.hpp"
#include "io/json_matrices.hpp"
#include "services/log.hpp"
#include "quality/calibration_benchmark.hpp"
#include "quality/utc_timestamp.hpp"

namespace vantel::quality {
namespace {

using nlohmann::json;

// Six decimals, halves away from zero. Past 2^52 millionths a double has no finer digits to
// round, and scaling it could overflow to infinity (which the file would show as null).
double roundedToSixDecimals(double value) {
    const double scaled = value * 1e6;
    if (!std::isfinite(value) || !(std::abs(scaled) < 4503599627370496.0)) {
        return value;
    }
    return std::round(scaled) / 1e6;
}

json resultToJson(const BenchmarkResult& result) {
    json entry = json::object();
    entry["backend_name"] = result.backend_name;
    entry["reprojection_error"] = roundedToSixDecimals(result.reprojection_error);
    entry["held_out_reprojection_error"] = roundedToSixDecimals(result.held_out_reprojection_error);
    entry["hand_eye_roundtrip_error"] = result.hand_eye_roundtrip_error < 0.0
                                            ? json(nullptr)
                                            : json(roundedToSixDecimals(result.hand_eye_roundtrip_error));
    entry["camera_matrix"] = io::matrixRowsToJson(result.camera_matrix);
    entry["dist_coeffs"] = io::matrixValuesToJson(result.dist_coeffs);
    entry["timestamp"] = result.timestamp;
    entry["image_count"] = result.image_count;
    return entry;
}

}  // namespace

void CalibrationBenchmark::saveJson(const std::vector<BenchmarkResult>& results, const std::filesystem::path& path) {
    json document = json::object();
    document["run_timestamp"] = utcTimestamp();
    json entries = json::array();
    for (const BenchmarkResult& result : results) {
        entries.push_back(resultToJson(result));
    }
    document["results"] = std::move(entries);
    // Built whole before the file is touched; a failure part-way leaves the old file as it was.
    const std::string text = document.dump(2);
    const std::string shown = path.string();
    std::error_code status;
    if (std::filesystem::is_directory(path, status)) {
        throw std::runtime_error("[Benchmark] cannot open " + shown + " for writing");
    }
    const io::FileReplacementResult written = io::replaceFileContents(path, text);
    if (written.status == io::FileReplacementStatus::CannotOpen) {
        throw std::runtime_error("[Benchmark] cannot open " + shown + " for writing");
    }
    if (written.status == io::FileReplacementStatus::CannotWrite) {
        throw std::runtime_error("[Benchmark] cannot write " + shown + " (" + written.reason + ")");
    }
    logMessage(LogLevel::Info, "[Benchmark] Results written to " + shown);
}

}  // namespace vantel::quality

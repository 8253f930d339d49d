// The console summary of benchmark results.

#include <iomanip>
#include <sstream>

#include "quality/calibration_benchmark.hpp"

namespace vantel::quality {

std::string CalibrationBenchmark::formatResults(const std::vector<BenchmarkResult>& results) {
    const std::string rule(64, '=');
    const std::string dashes(64, '-');
    std::ostringstream text;
    text << rule << "\nBENCHMARK SUMMARY\n" << rule << "\n";
    text << std::left << std::setw(28) << "Backend" << std::right << std::setw(6) << "RPE" << std::setw(6) << "Held"
         << std::setw(6) << "RT" << "\n";
    text << dashes << "\n";
    text << std::fixed << std::setprecision(2);
    for (const BenchmarkResult& result : results) {
        text << std::left << std::setw(28) << result.backend_name << std::right << std::setw(6)
             << result.reprojection_error << std::setw(6) << result.held_out_reprojection_error;
        if (result.hand_eye_roundtrip_error < 0.0) {
            text << std::setw(6) << "-";
        } else {
            text << std::setw(6) << result.hand_eye_roundtrip_error;
        }
        text << "\n";
    }
    text << dashes << "\n";
    return text.str();
}

}  // namespace vantel::quality

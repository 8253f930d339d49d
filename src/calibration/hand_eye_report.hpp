#pragma once

#include <ostream>
#include <string>

#include "calibration/hand_eye_records.hpp"

namespace vantel::calibration {

// The consistency block of both hand-eye reports, in the stream's number format.
void writeConsistencyReport(std::ostream& text, const std::string& title, const TargetConsistencyStats& stats);

}  // namespace vantel::calibration

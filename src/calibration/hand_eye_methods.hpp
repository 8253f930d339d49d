#pragma once

#include <map>
#include <string>

namespace vantel::calibration {

// "TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS" -> cv::HandEyeCalibrationMethod; built once.
const std::map<std::string, int>& handEyeMethodByNameMap();

}  // namespace vantel::calibration

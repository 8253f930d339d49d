#pragma once

#include <opencv2/core.hpp>

#include "calibration/solver/board_bundle.hpp"

namespace vantel::calibration::solver {

// Whether the block solver can honour these criteria (OpenCV rejects the others).
bool validCriteria(const cv::TermCriteria& criteria);

// COUNT caps the iterations (100 without it); EPS can only tighten the stop at the minimum,
// never end the solve before it.
StopRule stopRuleFor(const cv::TermCriteria& criteria);

}  // namespace vantel::calibration::solver

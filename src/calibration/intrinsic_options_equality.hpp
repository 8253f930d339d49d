#pragma once

#include "calibration/intrinsic_records.hpp"

namespace vantel::calibration {

// Every field equal (guesses compared by value): a calibration with either gives the same result.
bool sameIntrinsicOptions(const IntrinsicOptions& a, const IntrinsicOptions& b);

// The fields that corner finding reads equal: either finds the same corners in an image.
bool sameCornerFindingOptions(const IntrinsicOptions& a, const IntrinsicOptions& b);

}  // namespace vantel::calibration

#include "calibration/solver/stop_rule.hpp"

#include <algorithm>

namespace vantel::calibration::solver {
namespace {

constexpr int kIterationsWithoutCount = 100;
// Relative step of the camera parameters below which the solve is at its minimum: far below any
// digit the data determine, and reached within a few iterations once Gauss-Newton converges.
constexpr double kMinimumStep = 1e-10;

}  // namespace

bool validCriteria(const cv::TermCriteria& criteria) {
    const bool count = (criteria.type & cv::TermCriteria::COUNT) != 0;
    const bool eps = (criteria.type & cv::TermCriteria::EPS) != 0;
    return (count || eps) && (!count || criteria.maxCount > 0) && (!eps || criteria.epsilon >= 0.0);
}

StopRule stopRuleFor(const cv::TermCriteria& criteria) {
    StopRule rule;
    rule.max_iterations = (criteria.type & cv::TermCriteria::COUNT) ? criteria.maxCount : kIterationsWithoutCount;
    rule.relative_step =
        (criteria.type & cv::TermCriteria::EPS) ? std::min(criteria.epsilon, kMinimumStep) : kMinimumStep;
    return rule;
}

}  // namespace vantel::calibration::solver

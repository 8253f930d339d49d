#include "calibration/hand_eye_methods.hpp"

#include <opencv2/calib3d.hpp>

namespace vantel::calibration {

const std::map<std::string, int>& handEyeMethodByNameMap() {
    static const std::map<std::string, int> methods{
        {"TSAI", cv::CALIB_HAND_EYE_TSAI},
        {"PARK", cv::CALIB_HAND_EYE_PARK},
        {"HORAUD", cv::CALIB_HAND_EYE_HORAUD},
        {"ANDREFF", cv::CALIB_HAND_EYE_ANDREFF},
        {"DANIILIDIS", cv::CALIB_HAND_EYE_DANIILIDIS},
    };
    return methods;
}

}  // namespace vantel::calibration

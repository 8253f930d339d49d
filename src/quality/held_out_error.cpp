#include "quality/held_out_error.hpp"

#include <opencv2/calib3d.hpp>

namespace vantel::quality {

double heldOutError(const cv::Mat& objectPoints, const cv::Mat& imagePoints, const cv::Mat& K, const cv::Mat& D,
                    const cv::Mat& rvec, const cv::Mat& tvec) {
    cv::Mat projected;
    cv::projectPoints(objectPoints, rvec, tvec, K, D, projected);
    return cv::norm(imagePoints, projected, cv::NORM_L2) / static_cast<double>(projected.total());
}

}  // namespace vantel::quality

#include "calibration/solver/camera_projection.hpp"

#include <opencv2/calib3d.hpp>

namespace vantel::calibration::solver {
namespace {

constexpr int kTiltedTerms = 14;

}  // namespace

void projectWithJacobian(const cv::Mat& objectPoints, const Pose& pose, const CameraIntrinsics& camera,
                         cv::Mat& projected, cv::Mat& jacobian) {
    const int terms = camera.distortion_count;
    if (terms >= kTiltedTerms) {
        cv::projectPoints(objectPoints, pose.rvec, pose.tvec, camera.cameraMatrix(), camera.distortion(), projected,
                          jacobian);
        return;
    }
    const int n = objectPoints.rows;
    const int columns = 10 + terms;
    projected.create(n, 1, CV_64FC2);
    jacobian.create(2 * n, columns, CV_64F);
    jacobian.setTo(0.0);

    cv::Matx33d R;
    cv::Matx<double, 3, 9> dRdr;
    cv::Rodrigues(pose.rvec, R, dRdr);
    const auto& v = camera.values;
    const double fx = v[0], fy = v[1], cx = v[2], cy = v[3];
    const double k1 = v[4], k2 = v[5], p1 = v[6], p2 = v[7], k3 = v[8];
    const double k4 = v[9], k5 = v[10], k6 = v[11], s1 = v[12], s2 = v[13], s3 = v[14], s4 = v[15];
    const cv::Vec3d& t = pose.tvec;

    for (int i = 0; i < n; ++i) {
        const double* X = objectPoints.ptr<double>(i);
        const double Xc = R(0, 0) * X[0] + R(0, 1) * X[1] + R(0, 2) * X[2] + t[0];
        const double Yc = R(1, 0) * X[0] + R(1, 1) * X[1] + R(1, 2) * X[2] + t[1];
        const double Zc = R(2, 0) * X[0] + R(2, 1) * X[1] + R(2, 2) * X[2] + t[2];
        const double z = Zc != 0.0 ? 1.0 / Zc : 1.0;
        const double x = Xc * z, y = Yc * z;

        const double r2 = x * x + y * y, r4 = r2 * r2, r6 = r4 * r2;
        const double a1 = 2 * x * y, a2 = r2 + 2 * x * x, a3 = r2 + 2 * y * y;
        const double cdist = 1 + k1 * r2 + k2 * r4 + k3 * r6;
        const double icdist2 = 1.0 / (1 + k4 * r2 + k5 * r4 + k6 * r6);
        const double radial = cdist * icdist2;
        const double xd = x * radial + p1 * a1 + p2 * a2 + s1 * r2 + s2 * r4;
        const double yd = y * radial + p1 * a3 + p2 * a1 + s3 * r2 + s4 * r4;
        projected.at<cv::Vec2d>(i) = cv::Vec2d(fx * xd + cx, fy * yd + cy);

        double* du = jacobian.ptr<double>(2 * i);
        double* dv = jacobian.ptr<double>(2 * i + 1);
        // By the intrinsics.
        du[6] = xd;
        dv[7] = yd;
        du[8] = 1.0;
        dv[9] = 1.0;
        double* ddu = du + 10;
        double* ddv = dv + 10;
        ddu[0] = fx * x * icdist2 * r2;
        ddv[0] = fy * y * icdist2 * r2;
        ddu[1] = fx * x * icdist2 * r4;
        ddv[1] = fy * y * icdist2 * r4;
        ddu[2] = fx * a1;
        ddv[2] = fy * a3;
        ddu[3] = fx * a2;
        ddv[3] = fy * a1;
        if (terms > 4) {
            ddu[4] = fx * x * icdist2 * r6;
            ddv[4] = fy * y * icdist2 * r6;
        }
        if (terms > 5) {
            const double common = -icdist2 * icdist2 * cdist;
            ddu[5] = fx * x * common * r2;
            ddv[5] = fy * y * common * r2;
            ddu[6] = fx * x * common * r4;
            ddv[6] = fy * y * common * r4;
            ddu[7] = fx * x * common * r6;
            ddv[7] = fy * y * common * r6;
        }
        if (terms > 8) {
            ddu[8] = fx * r2;
            ddu[9] = fx * r4;
            ddv[10] = fy * r2;
            ddv[11] = fy * r4;
        }

        // By the pose, through the normalised point (x, y).
        const double dRadial =
            (k1 + 2 * k2 * r2 + 3 * k3 * r4) * icdist2 - cdist * icdist2 * icdist2 * (k4 + 2 * k5 * r2 + 3 * k6 * r4);
        const double prismX = s1 + 2 * s2 * r2, prismY = s3 + 2 * s4 * r2;
        const double dxd_dx = radial + 2 * x * x * dRadial + 2 * p1 * y + 6 * p2 * x + 2 * x * prismX;
        const double dxd_dy = 2 * x * y * dRadial + 2 * p1 * x + 2 * p2 * y + 2 * y * prismX;
        const double dyd_dx = 2 * x * y * dRadial + 2 * p1 * x + 2 * p2 * y + 2 * x * prismY;
        const double dyd_dy = radial + 2 * y * y * dRadial + 6 * p1 * y + 2 * p2 * x + 2 * y * prismY;
        // d(x, y) / d(Xc, Yc, Zc)
        const double dx[3] = {z, 0.0, -x * z};
        const double dy[3] = {0.0, z, -y * z};
        double dudc[3], dvdc[3];
        for (int j = 0; j < 3; ++j) {
            dudc[j] = fx * (dxd_dx * dx[j] + dxd_dy * dy[j]);
            dvdc[j] = fy * (dyd_dx * dx[j] + dyd_dy * dy[j]);
        }
        for (int k = 0; k < 3; ++k) {
            double dXc[3];
            for (int row = 0; row < 3; ++row) {
                dXc[row] = dRdr(k, 3 * row) * X[0] + dRdr(k, 3 * row + 1) * X[1] + dRdr(k, 3 * row + 2) * X[2];
            }
            du[k] = dudc[0] * dXc[0] + dudc[1] * dXc[1] + dudc[2] * dXc[2];
            dv[k] = dvdc[0] * dXc[0] + dvdc[1] * dXc[1] + dvdc[2] * dXc[2];
            du[3 + k] = dudc[k];
            dv[3 + k] = dvdc[k];
        }
    }
}

}  // namespace vantel::calibration::solver

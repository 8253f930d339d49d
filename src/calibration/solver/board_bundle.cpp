#include "calibration/solver/board_bundle.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>

#include "calibration/solver/camera_projection.hpp"

namespace vantel::calibration::solver {
namespace {

// Columns of projectPoints' Jacobian: rvec, tvec, fx, fy, cx, cy, then the distortion terms.
constexpr int kPoseValues = 6;
constexpr int kFxColumn = 6;

// Partial sums are kept per chunk of frames and added in chunk order, so that the result does
// not depend on how many threads ran.
constexpr int kChunks = 8;

constexpr double kInitialDamping = 1e-3;
constexpr double kLargestDamping = 1e16;
constexpr double kSmallestDamping = 1e-16;
// A relative change of the cost this small is the rounding of its sum. Near the minimum the
// Gauss-Newton steps still move parameters the cost barely sees (a distortion term in a flat
// direction): such a step is taken, and the solve ends when the steps vanish.
constexpr double kRoundingOfCost = 1e-14;

bool isHeldReference(const BoardBundle& bundle, int camera) {
    const Pose& pose = bundle.camera_poses[static_cast<size_t>(camera)];
    return !bundle.camera_pose_free[static_cast<size_t>(camera)] && pose.rvec == cv::Vec3d() && pose.tvec == cv::Vec3d();
}

int projectionColumn(int intrinsic) { return kFxColumn + intrinsic; }

// The board pose as the camera sees it, with its derivatives by the board pose and by the camera pose
// (both 6 x 6, rows and columns rvec then tvec).
Pose cameraTBoard(const Pose& board, const Pose& camera, cv::Matx66d& byBoard, cv::Matx66d& byCamera) {
    cv::Mat rvec, tvec, dr3dr1, dr3dt1, dr3dr2, dr3dt2, dt3dr1, dt3dt1, dt3dr2, dt3dt2;
    cv::composeRT(board.rvec, board.tvec, camera.rvec, camera.tvec, rvec, tvec, dr3dr1, dr3dt1, dr3dr2, dr3dt2,
                  dt3dr1, dt3dt1, dt3dr2, dt3dt2);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            byBoard(i, j) = dr3dr1.at<double>(i, j);
            byBoard(i, j + 3) = dr3dt1.at<double>(i, j);
            byBoard(i + 3, j) = dt3dr1.at<double>(i, j);
            byBoard(i + 3, j + 3) = dt3dt1.at<double>(i, j);
            byCamera(i, j) = dr3dr2.at<double>(i, j);
            byCamera(i, j + 3) = dr3dt2.at<double>(i, j);
            byCamera(i + 3, j) = dt3dr2.at<double>(i, j);
            byCamera(i + 3, j + 3) = dt3dt2.at<double>(i, j);
        }
    }
    return {cv::Vec3d(rvec), cv::Vec3d(tvec)};
}

// The normal equations J'J d = -J'r, with the board poses' blocks kept apart for elimination.
struct FrameBlocks {
    cv::Matx66d V;  // board pose x board pose
    cv::Vec6d b;    // J'r of the board pose
    cv::Mat W;      // camera parameters x board pose
};

struct NormalEquations {
    cv::Mat U;  // camera parameters x camera parameters
    cv::Mat b;  // J'r of the camera parameters
    std::vector<FrameBlocks> frames;
    double cost = 0.0;
};

// Buffers reused from view to view within a chunk.
struct Workspace {
    cv::Mat projected;
    cv::Mat jacobian;
    std::vector<double> local;
    std::vector<double> gram;
};

struct PartialSums {
    cv::Mat U;
    cv::Mat b;
    double cost = 0.0;
};

class Evaluator {
public:
    Evaluator(const BoardBundle& bundle, const ParameterLayout& layout) : layout_(layout) {
        views_of_frame_.resize(bundle.frame_poses.size());
        for (size_t v = 0; v < bundle.views.size(); ++v) {
            views_of_frame_.at(static_cast<size_t>(bundle.views[v].frame)).push_back(static_cast<int>(v));
        }
    }

    NormalEquations evaluate(const BoardBundle& bundle) const {
        const int g = layout_.size;
        const int frames = static_cast<int>(views_of_frame_.size());
        const int chunks = std::max(1, std::min(kChunks, frames));
        NormalEquations equations;
        equations.frames.resize(static_cast<size_t>(frames));
        std::vector<PartialSums> partial(static_cast<size_t>(chunks));
        cv::parallel_for_(cv::Range(0, chunks), [&](const cv::Range& range) {
            for (int chunk = range.start; chunk < range.end; ++chunk) {
                PartialSums& sums = partial[static_cast<size_t>(chunk)];
                Workspace workspace;
                sums.U = cv::Mat::zeros(g, g, CV_64F);
                sums.b = cv::Mat::zeros(g, 1, CV_64F);
                const int first = static_cast<int>(static_cast<int64_t>(frames) * chunk / chunks);
                const int last = static_cast<int>(static_cast<int64_t>(frames) * (chunk + 1) / chunks);
                for (int f = first; f < last; ++f) {
                    FrameBlocks& blocks = equations.frames[static_cast<size_t>(f)];
                    blocks.V = cv::Matx66d::zeros();
                    blocks.b = cv::Vec6d::all(0.0);
                    blocks.W = cv::Mat::zeros(g, kPoseValues, CV_64F);
                    for (const int v : views_of_frame_[static_cast<size_t>(f)]) {
                        addView(bundle, bundle.views[static_cast<size_t>(v)], blocks, sums, workspace);
                    }
                }
            }
        });
        equations.U = cv::Mat::zeros(g, g, CV_64F);
        equations.b = cv::Mat::zeros(g, 1, CV_64F);
        for (const PartialSums& sums : partial) {
            equations.U += sums.U;
            equations.b += sums.b;
            equations.cost += sums.cost;
        }
        return equations;
    }

private:
    void addView(const BoardBundle& bundle, const BoardView& view, FrameBlocks& blocks, PartialSums& sums,
                 Workspace& workspace) const {
        const size_t c = static_cast<size_t>(view.camera);
        const CameraIntrinsics& camera = bundle.cameras[c];
        const Pose& board = bundle.frame_poses[static_cast<size_t>(view.frame)];
        cv::Matx66d byBoard = cv::Matx66d::eye(), byCamera;
        const bool reference = isHeldReference(bundle, view.camera);
        const Pose seen = reference ? board : cameraTBoard(board, bundle.camera_poses[c], byBoard, byCamera);

        cv::Mat& projected = workspace.projected;
        cv::Mat& jacobian = workspace.jacobian;
        projectWithJacobian(view.object_points, seen, camera, projected, jacobian);

        const std::vector<int>& intrinsics = layout_.free_intrinsics[c];
        const int poseOffset = layout_.pose_offset[c];
        const int ni = static_cast<int>(intrinsics.size());
        const int np = poseOffset >= 0 ? kPoseValues : 0;
        const int frameColumn = ni + np;
        // Columns: the camera's free intrinsics, its pose when free, the board pose, then the residual.
        const int m = frameColumn + kPoseValues + 1;
        const int rows = jacobian.rows;
        std::vector<double>& local = workspace.local;
        local.assign(static_cast<size_t>(rows * m), 0.0);
        const double* observed = view.image_points.ptr<double>();
        const double* model = projected.ptr<double>();
        for (int r = 0; r < rows; ++r) {
            const double* J = jacobian.ptr<double>(r);
            double* A = &local[static_cast<size_t>(r * m)];
            for (int k = 0; k < ni; ++k) {
                const int p = intrinsics[static_cast<size_t>(k)];
                A[k] = J[projectionColumn(p)];
                if (p == 1 && camera.aspect_ratio > 0.0) {
                    A[k] += camera.aspect_ratio * J[kFxColumn];
                }
            }
            for (int k = 0; k < kPoseValues; ++k) {
                if (reference) {
                    A[frameColumn + k] = J[k];
                    continue;
                }
                double byB = 0.0, byC = 0.0;
                for (int j = 0; j < kPoseValues; ++j) {
                    byB += J[j] * byBoard(j, k);
                    byC += J[j] * byCamera(j, k);
                }
                if (np) A[ni + k] = byC;
                A[frameColumn + k] = byB;
            }
            A[m - 1] = model[r] - observed[r];
        }
        sums.cost += robustlyWeighted(bundle.huber_threshold, local.data(), rows, m);

        // [A r]'[A r] in one pass over the rows (upper triangle): J'J and J'r together; the
        // matrices are far too small for BLAS to pay.
        std::vector<double>& gram = workspace.gram;
        gram.assign(static_cast<size_t>(m * m), 0.0);
        for (int r = 0; r < rows; ++r) {
            const double* A = &local[static_cast<size_t>(r * m)];
            for (int a = 0; a < m; ++a) {
                const double value = A[a];
                double* row = &gram[static_cast<size_t>(a * m)];
                for (int b = a; b < m; ++b) {
                    row[b] += value * A[b];
                }
            }
        }
        const auto G = [&](int a, int b) {
            return a <= b ? gram[static_cast<size_t>(a * m + b)] : gram[static_cast<size_t>(b * m + a)];
        };
        const int residualColumn = m - 1;
        for (int a = 0; a < frameColumn; ++a) {
            const int ga = a < ni ? layout_.intrinsic_offset[c] + a : poseOffset + (a - ni);
            double* U = sums.U.ptr<double>(ga);
            for (int b = 0; b < frameColumn; ++b) {
                U[b < ni ? layout_.intrinsic_offset[c] + b : poseOffset + (b - ni)] += G(a, b);
            }
            double* W = blocks.W.ptr<double>(ga);
            for (int k = 0; k < kPoseValues; ++k) {
                W[k] += G(a, frameColumn + k);
            }
            sums.b.at<double>(ga) += G(a, residualColumn);
        }
        for (int a = 0; a < kPoseValues; ++a) {
            for (int b = 0; b < kPoseValues; ++b) {
                blocks.V(a, b) += G(frameColumn + a, frameColumn + b);
            }
            blocks.b(a) += G(frameColumn + a, residualColumn);
        }
    }

    // Scales each point's rows (Jacobian and residual, the last column) by the square root of its
    // Huber weight, as iteratively reweighted least squares does, and returns the view's robust cost.
    static double robustlyWeighted(double threshold, double* local, int rows, int columns) {
        double cost = 0.0;
        for (int r = 0; r + 1 < rows; r += 2) {
            double* x = local + static_cast<size_t>(r * columns);
            double* y = x + columns;
            const double squared = x[columns - 1] * x[columns - 1] + y[columns - 1] * y[columns - 1];
            if (threshold <= 0.0 || squared <= threshold * threshold) {
                cost += squared;
                continue;
            }
            const double error = std::sqrt(squared);
            cost += 2.0 * threshold * error - threshold * threshold;
            const double scale = std::sqrt(threshold / error);
            for (int k = 0; k < 2 * columns; ++k) {
                x[k] *= scale;
            }
        }
        return cost;
    }

    const ParameterLayout& layout_;
    std::vector<std::vector<int>> views_of_frame_;
};

cv::Matx66d damped(const cv::Matx66d& V, double lambda) {
    cv::Matx66d result = V;
    for (int i = 0; i < kPoseValues; ++i) {
        result(i, i) += lambda * std::max(V(i, i), 1e-12);
    }
    return result;
}

cv::Matx66d inverseOf(const cv::Matx66d& matrix) {
    cv::Matx66d inverse;
    if (cv::solve(matrix, cv::Matx66d::eye(), inverse, cv::DECOMP_CHOLESKY)) {
        return inverse;
    }
    cv::solve(matrix, cv::Matx66d::eye(), inverse, cv::DECOMP_SVD);
    return inverse;
}

// reduced -= W V^-1 W' and rhs += W V^-1 b for one board pose, skipping the camera parameters it
// does not touch (the rows of W that are zero).
void subtractEliminated(const FrameBlocks& blocks, const cv::Matx66d& inverse, std::vector<double>& spread,
                        cv::Mat& reduced, cv::Mat& rhs) {
    const int g = reduced.rows;
    std::vector<int> touched;
    for (int i = 0; i < g; ++i) {
        const double* W = blocks.W.ptr<double>(i);
        bool any = false;
        for (int k = 0; k < kPoseValues; ++k) {
            double sum = 0.0;
            for (int j = 0; j < kPoseValues; ++j) sum += W[j] * inverse(j, k);
            spread[static_cast<size_t>(i * kPoseValues + k)] = sum;
            any = any || W[k] != 0.0;
        }
        if (any) touched.push_back(i);
    }
    for (const int i : touched) {
        const double* S = &spread[static_cast<size_t>(i * kPoseValues)];
        double* R = reduced.ptr<double>(i);
        for (const int j : touched) {
            const double* W = blocks.W.ptr<double>(j);
            double sum = 0.0;
            for (int k = 0; k < kPoseValues; ++k) sum += S[k] * W[k];
            R[j] -= sum;
        }
        double sum = 0.0;
        for (int k = 0; k < kPoseValues; ++k) sum += S[k] * blocks.b(k);
        rhs.at<double>(i) += sum;
    }
}

struct Step {
    cv::Mat camera;  // G x 1
    std::vector<cv::Vec6d> frames;
};

// One damped Gauss-Newton step with the board poses eliminated: the reduced system over the camera
// parameters is U - sum W V^-1 W', and each board pose follows from the camera step.
Step dampedStep(const NormalEquations& equations, double lambda) {
    const int g = equations.U.rows;
    cv::Mat reduced = equations.U.clone();
    for (int i = 0; i < g; ++i) {
        reduced.at<double>(i, i) += lambda * std::max(equations.U.at<double>(i, i), 1e-12);
    }
    cv::Mat rhs = -equations.b;
    std::vector<cv::Matx66d> inverses(equations.frames.size());
    std::vector<double> spread(static_cast<size_t>(g * kPoseValues));
    for (size_t f = 0; f < equations.frames.size(); ++f) {
        const FrameBlocks& blocks = equations.frames[f];
        inverses[f] = inverseOf(damped(blocks.V, lambda));
        subtractEliminated(blocks, inverses[f], spread, reduced, rhs);
    }
    Step step;
    step.camera = cv::Mat::zeros(g, 1, CV_64F);
    if (g > 0 && !cv::solve(reduced, rhs, step.camera, cv::DECOMP_CHOLESKY)) {
        cv::solve(reduced, rhs, step.camera, cv::DECOMP_SVD);
    }
    step.frames.resize(equations.frames.size());
    for (size_t f = 0; f < equations.frames.size(); ++f) {
        const FrameBlocks& blocks = equations.frames[f];
        cv::Vec6d right = -blocks.b;
        for (int i = 0; i < g; ++i) {
            const double* W = blocks.W.ptr<double>(i);
            const double d = step.camera.at<double>(i);
            for (int k = 0; k < kPoseValues; ++k) right[k] -= W[k] * d;
        }
        step.frames[f] = inverses[f] * right;
    }
    return step;
}

// The decrease of the cost the linearised model promises for the step: -2 d'J'r - d'J'J d.
double predictedDecrease(const NormalEquations& equations, const Step& step) {
    const cv::Mat& d = step.camera;
    double gradientTerm = d.empty() ? 0.0 : d.dot(equations.b);
    double curvatureTerm = d.empty() ? 0.0 : cv::Mat(d.t() * equations.U * d).at<double>(0);
    for (size_t f = 0; f < equations.frames.size(); ++f) {
        const FrameBlocks& blocks = equations.frames[f];
        const cv::Vec6d& df = step.frames[f];
        gradientTerm += df.dot(blocks.b);
        curvatureTerm += df.dot(blocks.V * df);
        for (int i = 0; i < d.rows; ++i) {
            const double* W = blocks.W.ptr<double>(i);
            double coupled = 0.0;
            for (int k = 0; k < kPoseValues; ++k) coupled += W[k] * df[k];
            curvatureTerm += 2.0 * d.at<double>(i) * coupled;
        }
    }
    return -2.0 * gradientTerm - curvatureTerm;
}

void applyStep(const BoardBundle& from, const ParameterLayout& layout, const Step& step, BoardBundle& to) {
    to.cameras = from.cameras;
    to.camera_poses = from.camera_poses;
    to.frame_poses = from.frame_poses;
    const double* d = step.camera.ptr<double>();
    for (size_t c = 0; c < from.cameras.size(); ++c) {
        CameraIntrinsics& camera = to.cameras[c];
        const std::vector<int>& free = layout.free_intrinsics[c];
        for (size_t k = 0; k < free.size(); ++k) {
            camera.values[static_cast<size_t>(free[k])] += d[layout.intrinsic_offset[c] + static_cast<int>(k)];
        }
        if (camera.aspect_ratio > 0.0) {
            camera.values[0] = camera.values[1] * camera.aspect_ratio;
        }
        if (const int offset = layout.pose_offset[c]; offset >= 0) {
            Pose& pose = to.camera_poses[c];
            pose.rvec += cv::Vec3d(d[offset], d[offset + 1], d[offset + 2]);
            pose.tvec += cv::Vec3d(d[offset + 3], d[offset + 4], d[offset + 5]);
        }
    }
    for (size_t f = 0; f < from.frame_poses.size(); ++f) {
        const cv::Vec6d& df = step.frames[f];
        to.frame_poses[f].rvec += cv::Vec3d(df[0], df[1], df[2]);
        to.frame_poses[f].tvec += cv::Vec3d(df[3], df[4], df[5]);
    }
}

cv::Mat cameraParameterValues(const BoardBundle& bundle, const ParameterLayout& layout) {
    cv::Mat values(layout.size, 1, CV_64F);
    for (size_t c = 0; c < bundle.cameras.size(); ++c) {
        const std::vector<int>& free = layout.free_intrinsics[c];
        for (size_t k = 0; k < free.size(); ++k) {
            values.at<double>(layout.intrinsic_offset[c] + static_cast<int>(k)) =
                bundle.cameras[c].values[static_cast<size_t>(free[k])];
        }
        if (const int offset = layout.pose_offset[c]; offset >= 0) {
            for (int k = 0; k < 3; ++k) {
                values.at<double>(offset + k) = bundle.camera_poses[c].rvec[k];
                values.at<double>(offset + 3 + k) = bundle.camera_poses[c].tvec[k];
            }
        }
    }
    return values;
}

// Relative size of the step: of the camera parameters, or of the board poses when no camera value is free.
double relativeStep(const BoardBundle& bundle, const ParameterLayout& layout, const Step& step) {
    if (layout.size > 0) {
        return cv::norm(step.camera) / std::max(cv::norm(cameraParameterValues(bundle, layout)), 1e-300);
    }
    double stepSquares = 0.0, valueSquares = 0.0;
    for (size_t f = 0; f < step.frames.size(); ++f) {
        stepSquares += step.frames[f].dot(step.frames[f]);
        valueSquares += bundle.frame_poses[f].rvec.dot(bundle.frame_poses[f].rvec) +
                        bundle.frame_poses[f].tvec.dot(bundle.frame_poses[f].tvec);
    }
    return std::sqrt(stepSquares / std::max(valueSquares, 1e-300));
}

void checkBundle(const BoardBundle& bundle) {
    const size_t cameras = bundle.cameras.size();
    if (bundle.camera_poses.size() != cameras || bundle.camera_pose_free.size() != cameras) {
        throw std::invalid_argument("solver: one pose per camera is needed");
    }
    for (const BoardView& view : bundle.views) {
        if (view.camera < 0 || static_cast<size_t>(view.camera) >= cameras || view.frame < 0 ||
            static_cast<size_t>(view.frame) >= bundle.frame_poses.size()) {
            throw std::invalid_argument("solver: a view names a camera or frame that does not exist");
        }
        if (view.object_points.type() != CV_64F || view.object_points.cols != 3 ||
            view.image_points.type() != CV_64F || view.image_points.cols != 2 ||
            view.image_points.rows != view.object_points.rows || !view.image_points.isContinuous()) {
            throw std::invalid_argument("solver: views need N x 3 and N x 2 double points");
        }
    }
}

}  // namespace

cv::Matx33d CameraIntrinsics::cameraMatrix() const {
    return cv::Matx33d(values[0], 0.0, values[2], 0.0, values[1], values[3], 0.0, 0.0, 1.0);
}

cv::Mat CameraIntrinsics::distortion() const {
    cv::Mat coefficients(1, distortion_count, CV_64F);
    for (int k = 0; k < distortion_count; ++k) {
        coefficients.at<double>(k) = values[static_cast<size_t>(kFirstDistortion + k)];
    }
    return coefficients;
}

ParameterLayout layoutOf(const BoardBundle& bundle) {
    ParameterLayout layout;
    for (const CameraIntrinsics& camera : bundle.cameras) {
        std::vector<int> free;
        for (int p = 0; p < kFirstDistortion + camera.distortion_count; ++p) {
            const bool tiedFx = p == 0 && camera.aspect_ratio > 0.0;
            if (camera.free[static_cast<size_t>(p)] && !tiedFx) {
                free.push_back(p);
            }
        }
        layout.intrinsic_offset.push_back(layout.size);
        layout.size += static_cast<int>(free.size());
        layout.free_intrinsics.push_back(std::move(free));
    }
    for (size_t c = 0; c < bundle.cameras.size(); ++c) {
        layout.pose_offset.push_back(bundle.camera_pose_free[c] ? layout.size : -1);
        if (bundle.camera_pose_free[c]) {
            layout.size += kPoseValues;
        }
    }
    return layout;
}

int solveBoardBundle(BoardBundle& bundle, const StopRule& rule) {
    checkBundle(bundle);
    const ParameterLayout layout = layoutOf(bundle);
    const Evaluator evaluator(bundle, layout);
    NormalEquations equations = evaluator.evaluate(bundle);
    int iterations = 0;
    BoardBundle candidate = bundle;
    double lambda = kInitialDamping;
    double growth = 2.0;
    while (iterations < rule.max_iterations) {
        const Step step = dampedStep(equations, lambda);
        applyStep(bundle, layout, step, candidate);
        NormalEquations candidateEquations = evaluator.evaluate(candidate);
        const double decrease = equations.cost - candidateEquations.cost;
        const double stepSize = relativeStep(bundle, layout, step);
        if (!(decrease > -kRoundingOfCost * equations.cost)) {
            // A step too small to matter that still gains nothing: the minimum, to rounding.
            if (stepSize < rule.relative_step || lambda > kLargestDamping) {
                break;
            }
            lambda *= growth;
            growth *= 2.0;
            continue;
        }
        ++iterations;
        // Damping follows how well the quadratic model predicted the decrease.
        const double gain = decrease / predictedDecrease(equations, step);
        lambda = std::max(lambda * std::max(1.0 / 3.0, 1.0 - std::pow(2.0 * gain - 1.0, 3)), kSmallestDamping);
        growth = 2.0;
        const double costChange = decrease / std::max(equations.cost, 1e-300);
        std::swap(bundle, candidate);
        equations = std::move(candidateEquations);
        if (stepSize < rule.relative_step && costChange < rule.relative_step) {
            break;
        }
    }
    return iterations;
}

BundleCovariance bundleCovariance(const BoardBundle& bundle) {
    checkBundle(bundle);
    const ParameterLayout layout = layoutOf(bundle);
    const NormalEquations equations = Evaluator(bundle, layout).evaluate(bundle);
    const int g = layout.size;
    cv::Mat reduced = equations.U.clone();
    std::vector<cv::Matx66d> inverses(equations.frames.size());
    for (size_t f = 0; f < equations.frames.size(); ++f) {
        inverses[f] = inverseOf(equations.frames[f].V);
        if (g > 0) {
            reduced -= equations.frames[f].W * cv::Mat(inverses[f]) * equations.frames[f].W.t();
        }
    }
    BundleCovariance covariance;
    covariance.camera_parameters = g > 0 ? cv::Mat(reduced.inv(cv::DECOMP_LU)) : cv::Mat();
    for (size_t f = 0; f < equations.frames.size(); ++f) {
        if (g == 0) {
            covariance.frame_poses.push_back(inverses[f]);
            continue;
        }
        const cv::Mat spread = cv::Mat(inverses[f]) * equations.frames[f].W.t();
        const cv::Mat block = cv::Mat(inverses[f]) + spread * covariance.camera_parameters * spread.t();
        covariance.frame_poses.push_back(cv::Matx66d(block));
    }
    return covariance;
}

std::vector<double> viewSquaredErrors(const BoardBundle& bundle) {
    checkBundle(bundle);
    std::vector<double> errors(bundle.views.size());
    cv::parallel_for_(cv::Range(0, static_cast<int>(bundle.views.size())), [&](const cv::Range& range) {
        for (int v = range.start; v < range.end; ++v) {
            const BoardView& view = bundle.views[static_cast<size_t>(v)];
            const CameraIntrinsics& camera = bundle.cameras[static_cast<size_t>(view.camera)];
            cv::Matx66d byBoard, byCamera;
            const Pose& board = bundle.frame_poses[static_cast<size_t>(view.frame)];
            const Pose seen = isHeldReference(bundle, view.camera)
                                  ? board
                                  : cameraTBoard(board, bundle.camera_poses[static_cast<size_t>(view.camera)],
                                                 byBoard, byCamera);
            cv::Mat projected;
            cv::projectPoints(view.object_points, seen.rvec, seen.tvec, camera.cameraMatrix(), camera.distortion(),
                              projected);
            errors[static_cast<size_t>(v)] = cv::norm(projected.reshape(1, view.image_points.rows),
                                                      view.image_points, cv::NORM_L2SQR);
        }
    });
    return errors;
}

}  // namespace vantel::calibration::solver

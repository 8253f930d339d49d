#include "geometry/pose.hpp"
#include "module/binding_common.hpp"
#include "module/registration.hpp"

namespace vantel::binding {

void registerPoseConversions(py::module_& module) {
    auto tf = module.def_submodule("tf", "SE(3) pose <-> 4x4 transformation matrix conversions.");
    tf.def("pose_to_transformation_matrix", &poseToTransformationMatrix, py::arg("pose_xyzrpy_deg"),
           "Convert [x, y, z, rx, ry, rz] (degrees, extrinsic xyz Euler) to a 4x4 matrix.");
    tf.def("transformation_matrix_to_pose", &transformationMatrixToPose, py::arg("transformation"),
           "Convert a 4x4 transformation matrix to [x, y, z, rx, ry, rz] (degrees).");
    tf.def("average_pose", &averagePose, py::arg("poses"),
           "Mean SE(3) pose: average translations, project the mean rotation onto SO(3) via SVD.");
}

}  // namespace vantel::binding

#include "module/binding_common.hpp"
#include "module/registration.hpp"
#include "quality/rotation_variety.hpp"

namespace vantel::binding {

void registerDiagnostics(py::module_& module) {
    auto diagnostics = module.def_submodule("diagnostics", "Diagnostics for hand-eye calibration data and solvers.");

    using quality::RotationVarietyStats;
    py::classh<RotationVarietyStats>(diagnostics, "RotationVarietyStats")
        .def_readonly("num_motions", &RotationVarietyStats::num_motions)
        .def_readonly("singular_values", &RotationVarietyStats::singular_values)
        .def_readonly("axis_span_ratio", &RotationVarietyStats::axis_span_ratio)
        .def_readonly("angle_mean_deg", &RotationVarietyStats::angle_mean_deg)
        .def_readonly("angle_max_deg", &RotationVarietyStats::angle_max_deg);

    diagnostics.def("analyze_rotation_variety", &quality::analyzeRotationVariety, py::arg("camera_T_target_list"),
                    py::arg("min_rotation_deg") = 0.5);
    diagnostics.def("format_rotation_variety", &quality::formatRotationVariety, py::arg("stats"));
}

}  // namespace vantel::binding

#pragma once

#include <pybind11/pybind11.h>

namespace vantel::binding {

// Exception texts that are not valid UTF-8 reach the host with the bad bytes replaced.
void registerExceptionTranslation();

// Submodule tf: the pose conversions. Created by the module entry before the subsystems.
void registerPoseConversions(pybind11::module_& module);

// Called by the module entry in exactly this order: a later step names classes
// registered by an earlier one in its signatures.
void registerTargets(pybind11::module_& module);
void registerIntrinsic(pybind11::module_& module);
void registerHandEye(pybind11::module_& module);
void registerMultiCamera(pybind11::module_& module);
void registerDiagnostics(pybind11::module_& module);
void registerBenchmark(pybind11::module_& module);
void registerIo(pybind11::module_& module);

}  // namespace vantel::binding

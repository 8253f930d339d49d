#pragma once

// What every registration file needs: pybind11 with its standard-container,
// optional, variant and path conversions, and the matrix conversions.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "module/mat_caster.hpp"

namespace py = pybind11;
